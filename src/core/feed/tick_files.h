// Names of the per-day tick cache files.
#pragma once

#include <string>
#include <string_view>

namespace orva::feed {

// "<code> <YYYY-MM-DD> - ticks.csv"
std::string tick_file_name(std::string_view code, std::string_view day);
// "<code> <YYYY-MM-DD> - ticks.parquet": the day's columnar copy.
std::string columnar_file_name(std::string_view code, std::string_view day);

// Codes become file names: a code must be non-empty and hold no path
// separator, no "..", and no control character.
bool is_safe_code(std::string_view code);

}  // namespace orva::feed
