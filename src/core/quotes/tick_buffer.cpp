#include "quotes/tick_buffer.h"

#include <climits>
#include <cmath>
#include <optional>

#include "quotes/kbars.h"

namespace orva::quotes {
namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t day_of(LocalMicros dt) { return floor_div(dt, kMicrosPerDay); }
LocalMicros time_of_day(LocalMicros dt) { return dt - day_of(dt) * kMicrosPerDay; }
int minute_of_hour(LocalMicros dt) { return static_cast<int>(time_of_day(dt) / kMicrosPerMinute % 60); }
int weekday(LocalMicros dt) { return static_cast<int>(((day_of(dt) + 3) % 7 + 7) % 7); }  // Monday 0

// Python's float modulo: the result takes the sign of the divisor.
double python_mod(double x, double m) {
  const double r = std::fmod(x, m);
  return (r != 0 && (r < 0) != (m < 0)) ? r + m : r;
}

constexpr LocalMicros kTradingDayCutoff = 5 * 3600 * kMicrosPerSecond;  // 05:00:00

// Minutes at or before 05:00:00 belong to the previous calendar day's trading day.
int64_t trading_day(LocalMicros dt) {
  return time_of_day(dt) <= kTradingDayCutoff ? day_of(dt) - 1 : day_of(dt);
}

// Index options trade in the futures' sessions, so they follow the futures' rules.
const std::string& session_market(const std::string& market) {
  static const std::string future = "Future";
  return market == "Option" ? future : market;
}

}  // namespace

const std::vector<Window>& windows_for(const Calendar& calendar, const std::string& market) {
  static const std::vector<Window> none;
  auto found = calendar.windows.find(session_market(market));
  return found == calendar.windows.end() ? none : found->second;
}

const Window* window_of(const std::vector<Window>& windows, LocalMicros dt) {
  const LocalMicros tod = time_of_day(dt);  // once for all the windows
  for (const Window& w : windows)
    if (tod >= w.start * kMicrosPerSecond && tod <= w.end * kMicrosPerSecond) return &w;
  return nullptr;
}

void Instrument::append(LocalMicros dt, uint16_t market, double close, int64_t qty,
                        int64_t tick_type, bool is_simulate, bool is_virtual) {
  // Where the held ticks' trading day starts, so later ticks need no division to tell.
  if (columns_.dt.empty()) held_after_ = trading_day(dt) * kMicrosPerDay + kTradingDayCutoff;
  columns_.dt.push_back(dt);
  columns_.close.push_back(close);
  columns_.qty.push_back(qty);
  columns_.tick_type.push_back(tick_type);
  columns_.is_simulate.push_back(is_simulate);
  columns_.is_virtual.push_back(is_virtual);
  columns_.market.push_back(market);
}

void Instrument::seal() {
  std::vector<Bar> bars;
  BarFold fold(BarUnit::Minute, 1);
  fold.add(columns_, 0, columns_.size(), bars);
  if (std::optional<Bar> last = fold.close()) bars.push_back(*last);
  for (const Bar& bar : bars) minutes_.add(bar);
  dropped_ += columns_.size();
  // Cleared, not freed: the next day needs about as much room.
  columns_.dt.clear();
  columns_.close.clear();
  columns_.qty.clear();
  columns_.tick_type.clear();
  columns_.is_simulate.clear();
  columns_.is_virtual.clear();
  columns_.market.clear();
  pending_from_ = 0;
  last_ = -1;
}

bool Instrument::add(const RealTick& tick, const Calendar& calendar) {
  return add(tick, calendar, windows_for(calendar, *tick.market_type));
}

bool Instrument::add(const RealTick& tick, const Calendar& calendar,
                     const std::vector<Window>& windows) {
  if (compact_ && !columns_.dt.empty() &&
      !(tick.dt > held_after_ && tick.dt <= held_after_ + kMicrosPerDay))  // a later trading day
    seal();
  std::vector<LocalMicros> filled;
  bool gap_filled = true;
  // Within a minute of the last tick no minute can be missing: most ticks skip the search.
  if (has_last_ && !(tick.dt >= last_dt_ && tick.dt - last_dt_ < kMicrosPerMinute)) {
    const LocalMicros previous = last_dt_;
    const double diff_seconds = static_cast<double>(tick.dt - previous) / kMicrosPerSecond;
    const int64_t diff_minute = static_cast<int64_t>(std::floor(diff_seconds / 60));
    const bool extra = python_mod(diff_seconds, 60.0) > 0 &&
                       minute_of_hour(tick.dt) - minute_of_hour(previous) > 1;
    const int64_t missing = diff_minute + (extra ? 1 : 0);
    gap_filled = missing <= kMaxFilledGapMinutes;
    if (missing > 1 && gap_filled) {
      const LocalMicros base = previous - time_of_day(previous) % kMicrosPerMinute;
      const bool future = session_market(*tick.market_type) == "Future";
      int64_t day = INT64_MIN;
      bool holiday = false;
      for (int64_t i = 0; i < missing; ++i) {
        const LocalMicros minute = base + (i + 1) * kMicrosPerMinute;
        if (weekday(minute) >= 5 && !(future && time_of_day(minute) <= kTradingDayCutoff)) continue;
        if (window_of(windows, minute)) continue;
        if (trading_day(minute) != day) {  // minutes come in order: one question per day
          day = trading_day(minute);
          holiday = calendar.is_holiday && calendar.is_holiday(day);
        }
        if (!holiday) filled.push_back(minute);
      }
    }
  }
  for (LocalMicros minute : filled) append(minute, last_market_, last_close_, 0, 0, false, true);
  LocalMicros dt = tick.dt;
  if (const Window* w = window_of(windows, dt)) {
    const LocalMicros micros = time_of_day(dt) % kMicrosPerSecond;
    dt = day_of(dt) * kMicrosPerDay + (w->start - 1) * kMicrosPerSecond + micros;
  }
  append(dt, tick.market, tick.close, tick.qty, tick.tick_type, tick.is_simulate, false);
  last_ = static_cast<int64_t>(columns_.size()) - 1;
  has_last_ = true;
  last_dt_ = dt;
  last_close_ = tick.close;
  last_market_ = tick.market;
  return gap_filled;
}

}  // namespace orva::quotes
