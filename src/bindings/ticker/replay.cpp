// Paced replay and backfill: tick records are built from the merged table's
// column buffers as permits arrive, and put into the host's tick queue.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/host.h"
#include "common/methods.h"
#include "common/threads.h"
#include "ticker/tick_rows.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

const Keys& k() { return keys(); }

// Python objects a worker thread uses across its waits belong to the thread's
// target, never to one of its frames: a thread that wakes while the
// interpreter shuts down is stopped there and unwound without the GIL, so its
// frames must free nothing. The target is released with the GIL held.
using HeldRows = std::shared_ptr<std::optional<TickRows>>;
HeldRows held_rows() { return std::make_shared<std::optional<TickRows>>(); }

void put(nb::handle self, const nb::str& queue, nb::handle item_) {
  nb::getattr(self, queue).attr("put")(item_);
}

// queue.get() on the attribute `name`, with `gate` idle meanwhile; only raw
// references are held across the wait (see HeldRows).
nb::object next_item(nb::handle self, const nb::str& name, threads::WorkerGate& gate) {
  PyObject* queue = PyObject_GetAttr(self.ptr(), name.ptr());
  if (!queue) throw nb::python_error();
  PyObject* item = wait_for_item(gate, queue);
  Py_DECREF(queue);
  if (!item) throw nb::python_error();
  return nb::steal(item);
}

// Counts a thread as waiting while it does (see Replay::waiting_for_permit).
struct Waiting {
  std::atomic<int>& count;
  explicit Waiting(std::atomic<int>& waiting) : count(waiting) { ++count; }
  ~Waiting() { --count; }
};

// The next item of the queue `name`, or an invalid object once `ended` is
// set: an item taken then is handed back for the next run.
nb::object next_unless(nb::handle self, const nb::str& name, threads::WorkerGate& gate,
                       const std::atomic<bool>& ended, std::atomic<int>& waiting) {
  for (;;) {
    nb::object item_;
    {
      const Waiting counted(waiting);
      if (ended) return {};
      item_ = next_item(self, name, gate);
    }
    const bool is_wake = item_.is(globals->wake);
    if (ended) {
      if (!is_wake) put(self, name, item_);
      return {};
    }
    if (!is_wake) return item_;  // a wake meant for a retired run is dropped
  }
}

nb::object take_permit(nb::handle self, threads::WorkerGate& gate,
                       const std::atomic<bool>& ended, Replay& run) {
  return next_unless(self, k().allow_next_tick_flag_queue, gate, ended, run.waiting_for_permit);
}

bool exit_requested(nb::handle self, const Replay& run) {
  return run.stopped || nb::cast<bool>(nb::bool_(nb::getattr(self, k().exit_send_thread_flag)));
}

std::string seconds_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

void notify_backfilling_finish(nb::handle self) {
  nb::setattr(self, k().backfilling_finish_flag, nb::bool_(true));
  put(self, k().backfilling_notify_finish_queue, finish_marker());
}

void end_stream(nb::handle self) {
  nb::setattr(self, k().exit_send_thread_flag, nb::bool_(true));
  put(self, k().tick_queue, exit_marker());
}

void run_replay(nb::handle self, Replay& run, const TickRows& rows) {
  // Whenever a backfill was asked for, the host gets exactly one finish marker,
  // after the last backfilled tick and before the first replayed one.
  if (run.backfill_requested) {
    if (!next_unless(self, k().backfilling_notify_finish_queue, run.replay_gate, run.stopped,
                     run.waiting_for_notice)
             .is_valid())
      return;
    if (!run.feed([&] { put(self, k().tick_queue, finish_marker()); })) return;
  }
  const Py_ssize_t n = rows.size();
  if (n == 0) {
    if (run.feed([&] { put(self, k().tick_queue, exit_marker()); }))
      console_print("[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]");
    return;
  }
  const double t0 = nb::cast<double>(globals->time_time());
  Py_ssize_t sent = 0;
  while (!exit_requested(self, run)) {
    nb::object permit = take_permit(self, run.replay_gate, run.stopped, run);
    if (!permit.is_valid()) break;
    const bool fed = !exit_requested(self, run) && run.feed([&] {
      if (sent == n) end_stream(self);
      else put(self, k().tick_queue, rows.record(sent));
    });
    if (!fed) {
      put(self, k().allow_next_tick_flag_queue, permit);  // unused: hand it back
      break;
    }
    if (sent == n) break;
    ++sent;
  }
  const double elapsed = nb::cast<double>(globals->time_time()) - t0;
  console_print("[green]傳送 Tick 資料結束, 需傳送資料共 " + std::to_string(n) + " 筆, 已傳送 " +
                std::to_string(sent) + " 筆, 耗時 " + seconds_text(elapsed) + " 秒[/green]");
}

