// Seconds since the epoch as local date-time text, as the account records fills.
#pragma once

#include <optional>
#include <string>

namespace orva::calendar {

// "%Y-%m-%d %H:%M:%S.%f" in the process's local time zone, microseconds
// rounded half to even as Python's datetime.fromtimestamp rounds them.
// Empty when the time cannot be represented.
std::optional<std::string> format_local_timestamp(double seconds);

}  // namespace orva::calendar
