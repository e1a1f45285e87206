#include "quotes/tick_buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orva::quotes {
namespace {

using calendar::days_from_civil;

LocalMicros at(int y, int mo, int d, int h, int mi, int s, int us = 0) {
  return days_from_civil(y, mo, d) * kMicrosPerDay +
         ((h * 60 + mi) * 60 + s) * kMicrosPerSecond + us;
}

// 2024-03-04 is a Monday; 2024-03-08 a Friday.
Calendar taiwan(std::set<int64_t> holidays = {days_from_civil(2024, 4, 4)}) {
  Calendar c;
  c.windows["Stock"] = {{13 * 3600 + 30 * 60, 86399}, {0, 8 * 3600 + 59 * 60 + 59}};
  c.windows["Future"] = {{13 * 3600 + 45 * 60, 14 * 3600 + 59 * 60 + 59},
                         {5 * 3600, 8 * 3600 + 44 * 60 + 59}};
  c.is_holiday = [holidays](int64_t day) { return holidays.count(day) > 0; };
  return c;
}

const std::string kStock = "Stock";
const std::string kFuture = "Future";
const std::string kOther = "Other";

RealTick tick(LocalMicros dt, const std::string& market = kStock, double close = 100) {
  return {dt, 0, &market, close, 1, 1, false};
}

// "hhmmss" of a time of day, with "_" and the microseconds when there are any.
std::string clock_text(int h, int m, int s, int64_t us = 0) {
  char text[32];
  std::snprintf(text, sizeof text, us ? "%02d%02d%02d_%06lld" : "%02d%02d%02d", h, m, s,
                static_cast<long long>(us));
  return text;
}

std::string clock_text(LocalMicros t) {
  const int64_t of_day = t % kMicrosPerDay, seconds = of_day / kMicrosPerSecond;
  return clock_text(static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                    static_cast<int>(seconds % 60), of_day % kMicrosPerSecond);
}

std::vector<LocalMicros> virtual_times(const Instrument& instrument) {
  std::vector<LocalMicros> out;
  const TickColumns& c = instrument.columns();
  for (size_t i = 0; i < c.size(); ++i)
    if (c.is_virtual[i]) out.push_back(c.dt[i]);
  return out;
}

struct GapRow {
  int from_m, from_s, to_h, to_m, to_s;
  int from_h;
  std::vector<std::pair<int, int>> minutes;  // (hour, minute) of the virtual ticks
};

std::string gap_text(const GapRow& r) {
  return clock_text(r.from_h, r.from_m, r.from_s) + "_to_" + clock_text(r.to_h, r.to_m, r.to_s);
}

std::ostream& operator<<(std::ostream& out, const GapRow& r) { return out << gap_text(r); }

class GapFilling : public ::testing::TestWithParam<GapRow> {};

TEST_P(GapFilling, DocumentedRows) {
  const GapRow& r = GetParam();
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 3, 4, r.from_h, r.from_m, r.from_s)), c);
  i.add(tick(at(2024, 3, 4, r.to_h, r.to_m, r.to_s)), c);
  std::vector<LocalMicros> expected;
  for (auto [h, m] : r.minutes) expected.push_back(at(2024, 3, 4, h, m, 0));
  EXPECT_EQ(virtual_times(i), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, GapFilling,
    ::testing::Values(GapRow{0, 10, 9, 1, 50, 9, {}},
                      GapRow{0, 10, 9, 2, 5, 9, {{9, 1}, {9, 2}}},
                      GapRow{0, 50, 9, 3, 20, 9, {{9, 1}, {9, 2}, {9, 3}}},
                      GapRow{0, 0, 9, 3, 0, 9, {{9, 1}, {9, 2}, {9, 3}}},
                      GapRow{59, 50, 10, 2, 10, 9, {{10, 0}, {10, 1}}},
                      GapRow{0, 10, 9, 2, 40, 9, {{9, 1}, {9, 2}, {9, 3}}}),
    [](const ::testing::TestParamInfo<GapRow>& info) { return gap_text(info.param); });

