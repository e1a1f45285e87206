// Tick records built from tick tables' column buffers, one per row on demand:
// the tables are never copied row by row.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calendar/epoch_seconds.h"
#include "common/host.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {

// Tick times reach hosts as seconds kept to this many decimals.
inline constexpr int kSecondDigits = 8;

inline double seconds_of(int64_t nanos) {
  return calendar::seconds_from_nanos(nanos, kSecondDigits);
}

// Tick records as copies of one dict in the record's key order: a copy is one
// block copy, and its values are then replaced in place.
class RecordMaker {
 public:
  explicit RecordMaker(bool backfilling);
  nb::dict make(nb::handle market, nb::handle timestamp, nb::handle code, double close,
                int64_t qty, int64_t tick_type) const;

 private:
  nb::dict shape_;
};

// The rows of a merged tick table (every code, in its order), by index.
class TickRows {
 public:
  TickRows(nb::handle self, nb::handle table, bool backfilling);

  Py_ssize_t size() const { return size_; }
  nb::dict record(Py_ssize_t i) const;

 private:
  nb::object table_;
  Py_ssize_t size_;
  Column ts_, close_, volume_, tick_type_, code_index_;
  std::vector<nb::object> codes_, markets_;
  RecordMaker maker_;
};

// The rows of each instrument's days merged by time (ties by code, then in
// recorded order, as the merged table orders them). Each instrument's
// replayed columns are copied out of its day tables one day at a time, so
// neither the day tables nor a merged copy are ever held all at once.
class MergedDays {
 public:
  struct Source {
    std::vector<int64_t> ts, volume, tick_type;  // in time order
    std::vector<double> close;
    Py_ssize_t at = 0;  // rows handed out
    nb::object code, market;
    std::string code_text, market_text;

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(ts.size()); }
  };

  // Loads the days of `instruments` over the range.
  MergedDays(nb::handle self, const std::vector<Instrument>& instruments, nb::handle start_from,
             nb::handle end_to, bool backfilling);

  Py_ssize_t size() const { return size_; }
  // The source of the next row, which it then points at; -1 at the end.
  int advance();
  const Source& source(int index) const { return *sources_[index]; }
  size_t source_count() const { return sources_.size(); }
  double seconds(const Source& source) const { return seconds_of(source.ts[source.at - 1]); }
  // The record of the row `advance` moved past, with its time as `timestamp`.
  nb::dict record(const Source& source, nb::handle timestamp) const;

 private:
  std::vector<std::unique_ptr<Source>> sources_;  // by code, then instrument order
  Py_ssize_t size_ = 0;
  RecordMaker maker_;
};

}  // namespace orva::py::ticker
