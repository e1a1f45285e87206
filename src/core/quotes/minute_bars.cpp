#include "quotes/minute_bars.h"

#include <algorithm>

namespace orva::quotes {
namespace {

using calendar::kMicrosPerMinute;

// A decade of minutes is millions of rows: growing by an eighth rather than
// doubling keeps the spare capacity small.
template <class T>
void push(std::vector<T>& column, T value) {
  if (column.size() == column.capacity()) column.reserve(column.size() + column.size() / 8 + 4096);
  column.push_back(value);
}

}  // namespace

Bar MinuteBars::at(size_t i) const {
  return {static_cast<LocalMicros>(minute_[i]) * kMicrosPerMinute, open_[i], high_[i], low_[i],
          close_[i], volume_[i]};
}

size_t MinuteBars::first_from(LocalMicros dt) const {
  // The first whole minute at or after dt.
  const LocalMicros up = dt / kMicrosPerMinute + (dt % kMicrosPerMinute > 0 ? 1 : 0);
  return static_cast<size_t>(std::lower_bound(minute_.begin(), minute_.end(), up) - minute_.begin());
}

void MinuteBars::add(const Bar& bar) {
  const auto minute = static_cast<int32_t>(bar.dt / kMicrosPerMinute);
  if (!minute_.empty() && minute < minute_.back()) return;
  if (!minute_.empty() && minute == minute_.back()) {
    high_.back() = std::max(high_.back(), bar.high);
    low_.back() = std::min(low_.back(), bar.low);
    close_.back() = bar.close;
    volume_.back() += bar.volume;
    return;
  }
  push(minute_, minute);
  push(open_, bar.open);
  push(high_, bar.high);
  push(low_, bar.low);
  push(close_, bar.close);
  push(volume_, bar.volume);
}

}  // namespace orva::quotes
