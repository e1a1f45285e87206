// Binding of class QuoteManager: the per-instrument tick buffer and cached
// K-bars. Buffered ticks live in compact C++ columns; the documented `ticks`
// entries are built as Python dicts only when the host reads them.
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "calendar/local_time.h"
#include "positions/positions_internal.h"
#include "quotes/tick_buffer.h"

namespace orva::py::positions {
namespace {

namespace cal = orva::calendar;
namespace q = orva::quotes;

const char* const kUnits[] = {"m", "h", "d", "w", "mo", "q", "y"};

// One cache key's bars and how far into the instrument's ticks they reach.
struct KbarCache {
  nb::object key;    // the (code, unit, freq) tuple
  nb::object table;  // sorted by dt, without caller expressions
  size_t aggregated = 0;
};

struct Entry {
  nb::object code;
  q::Instrument instrument;
  std::vector<nb::object> market_texts;
  std::map<std::pair<std::string, long long>, KbarCache> caches;
};

struct QuoteManager {
  q::Calendar calendar;
  nb::object holidays;  // the host-visible set
  nb::object windows;   // the host-visible not_trade_times
  std::vector<std::string> order;  // codes in first-seen order
  std::unordered_map<std::string, Entry> entries;
};

QuoteManager& state(nb::handle self) { return *nb::inst_ptr<QuoteManager>(self); }

struct Polars {
  nb::object pl, np_frombuffer, time_parse, epoch, timedelta;
};
Polars* polars = nullptr;

nb::object col(const char* name) { return polars->pl.attr("col")(name); }

nb::dict tick_schema() {
  nb::object pl = polars->pl;
  nb::dict schema;
  schema["dt"] = pl.attr("Datetime")();
  schema["market_type"] = pl.attr("Utf8");
  schema["code"] = pl.attr("Utf8");
  schema["close"] = pl.attr("Float64");
  schema["qty"] = pl.attr("Int64");
  schema["tick_type"] = pl.attr("Int8");
  schema["is_simulate"] = pl.attr("Boolean");
  schema["is_virtual"] = pl.attr("Boolean");
  return schema;
}

nb::object empty_tick_df() { return polars->pl.attr("DataFrame")(nb::arg("schema") = tick_schema()); }

// Rebuilds the C++ calendar from the host-visible set and window table.
void load_calendar(QuoteManager& qm) {
  q::Calendar calendar;
  for (nb::handle day : qm.holidays) {
    if (!PyUnicode_Check(day.ptr())) continue;
    int y = 0, m = 0, d = 0;
    if (std::sscanf(text_of(day).c_str(), "%d-%d-%d", &y, &m, &d) == 3)
      calendar.holidays.insert(cal::days_from_civil(y, m, d));
  }
  for (auto [market, windows] : nb::cast<nb::dict>(qm.windows)) {
    std::vector<q::Window> list;
    for (nb::handle window : windows) {
      auto seconds = [](nb::handle t) {
        return nb::cast<int>(t.attr("hour")) * 3600 + nb::cast<int>(t.attr("minute")) * 60 +
               nb::cast<int>(t.attr("second"));
      };
      list.push_back({seconds(window[0]), seconds(window[1])});
    }
    calendar.windows[text_of(market)] = list;
  }
  qm.calendar = std::move(calendar);
}

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

void init_quote_manager(nb::pointer_and_handle<QuoteManager> self) {
  nb::object path = nb::module_::import_("os").attr("path").attr("join")(
      nb::module_::import_("orva_backtest.modules.positions.positions").attr("static_dir"),
      "holidays_search_from_2017.csv");
  nb::object table = polars->pl.attr("read_csv")(path, nb::arg("infer_schema") = false);
  nb::object holidays = nb::steal(PySet_New(table.attr("get_column")("Date").attr("to_list")().ptr()));
  new (self.p) QuoteManager();
  self.p->holidays = holidays;
  self.p->windows = default_windows();
  load_calendar(*self.p);
}

template <class T>
nb::object numpy_copy(const std::vector<T>& values, size_t from, size_t to, const char* dtype) {
  nb::object bytes = nb::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(values.data() + from), (to - from) * sizeof(T)));
  return polars->np_frombuffer(bytes, nb::arg("dtype") = dtype);
}

