#include "costs/price_band.h"

#include <cmath>
#include <stdexcept>

namespace orva::costs {
namespace {

// Number of whole steps at or above `steps`. Decimal prices are not exact in
// binary (10.05 + 0.05 == 10.100000000000001), so a value within a few ulps of
// a whole step counts as on it; a plain ceil would skip or stall a tick there.
double ceil_steps(double steps) {
  const double nearest = std::nearbyint(steps);
  if (std::fabs(steps - nearest) <= 1e-10 * std::fmax(1.0, std::fabs(nearest)))
    return nearest;
  return std::ceil(steps);
}

GridPrice fine_band(double price, double steps_per_unit, double tick) {
  return {ceil_steps(price * steps_per_unit) / steps_per_unit, tick, false};
}

bool is_etf_code(std::string_view code) { return code.substr(0, 2) == "00"; }

}  // namespace

GridPrice ceil_price_by_tick(std::string_view code, double price) {
  if (is_etf_code(code) && price < 1000) {
    if (price < 50) return fine_band(price, 100, 0.01);
    return fine_band(price, 20, 0.05);
  }
  if (price < 10) return fine_band(price, 100, 0.01);
  if (price < 50) return fine_band(price, 20, 0.05);
  if (price < 100) return fine_band(price, 10, 0.1);
  if (price < 500) return fine_band(price, 2, 0.5);
  if (price < 1000) return {ceil_steps(price), 1, true};
  return {ceil_steps(price / 5) * 5, 5, true};
}

GridPrice ceil_premium_by_tick(double premium) {
  if (premium < 10) return fine_band(premium, 10, 0.1);
  if (premium < 50) return fine_band(premium, 2, 0.5);
  if (premium < 500) return {ceil_steps(premium), 1, true};
  if (premium < 1000) return {ceil_steps(premium / 5) * 5, 5, true};
  return {ceil_steps(premium / 10) * 10, 10, true};
}

GridPrice ceil_price_by_tick(const PriceGrid& grid, double price) {
  if (grid.option_premium) return ceil_premium_by_tick(price);
  if (grid.fixed_tick <= 0) return ceil_price_by_tick(grid.code, price);
  const double tick = grid.fixed_tick;
  if (tick >= 1 && tick == std::floor(tick)) return {ceil_steps(price / tick) * tick, tick, true};
  return fine_band(price, std::nearbyint(1 / tick), tick);
}

bool valid_fixed_tick(double tick) {
  if (!std::isfinite(tick) || tick <= 0 || tick > 1e6) return false;
  if (tick >= 1) return tick == std::floor(tick);
  const double steps = 1 / tick;
  return steps <= 1e6 && std::fabs(steps - std::nearbyint(steps)) <= 1e-9 * steps;
}

Direction parse_direction(std::string_view text) {
  if (text == "up") return Direction::Up;
  if (text == "down") return Direction::Down;
  return Direction::Other;
}

Direction reverse(Direction direction) {
  return direction == Direction::Down ? Direction::Up : Direction::Down;
}

double slippage_price(const PriceGrid& grid, double price, long long tick_count,
                      Direction direction) {
  if (tick_count > kMaxSlippageTicks) throw std::out_of_range("slippage tick count over the bound");
  for (long long step = 0; step < tick_count; ++step) {
    const GridPrice on = ceil_price_by_tick(grid, price);
    const double moved = direction == Direction::Up ? on.price + on.tick : on.price - on.tick;
    if (moved < on.tick / 2) return on.price;  // nothing trades below the grid's lowest price
    price = ceil_price_by_tick(grid, moved).price;
  }
  return price;
}

}  // namespace orva::costs
