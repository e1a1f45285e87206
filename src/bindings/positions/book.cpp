// Position keeping: fills open entries or cover the oldest opposite ones,
// realised profit per covered slice, cash moves and trade records.
#include <algorithm>
#include <string>

#include "accounting/profit.h"
#include "calendar/local_time.h"
#include "calendar/taipei.h"
#include "common/host.h"
#include "common/methods.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

namespace acc = orva::accounting;

bool is_buy(nb::handle action) {
  return PyUnicode_Check(action.ptr()) && PyUnicode_CompareWithASCIIString(action.ptr(), "Buy") == 0;
}

nb::object add(nb::handle a, nb::handle b) {
  PyObject* sum = PyNumber_Add(a.ptr(), b.ptr());
  if (!sum) throw nb::python_error();
  return nb::steal(sum);
}

void add_to(nb::handle record, const nb::str& key, nb::handle amount) {
  record[key] = add(item(record, key), amount);
}

std::string number_text(double value) { return text_of(nb::float_(value)); }

struct ProfitResult {
  nb::dict record;
  long long un_cover_qty;
  bool any_slice;
  double released, profit;  // of the covered entries' opening charges; after costs
  double tax, taxed_value;  // of the slices, for the rate the fill's trade record shows
  bool day_trade;
};

// How the market rules price the two sides of one covered slice.
struct SliceTerms {
  SideTerms entry, exit;
  bool entry_taxed = false, exit_taxed = true, day_trade = false;
};

// The entry's fee as its opening was charged: under the broker's terms it recorded (none
// when opened without the rules), so rules given or edited since leave the cash and the
// profit rows in step.
SideTerms opening_terms(nb::handle entry, long long slice) {
  const Keys& k = keys();
  nb::object fill_qty = item_or_none(entry, k.fill_quantity);
  nb::object discount = item_or_none(entry, k.fee_discount), minimum = item_or_none(entry, k.min_fee);
  if (fill_qty.is_none() || discount.is_none() || minimum.is_none()) return {};
  const double share = static_cast<double>(slice) /
                       static_cast<double>(std::max(1LL, require_int(fill_qty, "fill_quantity")));
  const double fee_discount = require_amount(discount, "fee_discount");
  const double min_fee = require_amount(minimum, "min_fee");
  require_range(fee_discount, "fee_discount", 0.0, 1.0);
  require_range(min_fee, "min_fee", 0.0, 1e9);
  return {std::nan(""), fee_discount, min_fee * share};
}

SliceTerms slice_terms(const costs::MarketRules* rules, nb::handle product_type, bool short_cover,
                       nb::handle entry, nb::handle fill, long long slice, long long fill_qty) {
  SliceTerms out;
  out.entry = opening_terms(entry, slice);
  if (!rules) return out;
  const Keys& k = keys();
  const auto day = [&](nb::handle record) {
    return calendar::taipei_day(require_number(item(record, k.exchange_ts), "exchange_ts"));
  };
  const bool stock = product_of(product_type) == Product::Stock;
  const costs::SliceTax tax = costs::slice_tax(*rules, stock, short_cover, day(entry), day(fill));
  const bool etf = stock && costs::is_etf(text_of(item(fill, keys().code)));
  const auto rate = [&](costs::TaxRate r) { return costs::side_rate(*rules, r, etf); };
  out.entry.tax_rate = rate(tax.entry);
  out.exit = {rate(tax.exit), rules->fee_discount,
              rules->min_fee * static_cast<double>(slice) / static_cast<double>(std::max(1LL, fill_qty))};
  out.entry_taxed = tax.entry != costs::TaxRate::None;
  out.exit_taxed = tax.exit != costs::TaxRate::None;
  out.day_trade = tax.entry == costs::TaxRate::DayTrade || tax.exit == costs::TaxRate::DayTrade;
  return out;
}