// Buffered tick table of ticks [from, to) of `entry`, sorted by dt (stable).
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
  columns["tick_type"] = pl.attr("Series")("tick_type", numpy_copy(c.tick_type, from, to, "i1"));
  columns["is_simulate"] = pl.attr("Series")("is_simulate", numpy_copy(c.is_simulate, from, to, "u1"))
                               .attr("cast")(pl.attr("Boolean"));
  columns["is_virtual"] = pl.attr("Series")("is_virtual", numpy_copy(c.is_virtual, from, to, "u1"))
                              .attr("cast")(pl.attr("Boolean"));
  return pl.attr("DataFrame")(columns).attr("sort")("dt", nb::arg("maintain_order") = true);
}

Entry* find_entry(nb::handle self, nb::handle code) {
  if (!PyUnicode_Check(code.ptr())) return nullptr;
  auto found = state(self).entries.find(text_of(code));
  return found == state(self).entries.end() ? nullptr : &found->second;
}

void add_tick(nb::handle self, nb::handle tick) {
  require_dict(tick, "tick");
  const Keys& k = keys();
  const double seconds = require_number(item(tick, k.timestamp), "timestamp");
  const auto dt = cal::local_micros(seconds);
  if (!dt) throw nb::value_error(("無法轉換的時間戳: " + text_of(item(tick, k.timestamp))).c_str());
  nb::object code = item(tick, k.code);
  const std::string code_text(require_str(code, "code"));
  QuoteManager& qm = state(self);
  auto [it, created] = qm.entries.try_emplace(code_text);
  Entry& entry = it->second;
  if (created) {
    entry.code = code;
    qm.order.push_back(code_text);
  }
  nb::object market = item(tick, k.market_type);
  const std::string market_text = text_of(market);
  size_t index = 0;
  while (index < entry.instrument.market_types.size() && entry.instrument.market_types[index] != market_text) ++index;
  const double close = require_number(item(tick, k.close), "close");
  const long long qty = require_int(item(tick, k.qty), "qty");
  const long long tick_type = require_int(item(tick, k.tick_type), "tick_type");
  const bool simulate = PyObject_IsTrue(item(tick, k.is_simulate).ptr()) == 1;
  if (index == entry.instrument.market_types.size()) {
    entry.instrument.market_types.push_back(market_text);
    entry.market_texts.push_back(market);
  }
  entry.instrument.add({*dt, static_cast<uint16_t>(index), &entry.instrument.market_types[index],
                        close, qty, tick_type, simulate},
                       qm.calendar);
}

nb::object poped_tick_to_df(nb::handle self, nb::handle code) {
  Entry* entry = find_entry(self, code);
  if (!entry) return empty_tick_df();
  const size_t from = entry->instrument.pending_from();
  const size_t to = entry->instrument.columns().size();
  if (from == to) return empty_tick_df();
  entry->instrument.hand_over();
  return tick_df(*entry, from, to);
}

nb::object poped_old_ticks_to_df(nb::handle self, nb::handle code) {
  Entry* entry = find_entry(self, code);
  if (!entry) return empty_tick_df();
  return tick_df(*entry, 0, entry->instrument.pending_from());
}

nb::dict buffered_tick(const Entry& entry, size_t i) {
  const q::TickColumns& c = entry.instrument.columns();
  nb::dict tick;
  tick["dt"] = polars->epoch + polars->timedelta(nb::arg("microseconds") = c.dt[i]);
  tick["market_type"] = entry.market_texts[c.market[i]];
  tick["code"] = entry.code;
  tick["close"] = c.close[i];
  tick["qty"] = c.qty[i];
  tick["tick_type"] = static_cast<int>(c.tick_type[i]);
  tick["is_simulate"] = nb::bool_(c.is_simulate[i] != 0);
  tick["is_virtual"] = nb::bool_(c.is_virtual[i] != 0);
  return tick;
}

