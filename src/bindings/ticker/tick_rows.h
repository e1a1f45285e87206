// Tick records built from tick tables' column buffers, one per row on demand:
// the tables are never copied row by row.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

// A tick's best bid and ask with their quantities, which records carry when
// a fill model asks for them.
struct TickQuote {
  double bid_price = 0;
  int64_t bid_volume = 0;
  double ask_price = 0;
  int64_t ask_volume = 0;
};

// One row's replayed values, besides its code and time.
struct RowValues {
  double close;
  int64_t qty, tick_type;
  TickQuote quote;
};

// The record's `quote`: the tuple (bid_price, bid_volume, ask_price, ask_volume).
nb::object quote_record(const TickQuote& quote);

// Tick records as copies of one dict in the record's key order: a copy is one
// block copy, and its values are then replaced in place. With `quotes` the
// record ends with `quote`: one tuple keeps the dict as small as before.
class RecordMaker {
 public:
  RecordMaker(bool backfilling, bool quotes);
  nb::dict make(nb::handle market, nb::handle timestamp, nb::handle code, double close,
                int64_t qty, int64_t tick_type, const TickQuote& quote) const;
  bool quotes() const { return quotes_; }

 private:
  nb::dict shape_;
  bool quotes_;
};

// The rows of a merged tick table (every code, in its order), by index.
class TickRows {
 public:
  TickRows(nb::handle self, nb::handle table, bool backfilling, bool quotes);

  Py_ssize_t size() const { return size_; }
  nb::dict record(Py_ssize_t i) const;

 private:
  nb::object table_;
  Py_ssize_t size_;
  Column ts_, close_, volume_, tick_type_, code_index_;
  std::optional<Column> bid_price_, bid_volume_, ask_price_, ask_volume_;
  std::vector<nb::object> codes_, markets_;
  RecordMaker maker_;
};

// The rows of each instrument's days merged by time (ties by code, then in
// recorded order, as the merged table orders them). Every day is made ready
// (cached, with its row count) before the first row, so the total is known;
// then each instrument holds only the day it is replaying: the next is read
// when that one is used up, and a day's columns go once replayed. Days follow
// each other in time, so merging day by day gives the merged table's order.
class MergedDays {
 public:
  struct Source {
    Instrument instrument;
    std::vector<PreparedDay> days;
    size_t next_day = 0;
    Py_ssize_t unloaded = 0;  // rows of the days not read yet
    // The day being replayed, in time order (the quotes only when records carry them):
    std::vector<int64_t> ts, volume, tick_type, bid_volume, ask_volume;
    std::vector<double> close, bid_price, ask_price;
    Py_ssize_t at = 0;  // rows of that day handed out
    Py_ssize_t handed = 0;  // rows handed out, of all its days
    nb::object code, market;
    std::string code_text, market_text;

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(ts.size()); }
    Py_ssize_t remaining() const { return unloaded + size() - at; }
    TickQuote quote(Py_ssize_t row) const {
      if (bid_price.empty()) return {};
      return {bid_price[row], bid_volume[row], ask_price[row], ask_volume[row]};
    }
    RowValues values(Py_ssize_t row) const {
      return {close[row], volume[row], tick_type[row], quote(row)};
    }
  };

  // Makes every day of `instruments` over the range ready; `day_done` is
  // called after each.
  MergedDays(nb::handle self, const std::vector<Instrument>& instruments, nb::handle start_from,
             nb::handle end_to, bool backfilling, bool quotes,
             const std::function<void()>& day_done);

  Py_ssize_t size() const { return size_; }
  // The source of the next row, which it then points at; -1 at the end.
  int advance();
  const Source& source(int index) const { return *sources_[index]; }
  size_t source_count() const { return sources_.size(); }
  double seconds(const Source& source) const { return seconds_of(source.ts[source.at - 1]); }
  // The record of the row `advance` moved past, with its time as `timestamp`.
  nb::dict record(const Source& source, nb::handle timestamp) const {
    return record(source, source.values(source.at - 1), timestamp);
  }
  // A record of the source's code from `row`, a copy of a row it handed out.
  nb::dict record(const Source& source, const RowValues& row, nb::handle timestamp) const;
  // Days in memory now, and the most there ever were.
  int days_held() const { return held_; }
  int most_days_held() const { return most_held_; }
  Py_ssize_t days_loaded() const { return loaded_; }
  Py_ssize_t day_count() const { return day_count_; }

 private:
  // Reads the source's next day with rows; false when it has none left.
  bool load_next(Source& source);

  nb::object owner_;  // the Ticker whose cache the days come from
  std::vector<std::unique_ptr<Source>> sources_;  // by code, then instrument order
  Py_ssize_t size_ = 0, loaded_ = 0, day_count_ = 0;
  int held_ = 0, most_held_ = 0;
  RecordMaker maker_;
};

}  // namespace orva::py::ticker
