// The replay on the caller's thread: the records the paced replay would
// deliver, in its order (backfilled ticks, one finish-backfilling marker when
// a backfill was asked for, the ticks), without a thread hand-off per tick.
// They are either handed out one by one (iteration) or driven through the
// exchange, the quotes and a strategy's callbacks in one C++ loop (drive).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calendar/local_time.h"
#include "common/direct_api.h"
#include "common/host.h"
#include "common/methods.h"
#include "common/threads.h"
#include "ticker/direct_replay.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

namespace cal = orva::calendar;

DirectReplay& direct_of(nb::handle self) { return *nb::inst_ptr<DirectReplay>(self); }

void refuse_while_driving(const DirectReplay& run) {
  if (run.driving) raise_exception("回放正在 drive 中, 不可再取用");
}

// The record of the next row of `rows`, or an invalid object at its end.
nb::object next_record(MergedDays& rows) {
  const int at = rows.advance();
  if (at < 0) return {};
  const MergedDays::Source& source = rows.source(at);
  return rows.record(source, nb::float_(rows.seconds(source)));
}

nb::object direct_next(nb::handle self) {
  DirectReplay& run = direct_of(self);
  refuse_while_driving(run);
  Py_ssize_t i = run.at;
  if (run.backfill) {
    if (i < run.backfill->size()) return run.at++, next_record(*run.backfill);
    i -= run.backfill->size();
  }
  if (run.marker) {
    if (i == 0) return run.at++, finish_marker();
    i -= 1;
  }
  if (run.main && i < run.main->size()) {
    // A day re-imported since it was counted may hold fewer rows.
    nb::object record = next_record(*run.main);
    if (record.is_valid()) return run.at++, record;
  }
  run.finish();
  PyErr_SetNone(PyExc_StopIteration);
  throw nb::python_error();
}

nb::object direct_iter(nb::handle self) { return nb::borrow(self); }
Py_ssize_t direct_len(nb::handle self) { return direct_of(self).size() - direct_of(self).at; }

template <class Api>
const Api& api(const char* name) {
  static const Api* table = nullptr;  // set once, under the GIL
  if (!table && !(table = direct::import_api<Api>(name))) throw nb::python_error();
  return *table;
}

struct Names {
  nb::str tick = interned("tick"), response_queue = interned("response_queue"),
          queue = interned("queue"), empty = interned("empty"), on_tick = interned("on_tick"),
          on_bar = interned("on_bar");
  PyTypeObject* queue_class = reinterpret_cast<PyTypeObject*>(
      nb::object(nb::module_::import_("queue").attr("Queue")).release().ptr());  // never freed
};
Names* names = nullptr;

// The handles of one drive: borrowed from its caller's arguments, which the
// call keeps alive.
struct Drive {
  DirectReplay& run;
  const direct::MatcherApi& exchange;
  const direct::QuotesApi& quotes_api;
  PyObject *matcher, *quotes, *ctx, *on_tick, *bar_feed, *on_bar, *on_reports, *progress;
  Py_ssize_t total, ticks = 0;
  cal::LocalClock clock;
  int slot = 0;  // of the tick being stepped
  bool look = true;  // reports may have come since the queue was last looked into
};

PyObject* optional(nb::handle value) { return value.is_none() ? nullptr : value.ptr(); }

void check(int status) {
  if (status < 0) throw nb::python_error();
}

// Before Python can look: the ticks held are filed, and the record of this one is at hand.
// What Python does may put reports in the queue and change what the exchange called quiet.
void show_ticks(Drive& d) {
  d.look = true;
  d.run.latest.unsettle();
  if (!d.run.latest.holding()) return;
  d.run.latest.file(d.matcher, d.exchange, d.quotes, d.quotes_api);
  d.run.record = d.run.latest.record(d.slot);
}