// The documented instrument entries, built from the compact columns.
nb::dict ticks_view(nb::handle self) {
  QuoteManager& qm = state(self);
  nb::dict view;
  for (const std::string& code : qm.order) {
    const Entry& entry = qm.entries.at(code);
    nb::list pending, old;
    nb::object last = nb::none();
    for (size_t i = 0; i < entry.instrument.columns().size(); ++i) {
      nb::dict tick = buffered_tick(entry, i);
      (i < entry.instrument.pending_from() ? old : pending).append(tick);
      if (static_cast<int64_t>(i) == entry.instrument.last_tick()) last = tick;
    }
    nb::dict cached;
    for (const auto& [key, cache] : entry.caches) cached[cache.key] = cache.table;
    nb::dict info;
    info["ticks"] = pending;
    info["old_ticks"] = old;
    info["last_tick"] = last;
    info["cached_kbars"] = cached;
    view[entry.code] = info;
  }
  return view;
}

nb::dict init_ticks_info() {
  nb::dict info;
  info["ticks"] = nb::list();
  info["old_ticks"] = nb::list();
  info["last_tick"] = nb::none();
  info["cached_kbars"] = nb::dict();
  return info;
}

// --- K-bars ---

nb::object with_bar_columns(nb::handle ticks, const std::string& interval) {
  nb::object pl = polars->pl;
  return ticks.attr("with_columns")(
      col("dt").attr("cast")(pl.attr("Datetime")),
      col("dt").attr("dt").attr("truncate")(interval.c_str()).attr("alias")("kbar_time"));
}

nb::object kbar_columns(nb::handle frame) {
  return frame.attr("select")(nb::make_tuple("dt", "code", "Open", "High", "Low", "Close", "Volume"));
}

nb::object aggregate_kbar(nb::handle tick_df) {
  nb::object grouped = tick_df.attr("group_by")(nb::make_tuple("kbar_time", "code"));
  nb::object bars = grouped.attr("agg")(
      col("close").attr("first")().attr("alias")("Open"), col("close").attr("max")().attr("alias")("High"),
      col("close").attr("min")().attr("alias")("Low"), col("close").attr("last")().attr("alias")("Close"),
      col("qty").attr("sum")().attr("alias")("Volume"));
  nb::dict rename;
  rename["kbar_time"] = "dt";
  return kbar_columns(bars.attr("rename")(rename));
}

nb::object get_kbar(nb::handle self, nb::handle code, nb::handle unit, nb::handle freq,
                    nb::handle exprs, nb::handle to_pandas_df) {
  if (!PyUnicode_CheckExact(code.ptr())) raise_type_error("code", "str", code);
  bool known_unit = false;
  for (const char* u : kUnits)
    known_unit = known_unit || (PyUnicode_Check(unit.ptr()) && text_of(unit) == u);
  if (!known_unit) throw nb::type_error("'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']");
  if (!PyLong_CheckExact(freq.ptr())) raise_type_error("freq", "int", freq);
  if (!PyList_CheckExact(exprs.ptr())) raise_type_error("exprs", "list", exprs);

  poped_tick_to_df(self, code);  // the pending ticks are handed over whatever follows
  Entry* entry = find_entry(self, code);
  if (!entry) {
    PyErr_SetObject(PyExc_KeyError, code.ptr());
    throw nb::python_error();
  }
  const long long frequency = nb::cast<long long>(freq);
  const std::string interval = std::to_string(frequency) + text_of(unit);
  const size_t total = entry->instrument.columns().size();
  auto key = std::make_pair(text_of(unit), frequency);
  auto cached = entry->caches.find(key);
  const auto finish = [&](nb::object table) -> nb::object {
    return PyObject_IsTrue(to_pandas_df.ptr()) == 1 ? table.attr("to_pandas")() : table;
  };

  nb::object kbars;
  if (cached == entry->caches.end()) {
    kbars = aggregate_kbar(with_bar_columns(tick_df(*entry, 0, total), interval));
  } else {
    // Every key sees every tick: it updates from where it last left off,
    // whichever key's call handed the ticks over.
    nb::object fresh = with_bar_columns(tick_df(*entry, cached->second.aggregated, total), interval);
    if (nb::len(fresh) == 0) return finish(cached->second.table);
    nb::object table = cached->second.table;
    nb::object last_dt = table.attr("get_column")("dt").attr("max")();
    nb::object last = polars->pl.attr("lit")(last_dt);
    nb::object completed = table.attr("filter")(col("dt").attr("lt")(last));
    nb::object last_bar = table.attr("filter")(col("dt").attr("eq")(last));
    // Ticks of earlier bars and simulated ticks are left out of an update.
    nb::object usable = fresh.attr("filter")(col("kbar_time").attr("ge")(last).attr("and_")(
        col("is_simulate").attr("ne")(true)));
    nb::object merged = polars->pl.attr("concat")(nb::make_tuple(last_bar, aggregate_kbar(usable)))
                            .attr("group_by")(nb::make_tuple("dt", "code"), nb::arg("maintain_order") = true)
                            .attr("agg")(col("Open").attr("first")(), col("High").attr("max")(),
                                         col("Low").attr("min")(), col("Close").attr("last")(),
                                         col("Volume").attr("sum")());
    kbars = polars->pl.attr("concat")(nb::make_tuple(completed, kbar_columns(merged)));
  }
  if (nb::len(kbars) == 0) return finish(kbars);
  kbars = kbars.attr("sort")("dt");
  KbarCache& slot = entry->caches[key];
  slot.key = nb::make_tuple(code, unit, freq);
  slot.table = kbars;
  slot.aggregated = total;
  if (nb::len(exprs) > 0) kbars = kbars.attr("with_columns")(exprs);
  return finish(kbars);
}

}  // namespace

