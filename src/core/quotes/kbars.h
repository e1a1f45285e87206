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

// Ticks [from, to) of `columns` in time order, ties in arrival order.
std::vector<size_t> time_order(const TickColumns& columns, size_t from, size_t to);

// Folds ticks [from, to) into `last`, the newest cached bar. Simulated ticks
// and ticks of bars before `last` are left out; a tick of `last`'s bar widens
// it and sets its close (its open stays); a later tick starts a new bar, and
// the bar it ends is appended to `completed`.
void update_bars(const TickColumns& columns, size_t from, size_t to, BarUnit unit, int64_t freq,
                 Bar& last, std::vector<Bar>& completed);
// The same for one-minute bars [from, to) of `minutes`, each taken as its ticks.
void update_bars(const MinuteBars& minutes, size_t from, size_t to, BarUnit unit, int64_t freq,
                 Bar& last, std::vector<Bar>& completed);

// The bars of one key built as ticks arrive, by update_bars' rules: the newest
// bar stays open until a tick of a later bar comes, or the data ends.
class BarFold {
 public:
  BarFold(BarUnit unit, int64_t freq) : unit_(unit), freq_(freq) {}
  // A fold whose newest bar `open` is still open.
  BarFold(BarUnit unit, int64_t freq, const Bar& open)
      : unit_(unit), freq_(freq), last_(open), open_(true) {}

  // Folds ticks [from, to); the bars they complete are appended to `completed`.
  void add(const TickColumns& columns, size_t from, size_t to, std::vector<Bar>& completed);
  void add(const MinuteBars& minutes, size_t from, size_t to, std::vector<Bar>& completed);
  // Folds everything `instrument` keeps again from the start of the open bar
  // (from the beginning when none is open): its one-minute bars, then its held
  // ticks. For a fold some of whose ticks were sealed into minutes unseen.
  void catch_up(const Instrument& instrument, std::vector<Bar>& completed);
  // Hands over the open bar, if any: no tick will come for it.
  std::optional<Bar> close();

 private:
  template <class Source>
  void fold(const Source& source, size_t from, size_t to, std::vector<Bar>& completed);

  BarUnit unit_;
  int64_t freq_;
  Bar last_{};
  bool open_ = false;
};

// The bars of `instrument` starting in [since, until) (`since` a bar start of
// the unit), folded from its one-minute bars and its held ticks.
std::vector<Bar> bars_between(const Instrument& instrument, BarUnit unit, int64_t freq,
                              LocalMicros since, LocalMicros until);

}  // namespace orva::quotes
