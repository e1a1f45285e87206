// The report side of Positions: where report files go, the trade-record
// export, profit rows per code, the standard HTML report and the QuantStats
// report. Files are written under a temporary name and renamed into place, so
// a failure never leaves a half-written report.
#include <string>
#include <vector>

#include "calendar/local_time.h"
#include "common/host.h"
#include "common/methods.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

namespace cal = orva::calendar;

// Libraries the reports use, taken at the first report (never released).
struct ReportLibraries {
  nb::object module;  // the positions module: `template` is looked up there per report
  nb::object os_path, os_replace, os_remove, os_getpid;
  nb::object datetime, strptime, dumps, pl, pd, qs;
  nb::object safe;  // utils.spreadsheet_safe: text cells no spreadsheet runs as formulas
};
ReportLibraries* libs = nullptr;

// The report libraries load with the first report, not with the module: a run
// that writes no report, a sweep task, a `--help`, never pay for them.
PyObject* report_module = nullptr;  // the positions module; never freed

const ReportLibraries& libraries() {
  if (!libs) {
    nb::module_ os = nb::module_::import_("os");
    nb::module_ datetime = nb::module_::import_("datetime");
    libs = new ReportLibraries{
        nb::borrow(report_module),
        os.attr("path"),
        os.attr("replace"),
        os.attr("remove"),
        os.attr("getpid"),
        datetime.attr("datetime"),
        datetime.attr("datetime").attr("strptime"),
        nb::module_::import_("json").attr("dumps"),
        nb::module_::import_("polars"),
        nb::object(),
        nb::object(),
        nb::module_::import_("orva_backtest.utils").attr("spreadsheet_safe"),
    };
  }
  return *libs;
}

// pandas and QuantStats, for the tear sheet only.
void load_tear_sheet_libraries() {
  libraries();
  if (libs->qs.is_valid()) return;
  nb::module_ matplotlib = nb::module_::import_("matplotlib");
  matplotlib.attr("use")("Agg");  // charts drawn without a display, before pyplot loads
  // The tear sheet asks for fonts this machine may lack; one line each would bury the output.
  nb::module_::import_("logging").attr("getLogger")("matplotlib.font_manager").attr("setLevel")(40);
  nb::module_ qs = nb::module_::import_("quantstats_lumi");
  qs.attr("extend_pandas")();
  libs->pd = nb::module_::import_("pandas");
  libs->qs = qs;
}


constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";
constexpr const char* kBenchmark = "0050";

void require_exact_str(nb::handle value, const char* name) {
  if (!PyUnicode_CheckExact(value.ptr())) raise_type_error(name, "str", value);
}


// Runs `write(temporary path)` and renames the result to `path`.
template <class Write>
void write_atomically(nb::handle path, Write write) {
  nb::object temporary = nb::str((text_of(path) + ".tmp-" + text_of(libs->os_getpid())).c_str());
  try {
    write(temporary);
    libs->os_replace(temporary, path);
  } catch (nb::python_error&) {
    if (truth(libs->os_path.attr("exists")(temporary))) libs->os_remove(temporary);
    throw;
  }
}

// An HTML page's text, written atomically in UTF-8.
void write_page(nb::handle path, nb::handle page) {
  write_atomically(path, [&](nb::handle temporary) {
    nb::object out = nb::module_::import_("builtins").attr("open")(temporary, "w", nb::arg("encoding") = "utf-8");
    try {
      out.attr("write")(page);
    } catch (nb::python_error&) {
      out.attr("close")();
      throw;
    }
    out.attr("close")();
  });
}

// Writes like write_atomically, but never over an existing file: the first of
// `path`, "<stem>-2<ext>", "<stem>-3<ext>", ... that no file has, claimed by
// creating it exclusively. Returns the path written.
template <class Write>
nb::object write_new(nb::handle path, Write write) {
  const std::string text = text_of(path);
  const size_t dot = text.rfind('.');
  const size_t slash = text.find_last_of("/\\");
  const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : text.size();
  nb::object os = nb::module_::import_("os");
  const int flags = nb::cast<int>(os.attr("O_CREAT")) | nb::cast<int>(os.attr("O_EXCL")) |
                    nb::cast<int>(os.attr("O_WRONLY"));
  for (int n = 1; n <= 10000; ++n) {
    nb::object candidate =
        nb::str((n == 1 ? text : text.substr(0, cut) + "-" + std::to_string(n) + text.substr(cut)).c_str());
    try {
      os.attr("close")(os.attr("open")(candidate, flags));
    } catch (nb::python_error& error) {
      if (error.matches(PyExc_FileExistsError)) continue;
      throw;
    }
    try {
      write_atomically(candidate, write);
    } catch (nb::python_error&) {
      libs->os_remove(candidate);  // the claimed name, still empty
      throw;
    }
    return candidate;
  }
  raise_exception("無法產生不重複的檔名: " + text);
}