void bind_quote_manager(nb::module_& m) {
  nb::module_ datetime = nb::module_::import_("datetime");
  polars = new Polars{nb::module_::import_("polars"),
                      nb::module_::import_("numpy").attr("frombuffer"),
                      datetime.attr("datetime").attr("strptime"),
                      datetime.attr("datetime")(1970, 1, 1),
                      datetime.attr("timedelta")};
  nb::class_<QuoteManager>(m, "QuoteManager", "報價管理")
      .def("__init__", &init_quote_manager)
      .def_prop_rw(
          "holiday_search_set", [](nb::handle self) { return state(self).holidays; },
          [](nb::handle self, nb::handle value) {
            state(self).holidays = nb::borrow(value);
            load_calendar(state(self));
          })
      .def_prop_rw(
          "not_trade_times", [](nb::handle self) { return state(self).windows; },
          [](nb::handle self, nb::handle value) {
            require_dict(value, "not_trade_times");
            state(self).windows = nb::borrow(value);
            load_calendar(state(self));
          })
      .def_prop_ro("ticks", &ticks_view)
      .def("get_init_ticks_info", [](nb::handle) { return init_ticks_info(); }, "取得 ticks 的初始資訊")
      .def("get_empty_tick_df", [](nb::handle) { return empty_tick_df(); }, "取得空的 Tick DataFrame")
      .def("clear_ticks",
           [](nb::handle self) {
             state(self).entries.clear();
             state(self).order.clear();
           },
           "清空 ticks")
      .def("add_tick", &add_tick, nb::arg("tick").none(), "將 Tick 資料加入到 ticks 中")
      .def("poped_tick_to_df",
           [](nb::handle self, nb::handle code) {
             require_str(code, "code");
             return poped_tick_to_df(self, code);
           },
           nb::arg("code").none(), "將 ticks 中的資料轉換為 DataFrame 並清空 ticks")
      .def("poped_old_ticks_to_df",
           [](nb::handle self, nb::handle code) {
             require_str(code, "code");
             return poped_old_ticks_to_df(self, code);
           },
           nb::arg("code").none(), "將 old_ticks 中的資料轉為 DataFrame")
      .def("get_kbar", &get_kbar, nb::arg("code").none(), nb::arg("unit").none(),
           nb::arg("freq").none(), nb::arg("exprs").none() = nb::list(),
           nb::arg("to_pandas_df").none() = false, "取得 K 線資料")
      .def("aggregate_kbar", [](nb::handle, nb::handle tick_df) { return aggregate_kbar(tick_df); },
           nb::arg("tick_df").none(), "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)");
}

}  // namespace orva::py::positions
