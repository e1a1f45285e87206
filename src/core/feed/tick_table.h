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

// Tick times the replay takes: instants whose local date lies in 1990 to 2099
// in every time zone (nanoseconds since the epoch, end exclusive).
inline constexpr std::int64_t kEarliestTs = 631'238'400LL * 1'000'000'000;   // 1990-01-02 UTC
inline constexpr std::int64_t kLatestTs = 4'102'358'400LL * 1'000'000'000;  // 2099-12-31 UTC

// The first row holding a value no replayed tick can have, and the first such
// column of it in table order: a ts outside the years above, a close that is
// not a finite positive price, a bid or ask price that is NaN, infinite or
// negative (0 is "no quote"), or a negative quantity. tick_type takes any value.
std::optional<BadValue> find_bad_value(const std::array<ColumnValues, 8>& columns,
                                       std::size_t rows);

}  // namespace orva::feed
