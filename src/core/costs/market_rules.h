// The Taiwan market's rules for what a fill costs, beyond the configured
// rates: the broker's fee discount and minimum fee, transaction tax on the
// side that owes it, and the reduced tax of a same-day stock round trip.
// The defaults change nothing: tax on the covering side only, no discount.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orva::costs {

struct MarketRules {
  double fee_discount = 1;  // times a stock fill's fee rate
  double min_fee = 0;       // per stock fill; a fill's slices share it by quantity
  // Stocks pay tax on the sell (opening a short or closing a long), futures on
  // both sides; otherwise only the covering side pays.
  bool tax_where_owed = false;
  // A stock round trip opened and closed on one trading day, up to and with
  // `day_trade_until` (days since 1970-01-01), pays this rate on its sell.
  double day_trade_rate = std::nan("");
  int64_t day_trade_until = 0;
  // An ETF's sale (see is_etf) pays at most this rate, a day trade's or not.
  double etf_rate = std::nan("");
};

// Whether a stock code is an exchange-traded fund's: in Taiwan their codes begin "00".
bool is_etf(std::string_view code);

// The rate each side of a covered slice pays.
enum class TaxRate { None, Configured, DayTrade };
struct SliceTax {
  TaxRate entry = TaxRate::None;
  TaxRate exit = TaxRate::Configured;
};

// `short_cover`: the slice closes a short (the entry was the sell). Days are
// the trading days (days since 1970-01-01) of the entry and the exit.
SliceTax slice_tax(const MarketRules& rules, bool stock, bool short_cover, int64_t entry_day,
                   int64_t exit_day);

// The rate a taxed side pays in place of the configured one, which it never raises: NaN for
// the configured rate itself.
double side_rate(const MarketRules& rules, TaxRate rate, bool etf);

// Days since 1970-01-01 of a "YYYY-MM-DD" date; empty when it is not one.
std::optional<int64_t> parse_day(std::string_view text);

}  // namespace orva::costs
