#include "quotes/minute_bars.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orva::quotes {
namespace {

using calendar::kMicrosPerMinute;

// Growing by an eighth rather than doubling keeps the spare capacity of
// millions of rows small.
template <class T>
void push(std::vector<T>& column, T value) {
  if (column.size() == column.capacity()) column.reserve(column.size() + column.size() / 8 + 4096);
  column.push_back(value);
}

constexpr double kInt32Limit = 2147483647.0;

}  // namespace

bool Hundredths::encode(double value, int32_t& out) {
  const double scaled = std::nearbyint(value * 100);
  if (!(std::fabs(scaled) <= kInt32Limit)) return false;  // NaN too
  out = static_cast<int32_t>(scaled);
  return decode(out) == value;  // read back exactly, or kept wide
}

bool WholeNumber::encode(int64_t value, int32_t& out) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return false;
  out = static_cast<int32_t>(value);
  return true;
}

template <class Wide, class Codec>
void NarrowColumn<Wide, Codec>::widen() {
  wide_values_.reserve(narrow_.capacity());
  for (int32_t value : narrow_) wide_values_.push_back(Codec::decode(value));
  narrow_ = {};
  wide_ = true;
}

template <class Wide, class Codec>
void NarrowColumn<Wide, Codec>::push_back(Wide value) {
  int32_t narrow = 0;
  if (!wide_ && !Codec::encode(value, narrow)) widen();
  if (wide_)
    push(wide_values_, value);
  else
    push(narrow_, narrow);
}

template <class Wide, class Codec>
void NarrowColumn<Wide, Codec>::set_back(Wide value) {
  int32_t narrow = 0;
  if (!wide_ && !Codec::encode(value, narrow)) widen();
  if (wide_)
    wide_values_.back() = value;
  else
    narrow_.back() = narrow;
}

template class NarrowColumn<double, Hundredths>;
template class NarrowColumn<int64_t, WholeNumber>;

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
    const size_t last = size() - 1;
    high_.set_back(std::max(high_[last], bar.high));
    low_.set_back(std::min(low_[last], bar.low));
    close_.set_back(bar.close);
    volume_.set_back(volume_[last] + bar.volume);
    return;
  }
  push(minute_, minute);
  open_.push_back(bar.open);
  high_.push_back(bar.high);
  low_.push_back(bar.low);
  close_.push_back(bar.close);
  volume_.push_back(bar.volume);
}

}  // namespace orva::quotes
