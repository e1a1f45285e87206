#include "exchange/quotes_in_force.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>

namespace orva::exchange {
namespace {

constexpr double kMonday0900 = 1709514000.0;  // 2024-03-04 09:00 Taipei
const Quotes kBook{100.0, 101.0, 30, 20};     // bid 100 × 30, ask 101 × 20

struct SessionCase {
  const char* name;
  double later;  // seconds after Monday 09:00
  bool same;
};

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.name; }

class Sessions : public testing::TestWithParam<SessionCase> {};

TEST_P(Sessions, BreakAtTheCloseTheNightAndTheMorning) {
  EXPECT_EQ(session_of(kMonday0900) == session_of(kMonday0900 + GetParam().later),
            GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Taipei, Sessions,
    testing::Values(SessionCase{"DayClose", 4.5 * 3600, true},            // 13:30
                    SessionCase{"FuturesDayClose", 4.75 * 3600, true},    // 13:45
                    SessionCase{"NightOpen", 6 * 3600, false},            // 15:00
                    SessionCase{"NextMorning", 24 * 3600, false},         // Tuesday 09:00
                    SessionCase{"EarlyMorning", -4 * 3600 - 1, false}),   // 04:59:59, last night's
    [](const testing::TestParamInfo<SessionCase>& info) { return std::string(info.param.name); });

TEST(Sessions, TheNightRunsPastMidnight) {
  const double night = kMonday0900 + 6 * 3600;  // Monday 15:00
  EXPECT_EQ(session_of(night), session_of(night + 13 * 3600));       // Tuesday 04:00
  EXPECT_NE(session_of(night), session_of(night + 14 * 3600 + 1));   // Tuesday 05:00:01
}

// Each session ends where session_of starts the next: day and night, before and after 1970.
TEST(Sessions, EndWhereTheNextBegins) {
  for (const double start : {kMonday0900, kMonday0900 + 6 * 3600, -86400.0 * 400 + 3600}) {
    const long long session = session_of(start);
    const double end = session_end(session);
    EXPECT_EQ(session_of(std::nextafter(end, -1e300)), session) << start;
    EXPECT_EQ(session_of(end), session + 1) << start;
  }
}

TEST(QuotesInForce, AQuoteFromAnotherSessionIsNoQuote) {
  QuotesInForce board;
  board.show(kBook, kMonday0900 + 4.5 * 3600);  // the close
  EXPECT_TRUE(board.at(kMonday0900 + 4.5 * 3600 + 0.001).usable());
  EXPECT_FALSE(board.current(kMonday0900 + 24 * 3600));
  EXPECT_FALSE(board.at(kMonday0900 + 24 * 3600).usable());
}

TEST(QuotesInForce, WhatWasTakenIsGoneWhileItsPriceIsShown) {
  QuotesInForce board;
  board.show(kBook, kMonday0900);
  board.take(true, 15);
  EXPECT_EQ(board.at(kMonday0900).ask_left(), 5);
  EXPECT_EQ(board.at(kMonday0900).bid_left(), 30);  // the other side is untouched
  board.take(true, 10);
  EXPECT_EQ(board.at(kMonday0900).ask_left(), 0);
  EXPECT_TRUE(board.at(kMonday0900).usable());    // the bid can still be hit
  board.show(kBook, kMonday0900 + 1);              // the recording still shows the ask
  EXPECT_EQ(board.at(kMonday0900 + 1).ask_left(), 0);
  board.show(Quotes{100.0, 102.0, 30, 8}, kMonday0900 + 2);  // a new ask price: its own quantity
  EXPECT_EQ(board.at(kMonday0900 + 2).ask_left(), 8);
  board.take(false, 4);
  board.show(kBook, kMonday0900 + 24 * 3600);  // a new session starts with nothing taken
  EXPECT_EQ(board.at(kMonday0900 + 24 * 3600).bid_left(), 30);
}

TEST(QuotesInForce, WhatIsLeftLimitsTakingAndQueueing) {
  Quotes book = kBook;
  book.ask_taken = 15;
  EXPECT_EQ(arrive(true, 102.0, 50, book).take, 5);
  book.bid_taken = 25;
  EXPECT_EQ(arrive(true, 100.0, 5, book).queue.ahead, 5);  // behind what is left of the bid
}

}  // namespace
}  // namespace orva::exchange
