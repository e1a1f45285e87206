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

// The opening pays the entry side as the cover will price it, so a round trip
// moves the cash by exactly its profit.
TEST(Profit, CashMovesByTheProfit) {
  const double opened = 1000000 - opening_charge(603.0, 1000, 859.275, 10);
  EXPECT_DOUBLE_EQ(opened, 396130.725);
  const SliceAmounts amounts{607000.0, 2695.975, 603000.0, 869.275};
  const SliceProfit p = slice_profit(amounts, false);
  EXPECT_DOUBLE_EQ(opened + released_charge(603000.0, 869.275, 10, false) + p.profit,
                   1000000 + 434.75);
}

TEST(Profit, SlicesOfOneEntryGiveBackItsOpeningCharge) {
  // An entry of 3 lots at 100 (fee rate 0.001, fixed 10) covered as 1 + 2.
  const double charge = opening_charge(100, 3000, 300, 10);
  const double first = released_charge(100000, 100 + 10, 10, true);
  const double second = released_charge(200000, 200 + 10, 10, false);
  EXPECT_DOUBLE_EQ(first + second, charge);
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

// A written option receives its premium; buying it back pays, and the cash then
// moves by exactly the round trip's profit.
TEST(Profit, WrittenOptionReceivesItsPremium) {
  // Sold 2 at 45 (× 50: 4,500), fee 50, fixed 10; bought back at 30 (3,000), costs 60 + tax.
  const double opened = 100000 - opening_charge(45, 100, 50, 10, true);
  EXPECT_EQ(opened, 104440);
  const SliceAmounts amounts{3000, 60 + 3.0, 4500, 60};
  const SliceProfit p = slice_profit(amounts, true);
  EXPECT_EQ(p.profit, 1500 - 123.0);
  EXPECT_DOUBLE_EQ(opened + released_charge(4500, 60, 10, false, true) + p.profit,
                   100000 + p.profit);
}

}  // namespace
}  // namespace orva::accounting
