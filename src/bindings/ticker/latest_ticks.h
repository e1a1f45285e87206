// Each code's latest tick as the direct replay stepped it. The exchange and the
// account keep every code's latest tick record (current_tick_infos), which
// Python reads; the replay files those records only when Python can look (a
// callback, orders to match, the end), so a tick nobody sees costs no dict.
// The quote buffer gets the ticks held at the same moments, many in one call.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "common/direct_api.h"
#include "ticker/tick_rows.h"

namespace orva::py::ticker {

class LatestTicks {
 public:
  // The slot of each source of `rows` (none: no slots); the sources of one code share one.
  std::vector<int> slots_of(const MergedDays* rows);
  // The row `source` handed out last, at `seconds`, is its code's latest, not filed yet.
  void hold(int slot, const MergedDays& rows, const MergedDays::Source& source, double seconds);
  // `record` was filed as the slot's latest tick.
  void filed(int slot, nb::object record);
  bool holding() const { return !held_.empty() || !quoted_.empty(); }
  // Hands the ticks held to the quote buffer, then files the record of every tick held,
  // with the exchange (which hands it to the account), in the order their codes were first
  // held since the last filing: the order in which a tick-by-tick replay adds a code first
  // seen to current_tick_infos.
  void file(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
            const direct::QuotesApi& quotes_api);
  // Hands the ticks held to the quote buffer only (a bar feed reads it next).
  void file_quotes(PyObject* quotes, const direct::QuotesApi& quotes_api);
  // Steps `tick`, the row `source` of `rows` handed out last, through the exchange and the
  // quote buffer: true when the exchange needed its record (filed now, after the earlier
  // ticks held), false when the tick is held.
  bool step(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
            const direct::QuotesApi& quotes_api, direct::Tick& tick, int slot,
            const MergedDays& rows, const MergedDays::Source& source);
  // The record of the slot's latest tick as last filed.
  const nb::object& record(int slot) const { return slots_[slot].record; }
  // Forgets every slot: the rows they point into are going.
  void clear();
  // Records made so far, by every drive; calls into the quote buffer.
  Py_ssize_t made() const { return made_; }
  Py_ssize_t quote_calls() const { return quote_calls_; }

 private:
  struct Slot {
    std::string code;
    const MergedDays* rows = nullptr;
    const MergedDays::Source* source = nullptr;
    double seconds = 0;
    RowValues row{};
    bool held = false;
    nb::object record;
  };
  std::vector<Slot> slots_;
  std::vector<int> held_;
  std::vector<direct::Tick> quoted_;  // not in the quote buffer yet, in order
  nb::object timestamp_;  // of the tick stepped last when its record was made
  Py_ssize_t made_ = 0, quote_calls_ = 0;
};

}  // namespace orva::py::ticker
