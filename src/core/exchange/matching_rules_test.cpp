#include "exchange/matching_rules.h"

#include <gtest/gtest.h>

#include <ostream>

namespace orva::exchange {
namespace {

struct Row {
  const char* name;
  OrderKind kind;
  double tick_close;  // the order is a buy limit at 100
  long long tick_qty;
  long long deal, cancel, open;
  bool remove;
};

std::ostream& operator<<(std::ostream& out, const Row& r) { return out << r.name; }

class OutcomeTable : public ::testing::TestWithParam<Row> {};

// Every row of the outcome table, for a buy limit order of 5 at 100.
TEST_P(OutcomeTable, Row) {
  const Row& r = GetParam();
  const Outcome out = match_order({r.kind, true, true, 100.0, 5}, r.tick_close, r.tick_qty);
  EXPECT_EQ(out.deal_qty, r.deal);
  EXPECT_EQ(out.cancel_qty, r.cancel);
  EXPECT_EQ(out.open_qty, r.open);
  EXPECT_EQ(out.remove, r.remove);
}

INSTANTIATE_TEST_SUITE_P(
    Matching, OutcomeTable,
    ::testing::Values(Row{"rod_no_price", OrderKind::ROD, 101, 9, 0, 0, 5, false},
                      Row{"rod_enough", OrderKind::ROD, 99, 9, 5, 0, 0, true},
                      Row{"rod_short", OrderKind::ROD, 100, 3, 3, 0, 2, false},
                      Row{"ioc_no_price", OrderKind::IOC, 101, 9, 0, 5, 5, true},
                      Row{"ioc_enough", OrderKind::IOC, 99, 9, 5, 0, 5, true},
                      Row{"ioc_short", OrderKind::IOC, 99, 3, 3, 2, 5, true},
                      Row{"fok_no_price", OrderKind::FOK, 101, 9, 0, 5, 5, true},
                      Row{"fok_enough", OrderKind::FOK, 99, 5, 5, 0, 5, true},
                      Row{"fok_short", OrderKind::FOK, 99, 4, 0, 5, 5, true},
                      Row{"other_kind", OrderKind::Other, 99, 9, 0, 0, 5, false}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(PriceTest, LimitBoundsIncludeEquality) {
  EXPECT_TRUE(match_order({OrderKind::ROD, true, true, 100, 1}, 100, 1).price_match);
  EXPECT_TRUE(match_order({OrderKind::ROD, true, true, 100, 1}, 99, 1).price_match);
  EXPECT_FALSE(match_order({OrderKind::ROD, true, true, 100, 1}, 101, 1).price_match);
  EXPECT_TRUE(match_order({OrderKind::ROD, true, false, 100, 1}, 101, 1).price_match);
  EXPECT_TRUE(match_order({OrderKind::ROD, true, false, 100, 1}, 100, 1).price_match);
  EXPECT_FALSE(match_order({OrderKind::ROD, true, false, 100, 1}, 99, 1).price_match);
}

TEST(PriceTest, NonLimitOrdersTradeAtAnyPrice) {
  EXPECT_TRUE(match_order({OrderKind::ROD, false, true, 1, 1}, 500, 1).price_match);
  EXPECT_TRUE(match_order({OrderKind::ROD, false, false, 900, 1}, 500, 1).price_match);
}

TEST(EmptyOrders, NeverFill) {
  for (OrderKind kind : {OrderKind::ROD, OrderKind::IOC, OrderKind::FOK}) {
    const Outcome out = match_order({kind, true, true, 100, 0}, 99, 10);
    EXPECT_EQ(out.deal_qty, 0);
    EXPECT_EQ(out.cancel_qty, 0);
    EXPECT_TRUE(out.remove);
  }
  EXPECT_FALSE(match_order({OrderKind::ROD, true, true, 100, 0}, 101, 10).remove);
}

}  // namespace
}  // namespace orva::exchange