// Ticks under a minute apart never fill (most ticks take that short cut); from a minute on
// the search runs as before.
TEST(GapFilling, UnderAMinuteApartFillsNothingEvenAcrossMinutes) {
  const Calendar c = taiwan();
  const auto fills = [&](LocalMicros from, LocalMicros to) {
    Instrument i;
    i.add(tick(from), c);
    i.add(tick(to), c);
    return virtual_times(i);
  };
  const LocalMicros from = at(2024, 3, 4, 9, 0, 30);
  EXPECT_EQ(fills(from, at(2024, 3, 4, 9, 1, 29, 999999)), std::vector<LocalMicros>{});
  EXPECT_EQ(fills(from, at(2024, 3, 4, 9, 1, 30)), std::vector<LocalMicros>{});
  EXPECT_EQ(fills(at(2024, 3, 4, 9, 59, 59, 999999), at(2024, 3, 4, 10, 0, 59)),
            std::vector<LocalMicros>{});
  EXPECT_EQ(fills(from, at(2024, 3, 4, 9, 2, 0)),
            (std::vector<LocalMicros>{at(2024, 3, 4, 9, 1, 0), at(2024, 3, 4, 9, 2, 0)}));
}

TEST(GapFilling, WindowsLookedUpBeforeHandGiveTheSameColumns) {
  const Calendar c = taiwan();
  Instrument looked_up, given;
  for (LocalMicros dt : {at(2024, 3, 4, 9, 0, 5), at(2024, 3, 4, 9, 4, 0),
                         at(2024, 3, 4, 13, 31, 0), at(2024, 3, 5, 9, 2, 0)}) {
    looked_up.add(tick(dt), c);
    given.add(tick(dt), c, windows_for(c, kStock));
  }
  EXPECT_EQ(given.columns().dt, looked_up.columns().dt);
  EXPECT_EQ(given.columns().is_virtual, looked_up.columns().is_virtual);
  EXPECT_EQ(windows_for(c, "Option").size(), c.windows.at(kFuture).size());
}

TEST(GapFilling, FirstTickAndOlderTicksFillNothing) {
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 3, 4, 10, 0, 0)), c);
  i.add(tick(at(2024, 3, 4, 9, 0, 0)), c);
  EXPECT_TRUE(virtual_times(i).empty());
  EXPECT_EQ(i.last_tick(), 1);
}

TEST(GapFilling, StockGapOverNightSkipsTheClosedHours) {
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 3, 4, 13, 20, 0)), c);
  i.add(tick(at(2024, 3, 5, 9, 2, 0)), c);
  const std::vector<LocalMicros> expected = {
      at(2024, 3, 4, 13, 21, 0), at(2024, 3, 4, 13, 22, 0), at(2024, 3, 4, 13, 23, 0),
      at(2024, 3, 4, 13, 24, 0), at(2024, 3, 4, 13, 25, 0), at(2024, 3, 4, 13, 26, 0),
      at(2024, 3, 4, 13, 27, 0), at(2024, 3, 4, 13, 28, 0), at(2024, 3, 4, 13, 29, 0),
      at(2024, 3, 5, 9, 0, 0),   at(2024, 3, 5, 9, 1, 0),   at(2024, 3, 5, 9, 2, 0)};
  EXPECT_EQ(virtual_times(i), expected);
}

