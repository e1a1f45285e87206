#include "feed/tick_files.h"

#include <gtest/gtest.h>

namespace orva::feed {
namespace {

TEST(TickFiles, NameHoldsCodeAndDay) {
  EXPECT_EQ(tick_file_name("2330", "2024-01-02"), "2330 2024-01-02 - ticks.csv");
  EXPECT_EQ(columnar_file_name("2330", "2024-01-02"), "2330 2024-01-02 - ticks.parquet");
}

TEST(TickFiles, CodesThatCouldLeaveTheCacheFolderAreRefused) {
  for (const char* code : {"2330", "TXFR1", "00878", "MXF202412", "A.B"}) EXPECT_TRUE(is_safe_code(code)) << code;
  for (const char* code : {"", "..", "../etc", "a/b", "a\\b", "x..y", "a\nb"}) EXPECT_FALSE(is_safe_code(code)) << code;
}

}  // namespace
}  // namespace orva::feed
