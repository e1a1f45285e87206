// The account's option rules beside its futures rules: the series it was told
// of (Positions.set_option_contracts), and their cash settlement at expiry at
// the intrinsic value against the final settlement price, booked through the
// futures expiry's own mechanism (book_expiry). Without series nothing here runs.
#include <algorithm>
#include <iterator>
#include <string>

#include "common/host.h"
#include "common/methods.h"
#include "costs/market_rules.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

constexpr double kMaxMultiplier = 1e6;
const char* const kFactKeys[] = {"product", "underlying", "expiry", "expiry_date",
                                 "strike",  "right",      "multiplier"};

Positions& state_of(nb::handle self) { return *nb::inst_ptr<Positions>(self); }

[[noreturn]] void bad_fact(const std::string& code, const char* key, nb::handle value) {
  raise_value_error("選擇權 " + code + " 的契約資料 " + key + " 不合法: " + text_of(nb::repr(value)));
}

std::string fact_text(const std::string& code, nb::handle facts, const char* key) {
  nb::object value = item(facts, nb::str(key));
  if (!PyUnicode_Check(value.ptr()) || PyUnicode_GetLength(value.ptr()) == 0) bad_fact(code, key, value);
  return text_of(value);
}

double fact_number(const std::string& code, nb::handle facts, const char* key, double high) {
  nb::object value = item(facts, nb::str(key));
  const bool number = PyFloat_Check(value.ptr()) || (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()));
  const double x = number ? require_number(value, key) : std::nan("");
  if (!(x > 0 && x <= high)) bad_fact(code, key, value);
  return x;
}

// "202601" or a weekly "202601W2": a contract month, then a letter and a digit for a week.
bool valid_expiry(const std::string& text) {
  if (text.size() != 6 && text.size() != 8) return false;
  for (size_t i = 0; i < 6; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return text.size() == 6 || (text[6] >= 'A' && text[6] <= 'Z' && text[7] >= '1' && text[7] <= '9');
}

OptionSeries parse_series(const std::string& code, nb::handle facts) {
  if (!PyDict_Check(facts.ptr())) raise_type_error(("option_contracts[" + code + "]").c_str(), "dict", facts);
  refuse_unknown_keys(facts, kFactKeys, std::size(kFactKeys), "選擇權 " + code + " 有不支援的契約資料: ");
  for (const char* name : kFactKeys)
    if (!PyDict_Contains(facts.ptr(), nb::str(name).ptr()))
      raise_value_error("選擇權 " + code + " 缺少契約資料 " + name);
  OptionSeries out;
  out.product = fact_text(code, facts, "product");
  out.underlying = fact_text(code, facts, "underlying");
  out.expiry = fact_text(code, facts, "expiry");
  if (!valid_expiry(out.expiry)) bad_fact(code, "expiry", item(facts, nb::str("expiry")));
  out.expiry_date = fact_text(code, facts, "expiry_date");
  const auto day = costs::parse_day(out.expiry_date);
  if (!day) bad_fact(code, "expiry_date", item(facts, nb::str("expiry_date")));
  const auto right = options::parse_right(fact_text(code, facts, "right"));
  if (!right) bad_fact(code, "right", item(facts, nb::str("right")));
  out.contract = {*right, fact_number(code, facts, "strike", costs::kMaxPrice),
                  fact_number(code, facts, "multiplier", kMaxMultiplier), *day};
  return out;
}

void update_next_expiry(OptionBook& book, double after) {
  book.next_expiry = std::numeric_limits<double>::infinity();
  for (const auto& [code, series] : book.series) {
    const double at = options::expiry_time(series.contract.expiry_day);
    if (at >= after) book.next_expiry = std::min(book.next_expiry, at);
  }
}

// Positions.set_option_contracts({code: facts}): every series checked before any is kept; a
// code given again is described anew.
void set_option_contracts(nb::handle self, nb::handle facts) {
  require_dict(facts, "facts");
  std::vector<std::pair<std::string, OptionSeries>> parsed;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(facts.ptr(), &pos, &key, &value)) {
    const std::string code(require_str(key, "code"));
    parsed.emplace_back(code, parse_series(code, value));
  }
  OptionBook& book = state_of(self).options;
  for (auto& [code, series] : parsed) book.series[code] = std::move(series);
  // Passed expiries count too: a series described late is settled at the next tick.
  update_next_expiry(book, -std::numeric_limits<double>::infinity());
}