// Calls the strategy's `fn(ctx, arg)`, by default `fn(ctx, tick)`; a raise is remembered
// with the record.
void call_strategy(Drive& d, PyObject* fn, const nb::str& name, PyObject* arg = nullptr) {
  show_ticks(d);
  if (!arg) arg = d.run.record.ptr();
  check(PyObject_SetAttr(d.ctx, names->tick.ptr(), d.run.record.ptr()));
  d.run.handed = d.run.record;
  // The spare first slot lets a bound method put its self there instead of copying the args.
  PyObject* args[] = {nullptr, d.ctx, arg};
  PyObject* result = PyObject_Vectorcall(fn, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!result) {
    nb::python_error error;
    d.run.failed = nb::make_tuple(name, d.run.record);
    throw error;
  }
  Py_DECREF(result);
}

// An attribute kept in `obj`'s own __dict__, borrowed; null when it is not there.
PyObject* own_attribute(PyObject* obj, PyObject* name) {
  PyObject** dict = _PyObject_GetDictPtr(obj);
  return dict && *dict ? PyDict_GetItemWithError(*dict, name) : nullptr;
}

// Reports waiting in a queue.Queue itself, read from its deque without a lookup through its
// type (the queue's class is plain and final for this purpose); -1 for any other queue.
Py_ssize_t waiting_in_plain_queue(PyObject* queue) {
  if (Py_TYPE(queue) != names->queue_class) return -1;
  PyObject* items = own_attribute(queue, names->queue.ptr());
  if (!items) {
    if (PyErr_Occurred()) throw nb::python_error();
    return -1;
  }
  const Py_ssize_t waiting = PyObject_Length(items);
  if (waiting < 0) throw nb::python_error();
  return waiting;
}

void call_reports(Drive& d) {
  show_ticks(d);
  d.run.handed = d.run.record;  // the report callbacks see this tick
  PyObject* result = PyObject_CallOneArg(d.on_reports, d.run.record.ptr());
  if (!result) throw nb::python_error();
  Py_DECREF(result);
}

// Reports nobody reads were not made: the tick they came with is handed over all the same.
void hand_over_unread(Drive& d) {
  if (!d.run.muted->take()) return;
  show_ticks(d);
  d.run.handed = d.run.record;
  d.run.muted->hand_over(d.ctx, d.run.record.ptr(), d.run.compiled.get());
}

// Hands the exchange's waiting reports to the host's dispatcher.
void dispatch_reports(Drive& d) {
  d.look = false;
  if (d.run.muted) hand_over_unread(d);
  if (!d.on_reports) return;
  // Looked up at every tick: the host may replace the queue. A Matcher keeps it in its
  // __dict__ (the drive refuses subclasses), so that is read directly.
  PyObject* queue = own_attribute(d.matcher, names->response_queue.ptr());
  Py_ssize_t fast = -1;
  if (queue) {
    fast = waiting_in_plain_queue(queue);
    if (fast == 0) return;
  } else if (PyErr_Occurred()) {
    throw nb::python_error();
  }
  if (fast > 0) return call_reports(d);
  show_ticks(d);  // another queue's own code may run
  d.look = false;  // that code is the look
  queue = PyObject_GetAttr(d.matcher, names->response_queue.ptr());
  if (!queue) throw nb::python_error();
  // A queue.Queue's deque is read without a call; a queue without one is asked, as the
  // paced mode asks every queue.
  Py_ssize_t waiting = -1;
  if (PyObject* items = PyObject_GetAttr(queue, names->queue.ptr())) {
    waiting = PyObject_Length(items);
    Py_DECREF(items);
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    if (PyObject* empty = PyObject_CallMethodObjArgs(queue, names->empty.ptr(), nullptr)) {
      const int is_empty = PyObject_IsTrue(empty);
      Py_DECREF(empty);
      waiting = is_empty < 0 ? -1 : !is_empty;
    }
  }
  Py_DECREF(queue);
  if (waiting < 0) throw nb::python_error();
  if (waiting == 0) return;
  call_reports(d);
}

// The compiled strategy's turn; a failure is remembered with the record, as a callback's is.
// Its orders see the exchange as a Python strategy's would: the ticks so far filed first.
void compiled_turn(Drive& d, const direct::Tick& tick, double seconds) {
  bool placed = false;
  try {
    placed = d.run.compiled->call(tick, seconds, d.matcher, d.exchange, [&] { show_ticks(d); });
  } catch (const std::exception&) {
    show_ticks(d);
    d.run.failed = nb::make_tuple(names->on_tick, d.run.record);
    throw;
  }
  if (!placed) return;
  d.run.handed = d.run.record;
  dispatch_reports(d);
}

