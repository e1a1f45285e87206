// The account's market rules: what the Taiwan market changes in a fill's
// costs (costs/market_rules). An account never given them keeps the described
// costs; the runner gives them by default.
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "calendar/local_time.h"
#include "common/methods.h"
#include "costs/market_rules.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

const char* const kRuleNames[] = {"fee_discount", "min_fee", "tax_where_owed",
                                  "day_trade_tax_rate", "day_trade_tax_until", "etf_tax_rate"};
enum Rule : size_t { kFeeDiscount, kMinFee, kTaxWhereOwed, kDayTradeRate, kDayTradeUntil, kEtfRate };

std::string day_text(int64_t day) {
  int y = 0, m = 0, d = 0;
  calendar::civil_from_days(day, y, m, d);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

// The rules of a dict, every value checked (the host may edit the dict between fills).
costs::MarketRules parse_rules(nb::handle rules) {
  require_dict(rules, "market_rules");
  refuse_unknown_keys(rules, kRuleNames, std::size(kRuleNames), "不支援的市場規則: ");
  costs::MarketRules out;
  // Read at every fill: the keys are made once.
  static const std::vector<nb::str>* names = [] {
    auto* made = new std::vector<nb::str>();  // never freed, as the module's other keys
    for (const char* name : kRuleNames) made->push_back(interned(name));
    return made;
  }();
  auto get = [&](Rule rule) { return item_or_none(rules, (*names)[rule]); };
  if (nb::object v = get(kFeeDiscount); !v.is_none()) {
    out.fee_discount = require_amount(v, "fee_discount");
    if (!(out.fee_discount > 0 && out.fee_discount <= 1))
      raise_value_error("fee_discount 必須大於 0 且不大於 1, 收到: " + text_of(v));
  }
  if (nb::object v = get(kMinFee); !v.is_none()) {
    out.min_fee = require_amount(v, "min_fee");
    require_range(out.min_fee, "min_fee", 0.0, 1e9);
  }
  if (nb::object v = get(kTaxWhereOwed); !v.is_none())
    out.tax_where_owed = require_bool(v, "tax_where_owed");
  nb::object rate = get(kDayTradeRate), until = get(kDayTradeUntil);
  if (rate.is_none() != until.is_none())
    raise_value_error("day_trade_tax_rate 與 day_trade_tax_until 必須同時設定");
  if (!rate.is_none()) {
    out.day_trade_rate = require_amount(rate, "day_trade_tax_rate");
    require_range(out.day_trade_rate, "day_trade_tax_rate", 0.0, 0.1);
    const auto day = costs::parse_day(require_str(until, "day_trade_tax_until"));
    if (!day) raise_value_error("day_trade_tax_until 不是 YYYY-MM-DD 日期: " + text_of(until));
    out.day_trade_until = *day;
  }
  if (nb::object v = get(kEtfRate); !v.is_none()) {
    out.etf_rate = require_amount(v, "etf_tax_rate");
    require_range(out.etf_rate, "etf_tax_rate", 0.0, 0.1);
  }
  return out;
}

// The rules as a plain dict of their own, every key present.
nb::dict rules_dict(const costs::MarketRules& rules) {
  nb::dict out;
  out["fee_discount"] = rules.fee_discount;
  out["min_fee"] = rules.min_fee;
  out["tax_where_owed"] = rules.tax_where_owed;
  if (std::isnan(rules.day_trade_rate)) {
    out["day_trade_tax_rate"] = nb::none();
    out["day_trade_tax_until"] = nb::none();
  } else {
    out["day_trade_tax_rate"] = rules.day_trade_rate;
    out["day_trade_tax_until"] = nb::str(day_text(rules.day_trade_until).c_str());
  }
  if (std::isnan(rules.etf_rate))
    out["etf_tax_rate"] = nb::none();
  else
    out["etf_tax_rate"] = rules.etf_rate;
  return out;
}

void set_market_rules(nb::handle self, nb::handle rules) {
  if (rules.is_none()) {
    nb::setattr(self, keys().market_rules, nb::none());
    return;
  }
  nb::setattr(self, keys().market_rules, rules_dict(parse_rules(rules)));
}

}  // namespace

void refuse_unknown_keys(nb::handle dict, const char* const* names, size_t count,
                         const std::string& message) {
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
    bool known = false;
    for (size_t i = 0; i < count; ++i)
      known = known || (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0);
    if (!known) raise_value_error(message + text_of(nb::repr(nb::handle(key))));
  }
}

std::optional<costs::MarketRules> market_rules_of(nb::handle self) {
  nb::object rules = nb::getattr(self, keys().market_rules, nb::none());
  if (rules.is_none()) return std::nullopt;
  return parse_rules(rules);
}

void bind_market_rules(nb::class_<Positions>& cls) {
  def_method<&set_market_rules>(
      cls, "set_market_rules", {param("rules")},
      "設定市場規則 (dict: fee_discount, min_fee, tax_where_owed, day_trade_tax_rate, "
      "day_trade_tax_until, etf_tax_rate), 存於 market_rules; None 恢復為只依費率設定計算");
}

}  // namespace orva::py::positions
