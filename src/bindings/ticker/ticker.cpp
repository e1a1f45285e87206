// Binding of class Ticker: history ticks per instrument-day, fetched or read from the day
// cache (its files: cache_files.cpp), and the merged tick table.
#include <string>

#include "common/host.h"
#include "common/threads.h"
#include "feed/tick_files.h"
#include "feed/tick_table.h"
#include "common/methods.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {

Globals* globals = nullptr;

namespace {

constexpr int kAttemptsPerDay = 3;

const Keys& k() { return keys(); }

// dict(mapping), as the host's dict constructor makes it.
nb::object dict_of(nb::handle mapping) {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(mapping);
}

std::string day_text(nb::handle dt) { return text_of(dt.attr("strftime")("%Y-%m-%d")); }

nb::object make_contract(nb::handle self, nb::handle code, nb::handle market_type) {
  nb::object contracts = nb::getattr(nb::getattr(self, k().api), "Contracts");
  const bool stock = product_of(market_type) == Product::Stock;
  return contracts.attr(stock ? "Stocks" : "Futures")[code];
}

nb::object fetch_history(nb::handle self, nb::handle code, nb::handle product_type,
                         nb::handle start_from, nb::handle end_to) {
  require_str(code, "code");
  require_str(start_from, "start_from");
  require_str(end_to, "end_to");
  require_safe_code(code, "code");  // before any download
  nb::object today = globals->datetime_class.attr("now")().attr("date")();
  nb::object current = globals->format_to_dt(start_from).attr("date")();
  nb::object end = globals->format_to_dt(end_to).attr("date")();
  nb::object contract = make_contract(self, code, product_type);
  nb::object frame_class = globals->pl.attr("DataFrame");
  nb::object result = frame_class(nb::arg("schema") = globals->schema);
  nb::object api = nb::getattr(self, k().api);
  while (current <= end) {
    const std::string date = day_text(current);
    nb::object ticks = api.attr("ticks")(nb::arg("contract") = contract,
                                         nb::arg("date") = date.c_str());
    nb::object day = frame_class(dict_of(ticks), nb::arg("schema") = globals->schema);
    check_day(day);
    if (nb::len(day) > 0) result = globals->pl.attr("concat")(nb::make_tuple(result, day));
    if (current < today) cache_day(day, code, date);
    current = current + globals->timedelta_day;
  }
  return result;
}

}  // namespace

nb::object fetch_day(nb::handle self, nb::handle code, nb::handle product_type, nb::handle date) {
  nb::object path = cache_path(code, date);
  nb::object table;
  if (nb::cast<bool>(globals->os_path_exists(path))) {
    console_print("[green]檔案 " + text_of(path) + " 已存在, 開始讀取檔案...[/green]");
    try {
      table = read_cache_file(path);
    } catch (nb::python_error& error) {
      if (!error.matches(PyExc_Exception)) throw;
      const std::string why = error_message(error);
      console_print("[yellow]檔案 " + text_of(path) + " 無法讀回 Tick 資料 (" + why + "), " +
                    move_aside(path) + ", 重新下載歷史 Tick 資料...[/yellow]");
    }
  } else {
    console_print("[red]檔案 " + text_of(path) + " 不存在, 開始下載歷史 Tick 資料...[/red]");
  }
  if (!table.is_valid()) table = fetch_history(self, code, product_type, date, date);
  return table;
}

namespace {

nb::object auto_fetch(nb::handle self, nb::handle code, nb::handle product_type, nb::handle date) {
  return fetch_day(self, code, product_type, date)
      .attr("with_columns")(globals->pl.attr("lit")(code).attr("alias")("code"));
}

void require_dates(nb::handle start_from, nb::handle end_to) {
  require_str(start_from, "start_from");
  require_str(end_to, "end_to");
}

void init_ticker(nb::handle h, nb::handle sino_api) {
  // Before any state: an unusable data directory fails here, naming itself.
  nb::object save_path = data_path(nb::none(), nb::make_tuple("ticks"));
  new (nb::inst_ptr<Ticker>(h)) Ticker();
  nb::object permits = globals->queue_class();
  permits.attr("put")(nb::bool_(true));
  // Creation order is the documented attribute order of vars(ticker).
  nb::setattr(h, k().api, sino_api);
  nb::setattr(h, k().allow_next_tick_flag_queue, permits);
  nb::setattr(h, k().backfilling_notify_finish_queue, globals->queue_class());
  nb::setattr(h, k().backfilling_finish_flag, nb::bool_(false));
  nb::setattr(h, k().exit_send_thread_flag, nb::bool_(false));
  nb::setattr(h, "tick_file_save_path", save_path);
  nb::setattr(h, k().tick_queue, globals->queue_class());
  nb::setattr(h, k().code_market_map, nb::dict());
  nb::setattr(h, k().tick_df_schema, globals->schema);
  nb::setattr(h, k().current_send_ticks_params, nb::dict());
}

Globals* load_globals() {
  nb::module_ pl = nb::module_::import_("polars");
  nb::dict schema;
  nb::list names, types;
  for (const feed::TickColumn& column : feed::kTickColumns) {
    schema[column.name] = pl.attr(column.real ? "Float64" : "Int64");
    names.append(column.name);
    types.append(schema[column.name]);
  }
  nb::module_ os = nb::module_::import_("os");
  nb::module_ utils = nb::module_::import_("orva_backtest.utils");
  nb::module_ constant = nb::module_::import_("orva_backtest.constant");
  nb::module_ datetime = nb::module_::import_("datetime");
  nb::object flag = constant.attr("FLAG");
  return new Globals{
      Keys{},
      pl,
      schema,
      names,
      types,
      os.attr("path").attr("join"),
      os.attr("path").attr("exists"),
      os.attr("replace"),
      os.attr("remove"),
      os.attr("getpid"),
      os.attr("fsencode"),
      nb::module_::import_("threading").attr("get_ident"),
      utils.attr("make_dir"),
      utils.attr("format_to_dt"),
      flag.attr("exit_send_tick").attr("value"),
      flag.attr("finish_backfilling").attr("value"),
      nb::module_::import_("queue").attr("Queue"),
      nb::module_::import_("queue").attr("Empty"),
      datetime.attr("timedelta")(nb::arg("days") = 1),
      datetime.attr("datetime"),
      nb::module_::import_("time").attr("time"),
      nb::module_::import_("time").attr("time_ns"),
      nb::module_::import_("builtins").attr("object")(),
  };
}

}  // namespace