TEST(GapFilling, FuturesKeepSaturdayBeforeFiveOnly) {
  // The holiday file lists weekend days, so Sunday's and Monday's small hours
  // (trading days Saturday and Sunday) are skipped too.
  const Calendar c = taiwan({days_from_civil(2024, 3, 9), days_from_civil(2024, 3, 10)});
  Instrument i;
  i.add(tick(at(2024, 3, 8, 23, 59, 0), kFuture), c);  // Friday night
  i.add(tick(at(2024, 3, 11, 8, 46, 0), kFuture), c);  // Monday morning
  const auto v = virtual_times(i);
  ASSERT_FALSE(v.empty());
  EXPECT_EQ(v.front(), at(2024, 3, 9, 0, 0, 0));
  EXPECT_EQ(v[299], at(2024, 3, 9, 4, 59, 0));
  EXPECT_EQ(v[300], at(2024, 3, 11, 8, 45, 0));  // 05:00 Saturday to Monday 08:44 skipped
  EXPECT_EQ(v[301], at(2024, 3, 11, 8, 46, 0));  // the tick's own minute, as a gap's last
  EXPECT_EQ(v.size(), 302u);
}

TEST(GapFilling, OptionsFollowTheFuturesSessions) {
  const Calendar c = taiwan({days_from_civil(2024, 3, 9), days_from_civil(2024, 3, 10)});
  const std::string option = "Option";
  Instrument futures, options;
  for (const LocalMicros dt : {at(2024, 3, 8, 13, 50, 0), at(2024, 3, 8, 23, 59, 0), at(2024, 3, 11, 8, 46, 0)}) {
    futures.add(tick(dt, kFuture), c);
    options.add(tick(dt, option), c);
  }
  EXPECT_EQ(virtual_times(options), virtual_times(futures));
  EXPECT_EQ(options.columns().dt, futures.columns().dt);  // 13:50 moved to the day session's end alike
}

TEST(GapFilling, WithoutWeekendDaysInTheFileSundayNightsAreFilled) {
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 3, 8, 23, 59, 0), kFuture), c);
  i.add(tick(at(2024, 3, 11, 8, 46, 0), kFuture), c);
  EXPECT_EQ(virtual_times(i).size(), 300u + 300u + 300u + 2u);
}

TEST(GapFilling, HolidaysAndTheirNightAreSkipped) {
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 4, 3, 23, 58, 0), kFuture), c);
  i.add(tick(at(2024, 4, 4, 1, 2, 0), kFuture), c);  // trading day 04-03: kept
  EXPECT_EQ(virtual_times(i).size(), 1u + 63u);  // 23:59, then 00:00 to 01:02
  Instrument j;
  j.add(tick(at(2024, 4, 4, 23, 58, 0), kFuture), c);
  j.add(tick(at(2024, 4, 5, 1, 2, 0), kFuture), c);  // all of it is trading day 04-04
  EXPECT_TRUE(virtual_times(j).empty());
}

TEST(GapFilling, AsksTheCalendarOncePerTradingDay) {
  Calendar c = taiwan();
  std::vector<int64_t> asked;
  c.is_holiday = [&](int64_t day) {
    asked.push_back(day);
    return false;
  };
  Instrument i;
  i.add(tick(at(2024, 3, 4, 9, 0, 0)), c);
  i.add(tick(at(2024, 3, 6, 9, 0, 0)), c);
  // The gap's last minute is the tick's own, on 03-06.
  EXPECT_EQ(asked, (std::vector<int64_t>{days_from_civil(2024, 3, 4), days_from_civil(2024, 3, 5),
                                         days_from_civil(2024, 3, 6)}));
}

TEST(GapFilling, ACalendarErrorAddsNothing) {
  Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 3, 4, 9, 0, 0)), c);
  c.is_holiday = [](int64_t) -> bool { throw std::runtime_error("host failed"); };
  EXPECT_THROW(i.add(tick(at(2024, 3, 4, 9, 5, 0)), c), std::runtime_error);
  EXPECT_EQ(i.columns().size(), 1u);
  EXPECT_EQ(i.last_tick(), 0);
}

TEST(GapFilling, GapsBeyondTheBoundStayUnfilled) {
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(at(2024, 3, 4, 9, 0, 0)), c);
  EXPECT_TRUE(i.add(tick(at(2025, 4, 7, 9, 0, 0)), c));  // 399 days: filled
  const size_t filled = i.columns().size();
  EXPECT_GT(filled, 50000u);
  EXPECT_FALSE(i.add(tick(at(2026, 5, 13, 9, 0, 0)), c));  // 401 days: left as a gap
  EXPECT_EQ(i.columns().size(), filled + 1);
}

