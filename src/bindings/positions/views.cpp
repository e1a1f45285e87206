// Position views at the latest replayed price, and their hand-over queues.
#include <string>
#include <vector>

#include "accounting/profit.h"
#include "common/host.h"
#include "common/methods.h"
#include "costs/trade_cost.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

namespace acc = orva::accounting;

const char* const kNoTickNotice = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]";

// True when a code expired with this tick (or before, not yet taken).
bool take_tick(nb::handle self, nb::handle tick) {
  require_dict(tick, "tick");
  // Before the tick replaces the expiring month's last trade.
  settle_expiries(self, tick);
  settle_option_expiries(self, tick);
  attribute(self, keys().current_tick_infos, is_positions(self.ptr()))[item(tick, keys().code)] = tick;
  return !nb::inst_ptr<Positions>(self)->expired.empty();
}

void set_current_tick(nb::handle self, nb::handle tick) { take_tick(self, tick); }

}  // namespace

long long net_quantity(nb::handle self, nb::handle code) {
  const Keys& k = keys();
  nb::object sides = item_or_none(attribute(self, k.positions, is_positions(self.ptr())), code);
  if (!truth(sides)) return 0;
  long long net = 0;
  for (const nb::str* side : {&k.buy, &k.sell}) {
    const long long sign = side == &k.buy ? 1 : -1;
    nb::object entries = item(sides, *side);
    if (!PyList_CheckExact(entries.ptr())) {
      for (nb::handle entry : entries) net += sign * require_int(item(entry, k.quantity), "quantity");
      continue;
    }
    // A strategy asks this on every tick: a plain list is read by index, not through an iterator.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
      nb::object entry = nb::borrow(PyList_GET_ITEM(entries.ptr(), i));
      net += sign * require_int(item(entry, k.quantity), "quantity");
    }
  }
  return net;
}

int direct_set_account_tick(PyObject* self, PyObject* tick) {
  bool expired = false;
  const int status = guarded_status([&] { expired = take_tick(self, tick); });
  return status < 0 ? status : expired ? 1 : 0;
}

