// Each code's latest tick as the direct replay stepped it. The exchange and the
// account keep every code's latest tick record (current_tick_infos), which
// Python reads; the replay files those records only when Python can look (a
// callback, orders to match, the end), so a tick nobody sees costs no dict.
// The exchange and the quote buffer get the ticks held at the same moments, many in one
// call.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/direct_api.h"
#include "ticker/tick_rows.h"

namespace orva::py::ticker {

class LatestTicks {
 public:
  // The slot of each source of `rows` (none: no slots); the sources of one code share one.
  std::vector<int> slots_of(const MergedDays* rows);
  // `tick`, the row `source` handed out last, is its code's latest, not filed yet.
  void hold(int slot, const MergedDays& rows, const MergedDays::Source& source,
            const direct::Tick& tick);
  // `record` was filed as the slot's latest tick.
  void filed(int slot, nb::object record);
  bool holding() const { return !held_.empty() || !pending_.empty(); }
  // Hands the ticks held to the exchange and the quote buffer, then files the record of
  // every tick held, with the exchange (which hands it to the account), in the order their
  // codes were first held since the last filing: the order in which a tick-by-tick replay
  // adds a code first seen to current_tick_infos.
  void file(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
            const direct::QuotesApi& quotes_api);
  // Hands the ticks held to the exchange (their time, band and quotes) and to the quote
  // buffer, without their records (a bar feed reads the buffer next).
  void flush(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
             const direct::QuotesApi& quotes_api);
  // Steps `tick`, the row `source` of `rows` handed out last, through the exchange and the
  // quote buffer: true when the exchange needed its record (filed now, after the earlier
  // ticks held), false when the tick is held. A code the exchange called quiet stays so,
  // without asking it again, until its time runs out or `unsettle`.
  bool step(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
            const direct::QuotesApi& quotes_api, direct::Tick& tick, int slot,
            const MergedDays& rows, const MergedDays::Source& source);
  // Python may run next, or the exchange stepped: what it does may end any code's quiet.
  void unsettle() { ++epoch_; }
  // The record of the slot's latest tick as last filed.
  const nb::object& record(int slot) const { return slots_[slot].record; }
  // Forgets every slot: the rows they point into are going.
  void clear();
  // Records made so far, by every drive; calls into the quote buffer, and into the exchange
  // for the ticks it needed no record of.
  Py_ssize_t made() const { return made_; }
  Py_ssize_t quote_calls() const { return quote_calls_; }
  Py_ssize_t exchange_calls() const { return exchange_calls_; }

 private:
  // Whether the exchange called the tick's code quiet and nothing since unsettled it.
  bool quiet(PyObject* matcher, const direct::MatcherApi& exchange, const direct::Tick& tick,
             int slot);

  struct Slot {
    std::string code;
    const MergedDays* rows = nullptr;
    const MergedDays::Source* source = nullptr;
    double seconds = 0;
    RowValues row{};
    bool held = false;
    nb::object record;
    // Quiet (no record needed) while the epoch is unchanged and ticks come before `until`.
    uint64_t quiet_epoch = 0;
    double quiet_until = 0;
  };
  std::vector<Slot> slots_;
  std::vector<int> held_;
  std::vector<direct::Tick> pending_;  // not with the exchange and the quote buffer yet, in order
  uint64_t epoch_ = 1;
  nb::object timestamp_;  // of the tick stepped last when its record was made
  Py_ssize_t made_ = 0, quote_calls_ = 0, exchange_calls_ = 0;  // for ticks held
};

}  // namespace orva::py::ticker
