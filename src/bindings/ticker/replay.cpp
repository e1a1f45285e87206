// Paced replay and backfill: tick records are built from the merged table's
// column buffers as permits arrive, and put into the host's tick queue.
#include <cstdint>
#include <string>
#include <vector>

#include "common/host.h"
#include "common/threads.h"
#include "feed/tick_files.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

const Keys& k() { return keys(); }

// Tick records of a merged tick table, one per row on demand; the table is
// not copied (only a dense index of its code column is added).
class TickRows {
 public:
  TickRows(nb::handle self, nb::handle table, bool backfilling)
      : table_(nb::borrow(table).attr("rechunk")()),
        size_(nb::len(table_)),
        ts_(table_, "ts", false),
        close_(table_, "close", true),
        volume_(table_, "volume", false),
        tick_type_(table_, "tick_type", false),
        code_index_(code_index(table_), false, "code"),
        backfilling_(backfilling) {
    nb::object markets = nb::getattr(self, k().code_market_map);
    for (nb::handle code : table_.attr("get_column")("code").attr("unique")().attr("sort")()) {
      codes_.push_back(nb::borrow(code));
      markets_.push_back(item(markets, code));
    }
  }

  Py_ssize_t size() const { return size_; }

  nb::dict record(Py_ssize_t i) const {
    const Keys& key = k();
    const int64_t code = code_index_.integer(i);
    nb::dict tick;
    tick[key.market_type] = markets_[code];
    tick[key.timestamp] = globals->format_ns(nb::int_(ts_.integer(i)), 8);
    tick[key.code] = codes_[code];
    tick[key.close] = close_.real(i);
    tick[key.qty] = nb::int_(volume_.integer(i));
    tick[key.tick_type] = nb::int_(tick_type_.integer(i));
    tick[key.is_simulate] = nb::bool_(false);
    tick[key.is_backfilling] = nb::bool_(backfilling_);
    return tick;
  }

 private:
  static nb::object code_index(nb::handle table) {
    nb::object pl = globals->pl;
    nb::object rank = pl.attr("col")("code").attr("rank")("dense").attr("cast")(pl.attr("Int64"));
    nb::object zero_based = nb::steal(PyNumber_Subtract(rank.ptr(), nb::int_(1).ptr()));
    if (!zero_based.is_valid()) throw nb::python_error();
    return table.attr("select")(zero_based).attr("to_series")().attr("to_numpy")();
  }

  nb::object table_;
  Py_ssize_t size_;
  Column ts_, close_, volume_, tick_type_, code_index_;
  std::vector<nb::object> codes_, markets_;
  bool backfilling_;
};

void put(nb::handle self, const nb::str& queue, nb::handle item_) {
  nb::getattr(self, queue).attr("put")(item_);
}

// The next permit, or None when `replay` was stopped meanwhile. A permit taken
// by a stopped replay is handed back for the next one.
bool take_permit(nb::handle self, threads::WorkerGate& gate, const Replay* replay) {
  for (;;) {
    nb::object queue = nb::getattr(self, k().allow_next_tick_flag_queue);
    PyObject* raw = wait_for_item(gate, queue.ptr());
    if (!raw) throw nb::python_error();
    nb::object permit = nb::steal(raw);
    const bool is_wake = permit.ptr() == globals->wake.ptr();
    if (replay && replay->stopped) {
      if (!is_wake) queue.attr("put")(permit);
      return false;
    }
    if (!is_wake) return true;  // a wake meant for an earlier replay is dropped
  }
}

bool exit_requested(nb::handle self, const Replay& replay) {
  return replay.stopped || nb::cast<bool>(nb::bool_(nb::getattr(self, k().exit_send_thread_flag)));
}

std::string seconds_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

}  // namespace

void notify_backfilling_finish(nb::handle self) {
  nb::setattr(self, k().backfilling_finish_flag, nb::bool_(true));
  put(self, k().backfilling_notify_finish_queue, finish_marker());
}

