#include "calendar/local_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace orva::calendar {
namespace {

class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override { set_zone("UTC"); }
  void TearDown() override { set_zone("UTC"); }
  static void set_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
};

TEST_F(LocalTime, FormatsMicroseconds) {
  EXPECT_EQ(format_local_timestamp(0.5).value(), "1970-01-01 00:00:00.500000");
  EXPECT_EQ(format_local_timestamp(1700000000.25).value(), "2023-11-14 22:13:20.250000");
}

TEST_F(LocalTime, RoundsMicrosecondsHalfToEven) {
  EXPECT_EQ(format_local_timestamp(0.0000005).value(), "1970-01-01 00:00:00.000000");
  EXPECT_EQ(format_local_timestamp(0.9999996).value(), "1970-01-01 00:00:01.000000");
  EXPECT_EQ(format_local_timestamp(-0.25).value(), "1969-12-31 23:59:59.750000");
}

TEST_F(LocalTime, FollowsTheTimeZone) {
  set_zone("CST-8");  // POSIX form: needs no zone database
  EXPECT_EQ(format_local_timestamp(0.5).value(), "1970-01-01 08:00:00.500000");
}

TEST_F(LocalTime, RefusesWhatCannotBeShown) {
  EXPECT_FALSE(format_local_timestamp(NAN).has_value());
  EXPECT_FALSE(format_local_timestamp(1e300).has_value());
  EXPECT_FALSE(format_local_timestamp(1700000000000000.0).has_value());  // microseconds taken as seconds
  EXPECT_FALSE(format_local_timestamp(-1e16).has_value());
  EXPECT_EQ(format_local_timestamp(253402300799.0).value(), "9999-12-31 23:59:59.000000");
}

// Across a change of offset (New York's 2024 rules, moved to 7.5 minutes past
// the hour so a change falls inside a quarter hour), the remembering clock
// gives what every single call gives.
TEST_F(LocalTime, RememberingClockAgreesAcrossOffsetChanges) {
  set_zone("EST5EDT,M3.2.0/2:07:30,M11.1.0/2:07:30");
  LocalClock clock;
  for (const double change : {1710054450.0, 1730614050.0})
    for (double s = change - 3 * 3600; s < change + 3 * 3600; s += 37.25)
      ASSERT_EQ(clock.local_micros(s), local_micros(s)) << std::fixed << s;
  EXPECT_FALSE(clock.local_micros(NAN).has_value());
  EXPECT_FALSE(clock.local_micros(1e300).has_value());
}

}  // namespace
}  // namespace orva::calendar
