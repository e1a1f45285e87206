#include "costs/market_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>

#include "costs/trade_cost.h"

namespace orva::costs {
namespace {

MarketRules taiwan() {
  MarketRules rules;
  rules.fee_discount = 0.28;
  rules.min_fee = 20;
  rules.tax_where_owed = true;
  rules.day_trade_rate = 0.0015;
  rules.day_trade_until = *parse_day("2027-12-31");
  return rules;
}

const int64_t kMonday = *parse_day("2024-03-04");

TEST(SliceTax, TheDescribedAccountTaxesTheCoverOnly) {
  const SliceTax tax = slice_tax(MarketRules{}, true, true, kMonday, kMonday);
  EXPECT_EQ(tax.entry, TaxRate::None);
  EXPECT_EQ(tax.exit, TaxRate::Configured);
}

struct TaxCase {
  const char* name;
  bool stock, short_cover;
  int64_t exit_after;  // days after the entry
  TaxRate entry, exit;
};

void PrintTo(const TaxCase& c, std::ostream* os) { *os << c.name; }

class WhereTaxIsOwed : public testing::TestWithParam<TaxCase> {};

TEST_P(WhereTaxIsOwed, StocksOnTheSellFuturesOnBothSides) {
  const TaxCase& c = GetParam();
  const SliceTax tax = slice_tax(taiwan(), c.stock, c.short_cover, kMonday, kMonday + c.exit_after);
  EXPECT_EQ(tax.entry, c.entry);
  EXPECT_EQ(tax.exit, c.exit);
}

INSTANTIATE_TEST_SUITE_P(
    Taiwan, WhereTaxIsOwed,
    testing::Values(
        TaxCase{"LongSameDay", true, false, 0, TaxRate::None, TaxRate::DayTrade},
        TaxCase{"LongNextDay", true, false, 1, TaxRate::None, TaxRate::Configured},
        TaxCase{"ShortSameDay", true, true, 0, TaxRate::DayTrade, TaxRate::None},
        TaxCase{"ShortNextDay", true, true, 1, TaxRate::Configured, TaxRate::None},
        TaxCase{"FutureSameDay", false, false, 0, TaxRate::Configured, TaxRate::Configured},
        TaxCase{"FutureShort", false, true, 3, TaxRate::Configured, TaxRate::Configured}),
    [](const testing::TestParamInfo<TaxCase>& info) { return std::string(info.param.name); });

TEST(SliceTax, TheReducedRateEndsWithItsLastDay) {
  MarketRules rules = taiwan();
  rules.day_trade_until = kMonday - 1;
  EXPECT_EQ(slice_tax(rules, true, false, kMonday, kMonday).exit, TaxRate::Configured);
  rules.day_trade_until = kMonday;
  EXPECT_EQ(slice_tax(rules, true, false, kMonday, kMonday).exit, TaxRate::DayTrade);
}

TEST(EtfRate, AnEtfsSaleNeverPaysMoreThanItsRate) {
  EXPECT_TRUE(is_etf("0050"));
  EXPECT_TRUE(is_etf("00878"));
  EXPECT_FALSE(is_etf("2330"));
  EXPECT_FALSE(is_etf("00"));
  MarketRules rules;
  rules.day_trade_rate = 0.0015;
  EXPECT_TRUE(std::isnan(side_rate(rules, TaxRate::Configured, true)));  // none given: as configured
  rules.etf_rate = 0.001;
  EXPECT_DOUBLE_EQ(side_rate(rules, TaxRate::Configured, true), 0.001);
  EXPECT_DOUBLE_EQ(side_rate(rules, TaxRate::DayTrade, true), 0.001);
  EXPECT_DOUBLE_EQ(side_rate(rules, TaxRate::DayTrade, false), 0.0015);
  EXPECT_TRUE(std::isnan(side_rate(rules, TaxRate::Configured, false)));
}

TEST(Fees, DiscountThenTheMinimumPerFill) {
  CostSettings settings{0.001425, 0.003, 0, Direction::Up};
  settings.fee_discount = 0.28;
  settings.min_fee = 20;
  // One lot of a 10-dollar stock: 14.25 before the discount, 3.99 after it, billed 20.
  EXPECT_DOUBLE_EQ(trade_cost({"1101"}, 10.0, 1, kSharesPerLot, settings, false, true).fee, 20.0);
  settings.min_fee = 5;  // a quarter of the fill bears a quarter of the minimum
  EXPECT_DOUBLE_EQ(trade_cost({"1101"}, 10.0, 1, kSharesPerLot, settings, false, true).fee, 5.0);
  const double big = 0.001425 * 10 * kSharesPerLot * 600.0;
  EXPECT_DOUBLE_EQ(trade_cost({"2330"}, 600.0, 10, kSharesPerLot, settings, false, true).fee,
                   big * 0.28);
}

TEST(Days, OnlyRealDatesParse) {
  EXPECT_EQ(parse_day("1970-01-02"), 1);
  for (const char* bad : {"2024-02-30", "2024-13-01", "2024-1-01", "20240101", "2024-01-0x", ""})
    EXPECT_FALSE(parse_day(bad).has_value()) << bad;
}

}  // namespace
}  // namespace orva::costs