// `rules`: the account's market rules, read once per fill by the caller.
ProfitResult calculate_profit(nb::handle self, nb::handle fill, nb::handle product_type,
                              const costs::MarketRules* rules) {
  require_dict(fill, "cover_position");
  const Keys& k = keys();
  nb::object code = item(fill, k.code);
  nb::object action = item(fill, k.action);
  nb::object price = item(fill, k.price);
  long long un_cover = require_int(item(fill, k.quantity), "quantity");
  const long long fill_qty = un_cover;
  const bool short_cover = is_buy(action);
  nb::object target = item(item(nb::getattr(self, k.positions), code), short_cover ? k.sell : k.buy);
  nb::object rows = item(nb::getattr(self, k._profit_report), k.rows);

  double receivable_total = 0, payable_total = 0, origin_profit = 0, cover_cost_total = 0;
  double trade_cost_total = 0, cost = 0, profit = 0, released = 0, tax = 0, taxed_value = 0;
  bool any_slice = false, day_trade = false;
  while (un_cover > 0 && nb::len(target) > 0) {
    nb::object entry = target[0];
    const long long open_qty = require_int(item(entry, k.quantity), "quantity");
    nb::object slice = nb::int_(std::min(open_qty, un_cover));
    const long long slice_qty = std::min(open_qty, un_cover);

    const SliceTerms terms = slice_terms(rules, product_type, short_cover,
                                         entry, fill, slice_qty, fill_qty);
    const CostRecord exit = trade_cost(self, code, action, price, slice, product_type,
                                       !terms.exit_taxed, true, item_or_none(fill, k.limit_price),
                                       terms.exit);
    console_print([&] {
      return "[blue]" + std::string(nb::repr(exit.record).c_str()) + ", 沖銷部位方向: " +
             text_of(action) + "[/blue]";
    });
    nb::object entry_action = item(entry, k.action);
    const CostRecord enter = trade_cost(self, item(entry, k.code), entry_action,
                                        item(entry, k.price), slice, product_type,
                                        !terms.entry_taxed, true,
                                        item_or_none(entry, k.limit_price), terms.entry);
    console_print([&] {
      return "[yellow]被沖銷的成本資訊: " + std::string(nb::repr(enter.record).c_str()) +
             ", 沖銷部位方向: " + text_of(entry_action) + "[/yellow]";
    });

    const acc::SliceAmounts amounts{exit.price * exit.min_qty,
                                    acc::cost_of(exit.fee, exit.tax, exit.fixed_cost),
                                    enter.price * enter.min_qty,
                                    acc::cost_of(enter.fee, enter.tax, enter.fixed_cost)};
    if (amounts.payable + amounts.trade_cost == 0) {
      PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
      throw nb::python_error();
    }
    const acc::SliceProfit slice_profit = acc::slice_profit(amounts, short_cover);
    any_slice = true;
    cover_cost_total += amounts.cover_cost;
    trade_cost_total += amounts.trade_cost;
    origin_profit += slice_profit.origin_profit;
    profit += slice_profit.profit;
    cost += amounts.cover_cost + amounts.trade_cost;

    nb::dict row;
    row[k.code] = code;
    row[k.entry_dt] = item(entry, k.exchange_ts);
    row[k.entry_price] = item(enter.record, k.price);
    row[k.entry_origin_price] = item(enter.record, k.origin_price);
    row[k.exit_dt] = item(fill, k.exchange_ts);
    row[k.exit_price] = item(exit.record, k.price);
    row[k.exit_origin_price] = item(exit.record, k.origin_price);
    row[k.qty] = item(enter.record, k.qty);
    row[k.min_qty] = item(enter.record, k.min_qty);
    row[k.trade_cost] = amounts.trade_cost;
    row[k.cover_cost] = amounts.cover_cost;
    row[k.profit] = slice_profit.profit;
    row[k.profit_ratio] = slice_profit.ratio;
    if (rules) {  // which tax the round trip paid
      row[k.tax_rate] = terms.entry_taxed && !terms.exit_taxed ? enter.tax_rate : exit.tax_rate;
      row[k.day_trade] = terms.day_trade;
    }
    rows.attr("append")(row);

    // The opening charged no tax: a tax the entry side owes is paid with the profit.
    released += acc::released_charge(amounts.payable, amounts.trade_cost - enter.tax,
                                     enter.fixed_cost, open_qty > slice_qty,
                                     short_cover && product_of(product_type) == Product::Option);
    tax += enter.tax + exit.tax;
    taxed_value += (terms.entry_taxed ? amounts.payable : 0) + (terms.exit_taxed ? amounts.receivable : 0);
    day_trade = day_trade || terms.day_trade;
    un_cover -= slice_qty;
    entry[k.quantity] = open_qty - slice_qty;
    if (open_qty == slice_qty && PySequence_DelItem(target.ptr(), 0) < 0) throw nb::python_error();
    receivable_total += amounts.receivable;
    payable_total += amounts.payable;
  }

  // Totals stay the integer 0 until a slice adds to them, as plain Python sums do.
  auto total = [any_slice](double value) -> nb::object {
    return any_slice ? nb::object(nb::float_(value)) : nb::object(nb::int_(0));
  };
  nb::dict result;
  result[k.receivable_total] = total(receivable_total);
  result[k.payable_total] = total(payable_total);
  result[k.origin_profit] = total(origin_profit);
  result[k.cover_cost_total] = total(cover_cost_total);
  result[k.trade_cost_total] = total(trade_cost_total);
  result[k.cost] = total(cost);
  result[k.profit] = total(profit);
  result[k.is_covered] = nb::bool_(un_cover == 0);
  result[k.un_cover_qty] = un_cover;
  return {result, un_cover, any_slice, released, profit, tax, taxed_value, day_trade};
}