void run_replay(nb::handle self, const std::shared_ptr<Replay>& replay, nb::handle table) {
  Replay& run = *replay;
  const TickRows rows(self, table, false);
  // Whenever a backfill was asked for, the host gets exactly one finish marker,
  // after the last backfilled tick and before the first replayed one.
  if (run.backfill_requested) {
    for (;;) {
      nb::object queue = nb::getattr(self, k().backfilling_notify_finish_queue);
      PyObject* raw = wait_for_item(run.gate, queue.ptr());
      if (!raw) throw nb::python_error();
      nb::object notice = nb::steal(raw);
      if (run.stopped) return;
      if (notice.ptr() != globals->wake.ptr()) break;
    }
    put(self, k().tick_queue, finish_marker());
  }
  const Py_ssize_t n = rows.size();
  if (n == 0) {
    put(self, k().tick_queue, exit_marker());
    console_print("[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]");
    return;
  }
  const double t0 = nb::cast<double>(globals->time_time());
  Py_ssize_t sent = 0;
  while (!exit_requested(self, run)) {
    if (!take_permit(self, run.gate, &run)) break;
    if (nb::cast<bool>(nb::bool_(nb::getattr(self, k().exit_send_thread_flag)))) {
      put(self, k().allow_next_tick_flag_queue, nb::bool_(true));  // unused: hand it back
      break;
    }
    if (sent == n) {
      nb::setattr(self, k().exit_send_thread_flag, nb::bool_(true));
      put(self, k().tick_queue, exit_marker());
      break;
    }
    put(self, k().tick_queue, rows.record(sent));
    ++sent;
  }
  const double elapsed = nb::cast<double>(globals->time_time()) - t0;
  console_print("[green]傳送 Tick 資料結束, 需傳送資料共 " + std::to_string(n) + " 筆, 已傳送 " +
                std::to_string(sent) + " 筆, 耗時 " + seconds_text(elapsed) + " 秒[/green]");
}

void backfill(nb::handle self, const std::vector<Instrument>& instruments, nb::handle start_from,
              nb::handle end_to, threads::WorkerGate& gate) {
  const auto missing = [](nb::handle bound) {
    return bound.is_none() || (PyUnicode_Check(bound.ptr()) && PyUnicode_GetLength(bound.ptr()) == 0);
  };
  if (missing(start_from) || missing(end_to)) {
    notify_backfilling_finish(self);
    raise_error(PyExc_ValueError, "回補資料的開始時間與結束時間不能為空");
  }
  nb::object params = nb::getattr(self, k().current_send_ticks_params);
  params["backfilling_start_from"] = start_from;
  params["backfilling_end_to"] = end_to;
  try {
    nb::object table = combine_ticks(self, instruments, start_from, end_to);
    const TickRows rows(self, table, true);
    console_print("[green]開始回補 Tick 資料, Tick 數 " + std::to_string(rows.size()) +
                  ". ...[/green]");
    for (Py_ssize_t i = 0; i < rows.size(); ++i) {
      take_permit(self, gate, nullptr);
      put(self, k().tick_queue, rows.record(i));
    }
  } catch (nb::python_error& error) {
    if (error.matches(PyExc_Exception)) {
      console_print("[red]回補 Tick 資料失敗, 錯誤訊息: " + error_message(error) + "[/red]");
    }
    notify_backfilling_finish(self);
    throw;
  }
  notify_backfilling_finish(self);
}

