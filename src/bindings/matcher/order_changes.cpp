// Modification and cancellation of pending orders.
#include <cmath>
#include <string>

#include "common/args.h"
#include "common/gil.h"
#include "common/host.h"
#include "common/methods.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

const Keys& k() { return globals->keys; }

// Index of the first pending order with `trade_id`, or -1.
Py_ssize_t find_order(nb::handle book, nb::handle trade_id) {
  const Py_ssize_t size = nb::len(book);
  for (Py_ssize_t i = 0; i < size; ++i) {
    nb::object order = book[i];
    const int same = PyObject_RichCompareBool(item(order, k().trade_id).ptr(), trade_id.ptr(), Py_EQ);
    if (same < 0) throw nb::python_error();
    if (same) return i;
  }
  return -1;
}

// The book, locked for the whole change, and the index of the order (-1 if missing).
struct Lookup {
  std::unique_lock<std::recursive_mutex> lock;
  Matcher& matcher;
  nb::object book;
  Py_ssize_t index;
};

Lookup look_up(nb::handle self, nb::handle trade_id) {
  Matcher& matcher = state_of(self);
  auto lock = lock_releasing_gil(matcher.book);
  nb::object book = nb::getattr(self, k().pending_orders);
  const Py_ssize_t index = find_order(book, trade_id);
  return {std::move(lock), matcher, std::move(book), index};
}

void print_not_found(const std::string& trade_id) {
  console_print("[red]委託單 " + trade_id + " 不存在[/red]");
}

bool given(nb::handle number) {
  return !number.is_none() && truth(number);
}

void modify_order(nb::handle self, nb::handle trade_id, nb::handle qty, nb::handle price) {
  const std::string id = std::string(require_str(trade_id, "trade_id"));
  require_int_or_none(qty, "qty");
  require_float_or_none(price, "price");
  const bool change_qty = given(qty);
  const bool change_price = given(price);
  if (!change_qty && !change_price) raise_exception("請至少提供數量或價格來修改委託單 " + id);
  // Taking off a negative amount would raise the open quantity.
  if (change_qty && require_int(qty, "qty") < 0)
    raise_exception("修改的數量 " + text_of(qty) + " 必須大於 0");
  if (change_price) {
    const double new_price = require_number(price, "price");
    if (!(new_price > 0) || !std::isfinite(new_price))
      raise_exception("修改的價格 " + text_of(price) + " 必須大於 0");
  }

  if (send_now(self, InFlight::Kind::Modify, nb::none(), nb::none(), trade_id, qty, price))
    apply_modify(self, trade_id, qty, price);
}

void cancel_order(nb::handle self, nb::handle trade_id) {
  require_str(trade_id, "trade_id");
  if (send_now(self, InFlight::Kind::Cancel, nb::none(), nb::none(), trade_id, nb::none(), nb::none()))
    apply_cancel(self, trade_id);
}

}  // namespace

void apply_modify(nb::handle self, nb::handle trade_id, nb::handle qty, nb::handle price) {
  const std::string id = text_of(trade_id);
  const bool change_qty = given(qty);
  const bool change_price = given(price);
  Lookup found = look_up(self, trade_id);
  if (found.index < 0) return print_not_found(id);
  nb::object order = found.book[found.index];

  if (change_qty) {
    nb::object open_qty = item(order, k().quantity);
    const int over = PyObject_RichCompareBool(qty.ptr(), open_qty.ptr(), Py_GT);
    if (over < 0) throw nb::python_error();
    if (over == 1)
      raise_exception("修改的數量 " + text_of(qty) + " 大於原本的數量 " + text_of(open_qty));
    nb::object left = nb::steal(PyNumber_Subtract(open_qty.ptr(), qty.ptr()));
    if (!left.is_valid()) throw nb::python_error();
    order[k().quantity] = left;
    add_response_to_queue(self, build_order_response(self, order, globals->operation_update_qty,
                                                     globals->modify_order));
    console_print("[green]修改委託單 " + id + " 數量成功, 修改數量 " + text_of(qty) + "[/green]");
  }
  if (change_price) {
    // The exchange refuses a new price outside the day's limits as it refuses such an order.
    nb::object asked = copy_record(order);
    asked[k().price] = price;
    if (refuse_outside_limits(self, asked, globals->operation_update_price)) return;
    order[k().price] = price;
    add_response_to_queue(self, build_order_response(self, order, globals->operation_update_price,
                                                     globals->modify_order));
    console_print("[green]修改委託單 " + id + " 價格成功, 修改價格 " + text_of(price) + "[/green]");
    // A new price is a new place in the queue, met with the quotes in force; an order of a
    // month that has ended meets none, waiting for its code's trade to void it.
    if (found.matcher.model == FillModel::Queue && std::isfinite(found.matcher.now) &&
        !awaits_void(self, order, found.matcher.now))
      arrive(self, order, nb::float_(found.matcher.now));
  }
}

void apply_cancel(nb::handle self, nb::handle trade_id) {
  const std::string id = text_of(trade_id);
  Lookup found = look_up(self, trade_id);
  if (found.index < 0) return print_not_found(id);
  nb::object order = found.book[found.index];
  found.matcher.index.sync(found.book);
  found.matcher.index.remove(found.book, order);
  try {
    add_response_to_queue(self, build_order_response(self, order, globals->operation_cancel,
                                                     globals->order_be_cancel));
    console_print("[green]取消委託單 " + id + " 成功[/green]");
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;  // a Ctrl-C is not the report's failure
    console_print("[red]" + error_message(error) + "[/red]");
  }
  found.matcher.queue.erase(id);
}

void bind_order_changes(nb::class_<Matcher>& cls) {
  def_method<&modify_order>(cls, "modify_order",
                            {param("trade_id"), param("qty", nb::none()), param("price", nb::none())},
                  "修改委託單: 減少 qty 數量, 或改為新的 price 價格");
  def_method<&cancel_order>(cls, "cancel_order", {param("trade_id")},
                  "取消委託單");
}

}  // namespace orva::py::matcher
