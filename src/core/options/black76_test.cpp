#include "options/black76.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace orva::options {
namespace {

struct Reference {
  double forward, strike, years, rate, vol;
  Right right;
  Greeks expected;
};

// Reference values: mpmath at 40 digits, the price from the Black-76 formula with
// mp.ncdf, delta and gamma as mp.diff of that price in the forward, vega in the
// volatility and theta as minus its derivative in the years: derivatives taken
// numerically, apart from the closed forms under test.
const Reference kReferences[] = {
    {23000, 22800, 14 / 365.0, 0.015, 0.18, Right::Call,
     {431.6259272329269, 0.60429098954082885, 0.00047473384922662356, 1733.8580814439105,
      -4061.8997521938244}},
    {23000, 22800, 14 / 365.0, 0.015, 0.18, Right::Put,
     {231.74096263052969, -0.3951338334711572, 0.00047473384922662356, 1733.8580814439105,
      -4064.8980266628603}},
    {100, 100, 1.0, 0.05, 0.2, Right::Call,
     {7.5770821464272729, 0.51350012298249337, 0.018879647164532512, 37.759294329065026,
      -3.3970753255851391}},
    {100, 100, 1.0, 0.05, 0.2, Right::Put,
     {7.5770821464272729, -0.43772930151822064, 0.018879647164532512, 37.759294329065026,
      -3.3970753255851391}},
    {23000, 26000, 30 / 365.0, 0.01, 0.25, Right::Call,
     {31.194512129214672, 0.046953239568842146, 5.9486809782917405e-5, 646.6134734622597,
      -983.0793791025612}},
    {23000, 26000, 30 / 365.0, 0.01, 0.25, Right::Put,
     {3028.7297717503165, -0.95222518030485848, 5.9486809782917405e-5, 646.6134734622597,
      -953.10402650635018}},
};

std::string label(const Reference& r) {
  return std::to_string(r.forward) + (r.right == Right::Call ? " C " : " P ") +
         std::to_string(r.strike);
}

void expect_close(double got, double want, const char* what) {
  EXPECT_NEAR(got, want, 1e-9 * std::fmax(1.0, std::fabs(want))) << what;
}

TEST(Black76, MatchesIndependentReferenceValues) {
  for (const Reference& r : kReferences) {
    SCOPED_TRACE(label(r));
    const Greeks g = black76(r.forward, r.strike, r.years, r.rate, r.vol, r.right);
    expect_close(g.price, r.expected.price, "price");
    expect_close(g.delta, r.expected.delta, "delta");
    expect_close(g.gamma, r.expected.gamma, "gamma");
    expect_close(g.vega, r.expected.vega, "vega");
    expect_close(g.theta, r.expected.theta, "theta");
  }
}

// C - P = e^(-rT) (F - K) at any volatility; the deltas differ by the discount.
TEST(Black76, HonoursPutCallParity) {
  for (double strike : {18000.0, 22800.0, 23000.0, 30000.0})
    for (double vol : {0.05, 0.2, 1.5}) {
      const double years = 9 / 365.0, rate = 0.017, forward = 23000;
      const Greeks call = black76(forward, strike, years, rate, vol, Right::Call);
      const Greeks put = black76(forward, strike, years, rate, vol, Right::Put);
      const double discount = std::exp(-rate * years);
      EXPECT_NEAR(call.price - put.price, discount * (forward - strike), 1e-8) << strike << " " << vol;
      EXPECT_NEAR(call.delta - put.delta, discount, 1e-12);
      EXPECT_DOUBLE_EQ(call.gamma, put.gamma);
      EXPECT_DOUBLE_EQ(call.vega, put.vega);
    }
}

TEST(Black76, OutsideItsDomainEveryFieldIsNaN) {
  const double nan = std::nan("");
  for (const auto& bad : {Reference{0, 100, 1, 0, 0.2, Right::Call, {}},
                          Reference{100, -1, 1, 0, 0.2, Right::Call, {}},
                          Reference{100, 100, 0, 0, 0.2, Right::Put, {}},
                          Reference{100, 100, 1, nan, 0.2, Right::Put, {}},
                          Reference{100, 100, 1, 0, 0, Right::Call, {}},
                          Reference{100, 100, 1, 0, INFINITY, Right::Call, {}}}) {
    const Greeks g = black76(bad.forward, bad.strike, bad.years, bad.rate, bad.vol, bad.right);
    EXPECT_TRUE(std::isnan(g.price) && std::isnan(g.delta) && std::isnan(g.gamma) &&
                std::isnan(g.vega) && std::isnan(g.theta))
        << label(bad);
  }
}

TEST(Black76, AHugeVolatilityPricesAtTheBounds) {
  // No arbitrage bounds a call by the discounted forward and a put by the discounted strike.
  for (const double vol : {1e160, 1e300}) {
    const double discount = std::exp(-0.02 * 0.5);
    EXPECT_NEAR(black76(23000, 22000, 0.5, 0.02, vol, Right::Call).price, discount * 23000, 1e-6) << vol;
    EXPECT_NEAR(black76(23000, 22000, 0.5, 0.02, vol, Right::Put).price, discount * 22000, 1e-6) << vol;
  }
}

TEST(ImpliedVol, RecoversTheVolatilityOfAPrice) {
  for (const Reference& r : kReferences)
    for (double vol : {0.03, 0.18, 0.6, 3.0}) {
      const Greeks g = black76(r.forward, r.strike, r.years, r.rate, vol, r.right);
      const double price = g.price;
      // A time value below what a double of the price can hold says nothing of the volatility.
      if (g.vega * vol < 1e-9 * price) continue;
      EXPECT_NEAR(implied_vol(price, r.forward, r.strike, r.years, r.rate, r.right), vol, 1e-7)
          << label(r) << " at " << vol;
    }
}

TEST(ImpliedVol, NaNWhereNoVolatilityFits) {
  const double years = 14 / 365.0, rate = 0.015;
  const double discount = std::exp(-rate * years);
  // Below or at the discounted intrinsic value of an in-the-money call.
  EXPECT_TRUE(std::isnan(implied_vol(190, 23000, 22800, years, rate, Right::Call)));
  EXPECT_TRUE(std::isnan(implied_vol(discount * 200, 23000, 22800, years, rate, Right::Call)));
  // At or above the discounted forward (call) or strike (put).
  EXPECT_TRUE(std::isnan(implied_vol(discount * 23000, 23000, 22800, years, rate, Right::Call)));
  EXPECT_TRUE(std::isnan(implied_vol(22800, 23000, 22800, years, rate, Right::Put)));
  // Beyond what kMaxVol gives, a zero or negative price, an expired series.
  EXPECT_TRUE(std::isnan(implied_vol(20000, 23000, 22800, years, rate, Right::Call)));
  EXPECT_TRUE(std::isnan(implied_vol(0, 23000, 26000, years, rate, Right::Call)));
  EXPECT_TRUE(std::isnan(implied_vol(5, 23000, 26000, 0, rate, Right::Call)));
  EXPECT_TRUE(std::isnan(implied_vol(std::nan(""), 23000, 26000, years, rate, Right::Call)));
}

}  // namespace
}  // namespace orva::options