namespace {

void clear_queue(nb::handle self, const nb::str& name) {
  nb::object queue = nb::getattr(self, name);
  while (!nb::cast<bool>(queue.attr("empty")())) queue.attr("get_nowait")();
}

bool non_empty_text(nb::handle value) {
  return PyUnicode_Check(value.ptr()) && PyUnicode_GetLength(value.ptr()) > 0;
}

// Stops the earlier replay and lets its thread end, so one queue never has two feeders.
void retire(nb::handle self, const std::shared_ptr<Replay>& earlier) {
  if (!earlier) return;
  {
    std::lock_guard<std::mutex> lock(earlier->mutex);
    if (earlier->finished) return;
  }
  earlier->stopped = true;
  put(self, k().allow_next_tick_flag_queue, globals->wake);
  put(self, k().backfilling_notify_finish_queue, globals->wake);
  earlier->wait_finished(10.0);
}

void send_ticks(nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to,
                nb::handle backfill_from, nb::handle backfill_to) {
  const std::vector<Instrument> instruments = instruments_of(codes);
  require_str(start_from, "start_from");
  require_str(end_to, "end_to");
  if (!backfill_from.is_none()) require_str(backfill_from, "backfilling_start_from");
  if (!backfill_to.is_none()) require_str(backfill_to, "backfilling_end_to");
  // Dates too are refused before anything changes (a missing backfill bound is
  // the backfill's own documented failure).
  for (nb::handle date : {start_from, end_to, backfill_from, backfill_to}) {
    if (non_empty_text(date)) globals->format_to_dt(date);
  }

  Ticker& ticker = state_of(self);
  retire(self, ticker.replay);
  auto replay = std::make_shared<Replay>();

  nb::dict params;
  params["codes"] = codes;
  params["start_from"] = start_from;
  params["end_to"] = end_to;
  nb::setattr(self, k().current_send_ticks_params, params);
  nb::setattr(self, k().exit_send_thread_flag, nb::bool_(false));
  clear_queue(self, k().tick_queue);
  clear_queue(self, k().backfilling_notify_finish_queue);
  nb::setattr(self, k().backfilling_finish_flag, nb::bool_(false));

  replay->backfill_requested = non_empty_text(backfill_from) || non_empty_text(backfill_to);
  if (replay->backfill_requested) {
    auto gate = std::make_shared<threads::WorkerGate>();
    start_daemon_thread("orva-ticker-backfill",
                        [owner = nb::borrow(self), instruments, from = nb::borrow(backfill_from),
                         to = nb::borrow(backfill_to), gate] {
                          register_gate(gate.get());
                          if (!gate->begin_work()) return;
                          try {
                            backfill(owner, instruments, from, to, *gate);
                          } catch (...) {
                            unregister_gate(gate.get());
                            throw;
                          }
                          unregister_gate(gate.get());
                        });
  } else {
    nb::setattr(self, k().backfilling_finish_flag, nb::bool_(true));
  }

  nb::object table = combine_ticks(self, instruments, start_from, end_to);
  console_print("[green]開始傳送 Tick 資料, Tick 數 " + std::to_string(nb::len(table)) +
                ". ...[/green]");
  // Only a replay whose thread starts is one a later send_ticks must retire.
  ticker.replay = replay;
  register_gate(&replay->gate);
  try {
    start_daemon_thread("orva-ticker-replay", [owner = nb::borrow(self), replay, table] {
      struct Done {
        Replay& run;
        ~Done() {
          unregister_gate(&run.gate);
          run.finish();
        }
      } done{*replay};
      if (!replay->gate.begin_work()) return;
      run_replay(owner, replay, table);
    });
  } catch (...) {
    unregister_gate(&replay->gate);
    replay->finish();
    throw;
  }
}

void stop_send_ticks(nb::handle self) {
  nb::setattr(self, k().exit_send_thread_flag, nb::bool_(true));
  if (state_of(self).replay) state_of(self).replay->stopped = true;
  put(self, k().tick_queue, exit_marker());
}

}  // namespace

void bind_replay(nb::class_<Ticker>& cls) {
  cls.def("send_ticks", &send_ticks, nb::arg("codes").none(), nb::arg("start_from").none(),
          nb::arg("end_to").none(), nb::arg("backfilling_start_from").none() = nb::none(),
          nb::arg("backfilling_end_to").none() = nb::none())
      .def("pop_tick",
           [](nb::handle self) { return nb::getattr(self, keys().tick_queue).attr("get")(); })
      .def("allow_next_tick",
           [](nb::handle self) { put(self, keys().allow_next_tick_flag_queue, nb::bool_(true)); })
      .def("stop_send_ticks", &stop_send_ticks)
      .def("backfilling",
           [](nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to) {
             const std::vector<Instrument> instruments = instruments_of(codes);
             threads::WorkerGate gate;  // the caller's thread: never closed
             backfill(self, instruments, start_from, end_to, gate);
           },
           nb::arg("codes").none(), nb::arg("start_from").none() = nb::none(),
           nb::arg("end_to").none() = nb::none())
      .def("_Ticker__notify_backfilling_finish", &notify_backfilling_finish)
      .def("_Ticker__push_tick_to_queue",
           [](nb::handle self, nb::handle table) {
             auto replay = std::make_shared<Replay>();
             run_replay(self, replay, table);
           },
           nb::arg("table").none());
}

}  // namespace orva::py::ticker
