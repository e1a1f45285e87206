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

// Cash paid for an opening fill: price × min_qty + fee + fixed cost. A written
// option (`written`) receives its premium instead: fee + fixed cost − value.
double opening_charge(double price, double min_qty, double fee, double fixed_cost,
                      bool written = false);

// What a covered slice gives back of its entry's opening charge: the slice's
// entry-side value and cost, as the profit prices them. The opening paid one
// fixed cost for the whole entry, while every slice's entry side counts its
// own: a slice that leaves the entry open keeps its fixed cost back, so the
// entry's slices together give back exactly what its opening paid. The cash
// then moves by this plus the slice's profit.
// A written option's slice gives back its received premium as a negative value.
double released_charge(double payable, double trade_cost, double fixed_cost,
                       bool entry_stays_open, bool written = false);

// Profit of an open entry at `close`; `long_side` for entries of the buy list.
double unrealised(bool long_side, double close, double entry_price, double quantity,
                  double unit_value);

// `value` rounded to `places` decimals: nearest, exact ties to even, on the
// exact binary value (as Python's round does).
double round_places(double value, int places);

}  // namespace orva::accounting
