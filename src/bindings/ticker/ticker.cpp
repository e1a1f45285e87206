// Binding of class Ticker: history ticks per instrument-day, the day cache and
// the merged tick table.
#include <string>

#include "common/host.h"
#include "common/threads.h"
#include "feed/tick_files.h"
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

nb::object generate_save_path(nb::handle file_name, nb::handle sub_folders) {
  nb::object folder = globals->basic_info.attr("data_dir");
  for (nb::handle part : sub_folders) folder = globals->os_path_join(folder, part);
  globals->make_dir(folder);
  if (file_name.is_none()) return folder;
  return globals->os_path_join(folder, file_name);
}

// Codes become file names: refuse one that could leave the cache folder.
std::string_view check_code(nb::handle code) {
  const std::string_view code_text = require_str(code, "code");
  if (!feed::is_safe_code(code_text))
    throw nb::value_error(("不合法的商品代碼: " + std::string(nb::repr(code).c_str())).c_str());
  return code_text;
}

nb::str tick_filename(nb::handle code, nb::handle date) {
  const std::string name = feed::tick_file_name(check_code(code), require_str(date, "date"));
  return nb::str(name.data(), name.size());
}

nb::object cache_path(nb::handle code, nb::handle date) {
  return generate_save_path(tick_filename(code, date), nb::make_tuple("sino", "ticks"));
}

nb::object make_contract(nb::handle self, nb::handle code, nb::handle market_type) {
  nb::object contracts = nb::getattr(nb::getattr(self, k().api), "Contracts");
  const bool stock = product_of(market_type) == Product::Stock;
  return contracts.attr(stock ? "Stocks" : "Futures")[code];
}

// Writes beside the target and renames it into place, so a crash or a second
// writer never leaves a truncated cache file behind.
void write_cache_file(nb::handle day, nb::handle path) {
  const std::string temp = text_of(path) + ".tmp-" + text_of(globals->getpid()) + "-" +
                           text_of(globals->get_ident());
  nb::str temp_path(temp.data(), temp.size());
  try {
    day.attr("write_csv")(temp_path);
    globals->os_replace(temp_path, path);
  } catch (nb::python_error&) {
    if (nb::cast<bool>(globals->os_path_exists(temp_path))) globals->os_remove(temp_path);
    throw;
  }
}

nb::object fetch_history(nb::handle self, nb::handle code, nb::handle product_type,
                         nb::handle start_from, nb::handle end_to) {
  require_str(code, "code");
  require_str(start_from, "start_from");
  require_str(end_to, "end_to");
  check_code(code);  // before any download
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
    if (nb::len(day) > 0) result = globals->pl.attr("concat")(nb::make_tuple(result, day));
    if (current < today) {
      nb::object path = cache_path(code, nb::str(date.c_str()));
      write_cache_file(day, path);
      console_print("[green]下載 " + text_of(code) + " " + date + " 的 Tick 資料成功, 儲存於 " +
                    text_of(path) + "[/green]");
    }
    current = current + globals->timedelta_day;
  }
  return result;
}

nb::object auto_fetch(nb::handle self, nb::handle code, nb::handle product_type, nb::handle date) {
  nb::object path = cache_path(code, date);
  nb::object table;
  if (nb::cast<bool>(globals->os_path_exists(path))) {
    console_print("[green]檔案 " + text_of(path) + " 已存在, 開始讀取檔案...[/green]");
    table = globals->pl.attr("read_csv")(path, nb::arg("schema") = globals->schema);
  } else {
    console_print("[red]檔案 " + text_of(path) + " 不存在, 開始下載歷史 Tick 資料...[/red]");
    table = fetch_history(self, code, product_type, date, date);
  }
  return table.attr("with_columns")(globals->pl.attr("lit")(code).attr("alias")("code"));
}

void require_dates(nb::handle start_from, nb::handle end_to) {
  require_str(start_from, "start_from");
  require_str(end_to, "end_to");
}

void init_ticker(nb::pointer_and_handle<Ticker> self, nb::handle sino_api) {
  new (self.p) Ticker();
  nb::handle h = self.h;
  nb::object permits = globals->queue_class();
  permits.attr("put")(nb::bool_(true));
  // Creation order is the documented attribute order of vars(ticker).
  nb::setattr(h, k().api, sino_api);
  nb::setattr(h, k().allow_next_tick_flag_queue, permits);
  nb::setattr(h, k().backfilling_notify_finish_queue, globals->queue_class());
  nb::setattr(h, k().backfilling_finish_flag, nb::bool_(false));
  nb::setattr(h, k().exit_send_thread_flag, nb::bool_(false));
  nb::setattr(h, "tick_file_save_path", generate_save_path(nb::none(), nb::make_tuple("ticks")));
  nb::setattr(h, k().tick_queue, globals->queue_class());
  nb::setattr(h, k().code_market_map, nb::dict());
  nb::setattr(h, k().tick_df_schema, globals->schema);
  nb::setattr(h, k().current_send_ticks_params, nb::dict());
}

