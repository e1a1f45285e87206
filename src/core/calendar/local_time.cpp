#include "calendar/local_time.h"

#include <cmath>
#include <ctime>

namespace orva::calendar {

// Howard Hinnant's civil-calendar algorithms.
int64_t days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

namespace {

struct Split {
  int64_t whole;   // seconds, floored
  int64_t micros;  // 0..999999, rounded half to even
};

std::optional<Split> split_seconds(double seconds) {
  // Far outside the years checked below (and not NaN), so the whole seconds fit an int64:
  // truncated as modf would, without its library call.
  if (!(std::fabs(seconds) < 1e15)) return std::nullopt;
  double whole = static_cast<double>(static_cast<int64_t>(seconds));
  double micros = std::nearbyint((seconds - whole) * 1e6);  // ties to even
  if (micros >= 1e6) {
    micros -= 1e6;
    whole += 1;
  } else if (micros < 0) {
    micros += 1e6;
    whole -= 1;
  }
  // Python's datetime holds years 1 to 9999; a day either side covers any zone.
  if (whole < -62135596800.0 - 86400 || whole > 253402300799.0 + 86400) return std::nullopt;
  return Split{static_cast<int64_t>(whole), static_cast<int64_t>(micros)};
}

// The local wall-clock second of a whole UTC second.
std::optional<int64_t> local_second(int64_t whole) {
  const std::time_t t = static_cast<std::time_t>(whole);
  std::tm local{};
  if (!localtime_r(&t, &local)) return std::nullopt;
  if (local.tm_year + 1900 < 1 || local.tm_year + 1900 > 9999) return std::nullopt;
  const int64_t days = days_from_civil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

constexpr int64_t kQuarter = 900;
// Quarters this far inside years 1..9999 cannot reach past them.
constexpr int64_t kFirstCachedSecond = -62135596800 + 2 * 86400;
constexpr int64_t kLastCachedSecond = 253402300799 - 2 * 86400;

}  // namespace

std::optional<LocalMicros> local_micros(double seconds) {
  const auto split = split_seconds(seconds);
  if (!split) return std::nullopt;
  const auto local = local_second(split->whole);
  if (!local) return std::nullopt;
  return *local * kMicrosPerSecond + split->micros;
}

std::optional<LocalMicros> LocalClock::local_micros(double seconds) {
  const auto split = split_seconds(seconds);
  if (!split) return std::nullopt;
  const int64_t quarter = floor_div(split->whole, kQuarter);
  if (quarter != quarter_) {
    const int64_t first = quarter * kQuarter, last = first + kQuarter - 1;
    if (first < kFirstCachedSecond || last > kLastCachedSecond) return calendar::local_micros(seconds);
    const auto at_first = local_second(first), at_last = local_second(last);
    if (!at_first || !at_last || *at_first - first != *at_last - last)
      return calendar::local_micros(seconds);
    quarter_ = quarter;
    offset_ = *at_first - first;
  }
  return (split->whole + offset_) * kMicrosPerSecond + split->micros;
}

CivilTime civil_time(LocalMicros local) {
  int64_t days = local / kMicrosPerDay;
  int64_t rest = local % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    days -= 1;
  }
  CivilTime t{};
  civil_from_days(days, t.year, t.month, t.day);
  const int64_t second_of_day = rest / kMicrosPerSecond;
  t.hour = static_cast<int>(second_of_day / 3600);
  t.minute = static_cast<int>(second_of_day / 60 % 60);
  t.second = static_cast<int>(second_of_day % 60);
  t.micros = static_cast<int>(rest % kMicrosPerSecond);
  return t;
}

namespace {

// `value` as `width` digits, zero-padded, at `out`; the end of what it wrote.
char* put_digits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
  return out + width;
}

}  // namespace

// Written digit by digit: every fill's trade record is stamped, and snprintf's format
// parsing cost more than the conversion itself.
std::optional<std::string> format_local_timestamp(double seconds) {
  const auto local = local_micros(seconds);
  if (!local) return std::nullopt;
  const CivilTime t = civil_time(*local);  // years 1 to 9999: four digits
  std::string text(26, ' ');
  char* out = put_digits(text.data(), t.year, 4);
  *out++ = '-';
  out = put_digits(out, t.month, 2);
  *out++ = '-';
  out = put_digits(out, t.day, 2);
  out = put_digits(out + 1, t.hour, 2);
  *out++ = ':';
  out = put_digits(out, t.minute, 2);
  *out++ = ':';
  out = put_digits(out, t.second, 2);
  *out++ = '.';
  put_digits(out, t.micros, 6);
  return text;
}

}  // namespace orva::calendar