struct FillContext {
  nb::handle self;
  nb::object fill;
  nb::handle product_type;
  nb::object code;
  nb::object sides;
  nb::object info;
  bool buy;
  const char* unit;
  const costs::MarketRules* rules;
  long long fill_quantity;  // the whole fill's, which bears the minimum fee once
};

void open_position(const FillContext& c) {
  const Keys& k = keys();
  add_to(c.info, k.entry_times, nb::int_(1));
  nb::object quantity = item(c.fill, k.quantity);
  nb::object price = item(c.fill, k.price);
  SideTerms terms;
  if (c.rules) {
    const double share = static_cast<double>(require_int(quantity, "quantity")) /
                         static_cast<double>(std::max(1LL, c.fill_quantity));
    terms = {std::nan(""), c.rules->fee_discount, c.rules->min_fee * share};
    // Its slices share the minimum by the fill's quantity, under the terms charged now.
    c.fill[k.fill_quantity] = c.fill_quantity;
    c.fill[k.fee_discount] = c.rules->fee_discount;
    c.fill[k.min_fee] = c.rules->min_fee;
  } else {  // charged the described fee: no terms of another account's carried in
    for (const nb::str* key : {&k.fill_quantity, &k.fee_discount, &k.min_fee})
      if (PyDict_DelItem(c.fill.ptr(), key->ptr()) < 0) PyErr_Clear();
  }
  // Charged as the cover will price this entry (configured slippage, no tax), so a
  // position that ends flat leaves the cash moved by exactly its profit rows.
  const CostRecord cost =
      trade_cost(c.self, c.code, item(c.fill, k.action), price, quantity, c.product_type, true, true,
                 item_or_none(c.fill, k.limit_price), terms);
  nb::object capital = nb::getattr(c.self, k.current_capital);
  // A written option receives its premium; everything else pays its value.
  const double charge = acc::opening_charge(cost.price, cost.min_qty, cost.fee, cost.fixed_cost,
                                            !c.buy && product_of(c.product_type) == Product::Option);
  PyObject* balance = PyNumber_Subtract(capital.ptr(), nb::float_(charge).ptr());
  if (!balance) throw nb::python_error();
  nb::setattr(c.self, k.current_capital, nb::steal(balance));

  const std::string side = c.buy ? "[做多進場]" : "[做空進場]";
  console_print([&] {
    return "[bold pink1]" + side + "本金: " + text_of(capital) + ", 應付金額: " +
           number_text(cost.price * cost.min_qty) + ", 進場成本: " +
           number_text(cost.fee + cost.fixed_cost) + "[/bold pink1]";
  });
  item(c.sides, c.buy ? k.buy : k.sell).attr("append")(c.fill);
  console_print([&] {
    return "[bold red][回測] 進場 " + text_of(c.code) + " " + text_of(quantity) + " " +
           c.unit + ", 價格: " + text_of(price) + ", 手續費: " +
           text_of(item(cost.record, k.fee)) + ", 交易稅: " +
           text_of(item(cost.record, k.tax)) + ", 固定成本: " +
           text_of(item(cost.record, k.fixed_cost)) +
           (c.buy ? "[/bold red]" : " [/bold red]");
  });
}