Globals* load_globals() {
  nb::module_ pl = nb::module_::import_("polars");
  nb::dict schema;
  for (const char* name : {"ts", "close", "volume", "bid_price", "bid_volume", "ask_price",
                           "ask_volume", "tick_type"}) {
    const std::string column(name);
    const bool real = column == "close" || column == "bid_price" || column == "ask_price";
    schema[name] = pl.attr(real ? "Float64" : "Int64");
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
      os.attr("path").attr("join"),
      os.attr("path").attr("exists"),
      os.attr("replace"),
      os.attr("remove"),
      os.attr("getpid"),
      nb::module_::import_("threading").attr("get_ident"),
      utils.attr("make_dir"),
      utils.attr("format_to_dt"),
      utils.attr("format_nano_ts_to_second_ts"),
      constant.attr("BASIC_INFO"),
      flag.attr("exit_send_tick").attr("value"),
      flag.attr("finish_backfilling").attr("value"),
      nb::module_::import_("queue").attr("Queue"),
      datetime.attr("timedelta")(nb::arg("days") = 1),
      datetime.attr("datetime"),
      nb::module_::import_("time").attr("time"),
      nb::module_::import_("builtins").attr("object")(),
  };
}

}  // namespace

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

void check_codes(nb::handle codes) {
  for (nb::handle entry : codes) {
    if (!PyDict_Check(entry.ptr())) continue;
    nb::object code = item_or_none(entry, keys().code);
    if (PyUnicode_Check(code.ptr())) check_code(code);
  }
}

nb::object combine_ticks(nb::handle self, nb::handle codes, nb::handle start_from,
                         nb::handle end_to) {
  nb::object start = globals->format_to_dt(start_from);
  nb::object end = globals->format_to_dt(end_to);
  nb::list frames;
  nb::object markets = nb::getattr(self, k().code_market_map);
  for (nb::handle entry : codes) {
    nb::object code = item(entry, k().code);
    nb::object market = item(entry, k().market);
    if (PySequence_Contains(markets.ptr(), code.ptr()) == 0) markets[code] = market;
    nb::object current = start;
    int failures = 0;
    while (current <= end) {
      const std::string date = day_text(current);
      console_print("[yellow]正在取得 " + text_of(code) + " " + date + " 的 Tick 資料...[/yellow]");
      try {
        nb::object table = auto_fetch(self, code, market, nb::str(date.c_str()));
        if (nb::len(table) > 0) frames.append(table);
        current = current + globals->timedelta_day;
        failures = 0;
      } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
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
      }
    }
  }
  if (nb::len(frames) == 0) {
    nb::object schema = dict_of(globals->schema);
    schema["code"] = globals->pl.attr("String");
    return globals->pl.attr("DataFrame")(nb::arg("schema") = schema);
  }
  return globals->pl.attr("concat")(frames).attr("sort")(nb::make_tuple("ts", "code"));
}

void Replay::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  ended.notify_all();
}

void Replay::wait_finished(double seconds) {
  PyThreadState* state = PyEval_SaveThread();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return finished; });
  }
  PyEval_RestoreThread(state);
}

void bind_ticker(nb::module_& m) {
  globals = load_globals();
  install_shutdown_hook();
  nb::class_<Ticker> cls(m, "Ticker", nb::dynamic_attr());
  cls.def("__init__", &init_ticker, nb::arg("sino_api").none())
      .def("get_ticks_df",
           [](nb::handle self, nb::handle code, nb::handle market_type, nb::handle start_from,
              nb::handle end_to) {
             require_str(code, "code");
             require_dates(start_from, end_to);
             nb::dict entry;
             entry[keys().code] = code;
             entry[keys().market] = market_type;
             nb::list codes;
             codes.append(entry);
             check_codes(codes);
             return combine_ticks(self, codes, start_from, end_to);
           },
           nb::arg("code").none(), nb::arg("market_type").none(), nb::arg("start_from").none(),
           nb::arg("end_to").none())
      .def("fetch_sino_history_ticks", &fetch_history, nb::arg("code").none(),
           nb::arg("product_type").none(), nb::arg("start_from").none(), nb::arg("end_to").none())
      .def("_Ticker__generate_save_path",
           [](nb::handle, nb::handle file_name, nb::args sub_folders) {
             return generate_save_path(file_name, sub_folders);
           },
           nb::arg("file_name").none() = nb::none(), nb::arg("sub_folder"))
      .def("_Ticker__tick_filename_formatter",
           [](nb::handle, nb::handle code, nb::handle date) { return tick_filename(code, date); },
           nb::arg("code").none(), nb::arg("date").none())
      .def("_Ticker__make_sino_contract_object", &make_contract, nb::arg("code").none(),
           nb::arg("market_type").none())
      .def("_Ticker__auto_fetch_ticks",
           [](nb::handle self, nb::handle code, nb::handle product_type, nb::handle date) {
             require_str(code, "code");
             require_str(date, "date");
             return auto_fetch(self, code, product_type, date);
           },
           nb::arg("code").none(), nb::arg("product_type").none(), nb::arg("date").none())
      .def("_Ticker__process_and_combine_ticks",
           [](nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to) {
             if (!PyList_Check(codes.ptr())) raise_type_error("codes", "list", codes);
             require_dates(start_from, end_to);
             check_codes(codes);
             return combine_ticks(self, codes, start_from, end_to);
           },
           nb::arg("codes").none(), nb::arg("start_from").none(), nb::arg("end_to").none());
  bind_replay(cls);
}

}  // namespace orva::py::ticker