void hand_over_bars(Drive& d) {
  PyObject* bars = d.run.bars.ptr();
  // By index: the list is the drive's own, and a callback cannot reach it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bars); ++i) {
    call_strategy(d, d.on_bar, names->on_bar, PyList_GET_ITEM(bars, i));
    dispatch_reports(d);
  }
  check(PyList_SetSlice(bars, 0, PyList_GET_SIZE(bars), nullptr));
}

void report_progress(Drive& d) {
  show_ticks(d);
  PyObject* done = PyLong_FromSsize_t(d.ticks);
  PyObject* total = PyLong_FromSsize_t(d.total);
  PyObject* result = nullptr;
  if (done && total) {
    PyObject* args[] = {done, total};
    result = PyObject_Vectorcall(d.progress, args, 2, nullptr);
  }
  Py_XDECREF(done);
  Py_XDECREF(total);
  if (!result) throw nb::python_error();
  Py_DECREF(result);
}

void step(Drive& d, const MergedDays& rows, const MergedDays::Source& source, int slot,
          bool tradable) {
  park_if_exiting();  // between ticks the loop holds nothing of its own
  const double seconds = rows.seconds(source);
  d.slot = slot;
  const Py_ssize_t row = source.at - 1;
  // A time the local clock cannot show is refused by the quotes as out of range.
  const TickQuote quote = source.quote(row);
  direct::Tick tick{nullptr,
                    source.code.ptr(),
                    &source.code_text,
                    source.market.ptr(),
                    &source.market_text,
                    nullptr,
                    seconds,
                    d.clock.local_micros(seconds).value_or(INT64_MIN),
                    source.close[row],
                    source.volume[row],
                    source.tick_type[row],
                    false,
                    !source.bid_price.empty(),
                    {quote.bid_price, quote.ask_price, quote.bid_volume, quote.ask_volume}};
  const bool stepped =
      d.run.latest.step(d.matcher, d.exchange, d.quotes, d.quotes_api, tick, slot, rows, source);
  if (stepped) d.run.record = d.run.latest.record(slot);
  // A tick of a code it does not trade may settle an expiry of one it holds.
  if (stepped && d.run.compiled) d.run.compiled->follow_account(d.matcher);
  // A held tick reached neither the exchange nor Python: it brought no reports.
  if (stepped || d.look) dispatch_reports(d);
  if (d.bar_feed) {
    d.run.latest.flush(d.matcher, d.exchange, d.quotes, d.quotes_api);  // the feed reads them
    check(d.quotes_api.update_bars(d.bar_feed, source.code.ptr(), d.run.bars.ptr()));
    hand_over_bars(d);
  }
  if (d.on_tick && tradable) {
    call_strategy(d, d.on_tick, names->on_tick);
    dispatch_reports(d);
  }
  if (d.run.compiled && tradable) compiled_turn(d, tick, seconds);
  ++d.ticks;
  if (d.progress && d.ticks % 5000 == 0) report_progress(d);
  if (d.ticks % 1024 == 0) {
    show_ticks(d);  // a signal handler is Python code
    check(PyErr_CheckSignals());  // Ctrl-C stops a long replay
  }
}

// Which sources of `rows` the host's `tradable` holds, asked once per source.
std::vector<char> tradable_sources(const std::unique_ptr<MergedDays>& rows, nb::handle tradable) {
  std::vector<char> flags;
  if (!rows) return flags;
  for (size_t i = 0; i < rows->source_count(); ++i)
    flags.push_back(checked(PySequence_Contains(tradable.ptr(), rows->source(i).code.ptr())) == 1);
  return flags;
}

// The drive's compiled strategy, told which sources hold its codes.
void start_compiled(DirectReplay& run, nb::handle setup) {
  run.compiled = std::make_unique<CompiledRun>(setup);
  for (const auto* rows : {run.backfill.get(), run.main.get()})
    if (rows) run.compiled->map_sources(*rows);
}