Column::Column(nb::handle array, bool real, const char* name) : owner_(nb::borrow(array)) {
  if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
    throw nb::python_error();
  const std::string format = view_.format ? view_.format : "";
  const bool ok = view_.itemsize == 8 && !format.empty() &&
                  (real ? format.back() == 'd' : (format.back() == 'l' || format.back() == 'q'));
  if (!ok) {
    PyBuffer_Release(&view_);
    raise_type_error(std::string("tick table column ") + name + " must be 64-bit without nulls");
  }
}

Ticker& state_of(nb::handle self) { return *nb::inst_ptr<Ticker>(self); }

nb::dict exit_marker() {
  nb::dict marker;
  marker[keys().orva_status] = globals->exit_flag_value;
  return marker;
}

nb::dict finish_marker() {
  nb::dict marker;
  marker[keys().orva_status] = globals->finish_flag_value;
  return marker;
}

Instrument instrument(nb::handle code, nb::handle market, const char* market_name) {
  const std::string_view text = require_safe_code(code, "code");
  require_str(market, market_name);
  return {nb::str(text.data(), text.size()), nb::borrow(market)};
}

std::vector<Instrument> instruments_of(nb::handle codes) {
  if (!PyList_Check(codes.ptr())) raise_type_error("codes", "list", codes);
  nb::object entries = nb::steal(PySequence_List(codes.ptr()));
  if (!entries.is_valid()) throw nb::python_error();
  std::vector<Instrument> instruments;
  const Py_ssize_t n = PyList_GET_SIZE(entries.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    nb::handle entry = PyList_GET_ITEM(entries.ptr(), i);
    if (!PyDict_Check(entry.ptr()))
      raise_type_error(("codes[" + std::to_string(i) + "]").c_str(), "dict", entry);
    instruments.push_back(instrument(item(entry, k().code), item(entry, k().market), "market"));
  }
  return instruments;
}

// A source that only reads the cache (`cache_only` set) has no ticks for a day it lacks: an
// option series that did not trade that day, a day never imported.
bool from_cache_only(nb::handle self) {
  nb::object api = nb::getattr(self, k().api);
  PyObject* flag = PyObject_GetAttrString(api.ptr(), "cache_only");
  if (!flag) {
    PyErr_Clear();  // a broker SDK has no such attribute
    return false;
  }
  const int on = PyObject_IsTrue(flag);
  Py_DECREF(flag);
  if (on < 0) throw nb::python_error();
  return on == 1;
}

void for_each_date(nb::handle self, const Instrument& entry, nb::handle start_from,
                   nb::handle end_to, const std::function<void(nb::handle)>& fetch,
                   const std::function<void()>& take) {
  nb::object start = globals->format_to_dt(start_from);
  nb::object end = globals->format_to_dt(end_to);
  nb::object markets = nb::getattr(self, k().code_market_map);
  const nb::str& code = entry.code;
  const int known = PySequence_Contains(markets.ptr(), code.ptr());
  if (known < 0) throw nb::python_error();
  if (known == 0) markets[code] = entry.market;
  nb::object current = start;
  int failures = 0;
  while (current <= end) {
    const std::string date = day_text(current);
    try {
      fetch(nb::str(date.c_str()));
      current = current + globals->timedelta_day;
      failures = 0;
    } catch (nb::python_error& error) {
      if (!error.matches(PyExc_Exception)) throw;
      if (error.matches(PyExc_LookupError) && from_cache_only(self)) {
        current = current + globals->timedelta_day;  // not cached: nothing to retry or report
        continue;
      }
      nb::dict data;
      data[k().code] = code;
      data["date"] = current.attr("timestamp")();
      log_error(error, data);
      console_print("[red]下載 " + text_of(code) + " " + date + " 的 Tick 資料失敗, 錯誤訊息: " +
                    error_message(error) + "[/red]");
      // A day that keeps failing is skipped, not retried for ever.
      if (++failures >= kAttemptsPerDay) {
        console_print("[red]略過 " + text_of(code) + " " + date + " 的 Tick 資料: 已連續失敗 " +
                      std::to_string(kAttemptsPerDay) + " 次[/red]");
        current = current + globals->timedelta_day;
        failures = 0;
      }
      continue;
    }
    take();
  }
}

