#include "strategy/order_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace orva::strategy {
namespace {

TEST(OrderBuffer, ReadsEveryFilledRowAndNoMore) {
  const std::vector<double> rows = {0, 1, 3, 0, 0,       // market buy of 3, ROD
                                    1, -1, 2, 101.5, 2,  // limit sell of 2 at 101.5, FOK
                                    5, 5, 5, 5, 5};      // past the filled count: never read
  const ReadOrders read = read_orders(rows.data(), 2, 3, 2);
  ASSERT_EQ(read.error, "");
  ASSERT_EQ(read.orders.size(), 2u);
  EXPECT_EQ(read.orders[0].code, 0);
  EXPECT_TRUE(read.orders[0].buy);
  EXPECT_EQ(read.orders[0].quantity, 3);
  EXPECT_EQ(read.orders[0].price, 0);
  EXPECT_EQ(read.orders[0].type, OrderType::ROD);
  EXPECT_EQ(read.orders[1].code, 1);
  EXPECT_FALSE(read.orders[1].buy);
  EXPECT_EQ(read.orders[1].price, 101.5);
  EXPECT_EQ(read.orders[1].type, OrderType::FOK);
}

struct BadRow {
  const char* name;
  std::vector<double> row;
  const char* named;  // the bad value, as the message shows it
};
void PrintTo(const BadRow& c, std::ostream* os) { *os << c.name; }

class OrderBufferBadRow : public testing::TestWithParam<BadRow> {};

// A sound first row does not get through when a later one is bad: all or nothing.
TEST_P(OrderBufferBadRow, RefusesTheWholeBufferNamingTheValue) {
  std::vector<double> rows = {0, 1, 1, 0, 0};
  rows.insert(rows.end(), GetParam().row.begin(), GetParam().row.end());
  const ReadOrders read = read_orders(rows.data(), 2, 2, 2);
  EXPECT_TRUE(read.orders.empty());
  EXPECT_NE(read.error.find("第 1 筆"), std::string::npos) << read.error;
  EXPECT_NE(read.error.find(GetParam().named), std::string::npos) << read.error;
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Rows, OrderBufferBadRow,
    testing::Values(BadRow{"code_past_the_last", {2, 1, 1, 0, 0}, ": 2"},
                    BadRow{"code_negative", {-1, 1, 1, 0, 0}, ": -1"},
                    BadRow{"code_fractional", {0.5, 1, 1, 0, 0}, ": 0.5"},
                    BadRow{"code_nan", {nan, 1, 1, 0, 0}, "nan"},
                    BadRow{"action_zero", {0, 0, 1, 0, 0}, "買賣別"},
                    BadRow{"quantity_zero", {0, 1, 0, 0, 0}, "數量"},
                    BadRow{"quantity_fractional", {0, 1, 1.5, 0, 0}, ": 1.5"},
                    BadRow{"quantity_past_2_53", {0, 1, 1e300, 0, 0}, "1e+300"},
                    BadRow{"price_negative", {0, 1, 1, -1, 0}, "價格"},
                    BadRow{"price_infinite", {0, 1, 1, inf, 0}, "inf"},
                    BadRow{"price_past_the_grid", {0, 1, 1, 1e9 + 1, 0}, ": 1000000001"},
                    BadRow{"action_near_one", {0, 1.0000001, 1, 0, 0}, ": 1.0000001"},
                    BadRow{"order_type_unknown", {0, 1, 1, 0, 3}, "委託條件"}),
    [](const testing::TestParamInfo<BadRow>& info) { return std::string(info.param.name); });

TEST(OrderBuffer, RefusesACountOutsideTheBuffer) {
  const std::vector<double> rows(5, 0.0);
  EXPECT_NE(read_orders(rows.data(), -3, 1, 1).error.find("-3"), std::string::npos);
  EXPECT_NE(read_orders(rows.data(), 2, 1, 1).error.find("2 超過"), std::string::npos);
  EXPECT_EQ(read_orders(rows.data(), 0, 1, 1).error, "");
}

TEST(GuardedRows, CatchesAWriteAnywhereInTheGuardAndMarksItAgain) {
  constexpr int64_t kCapacity = 2;
  const int64_t guard_cells = GuardedRows::kGuardRows * kOrderFields;
  for (const int64_t past : {int64_t{0}, guard_cells / 2, guard_cells - 1}) {
    GuardedRows buffer(kCapacity);
    std::fill(buffer.rows(), buffer.rows() + kCapacity * kOrderFields,
              std::numeric_limits<double>::quiet_NaN());  // its own rows: anything goes
    EXPECT_FALSE(buffer.overrun());
    buffer.rows()[kCapacity * kOrderFields + past] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(buffer.overrun()) << past;
    EXPECT_FALSE(buffer.overrun()) << past;
  }
}

}  // namespace
}  // namespace orva::strategy
