// Binding of class Positions: the account, its fee settings and trade cost.
// The account's state lives in the instance __dict__ as plain Python objects,
// so hosts read and assign it directly; the arithmetic runs in the core.
#include "positions/positions.h"

#include <algorithm>
#include <string>

#include "costs/price_band.h"
#include "costs/trade_cost.h"
#include "common/methods.h"
#include "common/price_grid.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {

Globals* globals = nullptr;

namespace {

namespace costs = orva::costs;

constexpr long long kMaxPerTradeCost = 1000000000LL;
// An option's fee is money per contract, not a rate.
constexpr double kMaxFeePerContract = 1e6;

void require_rate(nb::handle rate, const char* name) {
  require_range(require_number(rate, name), name, 0.0, 1.0);
}

nb::object new_slippage_entry(int tick_count, const char* direction) {
  nb::dict entry;
  entry["tick_count"] = tick_count;
  entry["direction"] = direction;
  return entry;
}

nb::dict new_fee_branch(nb::object fee, double tax, int per_trade_cost = 10, int ticks = 3) {
  nb::dict slippage;
  slippage["buy"] = new_slippage_entry(ticks, "up");
  slippage["sell"] = new_slippage_entry(ticks, "down");
  nb::dict branch;
  branch["fee"] = fee;
  branch["tax"] = tax;
  branch["per_trade_cost"] = per_trade_cost;
  branch["slippage"] = slippage;
  return branch;
}

nb::dict default_fee_settings() {
  nb::dict tree;
  tree["stock"] = new_fee_branch(nb::float_(0.001425), 0.003);
  tree["future"] = new_fee_branch(nb::float_(0.00002), 0.00002);
  // Index options: NT$25 per contract (a retail broker's fee with the exchange's), the
  // futures transaction tax of 0.1 % of the premium's value, one premium tick of slippage.
  tree["option"] = new_fee_branch(nb::int_(25), 0.001, 0, 1);
  return tree;
}

bool is_option_branch(nb::handle setting_type) {
  return PyUnicode_Check(setting_type.ptr()) &&
         PyUnicode_CompareWithASCIIString(setting_type.ptr(), "option") == 0;
}

void init_positions(nb::handle h) {
  new (nb::inst_ptr<Positions>(h)) Positions();
  nb::object capital = nb::int_(100000);
  nb::dict profit_report;
  profit_report["profit"] = 0;
  profit_report["rows"] = nb::list();
  // Creation order is the documented attribute order of vars(positions).
  nb::setattr(h, "positions", nb::dict());
  nb::setattr(h, "trade_records", nb::list());
  nb::setattr(h, "product_type_mapper", nb::dict());
  nb::setattr(h, "current_tick_infos", nb::dict());
  nb::setattr(h, "fetch_position_queue", globals->queue_class());
  nb::setattr(h, "finish_fetch_position_queue", globals->queue_class());
  nb::setattr(h, "wait_fetch_position_response_flag", nb::bool_(false));
  nb::setattr(h, "initial_capital", capital);
  nb::setattr(h, "current_capital", capital);
  nb::setattr(h, "_profit_report", profit_report);
  nb::setattr(h, "_fee_settings", default_fee_settings());
  nb::setattr(h, "_account_infos", nb::dict());
}

void update_fee_settings(nb::handle self, nb::handle setting_type, nb::handle action,
                         nb::handle fee, nb::handle tax, nb::handle per_trade_cost,
                         nb::handle tick_count, nb::handle direction) {
  if (is_option_branch(setting_type)) {  // money per contract, an int or a float
    if (!fee.is_none()) require_range(require_amount(fee, "fee"), "fee", 0.0, kMaxFeePerContract);
  } else {
    require_float_or_none(fee, "fee");
  }
  require_float_or_none(tax, "tax");
  require_int_or_none(per_trade_cost, "per_trade_cost");
  require_int_or_none(tick_count, "tick_count");
  // A NaN rate would turn the balance into NaN at the next fill.
  if (!fee.is_none() && !is_option_branch(setting_type)) require_rate(fee, "fee");
  if (!tax.is_none()) require_rate(tax, "tax");
  if (!per_trade_cost.is_none())
    require_range(require_int(per_trade_cost, "per_trade_cost"), "per_trade_cost", 0LL,
                  kMaxPerTradeCost);
  if (!tick_count.is_none()) require_tick_count(tick_count, "tick_count");

  nb::object tree = nb::getattr(self, "_fee_settings");
  if (PySequence_Contains(tree.ptr(), setting_type.ptr()) != 1) {
    if (PyErr_Occurred()) throw nb::python_error();
    raise_value_error("不支援的商品類型: " + text_of(setting_type));
  }
  nb::object branch = tree[setting_type];
  if (!fee.is_none()) branch["fee"] = fee;
  if (!tax.is_none()) branch["tax"] = tax;
  if (!per_trade_cost.is_none()) branch["per_trade_cost"] = per_trade_cost;

  if (!PyUnicode_Check(action.ptr())) return;
  const std::string side = text_of(action);
  if (side != "buy" && side != "sell") return;
  nb::object entry = branch["slippage"][side.c_str()];
  if (!tick_count.is_none()) entry["tick_count"] = tick_count;
  if (PyUnicode_Check(direction.ptr())) {
    const std::string text = text_of(direction);
    if (text == "up" || text == "down") entry["direction"] = direction;
  }
}

void set_initial_capital(nb::handle self, nb::handle capital) {
  require_int(capital, "capital");
  nb::setattr(self, "initial_capital", capital);
  nb::setattr(self, "current_capital", capital);
}

nb::object grid_number(double value, bool integral) {
  // Prices are checked finite before they reach the grid.
  if (integral) return checked(PyLong_FromDouble(value));
  return nb::float_(value);
}

nb::tuple ceil_price_by_tick(nb::handle self, nb::handle code, nb::handle price) {
  const costs::GridPrice grid =
      costs::ceil_price_by_tick(price_grid(self, code), require_price(price, "price"));
  return nb::make_tuple(grid_number(grid.price, grid.integral), grid_number(grid.tick, grid.integral));
}

double slippage_price(nb::handle self, nb::handle code, nb::handle price, nb::handle tick_count,
                      nb::handle direction) {
  const costs::PriceGrid grid = price_grid(self, code);
  const long long count = require_tick_count(tick_count, "tick_count");
  const costs::Direction moving = PyUnicode_Check(direction.ptr())
                                      ? costs::parse_direction(text_of(direction))
                                      : costs::Direction::Other;
  return costs::slippage_price(grid, require_price(price, "price"), count, moving);
}

nb::object fee_settings(nb::handle self) { return nb::getattr(self, "_fee_settings"); }

void reset_fee_settings(nb::handle self) { nb::setattr(self, "_fee_settings", default_fee_settings()); }

nb::object current_capital(nb::handle self) { return nb::getattr(self, "current_capital"); }

}  // namespace