nb::dict option_contracts(nb::handle self) {
  nb::dict out;
  for (const auto& [code, series] : state_of(self).options.series) {
    nb::dict facts;
    facts["product"] = nb::str(series.product.c_str());
    facts["underlying"] = nb::str(series.underlying.c_str());
    facts["expiry"] = nb::str(series.expiry.c_str());
    facts["expiry_date"] = nb::str(series.expiry_date.c_str());
    facts["strike"] = series.contract.strike;
    facts["right"] = nb::str(series.contract.right == options::Right::Call ? "C" : "P");
    facts["multiplier"] = unit_number(series.contract.multiplier);
    out[nb::str(code.c_str())] = facts;
  }
  return out;
}

std::map<int64_t, double> parse_prices(nb::handle prices, const char* name) {
  std::map<int64_t, double> out;
  if (prices.is_none()) return out;
  require_dict(prices, name);
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(prices.ptr(), &pos, &key, &value)) {
    const auto day = costs::parse_day(require_str(key, name));
    const double price = require_amount(value, name);
    if (!day || !(price > 0 && price <= costs::kMaxPrice))
      raise_value_error(std::string(name) + " 需為 YYYY-MM-DD: 正的結算價, 收到: " +
                        text_of(nb::repr(nb::handle(key))) + ": " + text_of(nb::repr(nb::handle(value))));
    out[*day] = price;
  }
  return out;
}

// Positions.set_option_settlements(supplied, approximated=None): final settlement prices by
// expiry day, the user's first, else an approximation (the expiring futures' last trade).
void set_option_settlements(nb::handle self, nb::handle supplied, nb::handle approximated) {
  std::map<int64_t, double> given = parse_prices(supplied, "supplied");
  std::map<int64_t, double> approx = parse_prices(approximated, "approximated");
  OptionBook& book = state_of(self).options;
  book.supplied = std::move(given);
  book.approximated = std::move(approx);
}

// Books what is held of one expired series at its intrinsic value.
void settle_series(nb::handle self, nb::handle code, const OptionSeries& series) {
  const Keys& k = keys();
  nb::object sides = item_or_none(nb::getattr(self, k.positions), code);
  if (sides.is_none()) return;
  long long held[2] = {0, 0};
  for (int side = 0; side < 2; ++side) {
    nb::object entries = item_or_none(sides, side == 0 ? k.buy : k.sell);
    if (entries.is_none()) continue;
    for (nb::handle entry : entries) held[side] += require_int(item(entry, k.quantity), "quantity");
  }
  if (held[0] <= 0 && held[1] <= 0) return;
  const OptionBook& book = state_of(self).options;
  const int64_t day = series.contract.expiry_day;
  const auto supplied = book.supplied.find(day);
  const auto approximated = book.approximated.find(day);
  if (supplied == book.supplied.end() && approximated == book.approximated.end())
    raise_value_error("選擇權 " + text_of(code) + " 於 " + series.expiry_date +
                      " 到期, 沒有最後結算價: 請用 --settlement 檔案 (日期,價格) 或 set_option_settlements "
                      "指定, 或先以 import-taifex 匯入當天的期貨檔");
  const bool given = supplied != book.supplied.end();
  const double price = given ? supplied->second : approximated->second;
  nb::object value = nb::float_(options::intrinsic_value(series.contract.right, series.contract.strike, price));
  nb::object when = nb::float_(options::expiry_time(day));
  nb::str source(given ? "supplied" : "futures_last_trade");
  for (int side = 0; side < 2; ++side) {
    if (held[side] <= 0) continue;
    nb::object entries = item(sides, side == 0 ? k.buy : k.sell);
    nb::list rows = nb::borrow<nb::list>(item(nb::getattr(self, k._profit_report), k.rows));
    const size_t first = book_expiry(self, code, entries[0], side == 0, held[side], value, when,
                                     series.expiry, k.option);
    for (size_t i = first; i < nb::len(rows); ++i) rows[i][k.settlement_source] = source;
  }
  console_print("[yellow]" + text_of(code) + " 最後結算價 " + text_of(nb::float_(price)) +
                (given ? " (使用者提供)" : " (以到期期貨最後成交價估計)") + "[/yellow]");
}

