#include "calendar/local_time.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace orva::calendar {

std::optional<std::string> format_local_timestamp(double seconds) {
  if (!std::isfinite(seconds)) return std::nullopt;
  double whole = 0;
  double micros = std::nearbyint(std::modf(seconds, &whole) * 1e6);  // ties to even
  if (micros >= 1e6) {
    micros -= 1e6;
    whole += 1;
  } else if (micros < 0) {
    micros += 1e6;
    whole -= 1;
  }
  if (whole < -9.2e18 || whole > 9.2e18) return std::nullopt;
  const std::time_t t = static_cast<std::time_t>(whole);
  std::tm local{};
  if (!localtime_r(&t, &local)) return std::nullopt;
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d",
                              local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                              local.tm_hour, local.tm_min, local.tm_sec,
                              static_cast<int>(micros));
  if (n <= 0 || n >= static_cast<int>(sizeof text)) return std::nullopt;
  return std::string(text, n);
}

}  // namespace orva::calendar
