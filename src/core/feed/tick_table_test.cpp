#include "feed/tick_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace orva::feed {
namespace {

TEST(TickTable, HeaderIsTheEightColumnsInOrder) {
  EXPECT_TRUE(is_tick_header("ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type"));
  EXPECT_TRUE(is_tick_header("ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\r"));
  for (const char* line : {"", "ts,clo", "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume",
                           "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type,",
                           "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_typeX",
                           "close,ts,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type",
                           "a,b,c,d,e,f,g,h"}) {
    EXPECT_FALSE(is_tick_header(line)) << line;
  }
}

// A day of two good ticks whose value at (column, row) can be replaced.
struct Day {
  std::vector<std::vector<double>> reals = std::vector<std::vector<double>>(8, {600.0, 0.0});
  std::vector<std::vector<std::int64_t>> integers = std::vector<std::vector<std::int64_t>>(8, {3, 0});

  Day() {
    reals[1] = {600.0, 0.5};
    integers[0] = {kEarliestTs, kLatestTs - 1};
    integers[7] = {-5, 99};  // tick_type may be anything
  }
  std::array<ColumnValues, 8> columns() const {
    std::array<ColumnValues, 8> out{};
    for (std::size_t c = 0; c < 8; ++c) {
      if (kTickColumns[c].real) out[c].real = reals[c].data();
      else out[c].integer = integers[c].data();
    }
    return out;
  }
};

TEST(TickTable, GoodDayAndEmptyDayPass) {
  Day day;
  EXPECT_FALSE(find_bad_value(day.columns(), 2));
  EXPECT_FALSE(find_bad_value(day.columns(), 0));
}

TEST(TickTable, PricesMustBeFiniteAndNotNegativeAndTheCloseAboveZero) {
  for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -1.0, 0.0}) {
    for (const std::size_t column : {1u, 3u, 5u}) {
      Day day;
      day.reals[column][1] = bad;
      const auto found = find_bad_value(day.columns(), 2);
      if (bad == 0.0 && column != 1) {  // no quote
        EXPECT_FALSE(found) << column;
        continue;
      }
      ASSERT_TRUE(found) << column << " " << bad;
      EXPECT_EQ(found->column, column);
      EXPECT_EQ(found->row, 1u);
    }
  }
}

TEST(TickTable, QuantitiesMustNotBeNegative) {
  for (const std::size_t column : {2u, 4u, 6u}) {
    Day day;
    day.integers[column][0] = -1;
    const auto found = find_bad_value(day.columns(), 2);
    ASSERT_TRUE(found) << column;
    EXPECT_EQ(found->column, column);
    EXPECT_EQ(found->row, 0u);
  }
}

TEST(TickTable, TimesMustLieIn1990To2099) {
  for (const std::int64_t bad : {std::int64_t{0}, kEarliestTs - 1, kLatestTs, std::int64_t{1709514000}}) {
    Day day;
    day.integers[0][1] = bad;
    const auto found = find_bad_value(day.columns(), 2);
    ASSERT_TRUE(found) << bad;
    EXPECT_EQ(found->column, 0u);
    EXPECT_EQ(found->row, 1u);
  }
}

TEST(TickTable, FirstBadRowThenFirstColumnOfIt) {
  Day day;
  day.reals[5][0] = -1.0;
  day.integers[2][1] = -1;
  auto found = find_bad_value(day.columns(), 2);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->row, 0u);
  EXPECT_EQ(found->column, 5u);
  day.integers[6][0] = -1;
  day.reals[3][0] = -1.0;
  found = find_bad_value(day.columns(), 2);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->column, 3u);
}

}  // namespace
}  // namespace orva::feed
