// Realised and unrealised profit, and cash moves of the simulated account.
// Every formula keeps its documented left-to-right order: results must match
// the account's reference figures to the last bit.
#pragma once

namespace orva::accounting {

// One covered slice, priced twice: the covering side (with tax) and the
// covered entry again (without tax).
struct SliceAmounts {
  double receivable;  // cover-side price × min_qty
  double cover_cost;  // cover-side fee + tax + fixed cost
  double payable;     // entry-side price × min_qty
  double trade_cost;  // entry-side fee + tax + fixed cost
};

struct SliceProfit {
  double origin_profit;  // before costs
  double profit;         // after both costs
  double ratio;          // profit / (payable + trade_cost)
};

// A short cover (buying back) earns payable − receivable; a long cover the reverse.
SliceProfit slice_profit(const SliceAmounts& amounts, bool short_cover);

// fee + tax + fixed cost of one cost record.
double cost_of(double fee, double tax, double fixed_cost);

// Cash paid for an opening fill: price × min_qty + fee + fixed cost.
double opening_charge(double price, double min_qty, double fee, double fixed_cost);

// Cash received back by a cover: payable + profit for a short cover,
// receivable − cover cost for a long one.
double cover_proceeds(bool short_cover, double receivable_total, double payable_total,
                      double cover_cost_total, double profit);

// Profit of an open entry at `close`; `long_side` for entries of the buy list.
double unrealised(bool long_side, double close, double entry_price, double quantity,
                  double unit_value);

// `value` rounded to `places` decimals: nearest, exact ties to even, on the
// exact binary value (as Python's round does).
double round_places(double value, int places);

}  // namespace orva::accounting
