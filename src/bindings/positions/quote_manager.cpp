// Binding of class QuoteManager: the per-instrument tick buffer (its cached
// K-bars are in kbar_tables.cpp). Buffered ticks live in compact C++ columns;
// the documented `ticks` entries are built as Python dicts only when the host
// reads them.
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "calendar/local_time.h"
#include "common/gil.h"
#include "common/host.h"
#include "common/methods.h"
#include "common/threads.h"
#include "positions/positions_internal.h"
#include "positions/quote_manager.h"
#include "positions/tick_frames.h"
#include "quotes/kbars.h"
#include "quotes/tick_buffer.h"

namespace orva::py::positions {
namespace {

namespace cal = orva::calendar;

constexpr size_t kMaxMarketTypes = 256;  // real data has one or two
constexpr size_t kMaxWindows = 64;         // per product type

nb::dict tick_schema() {
  nb::object pl = polars->pl;
  nb::dict schema;
  schema["dt"] = pl.attr("Datetime")();
  schema["market_type"] = pl.attr("Utf8");
  schema["code"] = pl.attr("Utf8");
  schema["close"] = pl.attr("Float64");
  schema["qty"] = pl.attr("Int64");
  schema["tick_type"] = pl.attr("Int64");
  schema["is_simulate"] = pl.attr("Boolean");
  schema["is_virtual"] = pl.attr("Boolean");
  return schema;
}

nb::object empty_tick_df() { return polars->pl.attr("DataFrame")(nb::arg("schema") = tick_schema()); }

[[noreturn]] void bad_windows(nb::handle value) {
  raise_type_error("參數 not_trade_times 的每個時段必須是 [開始, 結束] 兩個 datetime.time, 收到: " +
                   std::string(nb::repr(value).c_str()));
}

int seconds_of_day(nb::handle time) {
  for (const char* part : {"hour", "minute", "second"})
    if (!PyObject_HasAttrString(time.ptr(), part)) bad_windows(time);
  const long long h = require_int(time.attr("hour"), "hour");
  const long long m = require_int(time.attr("minute"), "minute");
  const long long sec = require_int(time.attr("second"), "second");
  if (h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 59) bad_windows(time);
  return static_cast<int>(h * 3600 + m * 60 + sec);
}

bool is_sequence(PyObject* obj) { return PyList_Check(obj) || PyTuple_Check(obj); }

// The windows of one product type, or an error naming the bad value.
std::vector<q::Window> parse_windows(nb::handle windows) {
  if (!is_sequence(windows.ptr())) bad_windows(windows);
  if (nb::len(windows) > kMaxWindows) bad_windows(windows);
  std::vector<q::Window> list;
  for (nb::handle window : nb::borrow<nb::sequence>(windows)) {
    if (!is_sequence(window.ptr()) || nb::len(window) != 2) bad_windows(window);
    list.push_back({seconds_of_day(window[0]), seconds_of_day(window[1])});
  }
  return list;
}

// The objects that make up `windows` (the list, each window, each time), in order.
std::vector<nb::object> window_objects(PyObject* windows) {
  std::vector<nb::object> objects{nb::borrow(windows)};
  if (!windows || !is_sequence(windows)) return objects;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(windows);
  for (Py_ssize_t i = 0; i < n && i <= static_cast<Py_ssize_t>(kMaxWindows); ++i) {
    PyObject* window = PySequence_Fast_GET_ITEM(windows, i);
    objects.push_back(nb::borrow(window));
    if (!is_sequence(window)) continue;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(window) && j < 2; ++j)
      objects.push_back(nb::borrow(PySequence_Fast_GET_ITEM(window, j)));
  }
  return objects;
}

bool same_objects(const std::vector<nb::object>& seen, PyObject* windows) {
  if (seen.empty() || seen[0].ptr() != windows) return false;
  if (!windows || !is_sequence(windows)) return seen.size() == 1;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(windows);
  size_t at = 1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* window = PySequence_Fast_GET_ITEM(windows, i);
    if (at >= seen.size() || seen[at++].ptr() != window) return false;
    if (!is_sequence(window)) continue;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(window) && j < 2; ++j)
      if (at >= seen.size() || seen[at++].ptr() != PySequence_Fast_GET_ITEM(window, j)) return false;
  }
  return at == seen.size();
}

