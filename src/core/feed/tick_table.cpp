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

namespace {

// The first row before `end` of one column that fails `bad`.
template <class T, class Bad>
std::optional<std::size_t> first_bad(const T* values, std::size_t end, Bad bad) {
  for (std::size_t r = 0; r < end; ++r)
    if (bad(values[r])) return r;
  return std::nullopt;
}

}  // namespace

std::optional<BadValue> find_bad_value(const std::array<ColumnValues, 8>& columns,
                                       std::size_t rows) {
  // Column by column (each scan stays in one buffer), each only up to the
  // earliest bad row found so far.
  std::optional<BadValue> first;
  for (std::size_t c = 0; c < kTickColumns.size(); ++c) {
    const std::string_view name = kTickColumns[c].name;
    const std::size_t end = first ? first->row : rows;
    std::optional<std::size_t> row;
    if (name == "tick_type") {
      continue;
    } else if (name == "ts") {
      row = first_bad(columns[c].integer, end,
                      [](std::int64_t ts) { return ts < kEarliestTs || ts >= kLatestTs; });
    } else if (!kTickColumns[c].real) {
      row = first_bad(columns[c].integer, end, [](std::int64_t n) { return n < 0; });
    } else if (name == "close") {
      row = first_bad(columns[c].real, end, [](double p) { return !(std::isfinite(p) && p > 0.0); });
    } else {
      row = first_bad(columns[c].real, end, [](double p) { return !(std::isfinite(p) && p >= 0.0); });
    }
    if (row) first = BadValue{c, *row};
  }
  return first;
}

}  // namespace orva::feed