// Settles every held series whose expiry lies before `now`.
void settle_until(nb::handle self, double now) {
  const Keys& k = keys();
  // A list of the codes first: settling changes the book.
  nb::object codes = checked(PySequence_List(nb::getattr(self, k.positions).ptr()));
  for (nb::handle code : codes) {
    if (!PyUnicode_Check(code.ptr())) continue;
    const OptionSeries* series = option_series(self, code);
    if (series && options::expired_by(series->contract.expiry_day, now)) {
      const OptionSeries copy = *series;  // the host's code may describe series anew
      settle_series(self, code, copy);
    }
  }
  // Every series that expired since the last settlement, held or not, for its resting orders.
  Positions& state = state_of(self);
  for (const auto& [code, series] : state.options.series)
    if (options::expiry_time(series.contract.expiry_day) >= state.options.next_expiry &&
        options::expired_by(series.contract.expiry_day, now))
      state.expired.push_back(code);
  update_next_expiry(state.options, now);
}

void settle_options(nb::handle self, nb::handle until) {
  const double now = require_amount(until, "until");
  if (std::isnan(now)) raise_value_error("until 不可為 NaN");
  settle_until(self, now);
}

}  // namespace

const OptionSeries* option_series(nb::handle self, nb::handle code) {
  const OptionBook& book = state_of(self).options;
  if (book.series.empty()) return nullptr;
  const auto found = book.series.find(std::string(require_str(code, "code")));
  return found == book.series.end() ? nullptr : &found->second;
}

double option_multiplier(nb::handle self, nb::handle code) {
  const OptionSeries* series = option_series(self, code);
  return series ? series->contract.multiplier : 50;  // TXO's
}

void settle_option_expiries(nb::handle self, nb::handle tick) {
  const OptionBook& book = state_of(self).options;
  if (book.next_expiry == std::numeric_limits<double>::infinity()) return;
  // The closing auction's trade at 13:30:00 is still the series' own.
  const double now = require_number(item(tick, keys().timestamp), "timestamp");
  if (now > book.next_expiry) settle_until(self, now);
}

void bind_options(nb::class_<Positions>& cls) {
  def_method<&set_option_contracts>(
      cls, "set_option_contracts", {param("facts")},
      "設定選擇權序列的契約資料: {代碼: {product, underlying, expiry, expiry_date, strike, right, "
      "multiplier}}; 全部檢查通過才生效");
  def_property<&option_contracts>(cls, "option_contracts", "已設定的選擇權契約資料 (副本)");
  def_method<&set_option_settlements>(
      cls, "set_option_settlements", {param("supplied"), param("approximated", nb::none())},
      "設定選擇權到期日的最後結算價: {YYYY-MM-DD: 價格}; supplied 為使用者提供, 其次用 "
      "approximated (到期期貨的最後成交價)");
  def_method<&settle_options>(cls, "settle_options", {param("until")},
                              "結算到期時間早於 until (秒) 的選擇權部位");
}

}  // namespace orva::py::positions
