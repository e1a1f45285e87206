// Binding of class BarFeed: the completed K-bars of chosen keys, one by one
// as ticks complete them, for a strategy's bar callbacks. Folded in C++ from
// the quote manager's buffered ticks by the rules of get_kbar's updates, so a
// bar equals the row get_kbar gives for it.
#include <Python.h>
#include <datetime.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/args.h"
#include "common/host.h"
#include "common/methods.h"
#include "positions/positions_internal.h"
#include "positions/quote_manager.h"
#include "positions/tick_frames.h"

namespace orva::py::positions {
namespace {

namespace cal = orva::calendar;

constexpr size_t kMaxKeys = 1000;

struct Subscription {
  nb::object code, unit, freq;  // the key as the host gave it
  std::string code_text;
  q::BarFold fold;
  std::shared_ptr<Entry> entry;  // the instrument entry folded so far
  uint64_t clears = 0;           // the quote manager's clear count when `entry` was found
  size_t aggregated = 0;         // how far into the entry's ticks the fold reaches
};

struct BarFeed {
  nb::object quotes;
  std::vector<Subscription> keys;
};

BarFeed& feed_of(nb::handle self) { return *nb::inst_ptr<BarFeed>(self); }

struct BarKeys {
  nb::str dt = interned("dt"), code = interned("code"), open = interned("Open"),
          high = interned("High"), low = interned("Low"), close = interned("Close"),
          volume = interned("Volume"), unit = interned("unit"), freq = interned("freq");
};
BarKeys* bar_keys = nullptr;

// A bar as a record: the K-bar row's columns, then the key's unit and freq.
nb::dict bar_record(const Subscription& sub, const q::Bar& bar) {
  const cal::CivilTime t = cal::civil_time(bar.dt);
  nb::object dt = checked(
      PyDateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.micros));
  const BarKeys& k = *bar_keys;
  nb::dict record;
  record[k.dt] = dt;
  record[k.code] = sub.code;
  record[k.open] = bar.open;
  record[k.high] = bar.high;
  record[k.low] = bar.low;
  record[k.close] = bar.close;
  record[k.volume] = bar.volume;
  record[k.unit] = sub.unit;
  record[k.freq] = sub.freq;
  return record;
}

bool same_code(const Subscription& sub, PyObject* code) {
  if (sub.code.ptr() == code) return true;
  const int equal = PyUnicode_Check(code) ? PyUnicode_Compare(sub.code.ptr(), code) : 1;
  if (equal == -1 && PyErr_Occurred()) throw nb::python_error();
  return equal == 0;
}

void update_into(nb::handle self, nb::handle code, nb::handle out) {
  BarFeed& feed = feed_of(self);
  auto lock = locked(feed.quotes);
  const QuoteManager& qm = state(feed.quotes);
  std::vector<q::Bar> bars;
  for (Subscription& sub : feed.keys) {
    if (!same_code(sub, code.ptr())) continue;
    if (!sub.entry || sub.clears != qm.clears) {
      std::shared_ptr<Entry> entry = find_entry(feed.quotes, sub.code);
      if (!entry) continue;
      if (entry != sub.entry) {  // new, or cleared and started again: so does the fold
        const auto [unit, freq] = bar_key_of(sub.unit, sub.freq);
        sub.fold = q::BarFold(unit, freq);
        sub.aggregated = 0;
      }
      sub.entry = std::move(entry);
      sub.clears = qm.clears;
    }
    const q::Instrument& instrument = sub.entry->instrument;
    const size_t total = instrument.total();
    if (total == sub.aggregated) continue;
    bars.clear();
    if (sub.aggregated >= instrument.dropped())
      sub.fold.add(instrument.columns(), sub.aggregated - instrument.dropped(),
                   instrument.columns().size(), bars);
    else  // a compact instrument sealed ticks this key had not seen
      sub.fold.catch_up(instrument, bars);
    sub.aggregated = total;
    for (const q::Bar& bar : bars) checked(PyList_Append(out.ptr(), bar_record(sub, bar).ptr()));
  }
}

void close_into(nb::handle self, nb::handle out) {
  BarFeed& feed = feed_of(self);
  auto lock = locked(feed.quotes);
  for (Subscription& sub : feed.keys)
    if (const std::optional<q::Bar> bar = sub.fold.close())
      checked(PyList_Append(out.ptr(), bar_record(sub, *bar).ptr()));
}

nb::list update(nb::handle self, nb::handle code) {
  require_str(code, "code");
  nb::list out;
  update_into(self, code, out);
  return out;
}

nb::list close(nb::handle self) {
  nb::list out;
  close_into(self, out);
  return out;
}

nb::list keys_of(nb::handle self) {
  nb::list keys;
  for (const Subscription& sub : feed_of(self).keys) keys.append(nb::make_tuple(sub.code, sub.unit, sub.freq));
  return keys;
}

void init_bar_feed(nb::handle self, nb::handle quotes, nb::handle keys) {
  if (!nb::isinstance<QuoteManager>(quotes)) raise_type_error("quotes", "QuoteManager", quotes);
  if (!PyList_Check(keys.ptr()) && !PyTuple_Check(keys.ptr())) raise_type_error("keys", "list", keys);
  // A copy: the host may change its list afterwards.
  nb::object items = checked(PySequence_List(keys.ptr()));
  if (nb::len(items) > kMaxKeys)
    raise_value_error("K 棒訂閱最多 " + std::to_string(kMaxKeys) + " 組, 收到 " +
                      std::to_string(nb::len(items)) + " 組");
  std::vector<Subscription> subs;
  for (nb::handle key : items) {
    if (!PyTuple_Check(key.ptr()) || PyTuple_GET_SIZE(key.ptr()) != 3)
      raise_type_error("K 棒訂閱必須是 (code, unit, freq), 收到: " + std::string(nb::repr(key).c_str()));
    nb::handle code = PyTuple_GET_ITEM(key.ptr(), 0), unit = PyTuple_GET_ITEM(key.ptr(), 1),
               freq = PyTuple_GET_ITEM(key.ptr(), 2);
    if (!PyUnicode_CheckExact(code.ptr())) raise_type_error("code", "str", code);
    const auto [bar_unit, frequency] = bar_key_of(unit, freq);
    for (const Subscription& seen : subs)
      if (seen.code_text == text_of(code) && text_of(seen.unit) == text_of(unit) &&
          nb::cast<long long>(seen.freq) == frequency)
        raise_value_error("K 棒訂閱重複: " + std::string(nb::repr(key).c_str()));
    subs.push_back({nb::borrow(code), nb::borrow(unit), nb::borrow(freq), text_of(code),
                    q::BarFold(bar_unit, frequency)});
  }
  new (nb::inst_ptr<BarFeed>(self)) BarFeed{nb::borrow(quotes), std::move(subs)};
}

int direct_update(PyObject* self, PyObject* code, PyObject* out) {
  return guarded_status([&] { update_into(self, code, out); });
}

int direct_close(PyObject* self, PyObject* out) {
  return guarded_status([&] { close_into(self, out); });
}

void require_quotes_and_code(nb::handle quotes, nb::handle code) {
  if (!is_quote_manager(quotes.ptr())) raise_type_error("quotes", "QuoteManager", quotes);
  if (!PyUnicode_CheckExact(code.ptr())) raise_type_error("code", "str", code);
}

// Under the quote manager's lock.
std::shared_ptr<Entry> entry_or_key_error(nb::handle quotes, nb::handle code) {
  std::shared_ptr<Entry> entry = find_entry(quotes, code);
  if (!entry) {
    PyErr_SetObject(PyExc_KeyError, code.ptr());
    throw nb::python_error();
  }
  return entry;
}

cal::LocalMicros bound_of(nb::handle value, const char* name, cal::LocalMicros otherwise) {
  return value.is_none() ? otherwise : require_int(value, name);
}

// (starts, closes): the bars of (code, unit, freq) starting in [since, until) (local
// microseconds; None for no bound), folded from all that the code's buffer keeps, as numpy
// arrays of local microseconds and prices. The statistics mark open positions at these
// closes a stretch at a time: a decade of minutes at once would be hundreds of megabytes.
nb::tuple bar_closes(nb::handle, nb::handle quotes, nb::handle code, nb::handle unit,
                     nb::handle freq, nb::handle since, nb::handle until) {
  require_quotes_and_code(quotes, code);
  const auto [bar_unit, frequency] = bar_key_of(unit, freq);
  const cal::LocalMicros from = bound_of(since, "since", std::numeric_limits<int64_t>::min());
  const cal::LocalMicros to = bound_of(until, "until", std::numeric_limits<int64_t>::max());
  std::vector<q::Bar> bars;
  {
    auto lock = locked(quotes);
    bars = q::bars_between(entry_or_key_error(quotes, code)->instrument, bar_unit, frequency, from, to);
  }
  std::vector<int64_t> starts;
  std::vector<double> closes;
  starts.reserve(bars.size());
  closes.reserve(bars.size());
  for (const q::Bar& bar : bars) {
    starts.push_back(bar.dt);
    closes.push_back(bar.close);
  }
  return nb::make_tuple(numpy_copy(starts, 0, starts.size(), "<i8"),
                        numpy_copy(closes, 0, closes.size(), "<f8"));
}

// (first, last): the local microseconds of the earliest and the latest tick or minute the
// code's buffer keeps.
nb::tuple bar_span(nb::handle, nb::handle quotes, nb::handle code) {
  require_quotes_and_code(quotes, code);
  auto lock = locked(quotes);
  std::shared_ptr<Entry> entry = entry_or_key_error(quotes, code);
  const q::Instrument& instrument = entry->instrument;
  const q::MinuteBars& minutes = instrument.minutes();
  const std::vector<int64_t>& dt = instrument.columns().dt;
  int64_t first = std::numeric_limits<int64_t>::max(), last = std::numeric_limits<int64_t>::min();
  if (minutes.size() > 0) {
    first = minutes.at(0).dt;
    last = minutes.at(minutes.size() - 1).dt;
  }
  if (!dt.empty()) {
    first = std::min(first, *std::min_element(dt.begin(), dt.end()));
    last = std::max(last, *std::max_element(dt.begin(), dt.end()));
  }
  return nb::make_tuple(first, last);
}

PyTypeObject* bar_feed_type = nullptr;

int is_bar_feed(PyObject* obj) { return Py_TYPE(obj) == bar_feed_type; }
int is_quotes(PyObject* obj) { return is_quote_manager(obj) ? 1 : 0; }

const direct::QuotesApi direct_api{direct::kApiVersion, &is_quotes,       &is_bar_feed,
                                   &direct_add_tick,     &direct_add_ticks,
                                   &direct_update,       &direct_close,
                                   &is_positions,        &direct_set_account_tick,
                                   &direct_expiry_from,  &direct_contract_month,
                                   &direct_add_trade_record, &direct_set_positions};

}  // namespace