// The fill's trade record (the latest, when it is this fill's deal) says the tax rate its
// round trips paid and whether one was a day trade.
void note_tax(const FillContext& c, const ProfitResult& result) {
  const Keys& k = keys();
  nb::object records = nb::getattr(c.self, k.trade_records);
  const Py_ssize_t count = checked(PyObject_Length(records.ptr()));
  if (count == 0) return;
  nb::object last = records[count - 1];
  if (!PyDict_Check(last.ptr()) ||
      checked(PyObject_RichCompareBool(item_or_none(last, k.trade_id).ptr(),
                                       item(c.fill, k.trade_id).ptr(), Py_EQ)) != 1 ||
      text_of(item_or_none(last, k.trade_status)) != "Deal")
    return;
  last[k.tax_rate] = result.taxed_value > 0 ? result.tax / result.taxed_value : 0.0;
  last[k.day_trade] = result.day_trade;
}

void cover_position(const FillContext& c) {
  const Keys& k = keys();
  const ProfitResult result = calculate_profit(c.self, c.fill, c.product_type, c.rules);
  const nb::dict& r = result.record;
  nb::object report = nb::getattr(c.self, k._profit_report);
  add_to(report, k.profit, item(r, k.profit));

  add_to(c.info, k.cover_times, nb::int_(1));
  add_to(c.info, k.receive_amount, item(r, k.receivable_total));
  add_to(c.info, k.payable_amount, item(r, k.payable_total));
  add_to(c.info, k.extra_fee, item(r, k.cost));
  add_to(c.info, k.profit, item(r, k.profit));
  add_to(c.info, k.net_profit, item(r, k.origin_profit));

  nb::object capital = nb::getattr(c.self, k.current_capital);
  nb::object proceeds = nb::int_(0);
  if (result.any_slice)
    proceeds = nb::float_(result.released + result.profit);
  nb::setattr(c.self, k.current_capital, add(capital, proceeds));

  const std::string side = c.buy ? "[做空沖銷]" : "[做多沖銷]";
  console_print([&] {
    return "[bold yellow]" + side + "本金: " + text_of(capital) + ", 應收金額: " +
           text_of(item(r, k.receivable_total)) + ", 沖銷成本: " +
           text_of(item(r, k.cover_cost_total)) + "[/bold yellow]";
  });
  const long long filled = require_int(item(c.fill, k.quantity), "quantity");
  console_print([&] {
    return "[bold red][回測] 沖銷 " + text_of(c.code) + " " +
           std::to_string(filled - result.un_cover_qty) + " " + c.unit + ", 損益: " +
           text_of(item(r, k.profit)) + (c.buy ? "[/bold red]" : " [/bold red]");
  });
  if (c.rules && result.any_slice) note_tax(c, result);

  // What the opposite side could not absorb was still traded: it opens a
  // position in the fill's direction.
  if (result.un_cover_qty > 0) {
    c.fill[k.quantity] = result.un_cover_qty;
    open_position(c);
  }
}

