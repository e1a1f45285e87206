#include "feed/tick_table.h"

#include <cmath>
#include <string_view>

namespace orva::feed {

bool is_tick_header(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (std::size_t i = 0; i < kTickColumns.size(); ++i) {
    const std::string_view name = kTickColumns[i].name;
    if (line.substr(0, name.size()) != name) return false;
    line.remove_prefix(name.size());
    if (i + 1 == kTickColumns.size()) return line.empty();
    if (line.empty() || line.front() != ',') return false;
    line.remove_prefix(1);
  }
  return false;
}

std::optional<BadValue> find_bad_value(const std::array<ColumnValues, 8>& columns,
                                       std::size_t rows) {
  for (std::size_t c = 0; c < kTickColumns.size(); ++c) {
    const std::string_view name = kTickColumns[c].name;
    if (name == "ts" || name == "tick_type") continue;
    for (std::size_t r = 0; r < rows; ++r) {
      const bool bad = kTickColumns[c].real
                           ? !(std::isfinite(columns[c].real[r]) && columns[c].real[r] >= 0.0)
                           : columns[c].integer[r] < 0;
      if (bad) return BadValue{c, r};
    }
  }
  return std::nullopt;
}

}  // namespace orva::feed