void export_trade_records(nb::handle self) {
  libraries();
  // No space in the name: shells and scripts take it as one word.
  nb::object name = libs->datetime.attr("now")().attr("strftime")("%Y-%m-%d_%H%M%S");
  nb::object path = data_path(nb::str((text_of(name) + "_trade_records.csv").c_str()),
                              nb::make_tuple("trade_records"));
  nb::object table = libs->pl.attr("DataFrame")(nb::getattr(self, keys().trade_records));
  table = libs->safe(table);
  path = write_new(path, [&](nb::handle temporary) { table.attr("write_csv")(temporary); });
  console_print("[bold green]交易紀錄已匯出至: " + text_of(path) + "[/bold green]");
}

nb::list profit_rows_of(nb::handle self, nb::handle code) {
  nb::list rows;
  for (nb::handle row : item(nb::getattr(self, keys()._profit_report), keys().rows)) {
    if (checked(PyObject_RichCompareBool(item(row, keys().code).ptr(), code.ptr(), Py_EQ)))
      rows.append(row);
  }
  return rows;
}

nb::list get_profit_rows_by_code(nb::handle self, nb::handle code) {
  require_exact_str(code, "code");
  return profit_rows_of(self, code);
}

// "%Y-%m-%d %H:%M:%S" of a row's time: seconds since the epoch in local
// time, or a text a standard report wrote before, kept as it is.
std::string row_time_text(nb::handle value, const char* key) {
  if (PyUnicode_Check(value.ptr())) {
    const std::string text = text_of(value);
    libs->strptime(value, kTimeFormat);  // raises ValueError naming the text
    return text;
  }
  if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()))
    raise_type_error(key, "float 或時間文字", value);
  const auto formatted = cal::format_local_timestamp(require_number(value, key));
  if (!formatted) raise_value_error(std::string("無法轉換的時間戳 ") + key + ": " + text_of(value));
  return formatted->substr(0, 19);
}

nb::dict marker(nb::handle row, const char* type, const std::string& time, const nb::str& price,
                const nb::str& origin_price) {
  const Keys& k = keys();
  nb::dict m;
  m[k.code] = item(row, k.code);
  m["type"] = type;
  m["dt"] = nb::str((time.substr(0, 16) + ":00").c_str());  // the minute of the bar holding the trade
  m[k.qty] = item(row, k.qty);
  m[k.price] = item(row, price);
  m[k.origin_price] = item(row, origin_price);
  return m;
}

nb::object kbar_json(nb::handle kbars) {
  nb::object pl = libs->pl;
  nb::dict names;
  for (auto [from, to] : {std::pair{"dt", "time"}, {"Open", "open"}, {"High", "high"},
                          {"Low", "low"}, {"Close", "close"}, {"Volume", "volume"}})
    names[from] = to;
  nb::object text_time = pl.attr("col")("dt").attr("dt").attr("strftime")(kTimeFormat);
  nb::object rows = kbars.attr("with_columns")(text_time).attr("rename")(names).attr("to_dicts")();
  return libs->dumps(rows);
}

// What `code` still holds: net quantity (short negative), last price and unrealised profit
// of the position view; None when nothing is held.
nb::object open_position(nb::handle self, nb::handle code) {
  const Keys& k = keys();
  const long long net = net_quantity(self, code);
  if (net == 0) return nb::none();
  double unrealised = 0;
  nb::object product = item(nb::getattr(self, k.product_type_mapper), code);
  for (nb::handle row : self.attr("_Positions__format_position_detail")(product))
    if (checked(PyObject_RichCompareBool(item(row, k.code).ptr(), code.ptr(), Py_EQ)))
      unrealised += require_number(item(row, k.pnl), "pnl");
  nb::object tick = item_or_none(nb::getattr(self, k.current_tick_infos), code);
  nb::dict held;
  held["quantity"] = net;
  held["last_price"] = tick.is_none() ? nb::none() : item(tick, k.close);
  held["unrealised"] = unrealised;
  held["average_price"] = nb::module_::import_("orva_backtest.modules.positions.reporting").attr("average_price")(self, code);
  return held;
}

