#include "exchange/price_limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>

namespace orva::exchange {
namespace {

constexpr double kMonday0900 = 1709514000.0;  // 2024-03-04 09:00 Taipei
constexpr double kHour = 3600;

struct BandCase {
  const char* name;
  const char* code;
  double fixed_tick, reference, low, high;
};

void PrintTo(const BandCase& c, std::ostream* os) { *os << c.name; }

class Bands : public testing::TestWithParam<BandCase> {};

TEST_P(Bands, RoundedInwardToTheGrid) {
  const BandCase& c = GetParam();
  const Band band = band_around({c.code, c.fixed_tick}, c.reference, 0.10);
  EXPECT_DOUBLE_EQ(band.low, c.low);
  EXPECT_DOUBLE_EQ(band.high, c.high);
}

INSTANTIATE_TEST_SUITE_P(
    Taiwan, Bands,
    testing::Values(BandCase{"Stock600", "2330", 0, 600, 540, 660},
                    BandCase{"Stock45_55", "2317", 0, 45.55, 41.0, 50.1},  // 40.995 up, 50.105 down
                    BandCase{"AcrossABand", "2303", 0, 47.0, 42.3, 51.7},
                    BandCase{"Etf", "0050", 0, 151.25, 136.15, 166.35},
                    BandCase{"IndexFuture", "TXFR1", 1, 17011, 15310, 18712}),
    [](const testing::TestParamInfo<BandCase>& info) { return std::string(info.param.name); });

TEST(Bands, TheEdgesAreInside) {
  const Band band{540, 660};
  EXPECT_TRUE(band.contains(540) && band.contains(660) && band.contains(600));
  EXPECT_FALSE(band.contains(539) || band.contains(661));
}

TEST(DailyLimits, TheFirstDayHasNoBandTheNextDayTheLastClose) {
  DailyLimits limits;
  const costs::PriceGrid grid{"2330", 0};
  limits.trade(grid, 0.1, kMonday0900, 600);
  limits.trade(grid, 0.1, kMonday0900 + 4.5 * kHour, 610);
  EXPECT_FALSE(limits.band().has_value());
  limits.trade(grid, 0.1, kMonday0900 + 24 * kHour, 612);
  ASSERT_TRUE(limits.band().has_value());
  EXPECT_DOUBLE_EQ(limits.band()->high, 671);  // 610 × 1.1
  EXPECT_DOUBLE_EQ(limits.band()->low, 549);
}

TEST(DailyLimits, ANightSessionOpensTheNextTradingDay) {
  DailyLimits limits;
  const costs::PriceGrid grid{"TXFR1", 1};
  limits.trade(grid, 0.1, kMonday0900 + 4.75 * kHour, 17000);   // Monday 13:45
  limits.trade(grid, 0.1, kMonday0900 + 6 * kHour, 17100);      // 15:00: Tuesday's trading day
  ASSERT_TRUE(limits.band().has_value());
  EXPECT_DOUBLE_EQ(limits.band()->high, 18700);
  limits.trade(grid, 0.1, kMonday0900 + 24 * kHour - 0.25 * kHour, 17200);  // Tuesday 08:45
  EXPECT_DOUBLE_EQ(limits.band()->high, 18700);  // the same trading day as the night before
  limits.trade(grid, 0.1, kMonday0900 + 30 * kHour, 17300);    // Tuesday 15:00: Wednesday's
  EXPECT_DOUBLE_EQ(limits.band()->high, 18920);                 // 17200 × 1.1
}

// The band a session remembers must still turn at the first trade past the session's end,
// however close to it the trades before came, and whichever way time moves.
TEST(DailyLimits, TheDayTurnsAtTheFirstTradePastTheClose) {
  const costs::PriceGrid grid{"TXFR1", 1};
  const double night = kMonday0900 + 6 * kHour;  // Monday 15:00
  for (const double before : {night - 1.5, night - 0.5, std::nextafter(night, 0.0)}) {
    DailyLimits limits;
    limits.trade(grid, 0.1, kMonday0900, 16000);
    limits.trade(grid, 0.1, before, 17000);
    EXPECT_FALSE(limits.band().has_value()) << before;
    limits.trade(grid, 0.1, night, 17100);
    ASSERT_TRUE(limits.band().has_value()) << before;
    EXPECT_DOUBLE_EQ(limits.band()->high, 18700) << before;  // 17000 × 1.1
    limits.trade(grid, 0.1, before, 16500);  // time moved back: worked out again
    limits.trade(grid, 0.1, night + 60, 17200);
    EXPECT_DOUBLE_EQ(limits.band()->high, 18150) << before;  // 16500 × 1.1
  }
}

}  // namespace
}  // namespace orva::exchange
