#include "costs/trade_cost.h"

namespace orva::costs {

TradeCost trade_cost(const PriceGrid& grid, double price, long long quantity,
                     double unit_factor, const CostSettings& settings,
                     bool ignore_tax, bool is_cover) {
  const Direction direction =
      is_cover ? settings.direction : reverse(settings.direction);
  const double slipped =
      slippage_price(grid, price, settings.tick_count, direction);
  const double qty = static_cast<double>(quantity);
  // Left-to-right products, the order in which the rates are documented.
  const double fee = settings.fee_rate * qty * unit_factor * slipped;
  const double tax =
      ignore_tax ? 0.0 : settings.tax_rate * qty * unit_factor * slipped;
  return {fee, tax, qty * unit_factor, slipped};
}

}  // namespace orva::costs