// A contract's unit as a number the host would write: 50, not 50.0, so quantities stay ints.
nb::object unit_number(double unit) {
  if (unit == std::floor(unit) && std::fabs(unit) < 1e15) return checked(PyLong_FromDouble(unit));
  return nb::float_(unit);
}

double require_price(nb::handle price, const char* name) {
  const double value = require_number(price, name);
  require_range(value, name, 0.0, costs::kMaxPrice);
  return value;
}

long long require_tick_count(nb::handle tick_count, const char* name) {
  const long long count = require_int(tick_count, name);
  // No slippage for zero or less, as documented; the bound keeps the walk short.
  if (count > costs::kMaxSlippageTicks)
    raise_value_error("參數 " + std::string(name) + " 超過滑價上限 " +
                      std::to_string(costs::kMaxSlippageTicks) + " 檔, 收到: " + std::to_string(count));
  return count;
}

nb::dict new_account_info() {
  nb::dict info;
  for (const nb::str* key : {&keys().entry_times, &keys().cover_times, &keys().receive_amount,
                             &keys().payable_amount, &keys().net_profit, &keys().extra_fee,
                             &keys().profit})
    info[*key] = 0;
  return info;
}

costs::PriceGrid price_grid(nb::handle self, nb::handle code, bool option) {
  if (option || option_series(self, code)) return {require_str(code, "code"), 0, true};
  return py::price_grid(code, globals->tick_sizes);
}