void generate_standard_report(nb::handle self, nb::handle code, nb::handle quote_manager) {
  require_exact_str(code, "code");
  libraries();
  require_safe_code(code, "code");
  const Keys& k = keys();
  const std::string code_text = text_of(code);
  console_print("[bold green]產生 " + code_text + " 的回測報告...[/bold green]");
  nb::object path = data_path(nb::str((code_text + "-report.html").c_str()), nb::make_tuple("report"));
  nb::object kbars =
      quote_manager.attr("get_kbar")(code, nb::arg("unit") = "m", nb::arg("freq") = 1);

  nb::list rows = profit_rows_of(self, code);
  // Times are read before any row is rewritten, so a bad row changes nothing.
  std::vector<std::pair<std::string, std::string>> times;
  for (nb::handle row : rows)
    times.emplace_back(row_time_text(item(row, k.entry_dt), "entry_dt"),
                       row_time_text(item(row, k.exit_dt), "exit_dt"));
  nb::list markers;
  for (size_t i = 0; i < times.size(); ++i) {
    nb::handle row = rows[i];
    row[k.entry_dt] = nb::str(times[i].first.c_str());
    row[k.exit_dt] = nb::str(times[i].second.c_str());
    markers.append(marker(row, "entry", times[i].first, k.entry_price, k.entry_origin_price));
    markers.append(marker(row, "exit", times[i].second, k.exit_price, k.exit_origin_price));
  }

  nb::object info = item_or_none(nb::getattr(self, k._account_infos), code);
  nb::dict context;
  context["kbar_df"] = kbar_json(kbars);
  context["profit_rows"] = rows;
  context["profit_rows_json"] = libs->dumps(rows);
  context["include_profit_rows"] = libs->dumps(markers);
  context["fee_settings"] = nb::getattr(self, k._fee_settings);
  context["account_info"] = info.is_none() ? nb::object(new_account_info()) : info;
  context["initial_capital"] = nb::getattr(self, "initial_capital");
  context["open_position"] = open_position(self, code);
  // Summed from the round trips by side: the account's counters add a short's buy-back to what
  // it received and count a fill that closes several lots once.
  nb::object reporting = nb::module_::import_("orva_backtest.modules.positions.reporting");
  context["account_summary"] = reporting.attr("account_summary")(
      rows, info.is_none() ? nb::object(nb::int_(0)) : item(info, k.entry_times));
  nb::list longs;
  for (nb::handle row : rows) longs.append(reporting.attr("is_long")(row));
  context["sides_json"] = libs->dumps(longs);
  // Set by the exchange that filled the account's orders; today's rules otherwise.
  nb::object rules = nb::getattr(self, "fill_rules", nb::none());
  if (rules.is_none()) {
    nb::dict touch;
    touch["fill_model"] = "touch";
    touch["latency_ms"] = 0;
    rules = touch;
  }
  context["fill_rules"] = rules;
  nb::object page = libs->module.attr("template").attr("render")(context);
  write_page(path, page);
  console_print("[bold green]回測基本報告已產生: " + text_of(path) + "[/bold green]");
}

// A row's exit time as a date-time: seconds since the epoch read in local
// time, text read as pandas reads it; anything unreadable is missing.
nb::object exit_time(nb::handle value) {
  nb::object pd = libs->pd;
  if (PyUnicode_Check(value.ptr())) return pd.attr("to_datetime")(value, nb::arg("errors") = "coerce");
  if (!PyBool_Check(value.ptr()) && (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))) {
    const auto local = cal::local_micros(require_number(value, "exit_dt"));
    if (local) return pd.attr("Timestamp")(*local, nb::arg("unit") = "us");
  }
  return pd.attr("NaT");
}

// Midnights of the days of `code`'s day bars in the quote manager.
nb::object bar_days(nb::handle kbars) {
  return libs->pd.attr("DatetimeIndex")(kbars.attr("get_column")("dt").attr("to_list")())
      .attr("normalize")();
}

// Daily returns of the instrument's closed-trade equity (initial capital plus realised
// profit) on every trading day of the run, 0 where nothing closed, after a first day of 0
// that stands for the start: compounding them gives back that equity, so the tear sheet's
// total return and drawdowns are the account's (the tear sheet only sees a drawdown that
// begins after its first day).
nb::object equity_returns(nb::handle daily_profit, nb::handle days, nb::handle capital) {
  nb::object index = days.attr("union")(daily_profit.attr("index"));
  nb::object start = libs->pd.attr("Timestamp")(
      nb::module_::import_("orva_backtest.trading_days")
          .attr("previous_trading_day")(index[nb::int_(0)].attr("date")()));
  index = index.attr("insert")(0, start);
  nb::object profit = daily_profit.attr("reindex")(index, nb::arg("fill_value") = 0.0);
  nb::object equity = profit.attr("cumsum")().attr("__add__")(capital);
  nb::object before = equity.attr("shift")(1).attr("fillna")(capital);
  // Once the equity is gone a return means nothing: the curve stays at nothing.
  return profit.attr("__truediv__")(before).attr("where")(before.attr("__gt__")(0), -1.0);
}

