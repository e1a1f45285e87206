// Shared by the sources of class QuoteManager and class BarFeed.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/direct_api.h"
#include "common/gil.h"
#include "common/threads.h"
#include "quotes/kbars.h"
#include "quotes/tick_buffer.h"

namespace orva::py::positions {

namespace nb = nanobind;
namespace q = orva::quotes;

inline constexpr long long kMaxFreq = 100000;

// One cache key's bars. Bars before the last never change again, so they
// are kept as a polars frame that only grows; the last bar lives in C++ and
// takes in new ticks. A call hands over completed + last without rebuilding.
struct KbarCache {
  nb::object key;        // the (code, unit, freq) tuple
  nb::object table;      // sorted by dt, without caller expressions
  nb::object completed;  // every bar but the last
  int appended = 0;      // frames stacked onto `completed` since it was last rechunked
  q::Bar last{};
  size_t aggregated = 0;  // how far into the instrument's ticks the bars reach
};

struct Entry {
  nb::object code;
  std::vector<nb::object> code_columns;  // "code" series of 1, 2, ... rows, made once
  q::Instrument instrument;
  std::vector<nb::object> market_texts;
  std::map<std::pair<std::string, long long>, KbarCache> caches;
};

struct QuoteManager {
  // Every method holds it for its whole call: a clear on one thread never
  // frees what a K-bar call on another is reading. Recursive, because host
  // code a call runs (a truth test, a console) may call back in.
  std::recursive_timed_mutex mutex;
  q::Calendar calendar;
  nb::object holidays;  // the host-visible set, asked directly so in-place edits count
  nb::object windows;   // the host-visible not_trade_times
  // Per product type, the objects its windows were last read from: an
  // in-place edit of the host's lists shows up as a different object.
  std::unordered_map<std::string, std::vector<nb::object>> windows_seen;
  std::vector<std::string> order;  // codes in first-seen order
  // Shared, so a call still using an entry keeps it alive through a clear.
  std::unordered_map<std::string, std::shared_ptr<Entry>> entries;
  uint64_t clears = 0;  // how often the entries were dropped: bar feeds start over then
  // Each instrument holds one-minute bars and only its current trading day's ticks.
  bool compact = false;

  ~QuoteManager() { unregister_exit_lock(&mutex); }
};

inline QuoteManager& state(nb::handle self) { return *nb::inst_ptr<QuoteManager>(self); }

inline std::unique_lock<std::recursive_timed_mutex> locked(nb::handle self) {
  return lock_releasing_gil(state(self).mutex);
}

// The instrument entry of `code`, or null.
std::shared_ptr<Entry> find_entry(nb::handle self, nb::handle code);
// A checked unit and frequency of a K-bar key, or the error get_kbar raises.
std::pair<q::BarUnit, long long> bar_key_of(nb::handle unit, nb::handle freq);
// QuoteManager.add_tick from a tick's values (the direct replay's step).
int direct_add_tick(PyObject* self, const direct::Tick& tick);
int direct_add_ticks(PyObject* self, const direct::Tick* ticks, size_t count);
bool is_quote_manager(PyObject* obj);

void bind_bar_feed(nb::module_& m);
// QuoteManager.ticks and get_init_ticks_info (ticks_view.cpp).
void bind_ticks_view(nb::class_<QuoteManager>& cls);

}  // namespace orva::py::positions
