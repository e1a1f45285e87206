// Black-76: European options on a futures price. Index options are priced
// against the futures of their expiry month, whose price already carries the
// dividends and the carry that the index itself would need as inputs.
#pragma once

namespace orva::options {

enum class Right { Call, Put };

// Value and sensitivities of one option: vega per 1.00 of volatility, theta
// per year of calendar time (the change as the expiry comes nearer).
struct Greeks {
  double price, delta, gamma, vega, theta;
};

// `forward` and `strike` in price points, `years` to expiry, a continuously
// compounded `rate`, `vol` per year. Every field is NaN unless forward, strike,
// years and vol are finite and positive and the rate finite.
Greeks black76(double forward, double strike, double years, double rate, double vol, Right right);

// The volatility whose Black-76 price is `price`, found by Newton's method kept
// inside a shrinking bracket (a bisection where a step would leave it). NaN when
// no volatility up to kMaxVol gives the price: at or below the discounted
// intrinsic value, at or above the discounted forward (call) or strike (put),
// or when an input is out of the domain of black76.
inline constexpr double kMaxVol = 10.0;
double implied_vol(double price, double forward, double strike, double years, double rate,
                   Right right);

}  // namespace orva::options
