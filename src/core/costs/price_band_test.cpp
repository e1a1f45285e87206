#include "costs/price_band.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>

namespace orva::costs {
namespace {

struct BandCase {
  std::string code;
  double price;
  double rounded;
  double tick;
  bool integral;
};

std::ostream& operator<<(std::ostream& out, const BandCase& c) {
  return out << c.code << " @ " << c.price;
}

class CeilPriceByTick : public ::testing::TestWithParam<BandCase> {};

TEST_P(CeilPriceByTick, RoundsUpToTheBandGrid) {
  const BandCase& c = GetParam();
  const GridPrice grid = ceil_price_by_tick(c.code, c.price);
  EXPECT_DOUBLE_EQ(grid.price, c.rounded);
  EXPECT_DOUBLE_EQ(grid.tick, c.tick);
  EXPECT_EQ(grid.integral, c.integral);
}

INSTANTIATE_TEST_SUITE_P(
    Bands, CeilPriceByTick,
    ::testing::Values(
        BandCase{"2330", 9.991, 10.0, 0.01, false},
        BandCase{"2330", 10.0, 10.0, 0.05, false},   // lower bound is inclusive
        BandCase{"2330", 10.02, 10.05, 0.05, false},
        BandCase{"2330", 49.99, 50.0, 0.05, false},
        BandCase{"2330", 50.0, 50.0, 0.1, false},
        BandCase{"2330", 99.91, 100.0, 0.1, false},
        BandCase{"2330", 120.2, 120.5, 0.5, false},
        BandCase{"2330", 500.5, 501.0, 1, true},
        BandCase{"2330", 1001.0, 1005.0, 5, true},
        BandCase{"TXFR1", 17001.0, 17005.0, 5, true},
        BandCase{"0050", 49.991, 50.0, 0.01, false},
        BandCase{"0050", 120.01, 120.05, 0.05, false},
        BandCase{"0050", 999.99, 1000.0, 0.05, false},
        BandCase{"0050", 1000.0, 1000.0, 5, true},   // "00" codes leave their bands at 1000
        BandCase{"0", 120.2, 120.5, 0.5, false}),    // one "0" is not an ETF prefix
    [](const ::testing::TestParamInfo<BandCase>& info) {
      std::ostringstream price;
      price << info.param.price;
      std::string name = info.param.code + "_at_" + price.str();
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });

TEST(CeilPriceByTick, EveryGridPriceRoundsToItself) {
  struct Band { double low, high, steps; };
  for (const Band b : {Band{0, 10, 100}, Band{10, 50, 20}, Band{50, 100, 10},
                       Band{100, 500, 2}}) {
    for (long k = std::lround(b.low * b.steps); k < std::lround(b.high * b.steps); ++k) {
      const double price = k / b.steps;
      ASSERT_EQ(ceil_price_by_tick("2330", price).price, price) << price;
    }
  }
}

TEST(SlippagePrice, DocumentedMoves) {
  EXPECT_EQ(slippage_price({"2330"}, 600, 3, Direction::Up), 603);
  EXPECT_EQ(slippage_price({"2330"}, 600, 3, Direction::Down), 597);
  EXPECT_DOUBLE_EQ(slippage_price({"2330"}, 10.02, 3, Direction::Down), 9.94);
  EXPECT_DOUBLE_EQ(slippage_price({"2330"}, 50.0, 1, Direction::Down), 49.9);
  EXPECT_DOUBLE_EQ(slippage_price({"0050"}, 120.0, 1, Direction::Up), 120.05);
  EXPECT_DOUBLE_EQ(slippage_price({"2330"}, 120.0, 1, Direction::Up), 120.5);
  EXPECT_EQ(slippage_price({"FUT"}, 17000, 3, Direction::Up), 17015);
}

TEST(SlippagePrice, NonPositiveCountLeavesPriceUnrounded) {
  EXPECT_EQ(slippage_price({"2330"}, 10.013, 0, Direction::Up), 10.013);
  EXPECT_EQ(slippage_price({"2330"}, 10.013, -2, Direction::Down), 10.013);
}

TEST(SlippagePrice, RefusesCountsBeyondTheBound) {
  EXPECT_NO_THROW(slippage_price({"2330"}, 600, kMaxSlippageTicks, Direction::Up));
  EXPECT_THROW(slippage_price({"2330"}, 600, kMaxSlippageTicks + 1, Direction::Up), std::out_of_range);
}

TEST(SlippagePrice, OtherDirectionMovesDown) {
  EXPECT_EQ(slippage_price({"2330"}, 600, 2, Direction::Other), 598);
}

// Every move of one tick lands on the neighbouring grid price: no skipped
// tick upwards, no stalled tick downwards, whatever binary rounding does.
TEST(SlippagePrice, OneTickReachesTheNeighbourOnEveryGridPrice) {
  for (long k = 2; k < 999; ++k) {
    const double price = k / 100.0;
    ASSERT_DOUBLE_EQ(slippage_price({"2330"}, price, 1, Direction::Up), (k + 1) / 100.0) << price;
    ASSERT_DOUBLE_EQ(slippage_price({"2330"}, price, 1, Direction::Down), (k - 1) / 100.0) << price;
  }
  for (long k = 201; k < 999; ++k) {
    const double price = k / 20.0;
    ASSERT_DOUBLE_EQ(slippage_price({"2330"}, price, 1, Direction::Up), (k + 1) / 20.0) << price;
    ASSERT_DOUBLE_EQ(slippage_price({"2330"}, price, 1, Direction::Down), (k - 1) / 20.0) << price;
  }
}

// Index futures walk their own tick at any level: TX 1 point, EXF 0.05, FXF 0.2.
// A price at or near zero is no price: a sell slips no lower than the lowest one traded.
TEST(SlippagePrice, DownStopsAtTheGridsLowestPrice) {
  EXPECT_DOUBLE_EQ(slippage_price({"2330"}, 0.02, 3, Direction::Down), 0.01);
  EXPECT_DOUBLE_EQ(slippage_price({"2330"}, 0.01, 1, Direction::Down), 0.01);
  EXPECT_DOUBLE_EQ(slippage_price({"TXO", 0, true}, 0.1, 1, Direction::Down), 0.1);
  EXPECT_DOUBLE_EQ(slippage_price({"TXO", 0, true}, 0.3, 5, Direction::Other), 0.1);
  EXPECT_EQ(slippage_price({"TXFR1", 1}, 2, 5, Direction::Down), 1);
  EXPECT_DOUBLE_EQ(slippage_price({"TXO", 0, true}, 0.1, 1, Direction::Up), 0.2);
}

TEST(FixedTick, IndexFuturesMoveByTheirOwnTick) {
  EXPECT_EQ(slippage_price({"TXFR1", 1}, 17000, 3, Direction::Up), 17003);
  EXPECT_EQ(slippage_price({"TXFR1", 1}, 17000, 3, Direction::Down), 16997);
  const GridPrice tx = ceil_price_by_tick(PriceGrid{"TXFR1", 1}, 17001.2);
  EXPECT_EQ(tx.price, 17002);
  EXPECT_TRUE(tx.integral);
  EXPECT_DOUBLE_EQ(slippage_price({"EXFR1", 0.05}, 900.0, 2, Direction::Up), 900.1);
  EXPECT_DOUBLE_EQ(slippage_price({"FXFR1", 0.2}, 1800.1, 1, Direction::Down), 1800.0);
  EXPECT_FALSE(ceil_price_by_tick(PriceGrid{"FXFR1", 0.2}, 1800.1).integral);
  // Without a fixed tick the stock bands apply, as for stock futures.
  EXPECT_EQ(slippage_price({"CDFR1"}, 1000, 1, Direction::Up), 1005);
}

TEST(FixedTick, OnlyTicksTheGridCanWalkExactly) {
  for (double tick : {1.0, 5.0, 0.05, 0.2, 0.01}) EXPECT_TRUE(valid_fixed_tick(tick)) << tick;
  for (double tick : {0.0, -1.0, 0.3, 1.5, double(NAN), double(INFINITY), 1e-9})
    EXPECT_FALSE(valid_fixed_tick(tick)) << tick;
}

// TXO premiums: 0.1 below 10, 0.5 below 50, 1 below 500, 5 below 1000, 10 above; the
// tick is the band of the price given, as for stocks.
TEST(OptionPremium, RoundsUpToItsBand) {
  const PriceGrid grid{"TXO202601C23000", 0, true};
  struct Case { double premium, rounded, tick; bool integral; };
  for (const Case c : {Case{0.04, 0.1, 0.1, false}, Case{9.91, 10.0, 0.1, false},
                       Case{10.0, 10.0, 0.5, false}, Case{10.2, 10.5, 0.5, false},
                       Case{49.6, 50, 0.5, false}, Case{123.4, 124, 1, true},
                       Case{499.5, 500, 1, true}, Case{501, 505, 5, true},
                       Case{999, 1000, 5, true}, Case{1001, 1010, 10, true}}) {
    const GridPrice got = ceil_price_by_tick(grid, c.premium);
    EXPECT_DOUBLE_EQ(got.price, c.rounded) << c.premium;
    EXPECT_DOUBLE_EQ(got.tick, c.tick) << c.premium;
    EXPECT_EQ(got.integral, c.integral) << c.premium;
  }
}

TEST(OptionPremium, SlipsByItsOwnTicks) {
  const PriceGrid grid{"TXO202601W2P22800", 0, true};
  EXPECT_DOUBLE_EQ(slippage_price(grid, 9.8, 3, Direction::Up), 10.5);  // 9.9, 10.0, 10.5
  EXPECT_DOUBLE_EQ(slippage_price(grid, 10.0, 1, Direction::Down), 9.5);
  EXPECT_EQ(slippage_price(grid, 498, 2, Direction::Up), 500);
  EXPECT_EQ(slippage_price(grid, 1000, 1, Direction::Up), 1010);
  for (long k = 1; k < 99; ++k)  // every step of the finest band, none skipped
    ASSERT_DOUBLE_EQ(slippage_price(grid, k / 10.0, 1, Direction::Up), (k + 1) / 10.0) << k;
}

TEST(Direction, ParseAndReverse) {
  EXPECT_EQ(parse_direction("up"), Direction::Up);
  EXPECT_EQ(parse_direction("down"), Direction::Down);
  EXPECT_EQ(parse_direction("Up"), Direction::Other);
  EXPECT_EQ(reverse(Direction::Down), Direction::Up);
  EXPECT_EQ(reverse(Direction::Up), Direction::Down);
  EXPECT_EQ(reverse(Direction::Other), Direction::Down);
}

}  // namespace
}  // namespace orva::costs
