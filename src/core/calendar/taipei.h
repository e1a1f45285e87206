// The exchange's clock: Taipei time, UTC+8 all year, whatever the process's
// time zone (stock days and sessions are Taipei's).
#pragma once

#include <cmath>
#include <cstdint>

namespace orva::calendar {

inline constexpr double kTaipeiOffsetSeconds = 8 * 3600;

// Days since 1970-01-01 of the Taipei date of `seconds` since the epoch.
inline int64_t taipei_day(double seconds) {
  return static_cast<int64_t>(std::floor((seconds + kTaipeiOffsetSeconds) / 86400));
}

}  // namespace orva::calendar
