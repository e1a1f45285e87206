#include "accounting/profit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orva::accounting {
namespace {

TEST(Profit, LongCoverOfTheReferenceFill) {
  // Bought 1 lot at 600 (entry priced again at 603.0), sold at 610 (slipped to 607.0).
  const SliceAmounts amounts{607000.0, 864.975 + 1821.0 + 10, 603000.0, 859.275 + 0 + 10};
  const SliceProfit p = slice_profit(amounts, false);
  EXPECT_EQ(p.origin_profit, 4000.0);
  EXPECT_DOUBLE_EQ(p.profit, 434.75);
  EXPECT_EQ(p.ratio, p.profit / (603000.0 + amounts.trade_cost));
}

TEST(Profit, ShortCoverEarnsWhenBoughtBackLower) {
  const SliceAmounts amounts{593000.0, 10.0, 597000.0, 10.0};
  const SliceProfit p = slice_profit(amounts, true);
  EXPECT_EQ(p.origin_profit, 4000.0);
  EXPECT_EQ(p.profit, 3980.0);
}

TEST(Profit, CashMoves) {
  EXPECT_EQ(1000000 - opening_charge(597.0, 1000, 850.725, 10), 402139.275);
  EXPECT_EQ(402139.275 + cover_proceeds(false, 607000.0, 603000.0, 2695.975, 434.75), 1006443.3);
  EXPECT_EQ(cover_proceeds(true, 593000.0, 597000.0, 2700.0, 505.25), 597000.0 + 505.25);
}

TEST(Profit, UnrealisedBySide) {
  EXPECT_EQ(unrealised(true, 610.0, 600.0, 2, 1000), 20000.0);
  EXPECT_EQ(unrealised(false, 16990.0, 17000.0, 1, 200), 2000.0);
  EXPECT_EQ(unrealised(false, 17010.0, 17000.0, 1, 200), -2000.0);
}

TEST(RoundPlaces, NearestWithExactTiesToEven) {
  EXPECT_EQ(round_places(615.0, 2), 615.0);
  EXPECT_EQ(round_places(2.675, 2), 2.67);   // 2.675 is below the tie in binary
  EXPECT_EQ(round_places(0.125, 2), 0.12);   // an exact tie goes to even
  EXPECT_EQ(round_places(0.375, 2), 0.38);
  EXPECT_EQ(round_places(-0.125, 2), -0.12);
  EXPECT_EQ(round_places(1e300, 2), 1e300);
  EXPECT_TRUE(std::isnan(round_places(std::numeric_limits<double>::quiet_NaN(), 2)));
}

}  // namespace
}  // namespace orva::accounting
