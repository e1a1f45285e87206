// ctest lists every parameterised case under its GoogleTest name and value:
// each must say which row it is, not "/3" and a dump of the row's bytes.
#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

TEST(ParameterisedCases, AreNamedAndPrintedAsText) {
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  int cases = 0;
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const ::testing::TestInfo& info = *suite.GetTestInfo(t);
      if (!info.value_param()) continue;
      ++cases;
      const std::string name = std::string(suite.name()) + "." + info.name();
      EXPECT_FALSE(std::regex_search(name, std::regex("/[0-9]+$"))) << name;
      EXPECT_EQ(std::string(info.value_param()).find("-byte object"), std::string::npos)
          << name << ": " << info.value_param();
    }
  }
  EXPECT_GT(cases, 0);
}

}  // namespace