void set_positions(nb::handle self, nb::handle trade, nb::handle product_type) {
  require_dict(trade, "trade");
  const Keys& k = keys();
  nb::object code = item(trade, k.code);

  nb::object book = nb::getattr(self, k.positions);
  nb::object sides = item_or_none(book, code);
  if (sides.is_none()) {
    nb::dict fresh;
    fresh[k.buy] = nb::list();
    fresh[k.sell] = nb::list();
    book[code] = fresh;
    sides = fresh;
  }
  nb::object mapper = nb::getattr(self, k.product_type_mapper);
  if (checked(PySequence_Contains(mapper.ptr(), code.ptr())) == 0) mapper[code] = product_type;
  nb::object infos = nb::getattr(self, k._account_infos);
  nb::object info = item_or_none(infos, code);
  if (info.is_none()) {
    info = new_account_info();
    infos[code] = info;
  }

  nb::object fill = copy_record(trade);
  const bool buy = is_buy(item(fill, k.action));
  const std::optional<costs::MarketRules> rules = market_rules_of(self);
  const FillContext context{self, fill, product_type, code, sides, info, buy,
                            product_of(product_type) == Product::Stock ? "張" : "口",
                            rules ? &*rules : nullptr,
                            require_int(item(fill, k.quantity), "quantity")};
  if (nb::len(item(sides, buy ? k.sell : k.buy)) > 0)
    cover_position(context);
  else
    open_position(context);
}

nb::dict make_trade_record(nb::handle trade_id, nb::handle code, nb::handle action,
                           nb::handle quantity, nb::handle price, nb::handle timestamp,
                           nb::handle trade_status) {
  require_str(trade_id, "trade_id");
  require_str(code, "code");
  require_int(quantity, "quantity");
  const double fill_price = require_number(price, "price");
  const double seconds = require_number(timestamp, "timestamp");
  const auto dt = calendar::format_local_timestamp(seconds);
  if (!dt) raise_value_error("無法轉換的時間戳: " + text_of(timestamp));
  const Keys& k = keys();
  nb::dict record;
  record[k.trade_id] = trade_id;
  record[k.code] = code;
  record[k.action] = action;
  record[k.quantity] = quantity;
  record[k.price] = fill_price;
  record[k.dt] = nb::str(dt->data(), dt->size());
  record[k.trade_status] = trade_status;
  return record;
}

nb::dict calculate_profit_record(nb::handle self, nb::handle cover_position,
                                 nb::handle product_type) {
  const std::optional<costs::MarketRules> rules = market_rules_of(self);
  return calculate_profit(self, cover_position, product_type, rules ? &*rules : nullptr).record;
}

nb::dict make_trade_record_method(nb::handle, nb::handle trade_id, nb::handle code,
                                  nb::handle action, nb::handle quantity, nb::handle price,
                                  nb::handle timestamp, nb::handle trade_status) {
  return make_trade_record(trade_id, code, action, quantity, price, timestamp, trade_status);
}

void add_trade_record(nb::handle self, nb::handle trade_id, nb::handle code, nb::handle action,
                      nb::handle quantity, nb::handle price, nb::handle timestamp,
                      nb::handle trade_status) {
  nb::object record = make_trade_record(trade_id, code, action, quantity, price, timestamp,
                                        trade_status);
  nb::getattr(self, keys().trade_records).attr("append")(record);
}

}  // namespace

int direct_add_trade_record(PyObject* self, PyObject* trade_id, PyObject* code, PyObject* action,
                            PyObject* quantity, PyObject* price, PyObject* timestamp,
                            PyObject* trade_status) {
  return guarded_status([&] {
    add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status);
  });
}

int direct_set_positions(PyObject* self, PyObject* trade, PyObject* product_type) {
  return guarded_status([&] { set_positions(self, trade, product_type); });
}

void bind_book(nb::class_<Positions>& cls) {
  def_method<&set_positions>(cls, "set_positions", {param("trade"), param("product_type")},
                  "以成交紀錄建立部位, 或先進先出沖銷反向部位並記錄損益");
  def_method<&calculate_profit_record>(cls, "_Positions__calculate_profit",
                                       {param("cover_position"), param("product_type")});
  const std::initializer_list<Param> record_params = {
      param("trade_id"), param("code"),      param("action"),      param("quantity"),
      param("price"),    param("timestamp"), param("trade_status")};
  def_method<&make_trade_record_method>(cls, "_Positions__make_trade_record", record_params);
  def_method<&add_trade_record>(cls, "add_trade_record", record_params, "新增一筆交易紀錄 (成交或取消)");
}

}  // namespace orva::py::positions
