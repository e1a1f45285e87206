// K-bar arithmetic: the start of the bar that holds a time, and the
// incremental update of a cached bar table by newly arrived ticks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quotes/tick_buffer.h"

namespace orva::quotes {

enum class BarUnit { Minute, Hour, Day, Week, Month, Quarter, Year };

// "m", "h", "d", "w", "mo", "q" or "y"; empty for anything else.
std::optional<BarUnit> parse_bar_unit(std::string_view text);

// The start of the `freq`-unit bar holding `dt`, as polars' dt.truncate gives
// it for zone-free times: minutes, hours and days counted from the epoch,
// weeks from Monday 1970-01-05, months, quarters and years from 1970-01.
LocalMicros bar_start(LocalMicros dt, BarUnit unit, int64_t freq);

struct Bar {
  LocalMicros dt;
  double open, high, low, close;
  int64_t volume;
};

// Ticks [from, to) of `columns` in time order, ties in arrival order.
std::vector<size_t> time_order(const TickColumns& columns, size_t from, size_t to);

// Folds ticks [from, to) into `last`, the newest cached bar. Simulated ticks
// and ticks of bars before `last` are left out; a tick of `last`'s bar widens
// it and sets its close (its open stays); a later tick starts a new bar, and
// the bar it ends is appended to `completed`.
void update_bars(const TickColumns& columns, size_t from, size_t to, BarUnit unit, int64_t freq,
                 Bar& last, std::vector<Bar>& completed);

// The bars of one key built as ticks arrive, by update_bars' rules: the newest
// bar stays open until a tick of a later bar comes, or the data ends.
class BarFold {
 public:
  BarFold(BarUnit unit, int64_t freq) : unit_(unit), freq_(freq) {}

  // Folds ticks [from, to); the bars they complete are appended to `completed`.
  void add(const TickColumns& columns, size_t from, size_t to, std::vector<Bar>& completed);
  // Hands over the open bar, if any: no tick will come for it.
  std::optional<Bar> close();

 private:
  BarUnit unit_;
  int64_t freq_;
  Bar last_{};
  bool open_ = false;
};

}  // namespace orva::quotes
