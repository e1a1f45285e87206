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

TEST(TradeCost, ALimitOrderSlipsAtMostToItsLimit) {
  CostSettings buy = kStockBuy;
  buy.limit = 92.1;  // a resting buy filled at its limit: no room to slip
  EXPECT_DOUBLE_EQ(trade_cost({"2317"}, 92.1, 1, kSharesPerLot, buy, false, true).price, 92.1);
  EXPECT_DOUBLE_EQ(trade_cost({"2317"}, 91.9, 1, kSharesPerLot, buy, false, true).price, 92.1);
  EXPECT_DOUBLE_EQ(trade_cost({"2317"}, 91.0, 1, kSharesPerLot, buy, false, true).price, 91.3);
  CostSettings sell{0.001425, 0.003, 3, Direction::Down};
  sell.limit = 92.4;
  sell.buy = false;
  const TradeCost at_limit = trade_cost({"2317"}, 92.4, 1, kSharesPerLot, sell, false, true);
  EXPECT_DOUBLE_EQ(at_limit.price, 92.4);
  EXPECT_DOUBLE_EQ(at_limit.fee, 0.001425 * 1 * 1000 * 92.4);  // costs follow the bounded price
}

TEST(TradeCost, ALimitNeverImprovesAFill) {
  // Slippage in the order's favour, or a limit a host got wrong, leaves the slipped price.
  EXPECT_DOUBLE_EQ(within_limit(100.0, 99.5, 100.5, true), 99.5);
  EXPECT_DOUBLE_EQ(within_limit(100.0, 101.0, 99.0, true), 100.0);
  EXPECT_DOUBLE_EQ(within_limit(100.0, 99.0, 101.0, false), 100.0);
  EXPECT_DOUBLE_EQ(within_limit(100.0, 101.5, 99.0, false), 101.5);
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

// An index option pays its fee per contract and its tax on the premium's value.
TEST(TradeCost, OptionFeePerContractAndTaxOnThePremium) {
  CostSettings option{0, 0.001, 1, Direction::Up};
  option.fee_per_contract = 25;
  const TradeCost cost = trade_cost({"TXO202601C23000", 0, true}, 48.5, 3, 50, option, false, true);
  EXPECT_EQ(cost.price, 49);  // one tick of 0.5 up
  EXPECT_EQ(cost.min_qty, 150);
  EXPECT_DOUBLE_EQ(cost.fee, 75);
  EXPECT_DOUBLE_EQ(cost.tax, 0.001 * 3 * 50 * 49);
}

// A series that expires worthless is not exercised: no fee, no tax.
TEST(TradeCost, AWorthlessExpiryPaysNothing) {
  CostSettings option{0, 0.001, 0, Direction::Up};
  option.fee_per_contract = 25;
  option.limit = 0;
  option.buy = false;
  const TradeCost cost = trade_cost({"TXO202601P22000", 0, true}, 0, 2, 50, option, false, true);
  EXPECT_EQ(cost.price, 0);
  EXPECT_EQ(cost.fee, 0);
  EXPECT_EQ(cost.tax, 0);
}

}  // namespace
}  // namespace orva::costs
