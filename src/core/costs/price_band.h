// Taiwan stock price bands: tick size, rounding up to the grid, slippage by ticks.
#pragma once

#include <string_view>

namespace orva::costs {

// Bounds of what the grid walks: prices above kMaxPrice are not exchange
// prices, and a slippage of more ticks than kMaxSlippageTicks is a typo.
inline constexpr double kMaxPrice = 1e9;
inline constexpr long long kMaxSlippageTicks = 10000;

// A price rounded up to its band's grid and the band's tick size. Bands of
// 500 and above have whole-number ticks; callers that hand the values back to
// Python report them as integers there.
struct GridPrice {
  double price;
  double tick;
  bool integral;
};

// The stock price bands of `code`.
GridPrice ceil_price_by_tick(std::string_view code, double price);

// The grid a code's prices move on: the stock price bands of `code`, one fixed
// tick (index futures move in whole index points at any level), or the premium
// bands of index options.
struct PriceGrid {
  std::string_view code;
  double fixed_tick = 0;  // 0: the bands
  bool option_premium = false;
};

// Index option premiums (TXO): 0.1 below 10, 0.5 below 50, 1 below 500, 5 below
// 1000, 10 from there on.
GridPrice ceil_premium_by_tick(double premium);

GridPrice ceil_price_by_tick(const PriceGrid& grid, double price);

// A fixed tick the grid can walk exactly: positive and finite, and either a
// whole number or a whole fraction of one (0.05, 0.2).
bool valid_fixed_tick(double tick);

// Slippage directions as configured. Any text other than "up" or "down" is
// kept distinct because reversing it does not give "up".
enum class Direction { Up, Down, Other };

Direction parse_direction(std::string_view text);

// Opening fills slip against the configured direction: "down" becomes "up",
// everything else becomes "down".
Direction reverse(Direction direction);

// Moves `price` by `tick_count` ticks (none for 0 or less, leaving the price
// unrounded); throws std::out_of_range beyond kMaxSlippageTicks. Each step rounds up to the grid first and then moves one tick of
// the band of the rounded price; only Up moves up, and down stops at the grid's lowest price.
double slippage_price(const PriceGrid& grid, double price, long long tick_count,
                      Direction direction);

}  // namespace orva::costs
