// Cost of one fill: slipped price, fee, tax and the quantity in value units.
#pragma once

#include <cmath>
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
  // The limit of a limit order's fill (NaN for a market order), and its side.
  double limit = std::nan("");
  bool buy = true;
  // The broker's discount on the fee, and the part of its minimum fee per fill
  // that this quantity bears.
  double fee_discount = 1;
  double min_fee = 0;
  // Money per contract on top of the rate (index options pay their fee per contract).
  double fee_per_contract = 0;
};

struct TradeCost {
  double fee;
  double tax;  // 0 when tax is ignored
  double min_qty;
  double price;  // slipped
};

// A limit order is never booked beyond its limit: slippage against the order
// moves its fill at most to the limit, and never to a better price than the
// fill's own.
double within_limit(double fill, double slipped, double limit, bool buy);

// `unit_factor` is kSharesPerLot for stocks and the contract value for
// futures. Closing fills (`is_cover`) slip in the configured direction,
// opening fills in the reverse one.
TradeCost trade_cost(const PriceGrid& grid, double price, long long quantity,
                     double unit_factor, const CostSettings& settings,
                     bool ignore_tax, bool is_cover);

}  // namespace orva::costs
