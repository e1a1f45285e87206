#include "costs/trade_cost.h"

#include <algorithm>

namespace orva::costs {

double within_limit(double fill, double slipped, double limit, bool buy) {
  if (std::isnan(limit)) return slipped;
  if (buy && slipped > fill) return std::max(fill, std::min(slipped, limit));
  if (!buy && slipped < fill) return std::min(fill, std::max(slipped, limit));
  return slipped;
}

TradeCost trade_cost(const PriceGrid& grid, double price, long long quantity,
                     double unit_factor, const CostSettings& settings,
                     bool ignore_tax, bool is_cover) {
  const Direction direction =
      is_cover ? settings.direction : reverse(settings.direction);
  const double slipped = within_limit(
      price, slippage_price(grid, price, settings.tick_count, direction), settings.limit,
      settings.buy);
  const double qty = static_cast<double>(quantity);
  // Only a series that expired worthless leaves at a premium of 0: nothing is exercised, so
  // the broker charges no fee for it.
  const double per_contract = slipped > 0 ? settings.fee_per_contract * qty : 0.0;
  // Left-to-right products, the order in which the rates are documented.
  const double fee = std::max(settings.fee_rate * qty * unit_factor * slipped * settings.fee_discount,
                              settings.min_fee) +
                     per_contract;
  const double tax =
      ignore_tax ? 0.0 : settings.tax_rate * qty * unit_factor * slipped;
  return {fee, tax, qty * unit_factor, slipped};
}

}  // namespace orva::costs
