#include "options/black76.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orva::options {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;  // M_PI is POSIX, not C++

// erfc keeps the tails exact, where 1 - erf would round to 0 or 1.
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }
double normal_pdf(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * kPi); }

bool in_domain(double forward, double strike, double years, double rate) {
  return std::isfinite(forward) && forward > 0 && std::isfinite(strike) && strike > 0 &&
         std::isfinite(years) && years > 0 && std::isfinite(rate);
}

double price_only(double forward, double strike, double years, double rate, double vol,
                  Right right) {
  const double spread = vol * std::sqrt(years);
  // Apart, not (ln + spread^2/2) / spread: the square of a huge spread is inf, and d1 - spread
  // then inf too, which priced a call at F - K instead of its bound F.
  const double moneyness = std::log(forward / strike) / spread;
  const double d1 = moneyness + 0.5 * spread, d2 = moneyness - 0.5 * spread;
  const double discount = std::exp(-rate * years);
  if (right == Right::Call) return discount * (forward * normal_cdf(d1) - strike * normal_cdf(d2));
  return discount * (strike * normal_cdf(-d2) - forward * normal_cdf(-d1));
}

}  // namespace

Greeks black76(double forward, double strike, double years, double rate, double vol, Right right) {
  if (!in_domain(forward, strike, years, rate) || !std::isfinite(vol) || vol <= 0)
    return {kNaN, kNaN, kNaN, kNaN, kNaN};
  const double root = std::sqrt(years);
  const double spread = vol * root;
  const double d1 = std::log(forward / strike) / spread + 0.5 * spread;
  const double discount = std::exp(-rate * years);
  const double density = normal_pdf(d1);
  const double price = price_only(forward, strike, years, rate, vol, right);
  const double delta =
      right == Right::Call ? discount * normal_cdf(d1) : -discount * normal_cdf(-d1);
  const double gamma = discount * density / (forward * spread);
  const double vega = forward * discount * density * root;
  // -dV/dT: the time value lost, plus the discount earned on the price.
  const double theta = -forward * discount * density * vol / (2 * root) + rate * price;
  return {price, delta, gamma, vega, theta};
}

double implied_vol(double price, double forward, double strike, double years, double rate,
                   Right right) {
  if (!in_domain(forward, strike, years, rate) || !std::isfinite(price)) return kNaN;
  const double discount = std::exp(-rate * years);
  const double intrinsic = discount * std::max(right == Right::Call ? forward - strike
                                                                    : strike - forward, 0.0);
  const double ceiling = discount * (right == Right::Call ? forward : strike);
  if (price <= intrinsic || price >= ceiling) return kNaN;
  double low = 0, high = kMaxVol;
  if (price_only(forward, strike, years, rate, high, right) < price) return kNaN;
  // An at-the-money start (Brenner and Subrahmanyam), then Newton inside [low, high].
  double vol = std::clamp(std::sqrt(2 * kPi / years) * price / (discount * forward), 0.01, 2.0);
  // Relative: a far out-of-the-money price may be a tiny fraction of a point.
  const double tolerance = 1e-13 * price;
  for (int step = 0; step < 200; ++step) {
    const double miss = price_only(forward, strike, years, rate, vol, right) - price;
    if (std::fabs(miss) <= tolerance) return vol;
    // The price rises with the volatility: the miss says which side the root is on.
    if (miss > 0) high = vol; else low = vol;
    if (high - low <= 1e-15 * high) return vol;
    const double vega = black76(forward, strike, years, rate, vol, right).vega;
    const double next = vol - miss / vega;
    vol = vega > 0 && next > low && next < high ? next : 0.5 * (low + high);
  }
  return vol;
}

}  // namespace orva::options
