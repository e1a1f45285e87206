#include "accounting/profit.h"

#include <cstdio>
#include <cstdlib>

namespace orva::accounting {

SliceProfit slice_profit(const SliceAmounts& a, bool short_cover) {
  const double origin = short_cover ? a.payable - a.receivable : a.receivable - a.payable;
  const double profit = origin - (a.cover_cost + a.trade_cost);
  return {origin, profit, profit / (a.payable + a.trade_cost)};
}

double cost_of(double fee, double tax, double fixed_cost) { return fee + tax + fixed_cost; }

double opening_charge(double price, double min_qty, double fee, double fixed_cost,
                      bool written) {
  if (written) return fee + fixed_cost - price * min_qty;
  return price * min_qty + fee + fixed_cost;
}

double released_charge(double payable, double trade_cost, double fixed_cost,
                       bool entry_stays_open, bool written) {
  return (written ? -payable : payable) + trade_cost - (entry_stays_open ? fixed_cost : 0.0);
}

double unrealised(bool long_side, double close, double entry_price, double quantity,
                  double unit_value) {
  const double difference = close - entry_price;
  return (long_side ? difference : -difference) * quantity * unit_value;
}

double round_places(double value, int places) {
  // printf rounds the exact binary value correctly, ties to even.
  char text[512];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return std::strtod(text, nullptr);
}

}  // namespace orva::accounting