void backfill(nb::handle self, const std::vector<Instrument>& instruments, nb::handle start_from,
              nb::handle end_to, Replay& run, std::optional<TickRows>& rows, bool quotes) {
  const auto missing = [](nb::handle bound) {
    return bound.is_none() || (PyUnicode_Check(bound.ptr()) && PyUnicode_GetLength(bound.ptr()) == 0);
  };
  const auto finish = [&] { run.feed([&] { notify_backfilling_finish(self); }); };
  if (missing(start_from) || missing(end_to)) {
    finish();
    raise_value_error("回補資料的開始時間與結束時間不能為空");
  }
  run.feed([&] {
    nb::object params = nb::getattr(self, k().current_send_ticks_params);
    params["backfilling_start_from"] = start_from;
    params["backfilling_end_to"] = end_to;
  });
  try {
    rows.emplace(self, combine_ticks(self, instruments, start_from, end_to), true, quotes);
    console_print("[green]開始回補 Tick 資料, Tick 數 " + std::to_string(rows->size()) +
                  ". ...[/green]");
    for (Py_ssize_t i = 0; i < rows->size(); ++i) {
      nb::object permit = take_permit(self, run.backfill_gate, run.retired, run);
      if (!permit.is_valid()) break;
      if (!run.feed([&] { put(self, k().tick_queue, rows->record(i)); })) {
        put(self, k().allow_next_tick_flag_queue, permit);  // unused: hand it back
        break;
      }
    }
  } catch (nb::python_error& error) {
    if (error.matches(PyExc_Exception)) {
      console_print("[red]回補 Tick 資料失敗, 錯誤訊息: " + error_message(error) + "[/red]");
    }
    rows.reset();
    finish();
    throw;
  }
  rows.reset();
  finish();
}

// A failed replay still ends the host's stream: the error is logged and shown,
// then the exit marker follows.
void end_failed_replay(nb::handle self, Replay& run, const nb::python_error& error,
                       nb::handle data) {
  log_error(error, data);
  console_print("[red]傳送 Tick 資料失敗, 錯誤訊息: " + error_message(error) + "[/red]");
  if (!exit_requested(self, run)) run.feed([&] { end_stream(self); });
}

// Ends a worker's piece of work. C++ only: it also runs when the thread is
// unwound at interpreter exit.
struct WorkerEnd {
  threads::WorkerGate& gate;
  ~WorkerEnd() {
    gate.end_work();         // first: an exit waiting on the gate sees it idle
    unregister_gate(&gate);  // then wait out such an exit before the gate may go
  }
};

// Starts `body` on a daemon thread of `run`, as one piece of work under `gate`.
void start_worker(const char* name, const std::shared_ptr<Replay>& run,
                  threads::WorkerGate& gate, std::function<void()> body) {
  register_gate(&gate);  // before the thread runs, so an exit that comes first closes it
  try {
    start_daemon_thread(name, [run, &gate, body = std::move(body)] {
      const std::shared_ptr<Replay> keep = run;  // outlives the target if shutdown clears it
      const WorkerEnd end{gate};
      if (gate.begin_work()) body();
    });
  } catch (nb::python_error&) {
    unregister_gate(&gate);
    throw;
  }
}

