#include "costs/market_rules.h"

#include <cmath>

#include "calendar/local_time.h"

namespace orva::costs {

SliceTax slice_tax(const MarketRules& rules, bool stock, bool short_cover, int64_t entry_day,
                   int64_t exit_day) {
  const bool day_trade = stock && !std::isnan(rules.day_trade_rate) && entry_day == exit_day &&
                         exit_day <= rules.day_trade_until;
  const TaxRate rate = day_trade ? TaxRate::DayTrade : TaxRate::Configured;
  if (!rules.tax_where_owed) return {TaxRate::None, rate};
  if (!stock) return {TaxRate::Configured, TaxRate::Configured};
  // The sell owes it: the entry of a short, the exit of a long.
  return short_cover ? SliceTax{rate, TaxRate::None} : SliceTax{TaxRate::None, rate};
}

bool is_etf(std::string_view code) { return code.size() >= 4 && code.substr(0, 2) == "00"; }

double side_rate(const MarketRules& rules, TaxRate rate, bool etf) {
  const double own = rate == TaxRate::DayTrade ? rules.day_trade_rate : std::nan("");
  return etf ? std::fmin(own, rules.etf_rate) : own;  // fmin passes over a NaN
}

std::optional<int64_t> parse_day(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int parts[3] = {0, 0, 0};
  const size_t starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p)
    for (size_t i = starts[p]; i < starts[p] + lengths[p]; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      parts[p] = parts[p] * 10 + (text[i] - '0');
    }
  const auto [year, month, day] = parts;
  if (year < 1900 || month < 1 || month > 12 || day < 1) return std::nullopt;
  const int64_t days = calendar::days_from_civil(year, month, day);
  int y = 0, m = 0, d = 0;
  calendar::civil_from_days(days, y, m, d);  // 2024-02-30 comes back as March
  if (y != year || m != month || d != day) return std::nullopt;
  return days;
}

}  // namespace orva::costs