// Steps through the rest of `rows`.
void drive_rows(Drive& d, const std::unique_ptr<MergedDays>& rows,
                const std::vector<char>& tradable) {
  if (!rows) return;
  const std::vector<int> slots = d.run.latest.slots_of(rows.get());
  for (int at = rows->advance(); at >= 0; at = rows->advance()) {
    ++d.run.at;
    step(d, *rows, rows->source(at), slots[at], tradable[at]);
  }
}

Py_ssize_t drive(nb::handle self, nb::handle matcher, nb::handle quotes, nb::handle ctx,
                 nb::handle tradable, nb::handle on_tick, nb::handle bar_feed, nb::handle on_bar,
                 nb::handle on_reports, nb::handle progress, nb::handle compiled,
                 nb::handle on_fills) {
  DirectReplay& run = direct_of(self);
  refuse_while_driving(run);
  const auto& exchange = api<direct::MatcherApi>(direct::kMatcherApi);
  const auto& quotes_api = api<direct::QuotesApi>(direct::kQuotesApi);
  // Subclasses may override the per-tick steps, which the loop would bypass.
  if (!exchange.is_matcher(matcher.ptr())) raise_type_error("matcher", "Matcher", matcher);
  if (!quotes_api.is_quote_manager(quotes.ptr())) raise_type_error("quotes", "QuoteManager", quotes);
  if (!bar_feed.is_none() && !quotes_api.is_bar_feed(bar_feed.ptr()))
    raise_type_error("bar_feed", "BarFeed", bar_feed);
  if (bar_feed.is_none() != on_bar.is_none())
    raise_value_error("bar_feed 與 on_bar 必須同時提供");
  require_callable_or_none(on_tick, "on_tick");
  require_callable_or_none(on_bar, "on_bar");
  require_callable_or_none(on_reports, "on_reports");
  require_callable_or_none(on_fills, "on_fills");
  require_callable_or_none(progress, "progress");
  if (!compiled.is_none() && !on_tick.is_none())
    raise_value_error("on_tick 與 compiled 只能提供其一");

  Drive d{run,           exchange,          quotes_api,         matcher.ptr(),
          quotes.ptr(),  ctx.ptr(),         optional(on_tick),  optional(bar_feed),
          optional(on_bar), optional(on_reports), optional(progress), run.size() - run.at};
  // Driving already: `tradable` may run host code that reaches this replay.
  // Refused there, the replay is left as it was.
  run.driving = true;
  std::vector<char> backfill_tradable, main_tradable;
  try {
    backfill_tradable = tradable_sources(run.backfill, tradable);
    main_tradable = tradable_sources(run.main, tradable);
    if (!compiled.is_none()) start_compiled(run, compiled);
    if (!on_fills.is_none()) run.muted = std::make_unique<MutedReports>(matcher, exchange, on_fills);
  } catch (const std::exception&) {
    run.driving = false;
    run.compiled.reset();
    run.muted.reset();
    throw;
  }
  run.failed = nb::none();
  run.handed = nb::none();
  run.bars = nb::list();
  // Only our own exception types: a forced unwind passes through untouched.
  try {
    // Iteration may have handed out records already: the rows know how far.
    drive_rows(d, run.backfill, backfill_tradable);
    if (run.marker && run.at == (run.backfill ? run.backfill->size() : 0))
      ++run.at;  // the marker means nothing to the loop
    drive_rows(d, run.main, main_tradable);
    show_ticks(d);
    if (d.bar_feed) {  // the data ends: every key's last bar is complete
      run.record = run.handed;  // no tick completes them: the strategy's last one stays current
      check(quotes_api.close_bars(d.bar_feed, run.bars.ptr()));
      hand_over_bars(d);
    }
  } catch (const std::exception&) {
    run.driving = false;
    try {  // the ticks stepped reach current_tick_infos, as they would tick by tick
      show_ticks(d);
    } catch (const nb::python_error&) {  // the first error stands
    }
    run.finish();
    throw;
  }
  run.driving = false;
  run.finish();
  return d.ticks;
}