void clear_queue(nb::handle self, const nb::str& name) {
  nb::object queue = nb::getattr(self, name);
  // As many as it holds now: a host putting meanwhile cannot keep this going.
  const Py_ssize_t size = nb::cast<Py_ssize_t>(queue.attr("qsize")());
  try {
    for (Py_ssize_t i = 0; i < size; ++i) queue.attr("get_nowait")();
  } catch (nb::python_error& error) {
    if (!error.matches(globals->queue_empty)) throw;
  }
}

}  // namespace

bool non_empty_text(nb::handle value) {
  return PyUnicode_Check(value.ptr()) && PyUnicode_GetLength(value.ptr()) > 0;
}

namespace {

// Wakes the threads of a retired run that wait, so they leave.
void wake(nb::handle self, const Replay& run) {
  for (int i = run.waiting_for_permit; i > 0; --i)
    put(self, k().allow_next_tick_flag_queue, globals->wake);
  for (int i = run.waiting_for_notice; i > 0; --i)
    put(self, k().backfilling_notify_finish_queue, globals->wake);
}

}  // namespace

std::vector<Instrument> checked_request(nb::handle codes, nb::handle start_from, nb::handle end_to,
                                        nb::handle backfill_from, nb::handle backfill_to) {
  std::vector<Instrument> instruments = instruments_of(codes);
  require_str(start_from, "start_from");
  require_str(end_to, "end_to");
  if (!backfill_from.is_none()) require_str(backfill_from, "backfilling_start_from");
  if (!backfill_to.is_none()) require_str(backfill_to, "backfilling_end_to");
  for (nb::handle date : {start_from, end_to, backfill_from, backfill_to}) {
    if (non_empty_text(date)) globals->format_to_dt(date);
  }
  return instruments;
}

namespace {

void send_ticks(nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to,
                nb::handle backfill_from, nb::handle backfill_to, nb::handle with_quotes) {
  const std::vector<Instrument> instruments =
      checked_request(codes, start_from, end_to, backfill_from, backfill_to);
  const bool quotes = require_bool(with_quotes, "with_quotes");

  Ticker& ticker = state_of(self);
  // Calls from several threads take turns: the last to start owns the queues.
  const auto turn = lock_releasing_gil(ticker.starting);
  const std::shared_ptr<Replay> earlier = ticker.replay;
  if (earlier) earlier->retire();  // before the queues are emptied: it puts nothing after
  const auto run = std::make_shared<Replay>();
  ticker.replay = run;

  nb::dict params;
  params["codes"] = codes;
  params["start_from"] = start_from;
  params["end_to"] = end_to;
  nb::setattr(self, k().current_send_ticks_params, params);
  nb::setattr(self, k().exit_send_thread_flag, nb::bool_(false));
  clear_queue(self, k().tick_queue);
  clear_queue(self, k().backfilling_notify_finish_queue);
  nb::setattr(self, k().backfilling_finish_flag, nb::bool_(false));
  if (earlier) wake(self, *earlier);  // after emptying, so its wakes stay for it

  run->backfill_requested = non_empty_text(backfill_from) || non_empty_text(backfill_to);
  if (run->backfill_requested) {
    start_worker("orva-ticker-backfill", run, run->backfill_gate,
                 [owner = nb::borrow(self), instruments, from = nb::borrow(backfill_from),
                  to = nb::borrow(backfill_to), run, rows = held_rows(), quotes] {
                   backfill(owner, instruments, from, to, *run, *rows, quotes);
                 });
  } else {
    nb::setattr(self, k().backfilling_finish_flag, nb::bool_(true));
  }

  nb::object table;
  try {
    table = combine_ticks(self, instruments, start_from, end_to);
  } catch (nb::python_error&) {
    run->retire();  // a failed request leaves nothing feeding the queue
    wake(self, *run);
    throw;
  }
  console_print("[green]開始傳送 Tick 資料, Tick 數 " + std::to_string(nb::len(table)) +
                ". ...[/green]");
  nb::dict data;  // for the log, should the replay fail
  nb::list codes_of;
  for (const Instrument& entry : instruments) codes_of.append(entry.code);
  data["codes"] = codes_of;
  data["start_from"] = start_from;
  data["end_to"] = end_to;
  start_worker("orva-ticker-replay", run, run->replay_gate,
               [owner = nb::borrow(self), run, table, data, rows = held_rows(), quotes] {
                 try {
                   rows->emplace(owner, table, false, quotes);
                   run_replay(owner, *run, **rows);
                 } catch (nb::python_error& error) {
                   end_failed_replay(owner, *run, error, data);
                 } catch (const std::exception& error) {
                   PyErr_SetString(PyExc_RuntimeError, error.what());
                   end_failed_replay(owner, *run, nb::python_error(), data);
                 }
                 rows->reset();
               });
}

void stop_send_ticks(nb::handle self) {
  nb::setattr(self, k().exit_send_thread_flag, nb::bool_(true));
  const std::shared_ptr<Replay> run = state_of(self).replay;
  if (run) run->stopped = true;
  put(self, k().tick_queue, exit_marker());
  if (run) wake(self, *run);  // a thread waiting for a permit or a notice leaves now
}

}  // namespace