TEST(TickRange, BoundsAreTheDocumentedYears) {
  EXPECT_FALSE(tick_time_in_range(at(1989, 12, 31, 23, 59, 59)));
  EXPECT_TRUE(tick_time_in_range(at(1990, 1, 1, 0, 0, 0)));
  EXPECT_TRUE(tick_time_in_range(at(2099, 12, 31, 23, 59, 59)));
  EXPECT_FALSE(tick_time_in_range(at(2100, 1, 1, 0, 0, 0)));
}

TEST(TickColumns, KeepTheFullTickType) {
  const Calendar c = taiwan();
  Instrument i;
  RealTick t = tick(at(2024, 3, 4, 9, 0, 0));
  t.tick_type = 300;
  i.add(t, c);
  EXPECT_EQ(i.columns().tick_type.back(), 300);
}

struct MoveRow {
  const std::string* market;
  LocalMicros in;
  LocalMicros out;
};

std::string move_text(const MoveRow& r) { return *r.market + "_" + clock_text(r.in); }

std::ostream& operator<<(std::ostream& out, const MoveRow& r) {
  return out << move_text(r) << " -> " << clock_text(r.out);
}

class Normalisation : public ::testing::TestWithParam<MoveRow> {};

TEST_P(Normalisation, DocumentedMoves) {
  const Calendar c = taiwan();
  Instrument i;
  i.add(tick(GetParam().in, *GetParam().market), c);
  EXPECT_EQ(i.columns().dt.back(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Moves, Normalisation,
    ::testing::Values(
        MoveRow{&kStock, at(2024, 3, 4, 13, 30, 0, 250000), at(2024, 3, 4, 13, 29, 59, 250000)},
        MoveRow{&kFuture, at(2024, 3, 4, 13, 45, 0), at(2024, 3, 4, 13, 44, 59)},
        MoveRow{&kFuture, at(2024, 3, 4, 5, 0, 0), at(2024, 3, 4, 4, 59, 59)},
        MoveRow{&kFuture, at(2024, 3, 4, 14, 10, 0), at(2024, 3, 4, 13, 44, 59)},
        MoveRow{&kStock, at(2024, 3, 4, 8, 59, 30), at(2024, 3, 3, 23, 59, 59)},
        MoveRow{&kFuture, at(2024, 3, 4, 13, 44, 59, 900000), at(2024, 3, 4, 13, 44, 59, 900000)},
        MoveRow{&kOther, at(2024, 3, 4, 13, 30, 0), at(2024, 3, 4, 13, 30, 0)}),
    [](const ::testing::TestParamInfo<MoveRow>& info) { return move_text(info.param); });

// A compact instrument holds one trading day (after 05:00 to 05:00): a tick on either side
// of it folds the held ones away, a tick at its very edges does not.
TEST(CompactInstrument, FoldsAtTheFirstTickOfAnotherTradingDay) {
  const Calendar c = taiwan();
  Instrument i(true);
  const std::vector<std::pair<LocalMicros, size_t>> steps = {
      {at(2024, 3, 4, 4, 59, 30), 0},     // Sunday's trading day
      {at(2024, 3, 4, 5, 0, 0), 0},       // its last moment
      {at(2024, 3, 4, 5, 0, 0, 1), 2},    // Monday's: the two before are folded
      {at(2024, 3, 4, 5, 0, 30), 2},
      {at(2024, 3, 4, 4, 59, 59), 4}};    // back to Sunday's
  for (const auto& [dt, dropped] : steps) {
    i.add(tick(dt, kOther), c);
    EXPECT_EQ(i.dropped(), dropped) << clock_text(dt);
    EXPECT_EQ(i.total(), i.dropped() + i.columns().size());
  }
}

}  // namespace
}  // namespace orva::quotes