nb::object failed_callback(nb::handle self) { return direct_of(self).failed; }


}  // namespace

// Calendar days from `start_from` to `end_to`, both counted.
Py_ssize_t days_in(nb::handle start_from, nb::handle end_to) {
  nb::object first = globals->format_to_dt(start_from), last = globals->format_to_dt(end_to);
  const Py_ssize_t days = nb::cast<Py_ssize_t>(
      (last.attr("date")() - first.attr("date")()).attr("days"));
  return days < 0 ? 0 : days + 1;
}

nb::object iter_ticks(nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to,
                      nb::handle backfill_from, nb::handle backfill_to, nb::handle progress,
                      nb::handle with_quotes) {
  const std::vector<Instrument> instruments =
      checked_request(codes, start_from, end_to, backfill_from, backfill_to);
  const bool quotes = require_bool(with_quotes, "with_quotes");
  require_callable_or_none(progress, "progress");
  // Days made ready so far, of both ranges, for the host's progress.
  const bool backfilling = non_empty_text(backfill_from) && non_empty_text(backfill_to);
  const Py_ssize_t all = static_cast<Py_ssize_t>(instruments.size()) *
                         (days_in(start_from, end_to) +
                          (backfilling ? days_in(backfill_from, backfill_to) : 0));
  Py_ssize_t done = 0;
  const auto day_done = [&] {
    ++done;
    if (progress.is_none()) return;
    nb::object result = nb::steal(PyObject_CallFunction(progress.ptr(), "nn", done, all));
    if (!result.is_valid()) throw nb::python_error();
  };
  DirectReplay run;
  run.marker = non_empty_text(backfill_from) || non_empty_text(backfill_to);
  if (run.marker) {
    if (!non_empty_text(backfill_from) || !non_empty_text(backfill_to))
      raise_value_error("回補資料的開始時間與結束時間不能為空");
    run.backfill = std::make_unique<MergedDays>(self, instruments, backfill_from, backfill_to,
                                                true, quotes, day_done);
    console_print("[green]開始回補 Tick 資料, Tick 數 " + std::to_string(run.backfill->size()) +
                  ". ...[/green]");
  }
  run.main =
      std::make_unique<MergedDays>(self, instruments, start_from, end_to, false, quotes, day_done);
  console_print("[green]開始傳送 Tick 資料, Tick 數 " + std::to_string(run.main->size()) +
                ". ...[/green]");
  return nb::cast(std::move(run));
}

void bind_direct_replay(nb::module_& m) {
  names = new Names();
  nb::class_<DirectReplay> direct(m, "DirectReplay", "一次回放在呼叫端執行緒上產生的 Tick 紀錄");
  def_method<&direct_iter>(direct, "__iter__");
  def_method<&direct_next>(direct, "__next__");
  def_method<&direct_len>(direct, "__len__");
  def_method<&drive>(
      direct, "drive",
      {param("matcher"), param("quotes"), param("ctx"), param("tradable"),
       param("on_tick", nb::none()), param("bar_feed", nb::none()), param("on_bar", nb::none()),
       param("on_reports", nb::none()), param("progress", nb::none()),
       param("compiled", nb::none()), param("on_fills", nb::none())},
      "在 C++ 迴圈中回放其餘的 Tick: 每筆 set_current_tick、add_tick、match_deal, 有回報時呼叫 "
      "on_reports(tick), 完成的 K 棒交給 on_bar(ctx, bar), tradable 中商品的 Tick 交給 "
      "on_tick(ctx, tick), 或交給 compiled (編譯策略: (函式位址, values, counters, positions, orders, "
      "商品代碼, 商品類型)) 的 C 函式; 每 5000 筆呼叫 progress(done, total). 給了 on_fills 時策略不讀回報: "
      "交易所不產生回報, 有成交的 Tick 改呼叫 on_fills(tick). 傳回回放的 Tick 數");
  bind_replay_counts(direct);
  def_property<&failed_callback>(direct, "failed_callback",
                                 "drive 中引發錯誤的策略回呼與其 Tick: (名稱, tick), 沒有則為 None");
}

}  // namespace orva::py::ticker
