// The tick table's columns, and what a day of ticks may hold to be replayed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orva::feed {

struct TickColumn {
  const char* name;
  bool real;  // Float64; otherwise Int64
};

// The eight columns of a tick table, in table and cache-file order.
inline constexpr std::array<TickColumn, 8> kTickColumns{{{"ts", false},
                                                         {"close", true},
                                                         {"volume", false},
                                                         {"bid_price", true},
                                                         {"bid_volume", false},
                                                         {"ask_price", true},
                                                         {"ask_volume", false},
                                                         {"tick_type", false}}};

// Whether `line` (its line break removed) is the header line of a cache file.
bool is_tick_header(std::string_view line);

// One column's values: `real` or `integer` (per kTickColumns) points at `rows` values.
struct ColumnValues {
  const double* real = nullptr;
  const std::int64_t* integer = nullptr;
};

struct BadValue {
  std::size_t column;  // index into kTickColumns
  std::size_t row;
};

// The first value no tick can have: a price (close, bid, ask) that is NaN,
// infinite or negative, or a negative quantity. Columns are searched in
// table order; ts and tick_type take any value.
std::optional<BadValue> find_bad_value(const std::array<ColumnValues, 8>& columns,
                                       std::size_t rows);

}  // namespace orva::feed
