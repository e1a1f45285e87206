#include "ticker/tick_rows.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <type_traits>

namespace orva::py::ticker {
namespace {

const Keys& k() { return keys(); }

void put(nb::handle record, const nb::str& key, nb::handle value) {
  checked(PyDict_SetItem(record.ptr(), key.ptr(), value.ptr()));
}

}  // namespace

RecordMaker::RecordMaker(bool backfilling, bool quotes) : quotes_(quotes) {
  for (const nb::str& name : {k().market_type, k().timestamp, k().code, k().close, k().qty,
                              k().tick_type})
    shape_[name] = nb::none();
  shape_[k().is_simulate] = nb::bool_(false);
  shape_[k().is_backfilling] = nb::bool_(backfilling);
  if (quotes) shape_[k().quote] = nb::none();
}

nb::dict RecordMaker::make(nb::handle market, nb::handle timestamp, nb::handle code, double close,
                           int64_t qty, int64_t tick_type, const TickQuote& quote) const {
  PyObject* copy = PyDict_Copy(shape_.ptr());
  if (!copy) throw nb::python_error();
  nb::dict tick = nb::steal<nb::dict>(copy);
  put(tick, k().market_type, market);
  put(tick, k().timestamp, timestamp);
  put(tick, k().code, code);
  put(tick, k().close, checked(PyFloat_FromDouble(close)));
  put(tick, k().qty, checked(PyLong_FromLongLong(qty)));
  put(tick, k().tick_type, checked(PyLong_FromLongLong(tick_type)));
  if (quotes_) put(tick, k().quote, quote_record(quote));
  return tick;
}

nb::object quote_record(const TickQuote& quote) {
  nb::object record = nb::steal(PyTuple_New(4));
  if (!record.is_valid()) throw nb::python_error();
  PyTuple_SET_ITEM(record.ptr(), 0, checked(PyFloat_FromDouble(quote.bid_price)).release().ptr());
  PyTuple_SET_ITEM(record.ptr(), 1, checked(PyLong_FromLongLong(quote.bid_volume)).release().ptr());
  PyTuple_SET_ITEM(record.ptr(), 2, checked(PyFloat_FromDouble(quote.ask_price)).release().ptr());
  PyTuple_SET_ITEM(record.ptr(), 3, checked(PyLong_FromLongLong(quote.ask_volume)).release().ptr());
  return record;
}

namespace {

nb::object code_index(nb::handle table) {
  nb::object pl = globals->pl;
  nb::object rank = pl.attr("col")("code").attr("rank")("dense").attr("cast")(pl.attr("Int64"));
  nb::object zero_based = nb::steal(PyNumber_Subtract(rank.ptr(), nb::int_(1).ptr()));
  if (!zero_based.is_valid()) throw nb::python_error();
  return table.attr("select")(zero_based).attr("to_series")().attr("to_numpy")();
}

}  // namespace

TickRows::TickRows(nb::handle self, nb::handle table, bool backfilling, bool quotes)
    : table_(nb::borrow(table).attr("rechunk")()),
      size_(nb::len(table_)),
      ts_(table_, "ts", false),
      close_(table_, "close", true),
      volume_(table_, "volume", false),
      tick_type_(table_, "tick_type", false),
      code_index_(code_index(table_), false, "code"),
      maker_(backfilling, quotes) {
  if (quotes) {
    bid_price_.emplace(table_, "bid_price", true);
    bid_volume_.emplace(table_, "bid_volume", false);
    ask_price_.emplace(table_, "ask_price", true);
    ask_volume_.emplace(table_, "ask_volume", false);
  }
  nb::object markets = nb::getattr(self, k().code_market_map);
  for (nb::handle code : table_.attr("get_column")("code").attr("unique")().attr("sort")()) {
    codes_.push_back(nb::borrow(code));
    markets_.push_back(item(markets, code));
  }
}

nb::dict TickRows::record(Py_ssize_t i) const {
  const int64_t code = code_index_.integer(i);
  TickQuote quote;
  if (bid_price_)
    quote = {bid_price_->real(i), bid_volume_->integer(i), ask_price_->real(i), ask_volume_->integer(i)};
  return maker_.make(markets_[code], nb::float_(seconds_of(ts_.integer(i))), codes_[code],
                     close_.real(i), volume_.integer(i), tick_type_.integer(i), quote);
}

namespace {

// Appends a day's replayed columns to `source` (the quotes too when `quotes`).
void append_day(MergedDays::Source& source, nb::handle day, bool quotes) {
  const Py_ssize_t n = nb::len(day);
  const auto copy = [&](auto& into, const char* name, bool real) {
    const Column column(day, name, real);
    if constexpr (std::is_same_v<std::decay_t<decltype(into)>, std::vector<double>>)
      into.insert(into.end(), column.reals(), column.reals() + n);
    else
      into.insert(into.end(), column.integers(), column.integers() + n);
  };
  copy(source.ts, "ts", false);
  copy(source.close, "close", true);
  copy(source.volume, "volume", false);
  copy(source.tick_type, "tick_type", false);
  if (!quotes) return;
  copy(source.bid_price, "bid_price", true);
  copy(source.bid_volume, "bid_volume", false);
  copy(source.ask_price, "ask_price", true);
  copy(source.ask_volume, "ask_volume", false);
}

// Puts a source's rows in time order, ties in recorded order, as the merged
// table's stable sort does; days nearly always come in order already.
void sort_by_time(MergedDays::Source& source) {
  if (std::is_sorted(source.ts.begin(), source.ts.end())) return;
  std::vector<size_t> order(source.ts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return source.ts[a] < source.ts[b]; });
  const auto reorder = [&](auto& column) {
    if (column.empty()) return;
    std::remove_reference_t<decltype(column)> sorted;
    sorted.reserve(column.size());
    for (size_t i : order) sorted.push_back(column[i]);
    column.swap(sorted);
  };
  reorder(source.ts);
  reorder(source.close);
  reorder(source.volume);
  reorder(source.tick_type);
  reorder(source.bid_price);
  reorder(source.bid_volume);
  reorder(source.ask_price);
  reorder(source.ask_volume);
}

}  // namespace

