#include "options/contract.h"

#include <gtest/gtest.h>

#include "calendar/taipei.h"
#include "costs/market_rules.h"

namespace orva::options {
namespace {

TEST(Contract, ParsesOnlyTheExchangesRights) {
  EXPECT_EQ(parse_right("C"), Right::Call);
  EXPECT_EQ(parse_right("P"), Right::Put);
  for (const char* bad : {"c", "Call", "", "CP"}) EXPECT_FALSE(parse_right(bad)) << bad;
}

TEST(Contract, IntrinsicAndOutOfTheMoneyValues) {
  EXPECT_EQ(intrinsic_value(Right::Call, 23000, 23150.5), 150.5);
  EXPECT_EQ(intrinsic_value(Right::Call, 23000, 22900), 0);
  EXPECT_EQ(intrinsic_value(Right::Put, 22800, 22650), 150);
  EXPECT_EQ(intrinsic_value(Right::Put, 22800, 23000), 0);
  EXPECT_EQ(out_of_the_money(Right::Call, 23000, 22900), 100);
  EXPECT_EQ(out_of_the_money(Right::Put, 22800, 23000), 200);
  EXPECT_EQ(out_of_the_money(Right::Put, 22800, 22000), 0);
}

// Premium value + max(A - out-of-the-money value, B), worked by hand at A = 46,000, B = 23,000.
TEST(Contract, WrittenMarginByTheExchangesFormula) {
  const Contract put{Right::Put, 22800, 50, 0};
  // 200 points out of the money: 45 × 50 + max(46,000 - 10,000, 23,000) = 2,250 + 36,000.
  EXPECT_EQ(written_margin(put, 45, 23000, 46000, 23000), 38250);
  // 600 points out: A - 30,000 = 16,000 falls below B, so B holds.
  EXPECT_EQ(written_margin(put, 12, 23400, 46000, 23000), 600 + 23000);
  // In the money: nothing off A.
  EXPECT_EQ(written_margin(put, 380, 22500, 46000, 23000), 19000 + 46000);
}

TEST(Contract, ExpiresAtHalfPastOneTaipeiTime) {
  const auto day = costs::parse_day("2026-01-14");
  ASSERT_TRUE(day);
  // 2026-01-14 13:30 +08:00 is 05:30 UTC.
  EXPECT_EQ(expiry_time(*day), 1768368600);
  EXPECT_EQ(calendar::taipei_day(expiry_time(*day)), *day);
}

TEST(Contract, ExpiredOnlyAfterTheClosingAuction) {
  const auto day = costs::parse_day("2026-01-14");
  ASSERT_TRUE(day);
  const double at = expiry_time(*day);
  EXPECT_FALSE(expired_by(*day, at - 60));
  EXPECT_FALSE(expired_by(*day, at));  // the 13:30 auction's trade
  EXPECT_TRUE(expired_by(*day, at + 1));
  EXPECT_FALSE(expired_by(*day + 1, at + 86399));
  EXPECT_TRUE(expired_by(*day - 7, at));  // last week's weekly
}

}  // namespace
}  // namespace orva::options