constexpr const char* kBasisNote =
    "<p style=\"margin:8px 0;color:#555\">報酬基礎: 每個交易日的報酬 = 當日平倉損益 ÷ 前一日的已平倉權益"
    " (初始資金 + 累計已實現損益), 沒有平倉的交易日為 0, 未平倉部位不計; 第一天 (回測開始前一個交易日) 是初始資金的起點,"
    " 報酬 0; 複利累積即為已平倉權益曲線,"
    " 總報酬 = 已實現損益 ÷ 初始資金. 最大回撤以日終權益計 (%); 回測基本報告的最大回撤則依每筆平倉的順序計"
    " (金額), 其「日終最大回撤」與此處相同. 基準 0050 的第一個交易日為當日開盤至收盤.</p>";

// Says on the tear sheet which basis its figures use, under its title (with the account's
// tear sheet's rules for its rate and panels).
void add_basis_note(nb::handle path, nb::handle returns, bool has_benchmark) {
  std::string note = kBasisNote;
  if (!has_benchmark) note += "<p style=\"margin:8px 0;color:#a60\">快取中沒有基準 0050 的 Tick, 本報告沒有基準.</p>";
  nb::module_::import_("orva_backtest.modules.positions.reporting")
      .attr("finish_tear_sheet")(path, returns, nb::str(note.c_str()));
}

void generate_qs_profit_report(nb::handle self, nb::handle code, nb::handle quote_manager) {
  require_exact_str(code, "code");
  load_tear_sheet_libraries();
  require_safe_code(code, "code");
  nb::list rows = profit_rows_of(self, code);
  if (nb::len(rows) == 0) {
    console_print("[red]尚未有損益報告資料, 無法產生進階績效報告[/red]");
    return;
  }
  const std::string code_text = text_of(code);
  nb::object folder = nb::make_tuple("profit_report");
  nb::object html_path = data_path(nb::str((code_text + "-profit_report.html").c_str()), folder);
  nb::object csv_path = data_path(nb::str((code_text + "-profit_report.csv").c_str()), folder);

  nb::object pd = libs->pd;
  nb::object frame = pd.attr("DataFrame")(rows);
  nb::list exits;
  for (nb::handle row : rows) exits.append(exit_time(item(row, keys().exit_dt)));
  frame[keys().exit_dt] = pd.attr("to_datetime")(pd.attr("Series")(exits, nb::arg("dtype") = "object"),
                                                 nb::arg("errors") = "coerce");
  nb::list sides;
  nb::object is_long = nb::module_::import_("orva_backtest.modules.positions.reporting").attr("is_long");
  for (nb::handle row : rows) sides.append(truth(is_long(row)) ? "long" : "short");
  nb::object csv_frame = libs->safe(frame.attr("assign")(nb::arg("side") = sides));
  write_atomically(csv_path, [&](nb::handle temporary) {
    csv_frame.attr("to_csv")(temporary, nb::arg("index") = false, nb::arg("encoding") = "utf-8-sig");
  });

  frame["date"] = frame[keys().exit_dt].attr("dt").attr("normalize")();
  nb::object daily = frame.attr("groupby")("date")[keys().profit].attr("sum")().attr("sort_index")();
  if (nb::len(daily) == 0) {
    console_print("[red]" + code_text + " 的損益資料沒有可讀的出場時間, 無法產生進階績效報告 (CSV: " +
                  text_of(csv_path) + ")[/red]");
    return;
  }
  nb::object days =
      bar_days(quote_manager.attr("get_kbar")(code, nb::arg("unit") = "d", nb::arg("freq") = 1));
  nb::object returns = equity_returns(daily, days, nb::getattr(self, "initial_capital"));
  // The account's tear sheet measures its benchmark the same way.
  nb::object benchmark = nb::module_::import_("orva_backtest.modules.positions.reporting")
                             .attr("benchmark_returns")(quote_manager, returns.attr("index"));
  if (benchmark.is_none())
    console_print(std::string("[yellow]快取中沒有基準 ") + kBenchmark + " 的 Tick, " + code_text +
                  " 的進階損益報告不含基準[/yellow]");
  try {
    nb::dict options;
    options["returns"] = returns;
    options["download_filename"] = html_path;
    options["output"] = html_path;
    options["rf"] = nb::module_::import_("orva_backtest.modules.positions.reporting").attr("RISK_FREE_RATE");
    options["title"] = "進階損益報告";
    options["periods_per_year"] = 252;  // trading days
    options["match_dates"] = false;     // every day of the run stays, the first included
    if (!benchmark.is_none()) {
      options["benchmark"] = benchmark;
      options["benchmark_title"] = kBenchmark;
    }
    nb::module_::import_("orva_backtest.utils").attr("tear_sheet")(**options);
    add_basis_note(html_path, returns, !benchmark.is_none());
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;  // a Ctrl-C stops the run, not only the report
    // Some library releases fail on runs of a few days; the run's results stay usable.
    nb::dict data;
    data[keys().code] = code;
    data["csv"] = csv_path;
    log_error(error, data);
    console_print("[red]QuantStats 無法產生 " + code_text + " 的進階損益報告: " +
                  text_of(error.type().attr("__name__")) + ": " + error_message(error) +
                  " (損益報告 CSV 已保留: " + text_of(csv_path) + ")[/red]");
    return;
  }
  console_print("[bold green]進階損益報告已產生: " + text_of(html_path) + "[/bold green]");
  console_print("[bold green]損益報告 CSV 已產生: " + text_of(csv_path) + "[/bold green]");
}