namespace {

nb::object pop_tick(nb::handle self) { return nb::getattr(self, keys().tick_queue).attr("get")(); }

void allow_next_tick(nb::handle self) {
  put(self, keys().allow_next_tick_flag_queue, nb::bool_(true));
}

void backfilling_method(nb::handle self, nb::handle codes, nb::handle start_from,
                        nb::handle end_to) {
  const std::vector<Instrument> instruments = instruments_of(codes);
  Replay run;  // the caller's own: never retired, its gates never closed
  std::optional<TickRows> rows;
  backfill(self, instruments, start_from, end_to, run, rows, false);
}

void push_tick_to_queue(nb::handle self, nb::handle table) {
  Replay run;
  const TickRows rows(self, table, false, false);
  run_replay(self, run, rows);
}

}  // namespace

void bind_replay(nb::module_& m, nb::class_<Ticker>& cls) {
  bind_direct_replay(m);
  def_method<&send_ticks>(cls, "send_ticks",
                          {param("codes"), param("start_from"), param("end_to"),
                           param("backfilling_start_from", nb::none()),
                           param("backfilling_end_to", nb::none()),
                           param("with_quotes", nb::bool_(false))},
                  "合併商品在日期區間內的 Tick, 開始逐筆回放 (可先回補一段區間); with_quotes: "
                  "紀錄另含 bid_price, bid_volume, ask_price, ask_volume");
  def_method<&iter_ticks>(cls, "iter_ticks",
                          {param("codes"), param("start_from"), param("end_to"),
                           param("backfilling_start_from", nb::none()),
                           param("backfilling_end_to", nb::none()), param("progress", nb::none()),
                           param("with_quotes", nb::bool_(false))},
                          "在呼叫端的執行緒上依序產生 Tick 紀錄 (回補 Tick、回補結束標記、Tick), 不經由佇列與執行緒; "
                          "先備妥每一天 (快取與欄式副本), 每備妥一天呼叫 progress(已備妥天數, 總天數), "
                          "回放時每個商品只讀入正在回放的那一天");
  def_method<&pop_tick>(cls, "pop_tick", {}, "從 tick_queue 取出下一筆 Tick 或標記 (等待到有資料為止)");
  def_method<&allow_next_tick>(cls, "allow_next_tick", {}, "允許回放執行緒送出下一筆 Tick");
  def_method<&stop_send_ticks>(cls, "stop_send_ticks", {}, "停止目前的回放, 並送出結束標記");
  def_method<&backfilling_method>(cls, "backfilling",
                                  {param("codes"), param("start_from", nb::none()),
                                   param("end_to", nb::none())},
                  "在呼叫端的執行緒上回補日期區間內的 Tick");
  def_method<&notify_backfilling_finish>(cls, "_Ticker__notify_backfilling_finish");
  def_method<&push_tick_to_queue>(cls, "_Ticker__push_tick_to_queue", {param("table")});
}

}  // namespace orva::py::ticker
