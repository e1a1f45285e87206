// The facts of one index option series and the exchange's arithmetic on them:
// its cash settlement at expiry and the margin a written contract holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "options/black76.h"

namespace orva::options {

struct Contract {
  Right right;
  double strike;      // index points
  double multiplier;  // money per index point (TXO: 50)
  int64_t expiry_day;  // days since 1970-01-01
};

// "C" or "P"; empty for anything else.
std::optional<Right> parse_right(std::string_view text);

// Index points a contract is worth at `underlying`: max(S - K, 0) for a call,
// max(K - S, 0) for a put.
double intrinsic_value(Right right, double strike, double underlying);

// Index points the strike lies out of the money: max(K - S, 0) for a call,
// max(S - K, 0) for a put.
double out_of_the_money(Right right, double strike, double underlying);

// Margin of one written contract by the exchange's formula: the premium's value
// plus max(A - the out-of-the-money value, B); `a` and `b` are money per contract.
double written_margin(const Contract& contract, double premium, double underlying, double a,
                      double b);

// The last trading moment of a series: 13:30 Taipei on its expiry day, when the
// final settlement price is taken. Seconds since the epoch.
double expiry_time(int64_t expiry_day);

// Whether a series has expired by `now` (seconds): strictly after its expiry time,
// as the closing auction's trade at 13:30 itself is still the series' own.
bool expired_by(int64_t expiry_day, double now);

}  // namespace orva::options
