#include "quotes/minute_bars.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "quotes/kbars.h"

namespace orva::quotes {
namespace {

using calendar::kMicrosPerMinute;

constexpr LocalMicros kMonday = 19786LL * calendar::kMicrosPerDay;  // 2024-03-04

Bar minute_bar(int minute, double open, double high, double low, double close, int64_t volume) {
  return {kMonday + minute * kMicrosPerMinute, open, high, low, close, volume};
}

void expect_same(const Bar& got, const Bar& want) {
  EXPECT_EQ(got.dt, want.dt);
  EXPECT_EQ(got.open, want.open);
  EXPECT_EQ(got.high, want.high);
  EXPECT_EQ(got.low, want.low);
  EXPECT_EQ(got.close, want.close);
  EXPECT_EQ(got.volume, want.volume);
}

// Prices on any tick grid read back exactly from hundredths; the first price or volume that
// does not fit turns its column wide, and every earlier value still reads back the same.
TEST(MinuteBars, ValuesReadBackExactlyNarrowOrWide) {
  const std::vector<Bar> bars = {
      minute_bar(0, 600.0, 605.5, 599.95, 601.05, 12),
      minute_bar(1, 18000, 18012, 17990, 18001, 2147483647),
      minute_bar(2, 0.01, 0.07, 0.01, 0.05, 0),
      minute_bar(3, 601.05, 1.0 / 3, 0.125, 21474836.48, 2147483648LL),  // wide from here
      minute_bar(4, 1e300, 1e300, 600.0, 600.0, 5),
  };
  MinuteBars minutes;
  for (const Bar& bar : bars) minutes.add(bar);
  ASSERT_EQ(minutes.size(), bars.size());
  for (size_t i = 0; i < bars.size(); ++i) expect_same(minutes.at(i), bars[i]);
}

TEST(MinuteBars, ABarOfTheLastMinuteWidensItAndAnEarlierOneIsLeftOut) {
  MinuteBars minutes;
  minutes.add(minute_bar(0, 600, 601, 599, 600, 3));
  minutes.add(minute_bar(1, 602, 603, 601, 602, 4));
  minutes.add(minute_bar(1, 604, 608, 596, 597, 5));
  minutes.add(minute_bar(0, 1, 1, 1, 1, 1));  // late: as a late tick, left out
  ASSERT_EQ(minutes.size(), 2u);
  expect_same(minutes.at(1), minute_bar(1, 602, 608, 596, 597, 9));
  EXPECT_EQ(minutes.first_from(kMonday + 1), 1u);  // the first whole minute from there
  EXPECT_EQ(minutes.first_from(kMonday + kMicrosPerMinute), 1u);
  EXPECT_EQ(minutes.first_from(std::numeric_limits<LocalMicros>::min()), 0u);
  EXPECT_EQ(minutes.first_from(kMonday + 2 * kMicrosPerMinute), 2u);
}

// Every unit folded from the minutes of sealed days equals the same unit folded from their ticks.
TEST(MinuteBars, FoldsOfMinutesEqualFoldsOfTheirTicks) {
  Calendar calendar;
  Instrument full, compact(true);
  const std::string market = "Future";
  LocalMicros dt = kMonday + 8 * 60 * kMicrosPerMinute;
  for (int i = 0; i < 6000; ++i) {
    dt += (i % 7) * 23 * calendar::kMicrosPerSecond + (i % 3);
    const RealTick tick{dt, 0, &market, 18000.0 + (i * 37 % 41), i % 5, 1, false};
    full.add(tick, calendar);
    compact.add(tick, calendar);
  }
  ASSERT_GT(compact.dropped(), 0u);
  ASSERT_EQ(compact.total(), full.total());
  for (BarUnit unit : {BarUnit::Minute, BarUnit::Hour, BarUnit::Day, BarUnit::Week}) {
    const std::vector<Bar> want = bars_between(full, unit, 3, std::numeric_limits<LocalMicros>::min(),
                                               std::numeric_limits<LocalMicros>::max());
    const std::vector<Bar> got = bars_between(compact, unit, 3, std::numeric_limits<LocalMicros>::min(),
                                              std::numeric_limits<LocalMicros>::max());
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) expect_same(got[i], want[i]);
  }
}

}  // namespace
}  // namespace orva::quotes
