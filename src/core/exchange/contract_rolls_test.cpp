#include "exchange/contract_rolls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orva::exchange {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMarch = 1000.0, kApril = 2000.0, kMay = 3000.0;  // month starts

// March in force by the ticks, April's start the next; `asked` the time asked about.
ContractMonth in_march(double asked = kMarch + 1, bool rolling = false) {
  return {kMarch, asked >= kApril ? (asked >= kMay ? kMay : kApril) : kMarch, kApril, rolling};
}

TEST(ContractRolls, OnlyOrdersWhoseMonthIsInQuestionAreNoted) {
  EXPECT_FALSE(worth_noting(kMarch + 5, in_march(), false));    // plainly March's
  EXPECT_TRUE(worth_noting(std::nan(""), in_march(), false));   // before any tick
  EXPECT_TRUE(worth_noting(kApril, in_march(), false));         // April began, no trade yet
  EXPECT_TRUE(worth_noting(kMarch + 5, in_march(kMarch + 5, true), false));  // the roll is booked
  EXPECT_TRUE(worth_noting(kMarch + 5, in_march(), true));      // its orders are being voided
}

TEST(ContractRolls, AnOrderOnItsWayIsVoidIfSentBeforeTheMonthInForceAsItArrives) {
  EXPECT_FALSE(void_on_arrival(kMarch + 5, in_march(kMarch + 9)));
  EXPECT_TRUE(void_on_arrival(kApril - 1, in_march(kApril + 1)));
  EXPECT_FALSE(void_on_arrival(kApril + 1, in_march(kApril + 2)));
  EXPECT_TRUE(void_on_arrival(kApril + 1, in_march(kMay + 1)));  // May began too on the way
}

TEST(ContractRolls, ARollKeepsWhatWasSentSinceItsMonthBeganAndForgetsTheCode) {
  LateOrders late;
  late.note("TXFR1", "early", std::nan(""));   // before any tick
  late.note("TXFR1", "march", kApril - 1);
  late.note("TXFR1", "april", kApril + 1);
  late.note("MXFR1", "other", kApril - 1);
  late.start(kApril + 10);  // the first tick came after April began
  EXPECT_EQ(late.roll({{"TXFR1", kApril}}), (std::vector<std::string>{"early", "april"}));
  EXPECT_TRUE(late.roll({{"TXFR1", kApril}}).empty());  // its notes went with the roll
  EXPECT_TRUE(late.roll({{"MXFR1", kInf}}).empty());    // no schedule: nothing is kept
}

TEST(ContractRolls, ARestingOrderAwaitsTheVoidOfAMonthBegunByNow) {
  LateOrders late;
  late.note("TXFR1", "april", kApril + 1);
  EXPECT_FALSE(late.awaits_void("march", in_march(kApril - 1)));  // March still in force
  EXPECT_TRUE(late.awaits_void("march", in_march(kApril + 5)));
  EXPECT_FALSE(late.awaits_void("april", in_march(kApril + 5)));
  EXPECT_TRUE(late.awaits_void("april", in_march(kMay + 5)));     // May began: April is over too
  EXPECT_FALSE(late.awaits_void("march", {kApril, kApril, kMay, false}));  // its roll was booked
}

}  // namespace
}  // namespace orva::exchange