nb::object contract_value(nb::handle code) {
  require_str(code, "code");
  nb::handle table = globals->contract_values;
  const int found = PySequence_Contains(table.ptr(), code.ptr());
  if (found < 0) throw nb::python_error();
  if (found) return table[code];
  return nb::int_(static_cast<long long>(costs::kDefaultContractValue));
}

CostRecord trade_cost(nb::handle self, nb::handle code, nb::handle action, nb::handle price,
                      nb::handle quantity, nb::handle product_type, bool ignore_tax,
                      bool is_cover, nb::handle limit, const SideTerms& terms) {
  require_str(code, "code");
  const double origin_price = require_price(price, "price");
  const long long qty = require_int(quantity, "quantity");
  if (!PyUnicode_Check(action.ptr())) raise_type_error("action", "str", action);
  const bool limited = limit.is_valid() && !limit.is_none();
  const double limit_price = limited ? require_price(limit, "limit_price") : std::nan("");

  const Product product = product_of(product_type);
  if (product == Product::Other) raise_exception("不支援的商品類型: " + text_of(product_type));

  const Keys& k = keys();
  const bool option = product == Product::Option;
  nb::object branch = item(nb::getattr(self, k._fee_settings),
                           product == Product::Stock ? k.stock_branch
                           : option                  ? k.option_branch
                                                     : k.future_branch);
  // The side's key in the settings: the two actions' are interned, being read for every fill.
  const bool buy_action = PyUnicode_CompareWithASCIIString(action.ptr(), "Buy") == 0;
  nb::object side = buy_action ? nb::object(k.buy)
                    : PyUnicode_CompareWithASCIIString(action.ptr(), "Sell") == 0
                        ? nb::object(k.sell)
                        : nb::object(action.attr("lower")());
  nb::object entry = item(item(branch, k.slippage), side);
  nb::object direction = item(entry, k.direction);
  // The host may have edited its settings tree by hand: checked on every use.
  nb::object fee = item(branch, k.fee), tax = item(branch, k.tax);
  if (option)
    require_range(require_amount(fee, "fee"), "fee", 0.0, kMaxFeePerContract);
  else
    require_rate(fee, "fee");
  require_rate(tax, "tax");
  costs::CostSettings settings{
      option ? 0.0 : require_number(fee, "fee"),
      // A reduced rate (a day trade's) never raises a lower configured one (an ETF's 0.1 %).
      std::isnan(terms.tax_rate) ? require_number(tax, "tax")
                                 : std::min(terms.tax_rate, require_number(tax, "tax")),
      require_tick_count(item(entry, k.tick_count), "tick_count"),
      PyUnicode_Check(direction.ptr()) ? costs::parse_direction(text_of(direction))
                                       : costs::Direction::Other,
      limit_price,
      PyUnicode_CompareWithASCIIString(side.ptr(), "buy") == 0,
  };
  if (product == Product::Stock) {  // a stock broker's terms; futures pay the rate
    settings.fee_discount = terms.fee_discount;
    settings.min_fee = terms.min_fee;
  }
  if (option) settings.fee_per_contract = require_number(fee, "fee");
  nb::object unit = product == Product::Stock
                        ? nb::object(nb::int_(static_cast<long long>(costs::kSharesPerLot)))
                    : option ? unit_number(option_multiplier(self, code))
                             : contract_value(code);
  const costs::TradeCost cost = costs::trade_cost(
      price_grid(self, code, option), origin_price, qty, require_number(unit, "contract value"),
      settings, ignore_tax, is_cover);
  nb::object fixed_cost = item(branch, k.per_trade_cost);
  // Python's own product keeps min_qty an int whenever the unit is one.
  nb::object min_qty = nb::steal(PyNumber_Multiply(quantity.ptr(), unit.ptr()));
  if (!min_qty) throw nb::python_error();

  nb::dict record;
  record[k.fee] = cost.fee;
  if (ignore_tax)
    record[k.tax] = 0;
  else
    record[k.tax] = cost.tax;
  record[k.fixed_cost] = fixed_cost;
  record[k.qty] = quantity;
  record[k.min_qty] = min_qty;
  record[k.price] = cost.price;
  record[k.origin_price] = origin_price;
  return {record, cost.fee, cost.tax, require_number(fixed_cost, "per_trade_cost"), cost.price,
          cost.min_qty, ignore_tax ? 0.0 : settings.tax_rate};
}