void bind_bar_feed(nb::module_& m) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw nb::python_error();
  bar_keys = new BarKeys();
  nb::class_<BarFeed> cls(m, "BarFeed",
                          "K 棒推送: 訂閱的 (code, unit, freq) 每完成一根 K 棒, 交出與 get_kbar 相同的值");
  bar_feed_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  def_init<&init_bar_feed>(cls, {param("quotes"), param("keys")});
  def_property<&keys_of>(cls, "keys", "訂閱的 K 棒 (code, unit, freq)");
  def_method<&update>(cls, "update", {param("code")},
                      "商品新加入的 Tick 完成的 K 棒 (依訂閱順序, 各自依時間), 每根為 dict: "
                      "dt, code, Open, High, Low, Close, Volume, unit, freq");
  def_method<&close>(cls, "close", {}, "資料結束: 交出每組訂閱尚未完成的最後一根 K 棒");
  m.attr("_bar_span") = function<&bar_span>(
      "_bar_span", {param("quotes"), param("code")},
      "商品緩衝中最早與最晚的 Tick 或一分 K 時間 (當地微秒): (first, last)");
  m.attr("_bar_closes") = function<&bar_closes>(
      "_bar_closes",
      {param("quotes"), param("code"), param("unit"), param("freq"), param("since", nb::none()),
       param("until", nb::none())},
      "開始於 [since, until) 的每根 K 棒的開始時間 (當地微秒) 與收盤價: (starts, closes) 兩個 numpy 陣列");
  if (direct::publish_api(m.ptr(), direct::kQuotesApi, &direct_api) < 0) throw nb::python_error();
}

}  // namespace orva::py::positions
