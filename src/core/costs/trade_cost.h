// Cost of one fill: slipped price, fee, tax and the quantity in value units.
#pragma once

#include <string_view>

#include "costs/price_band.h"

namespace orva::costs {

inline constexpr double kSharesPerLot = 1000;
// Value per price point of a futures contract missing from the contract table.
inline constexpr double kDefaultContractValue = 2000;

struct CostSettings {
  double fee_rate;
  double tax_rate;
  long long tick_count;
  Direction direction;  // as configured for the fill's side
};

struct TradeCost {
  double fee;
  double tax;  // 0 when tax is ignored
  double min_qty;
  double price;  // slipped
};

// `unit_factor` is kSharesPerLot for stocks and the contract value for
// futures. Closing fills (`is_cover`) slip in the configured direction,
// opening fills in the reverse one.
TradeCost trade_cost(const PriceGrid& grid, double price, long long quantity,
                     double unit_factor, const CostSettings& settings,
                     bool ignore_tax, bool is_cover);

}  // namespace orva::costs
