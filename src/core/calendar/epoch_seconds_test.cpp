#include "calendar/epoch_seconds.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

namespace orva::calendar {
namespace {

struct Case {
  int64_t nanos;
  int digits;
  double seconds;  // Python's round(nanos / 10**9, digits)
};

// Ties at the rounding digit go to even, as in Python; the last cases are
// random tick times.
TEST(SecondsFromNanos, MatchesPythonRound) {
  const Case cases[] = {
    {0LL, 8, 0.0},
    {1LL, 9, 1e-09},
    {5LL, 8, 1e-08},
    {499999999LL, 3, 0.5},
    {500000000LL, 0, 0.0},
    {1500000000LL, 0, 2.0},
    {2500000000LL, 0, 2.0},
    {125000000LL, 2, 0.12},
    {375000000LL, 2, 0.38},
    {1709510400123456789LL, 8, 1709510400.1234567},
    {1709510400123456785LL, 8, 1709510400.1234567},
    {1709510400000000005LL, 8, 1709510400.0},
    {999999999999LL, 8, 1000.0},
    {17095104001234567LL, 8, 17095104.00123457},
    {9223372036854775807LL, 8, 9223372036.854776},
    {9223372036854775807LL, 3, 9223372036.855},
    {-1709510400123456789LL, 8, -1709510400.1234567},
    {-2500000000LL, 0, -2.0},
    {INT64_MIN, 8, -9223372036.854776},
    {1621272612517596917LL, 0, 1621272613.0},
    {1027513666957758680LL, 8, 1027513666.9577587},
    {3318787328174246392LL, 8, 3318787328.1742463},
  };
  for (const Case& c : cases)
    EXPECT_EQ(seconds_from_nanos(c.nanos, c.digits), c.seconds) << c.nanos << " to " << c.digits;
}

TEST(SecondsFromNanos, DigitsOutsideTheRangeAreRefused) {
  EXPECT_THROW(seconds_from_nanos(1, -1), std::invalid_argument);
  EXPECT_THROW(seconds_from_nanos(1, 10), std::invalid_argument);
}

}  // namespace
}  // namespace orva::calendar
