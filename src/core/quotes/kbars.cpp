#include "quotes/kbars.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace orva::quotes {
namespace {

int64_t floor_mod(int64_t a, int64_t b) {
  const int64_t r = a % b;
  return (r != 0 && (r < 0) != (b < 0)) ? r + b : r;
}

LocalMicros truncate_fixed(LocalMicros dt, int64_t step, LocalMicros origin = 0) {
  return dt - floor_mod(dt - origin, step);
}

LocalMicros truncate_months(LocalMicros dt, int64_t months) {
  int y = 0, m = 0, d = 0;
  calendar::civil_from_days((dt - floor_mod(dt, kMicrosPerDay)) / kMicrosPerDay, y, m, d);
  int64_t total = (static_cast<int64_t>(y) - 1970) * 12 + (m - 1);
  total -= floor_mod(total, months);
  const int64_t year = 1970 + (total - floor_mod(total, 12)) / 12;
  const int month = static_cast<int>(floor_mod(total, 12)) + 1;
  return calendar::days_from_civil(static_cast<int>(year), month, 1) * kMicrosPerDay;
}

constexpr LocalMicros kFirstMonday = 4 * kMicrosPerDay;  // 1970-01-05

}  // namespace

std::optional<BarUnit> parse_bar_unit(std::string_view text) {
  if (text == "m") return BarUnit::Minute;
  if (text == "h") return BarUnit::Hour;
  if (text == "d") return BarUnit::Day;
  if (text == "w") return BarUnit::Week;
  if (text == "mo") return BarUnit::Month;
  if (text == "q") return BarUnit::Quarter;
  if (text == "y") return BarUnit::Year;
  return std::nullopt;
}

LocalMicros bar_start(LocalMicros dt, BarUnit unit, int64_t freq) {
  switch (unit) {
    case BarUnit::Minute: return truncate_fixed(dt, freq * kMicrosPerMinute);
    case BarUnit::Hour: return truncate_fixed(dt, freq * 60 * kMicrosPerMinute);
    case BarUnit::Day: return truncate_fixed(dt, freq * kMicrosPerDay);
    case BarUnit::Week: return truncate_fixed(dt, freq * 7 * kMicrosPerDay, kFirstMonday);
    case BarUnit::Month: return truncate_months(dt, freq);
    case BarUnit::Quarter: return truncate_months(dt, 3 * freq);
    case BarUnit::Year: return truncate_months(dt, 12 * freq);
  }
  return dt;
}

std::vector<size_t> time_order(const TickColumns& columns, size_t from, size_t to) {
  std::vector<size_t> order(to - from);
  std::iota(order.begin(), order.end(), from);
  const auto earlier = [&](size_t a, size_t b) { return columns.dt[a] < columns.dt[b]; };
  // Ticks nearly always arrive in order: the sort is then one pass.
  if (!std::is_sorted(order.begin(), order.end(), earlier))
    std::stable_sort(order.begin(), order.end(), earlier);
  return order;
}

namespace {

// Folds one bar's worth (a tick, or a minute of them) into `last`.
void fold_into(const Bar& bar, Bar& last, std::vector<Bar>& completed) {
  if (bar.dt < last.dt) return;
  if (bar.dt == last.dt) {
    last.high = std::max(last.high, bar.high);
    last.low = std::min(last.low, bar.low);
    last.close = bar.close;
    last.volume += bar.volume;
  } else {
    completed.push_back(last);
    last = bar;
  }
}

}  // namespace

void update_bars(const TickColumns& columns, size_t from, size_t to, BarUnit unit, int64_t freq,
                 Bar& last, std::vector<Bar>& completed) {
  for (size_t i : time_order(columns, from, to)) {
    if (columns.is_simulate[i]) continue;
    const double close = columns.close[i];
    fold_into({bar_start(columns.dt[i], unit, freq), close, close, close, close, columns.qty[i]},
              last, completed);
  }
}

void update_bars(const MinuteBars& minutes, size_t from, size_t to, BarUnit unit, int64_t freq,
                 Bar& last, std::vector<Bar>& completed) {
  for (size_t i = from; i < to; ++i) {
    Bar bar = minutes.at(i);
    bar.dt = bar_start(bar.dt, unit, freq);
    fold_into(bar, last, completed);
  }
}

template <class Source>
void BarFold::fold(const Source& source, size_t from, size_t to, std::vector<Bar>& completed) {
  if (open_) {
    update_bars(source, from, to, unit_, freq_, last_, completed);
    return;
  }
  // No bar yet: a start before every tick opens the first one, and the
  // placeholder it "completes" is dropped.
  const size_t before = completed.size();
  Bar last{std::numeric_limits<LocalMicros>::min(), 0, 0, 0, 0, 0};
  update_bars(source, from, to, unit_, freq_, last, completed);
  if (completed.size() == before) return;  // only simulated ticks so far
  completed.erase(completed.begin() + static_cast<std::ptrdiff_t>(before));
  last_ = last;
  open_ = true;
}

void BarFold::add(const TickColumns& columns, size_t from, size_t to, std::vector<Bar>& completed) {
  fold(columns, from, to, completed);
}

void BarFold::add(const MinuteBars& minutes, size_t from, size_t to, std::vector<Bar>& completed) {
  fold(minutes, from, to, completed);
}

void BarFold::catch_up(const Instrument& instrument, std::vector<Bar>& completed) {
  const MinuteBars& minutes = instrument.minutes();
  const size_t from = open_ ? minutes.first_from(last_.dt) : 0;
  open_ = false;  // the open bar is built again, whole
  fold(minutes, from, minutes.size(), completed);
  fold(instrument.columns(), 0, instrument.columns().size(), completed);
}

std::vector<Bar> bars_between(const Instrument& instrument, BarUnit unit, int64_t freq,
                              LocalMicros since, LocalMicros until) {
  std::vector<Bar> bars;
  BarFold fold(unit, freq);
  const MinuteBars& minutes = instrument.minutes();
  fold.add(minutes, minutes.first_from(since), minutes.first_from(until), bars);
  const TickColumns& columns = instrument.columns();
  const std::vector<LocalMicros>& dt = columns.dt;
  size_t from = 0, to = dt.size();
  if (std::is_sorted(dt.begin(), dt.end())) {  // nearly always: a window then reads its own ticks
    from = static_cast<size_t>(std::lower_bound(dt.begin(), dt.end(), since) - dt.begin());
    to = static_cast<size_t>(std::lower_bound(dt.begin(), dt.end(), until) - dt.begin());
  }
  fold.add(columns, from, to, bars);
  if (std::optional<Bar> last = fold.close()) bars.push_back(*last);
  bars.erase(std::remove_if(bars.begin(), bars.end(),
                            [&](const Bar& bar) { return bar.dt < since || bar.dt >= until; }),
             bars.end());
  return bars;
}

std::optional<Bar> BarFold::close() {
  if (!open_) return std::nullopt;
  open_ = false;
  return last_;
}

}  // namespace orva::quotes