void for_each_day(nb::handle self, const Instrument& entry, nb::handle start_from,
                  nb::handle end_to, const std::function<void(nb::handle)>& take) {
  nb::object table;
  for_each_date(
      self, entry, start_from, end_to,
      [&](nb::handle date) {
        console_print("[yellow]正在取得 " + text_of(entry.code) + " " + text_of(date) +
                      " 的 Tick 資料...[/yellow]");
        table = auto_fetch(self, entry.code, entry.market, date);
      },
      [&] {
        if (nb::len(table) > 0) take(table);
      });
}

nb::object combine_ticks(nb::handle self, const std::vector<Instrument>& instruments,
                         nb::handle start_from, nb::handle end_to) {
  nb::list frames;
  for (const Instrument& entry : instruments)
    for_each_day(self, entry, start_from, end_to, [&](nb::handle day) { frames.append(day); });
  if (nb::len(frames) == 0) {
    nb::object schema = dict_of(globals->schema);
    schema["code"] = globals->pl.attr("String");
    return globals->pl.attr("DataFrame")(nb::arg("schema") = schema);
  }
  // Stable: ticks of one instrument at the same time keep their recorded order.
  return globals->pl.attr("concat")(frames).attr("sort")(nb::make_tuple("ts", "code"),
                                                         nb::arg("maintain_order") = true);
}

namespace {

nb::object get_ticks_df(nb::handle self, nb::handle code, nb::handle market_type,
                        nb::handle start_from, nb::handle end_to) {
  const std::vector<Instrument> instruments{instrument(code, market_type, "market_type")};
  require_dates(start_from, end_to);
  return combine_ticks(self, instruments, start_from, end_to);
}

nb::str tick_filename_method(nb::handle, nb::handle code, nb::handle date) {
  return tick_filename(code, date);
}

nb::object auto_fetch_method(nb::handle self, nb::handle code, nb::handle product_type,
                             nb::handle date) {
  require_str(code, "code");
  require_str(date, "date");
  return auto_fetch(self, code, product_type, date);
}

nb::object process_and_combine(nb::handle self, nb::handle codes, nb::handle start_from,
                               nb::handle end_to) {
  const std::vector<Instrument> instruments = instruments_of(codes);
  require_dates(start_from, end_to);
  return combine_ticks(self, instruments, start_from, end_to);
}

}  // namespace

void bind_ticker(nb::module_& m) {
  globals = load_globals();
  install_shutdown_hook();
  nb::class_<Ticker> cls(m, "Ticker", "Tick 資料來源: 下載與快取、合併、逐筆回放與回補", nb::dynamic_attr());
  def_init<&init_ticker>(cls, {param("sino_api")});
  def_method<&get_ticks_df>(cls, "get_ticks_df",
                            {param("code"), param("market_type"), param("start_from"),
                             param("end_to")},
                  "取得一個商品在日期區間內的 Tick 表 (讀取快取或下載)");
  def_method<&fetch_history>(cls, "fetch_sino_history_ticks",
                             {param("code"), param("product_type"), param("start_from"),
                              param("end_to")},
                  "從券商 SDK 下載日期區間內的 Tick 並寫入快取");
  def_method<&data_path_method>(cls, "_Ticker__generate_save_path",
                                {param("file_name", nb::none()), rest_param("sub_folder")});
  def_method<&tick_filename_method>(cls, "_Ticker__tick_filename_formatter",
                                    {param("code"), param("date")});
  def_method<&make_contract>(cls, "_Ticker__make_sino_contract_object",
                             {param("code"), param("market_type")});
  def_method<&store_columns>(cls, "_Ticker__store_columns",
                             {param("code"), param("date"), param("table"), param("csv_stat")});
  def_method<&auto_fetch_method>(cls, "_Ticker__auto_fetch_ticks",
                                 {param("code"), param("product_type"), param("date")});
  def_method<&process_and_combine>(cls, "_Ticker__process_and_combine_ticks",
                                   {param("codes"), param("start_from"), param("end_to")});
  bind_replay(m, cls);
  m.attr("find_bad_tick") = function<&find_bad_tick>(
      "find_bad_tick", {param("table")},
      "快取對一天 Tick 的檢查: None, 或第一個不合法值的 (列, 欄位); table 須為 Tick 表的欄位與型別");
  m.attr("TICK_SCHEMA") = dict_of(globals->schema);
}

}  // namespace orva::py::ticker
