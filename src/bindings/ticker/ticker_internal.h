// Shared by the sources of class Ticker; not part of any other binding.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/args.h"
#include "common/gil.h"
#include "threads/worker_gate.h"

namespace orva::py::ticker {

namespace nb = nanobind;

// Raises `type` as a Python error, which every handler of the feed catches.

// A read-only view of one 64-bit numeric column without nulls (a zero-copy
// numpy view of polars' buffer), released with the GIL held.
class Column {
 public:
  Column(nb::handle array, bool real, const char* name);
  Column(nb::handle table, const char* name, bool real)
      : Column(table.attr("get_column")(name).attr("to_numpy")(), real, name) {}
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { PyBuffer_Release(&view_); }

  const int64_t* integers() const { return static_cast<const int64_t*>(view_.buf); }
  const double* reals() const { return static_cast<const double*>(view_.buf); }
  int64_t integer(Py_ssize_t i) const { return integers()[i]; }
  double real(Py_ssize_t i) const { return reals()[i]; }

 private:
  nb::object owner_;
  Py_buffer view_{};
};

// One run started by send_ticks: its replay thread and, when asked for, its
// backfill thread. A newer send_ticks retires it: from then on none of its
// records, markers or flags reach the host.
struct Replay {
  std::atomic<bool> stopped{false};  // the replay loop ends (stop_send_ticks or retirement)
  std::atomic<bool> retired{false};  // written under `feeding`
  bool backfill_requested = false;
  // Threads of the run waiting for a permit or for the backfill's notice, so
  // retirement wakes exactly those.
  std::atomic<int> waiting_for_permit{0}, waiting_for_notice{0};
  // Let the process exit while a thread waits.
  threads::WorkerGate replay_gate, backfill_gate;
  // Held from the test of `retired` through the write it allows, so retirement
  // waits for a put under way and no later one happens.
  std::mutex feeding;

