#include "costs/trade_cost.h"

#include <gtest/gtest.h>

namespace orva::costs {
namespace {

const CostSettings kStockBuy{0.001425, 0.003, 3, Direction::Up};
const CostSettings kFutureBuy{0.00002, 0.00002, 3, Direction::Up};

TEST(TradeCost, StockClosingFillSlipsAsConfigured) {
  const TradeCost cost = trade_cost({"2330"}, 600, 2, kSharesPerLot, kStockBuy, false, true);
  EXPECT_EQ(cost.price, 603);
  EXPECT_EQ(cost.min_qty, 2000);
  EXPECT_DOUBLE_EQ(cost.fee, 1718.55);
  EXPECT_DOUBLE_EQ(cost.tax, 3618.0);
}

TEST(TradeCost, OpeningFillSlipsTheOtherWay) {
  const TradeCost cost = trade_cost({"2330"}, 600, 2, kSharesPerLot, kStockBuy, false, false);
  EXPECT_EQ(cost.price, 597);
  EXPECT_DOUBLE_EQ(cost.fee, 0.001425 * 2 * 1000 * 597);
}

TEST(TradeCost, FutureUsesContractValue) {
  const TradeCost cost =
      trade_cost({"MXF"}, 17000, 1, kDefaultContractValue, kFutureBuy, false, true);
  EXPECT_EQ(cost.price, 17015);
  EXPECT_EQ(cost.min_qty, 2000);
  EXPECT_DOUBLE_EQ(cost.fee, 680.6);
  const TradeCost small = trade_cost({"MXF"}, 17000, 3, 50, kFutureBuy, false, true);
  EXPECT_EQ(small.min_qty, 150);
}

TEST(TradeCost, IgnoredTaxIsZero) {
  EXPECT_EQ(trade_cost({"2330"}, 600, 2, kSharesPerLot, kStockBuy, true, true).tax, 0.0);
}

TEST(TradeCost, ZeroTicksKeepsPrice) {
  const CostSettings none{0.001425, 0.003, 0, Direction::Up};
  EXPECT_EQ(trade_cost({"2330"}, 10.013, 1, kSharesPerLot, none, false, true).price, 10.013);
}

}  // namespace
}  // namespace orva::costs