MergedDays::MergedDays(nb::handle self, const std::vector<Instrument>& instruments,
                       nb::handle start_from, nb::handle end_to, bool backfilling,
                       bool quotes, const std::function<void()>& day_done)
    : owner_(nb::borrow(self)), maker_(backfilling, quotes) {
  nb::object markets = nb::getattr(self, k().code_market_map);
  for (const Instrument& instrument : instruments) {
    auto source = std::make_unique<Source>(Source{instrument});
    std::optional<PreparedDay> day;
    for_each_date(
        self, instrument, start_from, end_to,
        [&](nb::handle date) { day = prepare_day(self, instrument, date); },
        [&] {
          if (day->rows > 0) {
            source->unloaded += day->rows;
            source->days.push_back(std::move(*day));
          }
          if (day_done) day_done();
        });
    day_count_ += static_cast<Py_ssize_t>(source->days.size());
    if (source->unloaded == 0) continue;
    source->code = instrument.code;
    source->market = item(markets, instrument.code);
    source->code_text = text_of(instrument.code);
    source->market_text = text_of(source->market);
    size_ += source->unloaded;
    sources_.push_back(std::move(source));
  }
  std::stable_sort(sources_.begin(), sources_.end(),
                   [](const auto& a, const auto& b) { return a->code_text < b->code_text; });
}

bool MergedDays::load_next(Source& s) {
  const bool had_day = s.size() > 0;
  if (!had_day && s.next_day == s.days.size()) return false;  // done long ago
  for (auto* column : {&s.ts, &s.volume, &s.tick_type, &s.bid_volume, &s.ask_volume}) column->clear();
  for (auto* column : {&s.close, &s.bid_price, &s.ask_price}) column->clear();
  s.at = 0;
  while (s.next_day < s.days.size()) {
    read_ahead(s.instrument, s.days, s.next_day);
    PreparedDay& day = s.days[s.next_day++];
    nb::object table = load_day(owner_, s.instrument, day);
    s.unloaded -= day.rows;
    ++loaded_;
    const Py_ssize_t rows = nb::len(table);
    if (rows != day.rows) size_ += rows - day.rows;  // a copy rebuilt with other rows than counted
    if (rows == 0) continue;
    append_day(s, table, maker_.quotes());
    sort_by_time(s);
    if (!had_day && ++held_ > most_held_) most_held_ = held_;
    return true;
  }
  if (had_day) --held_;
  // The source is done: its day's memory goes too.
  for (auto* column : {&s.ts, &s.volume, &s.tick_type, &s.bid_volume, &s.ask_volume})
    column->shrink_to_fit();
  for (auto* column : {&s.close, &s.bid_price, &s.ask_price}) column->shrink_to_fit();
  return false;
}

int MergedDays::advance() {
  int best = -1;
  int64_t best_ts = 0;
  // A scan of the instruments' next rows: there are few, and ties go to the first.
  for (size_t i = 0; i < sources_.size(); ++i) {
    Source& s = *sources_[i];
    if (s.at == s.size() && !load_next(s)) continue;
    const int64_t ts = s.ts[s.at];
    if (best < 0 || ts < best_ts) {
      best = static_cast<int>(i);
      best_ts = ts;
    }
  }
  if (best >= 0) {
    ++sources_[best]->at;
    ++sources_[best]->handed;
  }
  return best;
}

nb::dict MergedDays::record(const Source& s, const RowValues& row, nb::handle timestamp) const {
  return maker_.make(s.market, timestamp, s.code, row.close, row.qty, row.tick_type, row.quote);
}

}  // namespace orva::py::ticker