// Brings the C++ windows of `market` in line with the host's table, which the
// host may have edited in place since the last tick.
void refresh_windows(QuoteManager& qm, nb::handle market, const std::string& market_text) {
  PyObject* windows = PyDict_GetItemWithError(qm.windows.ptr(), market.ptr());
  if (!windows && PyErr_Occurred()) throw nb::python_error();
  std::vector<nb::object>& seen = qm.windows_seen[market_text];
  if (same_objects(seen, windows)) return;
  if (windows)
    qm.calendar.windows[market_text] = parse_windows(windows);
  else
    qm.calendar.windows.erase(market_text);
  seen = window_objects(windows);
}

void require_windows_table(nb::handle value) {
  require_dict(value, "not_trade_times");
  for (auto [market, windows] : nb::borrow<nb::dict>(value)) {
    require_str(market, "not_trade_times 的商品類型");
    parse_windows(windows);
  }
}

void require_holiday_set(nb::handle value) {
  if (!PyAnySet_Check(value.ptr())) raise_type_error("holiday_search_set", "set", value);
  for (nb::handle day : value)
    if (!PyUnicode_Check(day.ptr())) raise_type_error("holiday_search_set 的日期", "str", day);
}

// Whether the host's holiday set holds `day` written as "%Y-%m-%d".
bool is_holiday(const QuoteManager& qm, int64_t day) {
  int y = 0, m = 0, d = 0;
  cal::civil_from_days(day, y, m, d);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  nb::str key(text);
  const int found = PySet_Contains(qm.holidays.ptr(), key.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

void set_holidays(nb::handle self, nb::handle value) {
  require_holiday_set(value);
  auto lock = locked(self);
  state(self).holidays = nb::borrow(value);
}

void set_windows(nb::handle self, nb::handle value) {
  require_windows_table(value);
  auto lock = locked(self);
  QuoteManager& qm = state(self);
  qm.windows = nb::borrow(value);
  qm.windows_seen.clear();
  qm.calendar.windows.clear();
}

nb::object holiday_search_set(nb::handle self) { return state(self).holidays; }
bool compact_of(nb::handle self) { return state(self).compact; }
nb::object not_trade_times(nb::handle self) { return state(self).windows; }

nb::object default_windows() {
  nb::dict table;
  auto window = [](const char* start, const char* end) {
    nb::list pair;
    pair.append(polars->time_parse(start, "%H:%M:%S").attr("time")());
    pair.append(polars->time_parse(end, "%H:%M:%S").attr("time")());
    return pair;
  };
  nb::list stock, future;
  stock.append(window("13:30:00", "23:59:59"));
  stock.append(window("00:00:00", "08:59:59"));
  future.append(window("13:45:00", "14:59:59"));
  future.append(window("05:00:00", "08:44:59"));
  table["Stock"] = stock;
  table["Future"] = future;
  return table;
}

void init_quote_manager(nb::handle self, nb::handle compact) {
  const bool compact_form = require_bool(compact, "compact");
  // The package's calendar, read once a process; each instance gets a set of its own to change.
  nb::object calendar = nb::module_::import_("orva_backtest.trading_days").attr("holidays")();
  nb::object holidays = checked(PySet_New(calendar.ptr()));
  require_holiday_set(holidays);
  QuoteManager* qm = new (nb::inst_ptr<QuoteManager>(self)) QuoteManager();
  qm->holidays = holidays;
  qm->windows = default_windows();
  qm->compact = compact_form;
  qm->calendar.is_holiday = [qm](int64_t day) { return is_holiday(*qm, day); };
  register_exit_lock(self.ptr(), &qm->mutex);
}

}  // namespace

Polars* polars = nullptr;

nb::object col(const char* name) { return polars->pl.attr("col")(name); }

nb::object tick_df(const Entry& entry, size_t from, size_t to) {
  if (from >= to) return empty_tick_df();
  const q::TickColumns& c = entry.instrument.columns();
  nb::object pl = polars->pl;
  nb::list markets;
  for (size_t i = from; i < to; ++i) markets.append(entry.market_texts[c.market[i]]);
  nb::dict columns;
  columns["dt"] = pl.attr("Series")("dt", numpy_copy(c.dt, from, to, "<i8"))
                      .attr("cast")(pl.attr("Datetime")("us"));
  columns["market_type"] = pl.attr("Series")("market_type", markets, nb::arg("dtype") = pl.attr("Utf8"));
  columns["code"] = pl.attr("repeat")(entry.code, to - from, nb::arg("eager") = true,
                                      nb::arg("dtype") = pl.attr("Utf8"));
  columns["close"] = pl.attr("Series")("close", numpy_copy(c.close, from, to, "<f8"));
  columns["qty"] = pl.attr("Series")("qty", numpy_copy(c.qty, from, to, "<i8"));
  columns["tick_type"] = pl.attr("Series")("tick_type", numpy_copy(c.tick_type, from, to, "<i8"));
  columns["is_simulate"] = pl.attr("Series")("is_simulate", numpy_copy(c.is_simulate, from, to, "u1"))
                               .attr("cast")(pl.attr("Boolean"));
  columns["is_virtual"] = pl.attr("Series")("is_virtual", numpy_copy(c.is_virtual, from, to, "u1"))
                              .attr("cast")(pl.attr("Boolean"));
  return pl.attr("DataFrame")(columns).attr("sort")("dt", nb::arg("maintain_order") = true);
}

std::shared_ptr<Entry> find_entry(nb::handle self, nb::handle code) {
  if (!PyUnicode_Check(code.ptr())) return nullptr;
  auto found = state(self).entries.find(text_of(code));
  return found == state(self).entries.end() ? nullptr : found->second;
}

namespace {

void check_tick_time(std::optional<cal::LocalMicros> dt, nb::handle timestamp) {
  if (!dt) raise_value_error("無法轉換的時間戳: " + text_of(timestamp));
  if (!q::tick_time_in_range(*dt))
    raise_value_error("Tick 時間戳超出 1990-01-01 至 2100-01-01 的範圍: " + text_of(timestamp));
}

// Where a code's ticks of one product type go: its entry (made on its first tick) and the
// product type's index among the entry's.
struct Destination {
  std::shared_ptr<Entry> entry;
  uint16_t market = 0;
  const std::vector<q::Window>* windows = nullptr;  // its product type's, when looked up
};

Destination destination(QuoteManager& qm, nb::handle code, const std::string& code_text,
                        nb::handle market, const std::string& market_text) {
  auto [it, created] = qm.entries.try_emplace(code_text);
  if (created) {
    it->second = std::make_shared<Entry>();
    it->second->code = nb::borrow(code);
    it->second->instrument = q::Instrument(qm.compact);
    qm.order.push_back(code_text);
  }
  Entry& entry = *it->second;
  std::vector<std::string>& markets = entry.instrument.market_types;
  size_t index = 0;
  while (index < markets.size() && markets[index] != market_text) ++index;
  if (index == markets.size()) {
    if (index >= kMaxMarketTypes)
      raise_value_error("商品 " + code_text + " 的 market_type 種類超過 " +
                        std::to_string(kMaxMarketTypes) + " 種: " + market_text);
    markets.push_back(market_text);
    entry.market_texts.push_back(nb::borrow(market));
  }
  return {it->second, static_cast<uint16_t>(index)};
}

// False when the tick came after a gap left unfilled, which the host's console was told of.
bool store_at(QuoteManager& qm, const Destination& to, const std::string& code_text,
              cal::LocalMicros dt, double close, long long qty, long long tick_type,
              bool simulate) {
  const std::string& market_text = to.entry->instrument.market_types[to.market];
  const q::RealTick tick{dt, to.market, &market_text, close, qty, tick_type, simulate};
  const bool filled = to.windows ? to.entry->instrument.add(tick, qm.calendar, *to.windows)
                                 : to.entry->instrument.add(tick, qm.calendar);
  if (!filled)
    console_print("[yellow]" + code_text + " 的 Tick 間隔超過 " +
                  std::to_string(q::kMaxFilledGapMinutes / 1440) + " 天, 不補空白 K 棒[/yellow]");
  return filled;
}

// Stores one checked tick.
void store_tick(nb::handle self, nb::handle code, const std::string& code_text, nb::handle market,
                const std::string& market_text, cal::LocalMicros dt, double close, long long qty,
                long long tick_type, bool simulate) {
  auto lock = locked(self);
  QuoteManager& qm = state(self);
  refresh_windows(qm, market, market_text);
  store_at(qm, destination(qm, code, code_text, market, market_text), code_text, dt, close, qty,
           tick_type, simulate);
}

// Every field is read and checked before anything is stored.
void add_tick(nb::handle self, nb::handle tick) {
  require_dict(tick, "tick");
  const Keys& k = keys();
  nb::object timestamp = item(tick, k.timestamp);
  const auto dt = cal::local_micros(require_number(timestamp, "timestamp"));
  check_tick_time(dt, timestamp);
  nb::object code = item(tick, k.code);
  const std::string code_text(require_str(code, "code"));
  nb::object market = item(tick, k.market_type);
  const std::string market_text(require_str(market, "market_type"));
  const double close = require_price(item(tick, k.close), "close");
  const long long qty = require_int(item(tick, k.qty), "qty");
  require_range(qty, "qty", 0LL, std::numeric_limits<long long>::max());
  const long long tick_type = require_int(item(tick, k.tick_type), "tick_type");
  const bool simulate = truth(item(tick, k.is_simulate));
  store_tick(self, code, code_text, market, market_text, *dt, close, qty, tick_type, simulate);
}

nb::object poped_tick_to_df(nb::handle self, nb::handle code) {
  std::shared_ptr<Entry> entry = find_entry(self, code);
  if (!entry) return empty_tick_df();
  const size_t from = entry->instrument.pending_from();
  const size_t to = entry->instrument.columns().size();
  if (from == to) return empty_tick_df();
  entry->instrument.hand_over();
  return tick_df(*entry, from, to);
}

nb::object poped_old_ticks_to_df(nb::handle self, nb::handle code) {
  std::shared_ptr<Entry> entry = find_entry(self, code);
  if (!entry) return empty_tick_df();
  return tick_df(*entry, 0, entry->instrument.pending_from());
}

}  // namespace

std::pair<q::BarUnit, long long> bar_key_of(nb::handle unit, nb::handle freq) {
  const std::optional<q::BarUnit> bar_unit =
      PyUnicode_Check(unit.ptr()) ? q::parse_bar_unit(text_of(unit)) : std::nullopt;
  if (!bar_unit) raise_type_error("'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']");
  if (!PyLong_CheckExact(freq.ptr())) raise_type_error("freq", "int", freq);
  const long long frequency = require_int(freq, "freq");
  require_range(frequency, "freq", 1LL, kMaxFreq);
  return {*bar_unit, frequency};
}

// The tick's time as its record shows it, made for a message when the loop made none.
nb::object shown_time(const direct::Tick& tick) {
  return tick.timestamp ? nb::borrow(tick.timestamp) : nb::float_(tick.seconds);
}

int direct_add_tick(PyObject* self, const direct::Tick& tick) {
  return guarded_status([&] {
    if (!q::tick_time_in_range(tick.local)) check_tick_time(tick.local, shown_time(tick));
    store_tick(self, tick.code, *tick.code_text, tick.market_type, *tick.market_text, tick.local,
               tick.close, tick.qty, tick.tick_type, tick.is_simulate);
  });
}

int direct_add_ticks(PyObject* self, const direct::Tick* ticks, size_t count) {
  return guarded_status([&] {
    auto lock = locked(self);
    QuoteManager& qm = state(self);
    // No host code runs between these ticks (but the console's): the windows of a product type
    // read for the first still hold for the rest, and a code's destination stays where it was.
    // A few of each are remembered, on the stack: a replay has few codes.
    constexpr size_t kRemembered = 8;
    std::array<PyObject*, kRemembered> refreshed{};
    std::array<std::pair<const direct::Tick*, Destination>, kRemembered> known{};
    size_t markets = 0, codes = 0;
    for (size_t i = 0; i < count; ++i) {
      const direct::Tick& tick = ticks[i];
      if (std::find(refreshed.begin(), refreshed.begin() + markets, tick.market_type) ==
          refreshed.begin() + markets) {
        refresh_windows(qm, tick.market_type, *tick.market_text);
        if (markets == kRemembered) markets = 0;
        refreshed[markets++] = tick.market_type;
        codes = 0;  // the windows they point to may have been read again
      }
      auto at = std::find_if(known.begin(), known.begin() + codes, [&](const auto& seen) {
        return seen.first->code == tick.code && seen.first->market_type == tick.market_type;
      });
      if (at == known.begin() + codes) {
        if (codes == kRemembered) codes = 0;
        at = known.begin() + codes++;
        *at = {&tick, destination(qm, tick.code, *tick.code_text, tick.market_type,
                                  *tick.market_text)};
        at->second.windows = &q::windows_for(qm.calendar, *tick.market_text);
      }
      if (!store_at(qm, at->second, *tick.code_text, tick.local, tick.close, tick.qty,
                    tick.tick_type, tick.is_simulate))
        markets = codes = 0;
    }
  });
}

namespace {

void clear_ticks(nb::handle self) {
  auto lock = locked(self);
  state(self).entries.clear();
  state(self).order.clear();
  ++state(self).clears;
}

nb::object empty_tick_df_method(nb::handle) { return empty_tick_df(); }

nb::object pop_ticks(nb::handle self, nb::handle code) {
  require_str(code, "code");
  auto lock = locked(self);
  return poped_tick_to_df(self, code);
}

nb::object old_ticks(nb::handle self, nb::handle code) {
  require_str(code, "code");
  auto lock = locked(self);
  return poped_old_ticks_to_df(self, code);
}

PyTypeObject* quote_manager_type = nullptr;

}  // namespace

bool is_quote_manager(PyObject* obj) { return Py_TYPE(obj) == quote_manager_type; }

void bind_quote_manager(nb::module_& m) {
  nb::module_ datetime = nb::module_::import_("datetime");
  nb::object pl = nb::module_::import_("polars");
  polars = new Polars{pl,
                      nb::module_::import_("numpy").attr("frombuffer"),
                      datetime.attr("datetime").attr("strptime"),
                      datetime.attr("datetime")(1970, 1, 1),
                      datetime.attr("timedelta"),
                      pl.attr("Series"),
                      pl.attr("Datetime")("us"),
                      pl.attr("Int64"),
                      pl.attr("DataFrame")};
  nb::class_<QuoteManager> cls(m, "QuoteManager", "報價管理");
  quote_manager_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  def_init<&init_quote_manager>(cls, {param("compact", nb::bool_(false))});
  def_property<&holiday_search_set, &set_holidays>(cls, "holiday_search_set", "交易所休市日 (\"%Y-%m-%d\" 文字的集合)");
  def_property<&not_trade_times, &set_windows>(cls, "not_trade_times", "各商品類型的非交易時段 [[開始, 結束], ...]");
  def_property<&compact_of>(cls, "compact",
                            "精簡形式: 各商品只保留一分 K 與當前交易日的 Tick (直接回放使用)");
  bind_ticks_view(cls);
  def_method<&empty_tick_df_method>(cls, "get_empty_tick_df", {}, "取得空的 Tick DataFrame");
  def_method<&clear_ticks>(cls, "clear_ticks", {}, "清空 ticks");
  def_method<&add_tick>(cls, "add_tick", {param("tick")}, "將 Tick 資料加入到 ticks 中");
  def_method<&pop_ticks>(cls, "poped_tick_to_df", {param("code")},
                         "將 ticks 中的資料轉換為 DataFrame 並清空 ticks");
  def_method<&old_ticks>(cls, "poped_old_ticks_to_df", {param("code")},
                         "將 old_ticks 中的資料轉為 DataFrame");
  def_method<&get_kbar>(cls, "get_kbar",
                        {param("code"), param("unit"), param("freq"), param("exprs", nb::list()),
                         param("to_pandas_df", nb::bool_(false))},
                        "取得 K 線資料");
  def_method<&aggregate_kbar_method>(cls, "aggregate_kbar", {param("tick_df")},
                                     "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)");
}

}  // namespace orva::py::positions
