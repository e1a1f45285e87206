#include "quotes/kbars.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace orva::quotes {
namespace {

using calendar::days_from_civil;

LocalMicros at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0) {
  return days_from_civil(y, mo, d) * kMicrosPerDay + ((h * 60 + mi) * 60 + s) * kMicrosPerSecond + us;
}

struct StartRow {
  const char* unit;
  int64_t freq;
  LocalMicros in, out;
};

std::ostream& operator<<(std::ostream& out, const StartRow& r) {
  return out << r.unit << " x" << r.freq << ": " << r.in << " us -> " << r.out << " us";
}

class BarStart : public ::testing::TestWithParam<StartRow> {};

// Values as polars' dt.truncate gives them.
TEST_P(BarStart, MatchesPolarsTruncation) {
  const StartRow& r = GetParam();
  EXPECT_EQ(bar_start(r.in, *parse_bar_unit(r.unit), r.freq), r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Units, BarStart,
    ::testing::Values(
        StartRow{"m", 1, at(2024, 3, 4, 9, 1, 59, 999999), at(2024, 3, 4, 9, 1)},
        StartRow{"m", 5, at(2024, 3, 4, 9, 9, 59), at(2024, 3, 4, 9, 5)},
        StartRow{"m", 7, at(2024, 3, 4, 9, 6), at(2024, 3, 4, 9, 0)},  // counted from the epoch
        StartRow{"h", 5, at(2024, 3, 4, 13, 0), at(2024, 3, 4, 11, 0)},
        StartRow{"d", 1, at(2024, 3, 4, 23, 59), at(2024, 3, 4)},
        StartRow{"d", 3, at(2024, 3, 4, 12, 0), at(2024, 3, 3)},
        StartRow{"w", 1, at(2024, 3, 10, 23, 0), at(2024, 3, 4)},    // a Sunday: its Monday
        StartRow{"w", 2, at(2008, 4, 15, 6, 47), at(2008, 4, 7)},     // from Monday 1970-01-05
        StartRow{"mo", 1, at(2024, 2, 29, 13, 0), at(2024, 2, 1)},
        StartRow{"mo", 7, at(2008, 4, 15), at(2007, 12, 1)},          // months from 1970-01
        StartRow{"q", 1, at(2024, 6, 30, 23, 59), at(2024, 4, 1)},
        StartRow{"q", 3, at(2008, 4, 15), at(2008, 4, 1)},
        StartRow{"y", 1, at(2024, 12, 31, 23, 59), at(2024, 1, 1)},
        StartRow{"y", 3, at(2008, 4, 15), at(2006, 1, 1)}),
    [](const ::testing::TestParamInfo<StartRow>& info) {
      return info.param.unit + std::to_string(info.param.freq);
    });

TEST(BarStart, UnknownUnitsAreRefused) {
  EXPECT_FALSE(parse_bar_unit("x").has_value());
  EXPECT_FALSE(parse_bar_unit("M").has_value());
}

TickColumns ticks(const std::vector<std::tuple<LocalMicros, double, int64_t, bool>>& rows) {
  TickColumns c;
  for (auto [dt, close, qty, simulate] : rows) {
    c.dt.push_back(dt);
    c.close.push_back(close);
    c.qty.push_back(qty);
    c.tick_type.push_back(1);
    c.is_simulate.push_back(simulate);
    c.is_virtual.push_back(false);
    c.market.push_back(0);
  }
  return c;
}

TEST(UpdateBars, DocumentedIncrementalExample) {
  Bar last{at(2024, 3, 4, 9, 1), 100, 100, 100, 100, 1};
  std::vector<Bar> completed;
  const TickColumns c = ticks({{at(2024, 3, 4, 9, 2, 10), 98, 1, false},   // arrives first
                               {at(2024, 3, 4, 9, 1, 30), 102, 2, false}});
  update_bars(c, 0, 2, BarUnit::Minute, 1, last, completed);
  ASSERT_EQ(completed.size(), 1u);
  const Bar& minute1 = completed[0];
  EXPECT_EQ(minute1.dt, at(2024, 3, 4, 9, 1));
  EXPECT_EQ(std::vector<double>({minute1.open, minute1.high, minute1.low, minute1.close}),
            std::vector<double>({100, 102, 100, 102}));
  EXPECT_EQ(minute1.volume, 3);
  EXPECT_EQ(last.dt, at(2024, 3, 4, 9, 2));
  EXPECT_EQ(std::vector<double>({last.open, last.high, last.low, last.close}),
            std::vector<double>({98, 98, 98, 98}));
}

TEST(UpdateBars, LateAndSimulatedTicksAreLeftOut) {
  Bar last{at(2024, 3, 4, 9, 5), 100, 100, 100, 100, 1};
  std::vector<Bar> completed;
  const TickColumns c = ticks({{at(2024, 3, 4, 9, 4, 59), 50, 7, false},
                               {at(2024, 3, 4, 9, 5, 30), 200, 7, true},
                               {at(2024, 3, 4, 9, 5, 40), 101, 2, false}});
  update_bars(c, 0, 3, BarUnit::Minute, 5, last, completed);
  EXPECT_TRUE(completed.empty());
  EXPECT_EQ(last.high, 101);
  EXPECT_EQ(last.low, 100);
  EXPECT_EQ(last.volume, 3);
}

// Fed in pieces, a fold yields every bar once, in order, the first opened by
// the first real tick and the last only when closed.
TEST(BarFold, PiecewiseEqualsOneUpdate) {
  const TickColumns c = ticks({{at(2024, 3, 4, 9, 0, 1), 99, 1, true},  // simulated: no bar
                               {at(2024, 3, 4, 9, 0, 5), 100, 1, false},
                               {at(2024, 3, 4, 9, 0, 50), 103, 2, false},
                               {at(2024, 3, 4, 9, 6, 0), 97, 4, false},
                               {at(2024, 3, 4, 9, 6, 30), 98, 1, false},
                               {at(2024, 3, 4, 9, 11, 0), 96, 3, false}});
  BarFold fold(BarUnit::Minute, 5);
  std::vector<Bar> bars;
  for (size_t i = 0; i < c.size(); ++i) fold.add(c, i, i + 1, bars);
  ASSERT_EQ(bars.size(), 2u);
  EXPECT_EQ(bars[0].dt, at(2024, 3, 4, 9, 0));
  EXPECT_EQ(std::vector<double>({bars[0].open, bars[0].high, bars[0].low, bars[0].close}),
            std::vector<double>({100, 103, 100, 103}));
  EXPECT_EQ(bars[0].volume, 3);
  EXPECT_EQ(bars[1].dt, at(2024, 3, 4, 9, 5));
  EXPECT_EQ(bars[1].volume, 5);
  const std::optional<Bar> last = fold.close();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->dt, at(2024, 3, 4, 9, 10));
  EXPECT_EQ(last->close, 96);
  EXPECT_FALSE(fold.close());
}

TEST(TimeOrder, StableByTime) {
  const TickColumns c = ticks({{5, 1, 1, false}, {3, 1, 1, false}, {5, 1, 1, false}, {4, 1, 1, false}});
  EXPECT_EQ(time_order(c, 0, 4), (std::vector<size_t>{1, 3, 0, 2}));
  EXPECT_EQ(time_order(c, 2, 4), (std::vector<size_t>{3, 2}));
}

}  // namespace
}  // namespace orva::quotes
