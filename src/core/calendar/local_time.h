// Seconds since the epoch as local wall-clock time, as Python's
// datetime.fromtimestamp gives it (microseconds rounded half to even).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orva::calendar {

// Wall-clock times without a zone, as microseconds since 1970-01-01 00:00:00.
using LocalMicros = int64_t;

inline constexpr int64_t kMicrosPerSecond = 1000000;
inline constexpr int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
inline constexpr int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

// Days since 1970-01-01 of a civil date, and back.
int64_t days_from_civil(int year, int month, int day);
void civil_from_days(int64_t days, int& year, int& month, int& day);

// The calendar fields of a local wall-clock time.
struct CivilTime {
  int year, month, day, hour, minute, second, micros;
};
CivilTime civil_time(LocalMicros local);

// The local wall-clock time of `seconds`, in the process's time zone; empty
// when it cannot be represented (outside years 1 to 9999, as for Python).
std::optional<LocalMicros> local_micros(double seconds);

// local_micros with the zone's offset remembered per quarter hour: glibc
// parses the zone's rule text again on every call for times after the zone's
// last transition, which costs more than the rest of a replayed tick. A
// quarter hour whose two ends disagree (a change of offset or a leap second
// inside it) is never remembered. Not for sharing between threads.
class LocalClock {
 public:
  std::optional<LocalMicros> local_micros(double seconds);

 private:
  int64_t quarter_ = INT64_MIN;  // UTC quarter hour whose offset is known
  int64_t offset_ = 0;           // local minus UTC, in seconds
};

// "%Y-%m-%d %H:%M:%S.%f" of local_micros(seconds).
std::optional<std::string> format_local_timestamp(double seconds);

}  // namespace orva::calendar
