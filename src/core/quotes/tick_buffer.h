// The per-instrument tick buffer: trading-calendar rules (gap filling with
// virtual minutes, session normalisation) applied to every tick on its way in,
// and compact columns of the buffered ticks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "calendar/local_time.h"
#include "quotes/minute_bars.h"

namespace orva::quotes {

using calendar::LocalMicros;
using calendar::kMicrosPerDay;
using calendar::kMicrosPerMinute;
using calendar::kMicrosPerSecond;

// A window of the day, both ends included, in seconds of the day.
struct Window {
  int start;
  int end;
};

struct Calendar {
  std::unordered_map<std::string, std::vector<Window>> windows;  // by product type
  // Whether a trading day (days since 1970-01-01) is an exchange holiday. Asked
  // at most once per day of a gap; it may throw, and then the tick is not added.
  std::function<bool(int64_t)> is_holiday;
};

// Tick times outside these bounds are refused: a stray millisecond or
// far-future stamp would otherwise fill centuries of minutes.
inline constexpr LocalMicros kEarliestTick = 7305 * kMicrosPerDay;   // 1990-01-01
inline constexpr LocalMicros kLatestTick = 47482 * kMicrosPerDay;    // 2100-01-01
inline bool tick_time_in_range(LocalMicros dt) { return dt >= kEarliestTick && dt < kLatestTick; }

// Longest gap that is filled with virtual minutes; a longer one (a suspended
// instrument, two runs' data back to back) is left unfilled.
inline constexpr int64_t kMaxFilledGapMinutes = 400 * 24 * 60;

// Columns of the buffered ticks of one instrument, in arrival order.
struct TickColumns {
  std::vector<LocalMicros> dt;
  std::vector<double> close;
  std::vector<int64_t> qty;
  std::vector<int64_t> tick_type;
  std::vector<uint8_t> is_simulate;
  std::vector<uint8_t> is_virtual;
  std::vector<uint16_t> market;  // index into the instrument's market types

  size_t size() const { return dt.size(); }
};

struct RealTick {
  LocalMicros dt;
  uint16_t market;
  const std::string* market_type;  // its text, for the window and weekend rules
  double close;
  int64_t qty;
  int64_t tick_type;
  bool is_simulate;
};

class Instrument {
 public:
  // A compact instrument holds only the ticks of its current trading day: when
  // a tick of a later day comes, the held ones are folded into one-minute bars.
  explicit Instrument(bool compact = false) : compact_(compact) {}

  // Appends the virtual minutes the gap since the last real tick calls for,
  // then the tick itself, moved out of a non-trading window if it is in one.
  // Nothing is appended when the calendar throws. Returns false when the gap
  // was too long to fill.
  bool add(const RealTick& tick, const Calendar& calendar);
  // The same, with the windows of the tick's product type already looked up (windows_for).
  bool add(const RealTick& tick, const Calendar& calendar, const std::vector<Window>& windows);

  const TickColumns& columns() const { return columns_; }
  // Ticks before this index were handed over by a pop; the rest are pending.
  size_t pending_from() const { return pending_from_; }
  void hand_over() { pending_from_ = columns_.size(); }
  // Index of the newest real tick among the held ones, or -1.
  int64_t last_tick() const { return last_; }
  // The one-minute bars of the ticks no longer held (compact form only).
  const MinuteBars& minutes() const { return minutes_; }
  // Ticks folded into `minutes` and no longer held: index i of `columns` is
  // tick dropped() + i of all the instrument was given.
  size_t dropped() const { return dropped_; }
  size_t total() const { return dropped_ + columns_.size(); }

  std::vector<std::string> market_types;

 private:
  void append(LocalMicros dt, uint16_t market, double close, int64_t qty, int64_t tick_type,
              bool is_simulate, bool is_virtual);
  // Folds every held tick into the minutes and lets them go.
  void seal();

  TickColumns columns_;
  size_t pending_from_ = 0;
  int64_t last_ = -1;
  bool compact_;
  MinuteBars minutes_;
  size_t dropped_ = 0;
  LocalMicros held_after_ = 0;  // the first held tick's trading day: the day after this
  // The newest real tick, where gap filling starts, even once it is sealed.
  bool has_last_ = false;
  LocalMicros last_dt_ = 0;
  double last_close_ = 0;
  uint16_t last_market_ = 0;
};

// Whether `dt`'s time of day lies in a window; the first such window or null.
const Window* window_of(const std::vector<Window>& windows, LocalMicros dt);
// The windows of a product type in `calendar` (options trade in the futures' sessions).
const std::vector<Window>& windows_for(const Calendar& calendar, const std::string& market);

}  // namespace orva::quotes
