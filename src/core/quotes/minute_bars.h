// One-minute bars kept in place of the ticks they were folded from: every
// K-bar unit starts on a minute, so any of them can be built from these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "calendar/local_time.h"

namespace orva::quotes {

using calendar::LocalMicros;

struct Bar {
  LocalMicros dt;
  double open, high, low, close;
  int64_t volume;
};

// One-minute bars in time order, as columns: 44 bytes a minute, where the
// ticks of a busy minute take 34 bytes each.
class MinuteBars {
 public:
  size_t size() const { return minute_.size(); }
  Bar at(size_t i) const;
  // Index of the first bar starting at or after `dt`.
  size_t first_from(LocalMicros dt) const;
  // Appends `bar`, which starts on a minute. A bar of the last minute widens it
  // and sets its close (its open stays); one of an earlier minute is left out,
  // as a late tick is by the bars' updates.
  void add(const Bar& bar);

 private:
  std::vector<int32_t> minute_;  // minutes since 1970-01-01 00:00, local
  std::vector<double> open_, high_, low_, close_;
  std::vector<int64_t> volume_;
};

}  // namespace orva::quotes