namespace {

// Unit value of an entry by its own product type.
double unit_value(nb::handle self, nb::handle entry, nb::handle code) {
  nb::object product_type = item(entry, keys().product_type);
  switch (product_of(product_type)) {
    case Product::Stock:
      return costs::kSharesPerLot;
    case Product::Future:
      return require_number(contract_value(code), "contract value");
    case Product::Option:
      return option_multiplier(self, code);
    case Product::Other:
      break;
  }
  raise_exception("不支援的商品類型: " + text_of(product_type));
}

struct ViewCode {
  nb::object code;
  nb::object sides;
  nb::object tick;  // None while the code has had no tick
};

// Codes of the book traded as `product_type`, in the book's order; a code
// without a tick gets None in current_tick_infos.
std::vector<ViewCode> view_codes(nb::handle self, nb::handle product_type) {
  const Keys& k = keys();
  nb::object mapper = nb::getattr(self, k.product_type_mapper);
  nb::object ticks = nb::getattr(self, k.current_tick_infos);
  std::vector<ViewCode> codes;
  nb::object book = nb::getattr(self, k.positions);
  for (nb::handle code : book) {
    nb::object mapped = item_or_none(mapper, code);
    const int same = PyObject_RichCompareBool(mapped.ptr(), product_type.ptr(), Py_EQ);
    if (same < 0) throw nb::python_error();
    if (!same) continue;
    if (checked(PySequence_Contains(ticks.ptr(), code.ptr())) == 0) ticks[code] = nb::none();
    codes.push_back({nb::borrow(code), item(book, code), item(ticks, code)});
  }
  return codes;
}

bool has_tick(nb::handle tick) { return truth(tick); }

// Entries of the buy list then the sell list (a missing list counts as empty).
template <class Visit>
void for_each_open_entry(const ViewCode& view, Visit visit) {
  const Keys& k = keys();
  for (const nb::str* side : {&k.buy, &k.sell}) {
    nb::object entries = item_or_none(view.sides, *side);
    if (entries.is_none()) continue;
    for (nb::handle entry : entries) {
      nb::object quantity = item(entry, k.quantity);
      if (checked(PyObject_RichCompareBool(quantity.ptr(), nb::int_(0).ptr(), Py_EQ)) == 1) continue;
      visit(entry, quantity, side == &k.buy);
    }
  }
}

double entry_pnl(const ViewCode& view, nb::handle entry, nb::handle quantity, bool long_side,
                 double unit) {
  const Keys& k = keys();
  return acc::unrealised(long_side, require_number(item(view.tick, k.close), "close"),
                         require_number(item(entry, k.price), "price"),
                         require_number(quantity, "quantity"), unit);
}

nb::list format_summary(nb::handle self, nb::handle product_type) {
  const Keys& k = keys();
  const bool stock = product_of(product_type) == Product::Stock;
  nb::list rows;
  for (const ViewCode& view : view_codes(self, product_type)) {
    nb::object pnl = nb::int_(0);
    nb::object quantity = nb::int_(0);
    double pnl_total = 0, weighted = 0, total_qty = 0;
    bool priced = false;
    for_each_open_entry(view, [&](nb::handle entry, nb::handle qty, bool long_side) {
      quantity = checked(PyNumber_Add(quantity.ptr(), qty.ptr()));
      const double q = require_number(qty, "quantity");
      total_qty += q;
      weighted += require_number(item(entry, k.price), "price") * q;
      if (has_tick(view.tick)) {
        pnl_total += entry_pnl(view, entry, qty, long_side, unit_value(self, entry, view.code));
        priced = true;
      } else {
        console_print(kNoTickNotice);
      }
    });
    if (checked(PyObject_RichCompareBool(quantity.ptr(), nb::int_(0).ptr(), Py_EQ)) == 1) continue;
    if (priced) pnl = nb::float_(pnl_total);
    nb::dict row;
    row[k.code] = view.code;
    row[k.quantity] = quantity;
    if (total_qty > 0)
      row[k.avg_price] = acc::round_places(weighted / total_qty, 2);
    else
      row[k.avg_price] = 0;
    row[k.pnl] = pnl;
    if (stock) {
      row[k.cond] = globals->cash;
      for (const nb::str* key : {&k.margin_purchase_amount, &k.collateral, &k.short_sale_margin,
                                 &k.interest})
        row[*key] = 0;
    }
    rows.append(row);
  }
  return rows;
}

nb::list format_detail(nb::handle self, nb::handle product_type) {
  const Keys& k = keys();
  const bool stock = product_of(product_type) == Product::Stock;
  nb::list rows;
  for (const ViewCode& view : view_codes(self, product_type)) {
    for_each_open_entry(view, [&](nb::handle entry, nb::handle qty, bool long_side) {
      const double unit = unit_value(self, entry, view.code);
      nb::object pnl = nb::int_(0);
      if (has_tick(view.tick))
        pnl = nb::float_(entry_pnl(view, entry, qty, long_side, unit));
      else
        console_print(kNoTickNotice);
      nb::dict row;
      row[k.date] = item(entry, k.exchange_ts);
      row[k.code] = view.code;
      row[k.quantity] = qty;
      row[k.cost] = item(entry, k.price);
      row[k.pnl] = pnl;
      row[k.fee] = 0;
      row[k.trade_id] = item(entry, k.trade_id);
      if (stock) {
        row[k.margin_purchase_amount] = 0;
        row[k.collateral] = 0;
      }
      rows.append(row);
    });
  }
  return rows;
}

void add_positions_to_queue(nb::handle self, nb::handle positions) {
  if (!PyList_Check(positions.ptr()) && !PyDict_Check(positions.ptr()))
    raise_exception("不支援的持有部位格式: " + text_of(positions.type()));
  nb::getattr(self, keys().fetch_position_queue).attr("put")(positions);
}

void fetch_positions(nb::handle self, nb::handle account_type, nb::handle fetch_detail) {
  if (product_of(account_type) == Product::Other)
    raise_exception("不支援的帳戶類型: " + text_of(account_type));
  const bool detail = truth(fetch_detail);
  add_positions_to_queue(self, detail ? format_detail(self, account_type)
                                      : format_summary(self, account_type));
}

nb::object pop_finish_notify(nb::handle self) {
  nb::object notice = nb::getattr(self, keys().finish_fetch_position_queue).attr("get")();
  nb::setattr(self, keys().wait_fetch_position_response_flag, nb::bool_(false));
  return notice;
}

nb::object pop_positions(nb::handle self) {
  return nb::getattr(self, keys().fetch_position_queue).attr("get")();
}

void add_finish_notify_to_queue(nb::handle self) {
  nb::getattr(self, keys().finish_fetch_position_queue).attr("put")(nb::bool_(true));
}

nb::list position_summary(nb::handle self, nb::handle product_type) {
  require_str(product_type, "product_type");
  return format_summary(self, product_type);
}

nb::list position_detail(nb::handle self, nb::handle product_type) {
  require_str(product_type, "product_type");
  return format_detail(self, product_type);
}

}  // namespace

void bind_views(nb::class_<Positions>& cls) {
  def_method<&net_quantity>(cls, "net_quantity", {param("code")},
                            "商品的淨未平倉數量: 多單減空單, 沒有部位時為 0");
  def_method<&set_current_tick>(cls, "set_current_tick", {param("tick")},
                  "記錄商品的最新 Tick, 作為計算未實現損益的價格");
  def_method<&fetch_positions>(cls, "fetch_positions",
                               {param("account_type"), param("fetch_detail", nb::bool_(false))},
                  "將持有部位 (彙總或明細) 放入 fetch_position_queue");
  def_method<&add_positions_to_queue>(cls, "add_positions_to_queue", {param("positions")},
                  "將部位資料放入 fetch_position_queue");
  def_method<&pop_positions>(cls, "pop_positions", {}, "從 fetch_position_queue 取出部位資料 (等待到有資料為止)");
  def_method<&add_finish_notify_to_queue>(cls, "add_finish_notify_to_queue", {}, "放入一個部位查詢完成的通知");
  def_method<&pop_finish_notify>(cls, "pop_finish_notify", {}, "取出部位查詢完成的通知, 並清除等待旗標");
  def_method<&position_summary>(cls, "_Positions__format_position_summary",
                                {param("product_type")});
  def_method<&position_detail>(cls, "_Positions__format_position_detail",
                               {param("product_type")});
}

}  // namespace orva::py::positions