namespace {

nb::dict init_account_info(nb::handle) { return new_account_info(); }

nb::dict calculate_trade_cost(nb::handle self, nb::handle code, nb::handle action,
                              nb::handle price, nb::handle quantity, nb::handle product_type,
                              nb::handle ignore_tax, nb::handle is_cover,
                              nb::handle limit_price) {
  const std::optional<costs::MarketRules> rules = market_rules_of(self);
  return trade_cost(self, code, action, price, quantity, product_type, truth(ignore_tax),
                    truth(is_cover), limit_price,
                    rules ? SideTerms{std::nan(""), rules->fee_discount, rules->min_fee} : SideTerms{})
      .record;
}

nb::object apply_future_contract_value(nb::handle, nb::handle code) { return contract_value(code); }

nb::object apply_option_multiplier(nb::handle self, nb::handle code) {
  return unit_number(option_multiplier(self, code));
}

}  // namespace

}  // namespace orva::py::positions

namespace orva::py {
namespace positions {

PyTypeObject* positions_type = nullptr;
int is_positions(PyObject* obj) { return Py_TYPE(obj) == positions_type; }

}  // namespace positions

void bind_positions(nb::module_& m) {
  using namespace positions;
  nb::module_ constant = nb::module_::import_("orva_backtest.constant");
  globals = new Globals{
      Keys{},
      nb::module_::import_("queue").attr("Queue"),
      constant.attr("FutureIndexContractValue"),
      constant.attr("FutureTickSize"),
      constant.attr("OrderCond").attr("CASH"),
  };

  nb::class_<Positions> cls(m, "Positions", "模擬帳戶: 手續費與滑價設定、部位、損益、交易紀錄與報告", nb::dynamic_attr());
  def_init<&init_positions>(cls);
  def_property<&fee_settings>(cls, "fee_settings", "目前的手續費、交易稅與滑價設定 (即 _fee_settings)");
  def_method<&update_fee_settings>(
      cls, "update_fee_settings",
      {param("setting_type"), param("action", nb::none()), param("fee", nb::none()),
       param("tax", nb::none()), param("per_trade_cost", nb::none()),
       param("tick_count", nb::none()), param("direction", nb::none())},
                  "更新手續費、交易稅、每筆固定成本或滑價設定 (setting_type: stock、future 或 option; "
                  "option 的 fee 為每口金額)");
  def_method<&reset_fee_settings>(cls, "reset_fee_settings", {}, "將手續費與滑價設定恢復為預設值");
  def_method<&set_initial_capital>(cls, "set_initial_capital", {param("capital")},
                  "設定初始資金, 帳戶餘額同時重設");
  def_method<&current_capital>(cls, "fetch_account_balance", {}, "回傳帳戶餘額");
  def_method<&current_capital>(cls, "fetch_margin", {}, "回傳可用保證金 (即帳戶餘額)");
  def_method<&init_account_info>(cls, "_Positions__init_account_info");
  def_method<&calculate_trade_cost>(
      cls, "_Positions__calculate_trade_cost",
      {param("code"), param("action"), param("price"), param("quantity"), param("product_type"),
       param("ignore_tax", nb::bool_(false)), param("is_cover", nb::bool_(true)),
       param("limit_price", nb::none())});
  def_method<&slippage_price>(cls, "_Positions__calculate_slippage_price",
                              {param("code"), param("price"), param("tick_count"),
                               param("direction")});
  def_method<&ceil_price_by_tick>(cls, "_Positions__ceil_price_by_tick",
                                  {param("code"), param("price")});
  def_method<&apply_future_contract_value>(cls, "_Positions__apply_future_contract_value",
                                           {param("code")});
  def_method<&apply_option_multiplier>(cls, "_Positions__apply_option_multiplier", {param("code")});
  positions_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  bind_book(cls);
  bind_market_rules(cls);
  bind_expiry(cls);
  bind_options(cls);
  bind_views(cls);
  bind_reports(cls);
  bind_option_maths(m);
}

}  // namespace orva::py