  // Runs `write` (a put into the host's queues or a flag) unless retired.
  template <class Write>
  bool feed(Write&& write) {
    auto lock = lock_releasing_gil(feeding);
    if (retired) return false;
    write();
    return true;
  }
  void retire() {
    stopped = true;
    auto lock = lock_releasing_gil(feeding);
    retired = true;
  }
};

// The C++ side of a Ticker instance; the documented attributes live in its __dict__.
struct Ticker {
  std::recursive_mutex starting;   // one send_ticks at a time
  std::shared_ptr<Replay> replay;  // the latest run
};

struct Keys {
  nb::str market_type = interned("market_type");
  nb::str timestamp = interned("timestamp");
  nb::str code = interned("code");
  nb::str close = interned("close");
  nb::str qty = interned("qty");
  nb::str tick_type = interned("tick_type");
  nb::str is_simulate = interned("is_simulate");
  nb::str is_backfilling = interned("is_backfilling");
  nb::str quote = interned("quote");
  nb::str market = interned("market");
  nb::str orva_status = interned("orva_status");
  nb::str api = interned("api");
  nb::str tick_queue = interned("tick_queue");
  nb::str allow_next_tick_flag_queue = interned("allow_next_tick_flag_queue");
  nb::str backfilling_notify_finish_queue = interned("backfilling_notify_finish_queue");
  nb::str backfilling_finish_flag = interned("backfilling_finish_flag");
  nb::str exit_send_thread_flag = interned("exit_send_thread_flag");
  nb::str code_market_map = interned("code_market_map");
  nb::str tick_df_schema = interned("tick_df_schema");
  nb::str current_send_ticks_params = interned("current_send_ticks_params");
};

// Objects taken at module load; never released (module teardown order at
// interpreter exit is unspecified).
struct Globals {
  Keys keys;
  nb::object pl, schema;            // polars and the tick table schema
  nb::object column_names, column_types;  // the schema's keys and values, as lists
  nb::object os_path_join, os_path_exists, os_replace, os_remove, getpid, fsencode, get_ident;
  nb::object make_dir, format_to_dt;
  nb::object exit_flag_value, finish_flag_value;
  nb::object queue_class, queue_empty, timedelta_day, datetime_class, time_time, time_ns;
  nb::object wake;  // unblocks a stopped replay's wait; never a permit
};
extern Globals* globals;

inline const Keys& keys() { return globals->keys; }

Ticker& state_of(nb::handle self);

nb::dict exit_marker();
nb::dict finish_marker();

// One entry of an instrument list, checked and copied: the host may change its
// list while the days load.
struct Instrument {
  nb::str code;       // refused if it could leave the cache folder
  nb::object market;  // a str
};
Instrument instrument(nb::handle code, nb::handle market, const char* market_name);
// Every entry of the list `codes` ({"code", "market"} dicts), before any state changes.
std::vector<Instrument> instruments_of(nb::handle codes);

// For every day of the range, in order: fetch(date), with date as a
// "YYYY-MM-DD" str, then take() (whose errors are the caller's); a day whose
// fetch keeps failing is logged and skipped.
void for_each_date(nb::handle self, const Instrument& instrument, nb::handle start_from,
                   nb::handle end_to, const std::function<void(nb::handle)>& fetch,
                   const std::function<void()>& take);
// The checked tick table of one day: from the CSV cache, or downloaded (and
// cached); a cache file that does not read back is set aside first.
nb::object fetch_day(nb::handle self, nb::handle code, nb::handle market, nb::handle date);
// The CSV cache file's name of a day; refuses codes unfit for file names.
nb::str tick_filename(nb::handle code, nb::handle date);
// The CSV cache file of a day; refuses codes unfit for file names.
nb::object cache_path(nb::handle code, nb::handle date);
// Writes a downloaded day into the cache, or says why the cache could not take it.
void cache_day(nb::handle day, nb::handle code, const std::string& date);
// A cache file's checked table; a ValueError when it does not read back as ticks.
nb::object read_cache_file(nb::handle path);
// The module function: None, or (row, column) of a table's first value no tick can have.
nb::object find_bad_tick(nb::handle, nb::handle table);
// Refuses a table that is not a replayable day of ticks.
void check_day(nb::handle day);
// Renames a damaged file aside; says where (or why it could not).
std::string move_aside(nb::handle path);

// A day of one instrument made ready for a replay: in the columnar copy of the
// cache (or, when that cannot be written, held as a table), with its row count.
struct PreparedDay {
  nb::str date;     // "YYYY-MM-DD"
  Py_ssize_t rows;  // ticks of the day
  nb::object held;  // the table when the day has no columnar copy; handed over once
  nb::object ahead;       // its copy's checked table, read with an earlier day's
  std::string ahead_key;  // the key of the CSV that copy was made from
};
PreparedDay prepare_day(nb::handle self, const Instrument& instrument, nb::handle date);
// The day's checked table, read from its copy (a damaged copy is set aside, and
// one made from another CSV than the one now cached is rebuilt from that).
nb::object load_day(nb::handle self, const Instrument& instrument, PreparedDay& day);
// Reads the copies of the next few small days of `days` from `from` in one call, each day's
// table left with it for load_day; nothing when fewer than two are in their copies as counted.
void read_ahead(const Instrument& instrument, std::vector<PreparedDay>& days, size_t from);
// Ticker._Ticker__store_columns(code, date, table, csv_stat): writes a day's
// columnar copy of the CSV an importer wrote (`csv_stat`: its os.stat, taken
// before it was renamed into place).
void store_columns(nb::handle self, nb::handle code, nb::handle date, nb::handle table,
                   nb::handle csv_stat);

// Hands every non-empty day of `instrument` over the range, loaded and
// checked, to `take`, in order; a day that keeps failing is skipped.
void for_each_day(nb::handle self, const Instrument& instrument, nb::handle start_from,
                  nb::handle end_to, const std::function<void(nb::handle)>& take);
// The merged tick table of `instruments` over the range, by time, ties by code.
nb::object combine_ticks(nb::handle self, const std::vector<Instrument>& instruments,
                         nb::handle start_from, nb::handle end_to);

bool non_empty_text(nb::handle value);
// The instruments of a replay request, with its dates checked: everything is
// refused before anything changes (a missing backfill bound is the backfill's
// own documented failure).
std::vector<Instrument> checked_request(nb::handle codes, nb::handle start_from, nb::handle end_to,
                                        nb::handle backfill_from, nb::handle backfill_to);

// Replay and backfill (replay.cpp), the replay on the caller's thread (direct_replay.cpp).
void bind_replay(nb::module_& m, nb::class_<Ticker>& cls);
nb::object iter_ticks(nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to,
                      nb::handle backfill_from, nb::handle backfill_to, nb::handle progress,
                      nb::handle with_quotes);
void bind_direct_replay(nb::module_& m);

}  // namespace orva::py::ticker