// The template's `tojson` filter: the value's text form with ' made ".
nb::object tojson(nb::handle, nb::handle value) {
  return nb::str(value).attr("replace")("'", "\"");
}

// The chart library's browser code, placed inside the page so it works
// offline; made once, on the first report.
nb::object chart_library_js(nb::handle) {
  static PyObject* cached = nullptr;  // never freed: it lives as long as the process
  if (!cached) {
    nb::list components;
    for (const char* name : {"bokeh", "bokeh-gl", "bokeh-api"}) components.append(name);
    nb::object resources = nb::module_::import_("bokeh.resources")
                               .attr("Resources")(nb::arg("mode") = "inline",
                                                  nb::arg("components") = components);
    nb::object code = nb::str("\n").attr("join")(resources.attr("js_raw"));
    cached = code.attr("replace")("</script", "<\\/script").release().ptr();
  }
  return nb::borrow(cached);
}

// The template environment, made when the module's `env` or `template` is first asked for.
nb::object module_getattr(nb::handle, nb::handle name) {
  nb::handle m(report_module);
  if (PyUnicode_Check(name.ptr()) && (text_of(name) == "env" || text_of(name) == "template")) {
    nb::module_ jinja2 = nb::module_::import_("jinja2");
    nb::object env = jinja2.attr("Environment")(
        nb::arg("loader") = jinja2.attr("FileSystemLoader")(
            nb::module_::import_("os").attr("path").attr("join")(m.attr("static_dir"), "templates")));
    env.attr("filters")["tojson"] = function<&tojson>("tojson", {param("value")});
    env.attr("globals")["chart_library_js"] = function<&chart_library_js>("chart_library_js");
    nb::object template_ = env.attr("get_template")("profit_report.html");
    m.attr("env") = env;
    m.attr("template") = template_;
    return m.attr(name);
  }
  PyErr_Format(PyExc_AttributeError, "module 'positions' has no attribute %R", name.ptr());
  throw nb::python_error();
}

}  // namespace

void set_up_reports(nb::module_& m) {
  report_module = m.ptr();
  Py_INCREF(report_module);
  nb::module_ warnings = nb::module_::import_("warnings");
  nb::module_ builtins = nb::module_::import_("builtins");
  for (const char* category : {"FutureWarning", "RuntimeWarning"})
    warnings.attr("simplefilter")(nb::arg("action") = "ignore",
                                  nb::arg("category") = builtins.attr(category));
  m.attr("__getattr__") = function<&module_getattr>("__getattr__", {param("name")});
}

void bind_reports(nb::class_<Positions>& cls) {
  def_method<&data_path_method>(cls, "_Positions__generate_save_path",
                                  {param("file_name", nb::none()), rest_param("sub_folder")},
                                  "產生檔案儲存路徑");
  def_method<&export_trade_records>(cls, "export_trade_records", {}, "匯出交易紀錄");
  def_method<&get_profit_rows_by_code>(cls, "get_profit_rows_by_code", {param("code")},
                                       "回傳指定標的的損益報告");
  def_method<&generate_standard_report>(cls, "generate_standard_report",
                                        {param("code"), param("quote_manager")},
                  "產生回測基本報告 (K 線、進出場點、損益明細與費用設定的 HTML 頁面)");
  def_method<&generate_qs_profit_report>(cls, "generate_qs_profit_report",
                                         {param("code"), param("quote_manager")},
                                         "產生 QuantStats 的損益報告");
}

}  // namespace orva::py::positions
