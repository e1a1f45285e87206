// Order and deal reports in the broker's shapes, and the report queue.
#include <string>

#include "common/args.h"
#include "common/methods.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

const Keys& k() { return globals->keys; }

nb::object attr(nb::handle self, const nb::str& name) { return nb::getattr(self, name); }

nb::object exchange_name(nb::handle self) { return item(attr(self, k().exchange_info), k().name); }

[[noreturn]] void unsupported_product(nb::handle product_type) {
  raise_exception("不支援的商品類型: " + text_of(product_type));
}

// An order report in the broker's shape, for `product` (Stock, or futures and options),
// from `value(key)`: the value of each key of the order data (see build_order_response).
template <class Value>
nb::dict order_report(nb::handle self, Product product, Value value) {
  nb::object trade_id = value(k().trade_id);
  nb::dict order;
  order[k().id] = trade_id;
  order[k().seqno] = trade_id;
  order[k().ordno] = trade_id;
  order[k().account] = value(k().account_id);
  order[k().code] = value(k().code);
  order[k().action] = value(k().action);
  order[k().price] = value(k().price);
  order[k().quantity] = value(k().quantity);
  order[k().order_type] = globals->order_type.from_value(value(k().order_type));
  if (product == Product::Stock) {
    order[k().order_cond] = globals->order_cond.from_value(value(k().order_cond));
    order[k().order_lot] = globals->order_lot.from_value(value(k().order_lot));
    order[k().price_type] = globals->price_type.from_value(value(k().price_type));
  } else {
    order[k().price_type] = globals->price_type.from_value(value(k().price_type));
    order[k().oc_type] = globals->oc_type.from_value(value(k().oc_type));
  }
  nb::dict trade_status;
  trade_status[k().id] = trade_id;
  trade_status[k().exchange] = exchange_name(self);
  trade_status[k().exchange_ts] = value(k().exchange_ts);
  nb::dict report;
  report[k().operation_type] = globals->operation_type.from_value(value(k().operation_type));
  report[k().operation_status_code] = value(k().operation_code);
  report[k().operation_message] = value(k().operation_message);
  report[k().order] = order;
  report[k().trade_status] = trade_status;
  return report;
}

// The value of `key` in a dict of report data.
auto data_value(nb::handle data) {
  return [data](const nb::str& key) { return item(data, key); };
}

nb::dict stock_order_response(nb::handle self, nb::handle data) {
  require_dict(data, "data");
  return order_report(self, Product::Stock, data_value(data));
}

nb::dict future_order_response(nb::handle self, nb::handle data) {
  require_dict(data, "data");
  return order_report(self, Product::Future, data_value(data));
}

// A deal report in the broker's shape (see order_report).
template <class Value>
nb::dict deal_report(Product product, Value value) {
  nb::dict deal;
  for (const nb::str* key : {&k().id, &k().seqno, &k().ordno, &k().exchange_seqno, &k().broker_id,
                             &k().account, &k().action, &k().code, &k().quantity, &k().price})
    deal[*key] = value(*key);
  if (product == Product::Stock) {
    deal[k().order_cond] = globals->order_cond.from_value(value(k().order_cond));
    deal[k().order_lot] = globals->order_lot.from_value(value(k().order_lot));
  }
  deal[k().exchange_ts] = value(k().exchange_ts);
  deal[k().trade_id] = nb::object(deal[k().id]);  // the name the order side and ctx use for the same id
  return deal;
}

nb::dict stock_deal_response(nb::handle data) {
  require_dict(data, "data");
  return deal_report(Product::Stock, data_value(data));
}

nb::dict future_deal_response(nb::handle data) {
  require_dict(data, "data");
  return deal_report(Product::Future, data_value(data));
}

// What a queue.Queue keeps in its own __dict__ under `name`, or an invalid object.
nb::object queue_field(nb::handle queue, const nb::str& name) {
  PyObject** dict = _PyObject_GetDictPtr(queue.ptr());
  PyObject* found = dict && *dict ? PyDict_GetItemWithError(*dict, name.ptr()) : nullptr;
  if (!found && PyErr_Occurred()) throw nb::python_error();
  return nb::borrow(found);
}

// obj.name(*args) with an interned name: these are called for every report.
template <class... Args>
nb::object call_method(nb::handle obj, const nb::str& name, Args... args) {
  PyObject* call[] = {obj.ptr(), nb::handle(args).ptr()...};
  return checked(PyObject_VectorcallMethod(name.ptr(), call, 1 + sizeof...(Args), nullptr));
}

// The deque of an unbounded queue.Queue (the class itself, so no override of its methods
// applies), or an invalid object for any other queue.
nb::object plain_items(nb::handle queue) {
  if (Py_TYPE(queue.ptr()) != reinterpret_cast<PyTypeObject*>(globals->queue_class.ptr()))
    return nb::object();
  nb::object items = queue_field(queue, k().queue_items);
  nb::object bound = queue_field(queue, k().maxsize);
  int overflow = 0;  // a bound past long long: asked, as any other queue
  const bool unbounded = bound.is_valid() && PyLong_CheckExact(bound.ptr()) &&
                         PyLong_AsLongLongAndOverflow(bound.ptr(), &overflow) <= 0 && !overflow;
  return unbounded ? items : nb::object();
}

// The next report. An unbounded queue.Queue that holds one is popped from its deque, as
// its get() would, without get()'s two locks and the notice to producers that never wait
// on an unbounded queue: they cost more than the report. Any other queue is asked.
nb::object next_report(nb::handle queue) {
  if (nb::object items = plain_items(queue); items.is_valid()) {
    const Py_ssize_t waiting = PyObject_Length(items.ptr());
    if (waiting < 0) throw nb::python_error();
    if (waiting > 0) return call_method(items, k().popleft);
  }
  return queue.attr("get")();
}

// Puts `report` into an unbounded queue.Queue as its put() does (under its mutex, counted
// for join(), a waiting get() woken) without put()'s Python frames, which cost more than
// the report; false, with nothing done, when the queue is not one whose fields are its own.
bool put_plain(nb::handle queue, nb::handle report) {
  nb::object items = plain_items(queue);
  if (!items.is_valid()) return false;
  nb::object mutex = queue_field(queue, k().mutex), tasks = queue_field(queue, k().unfinished_tasks);
  nb::object not_empty = queue_field(queue, k().not_empty);
  if (!mutex.is_valid() || !tasks.is_valid() || !PyLong_CheckExact(tasks.ptr()) ||
      !not_empty.is_valid() || !queue_field(not_empty, k().waiters).is_valid())
    return false;
  call_method(mutex, k().acquire);  // waits with the GIL released, as put() does
  try {
    call_method(items, k().append, report);
    PyObject* more = PyNumber_Add(tasks.ptr(), nb::int_(1).ptr());
    if (!more || PyObject_SetAttr(queue.ptr(), k().unfinished_tasks.ptr(), more) < 0) {
      Py_XDECREF(more);
      throw nb::python_error();
    }
    Py_DECREF(more);
    // A get() waiting on another thread sleeps on the condition until told.
    if (checked(PyObject_Length(queue_field(not_empty, k().waiters).ptr())) > 0)
      call_method(not_empty, k().notify);
  } catch (nb::python_error&) {
    call_method(mutex, k().release);
    throw;
  }
  call_method(mutex, k().release);
  return true;
}

nb::object pop_response(nb::handle self) {
  nb::object response = next_report(attr(self, k().response_queue));
  if (!PyDict_Check(response.ptr())) raise_type_error("response", "dict", response);
  return response;
}

}  // namespace

const Globals::Texts* known_texts(nb::handle code_obj) {
  for (const Globals::Texts& texts : globals->success_texts)
    if (texts.member.is(code_obj)) return &texts;
  return nullptr;
}

nb::object latest_tick_ts(nb::handle self, nb::handle code) {
  nb::object info = item_or_none(attr(self, k().current_tick_infos), code);
  if (info.is_none()) return nb::none();
  return item(info, k().ts);
}

// The reports of an order or a fill are made from the order record itself, with no
// data dict in between: they are made for every order and fill.
nb::dict build_order_response(nb::handle self, nb::handle trade, nb::handle operation_type,
                              nb::handle code_obj) {
  require_dict(trade, "trade");
  nb::object product_type = item(trade, k().product_type);
  const Product product = product_of(product_type);
  if (product == Product::Other) unsupported_product(product_type);
  const Globals::Texts* known = known_texts(code_obj);
  return order_report(self, product, [&](const nb::str& key) -> nb::object {
    if (&key == &k().operation_type) return nb::borrow(operation_type);
    if (&key == &k().operation_code) return known ? known->code : nb::object(code_obj.attr("code"));
    if (&key == &k().operation_message) return known ? known->message : nb::object(code_obj.attr("message"));
    if (&key == &k().account_id) return item(attr(self, k().account_info), k().account_id);
    if (&key == &k().exchange_ts) return latest_tick_ts(self, item(trade, k().code));
    return item(trade, key);
  });
}

nb::dict build_deal_response(nb::handle self, nb::handle trade) {
  require_dict(trade, "trade");
  nb::object product_type = item(trade, k().product_type);
  const Product product = product_of(product_type);
  if (product == Product::Other) unsupported_product(product_type);
  return deal_report(product, [&](const nb::str& key) -> nb::object {
    if (&key == &k().id || &key == &k().seqno || &key == &k().ordno || &key == &k().exchange_seqno)
      return item(trade, k().trade_id);
    if (&key == &k().broker_id) return exchange_name(self);
    if (&key == &k().account) return item(attr(self, k().account_info), k().account_id);
    return item(trade, key);
  });
}

bool report_wanted(nb::handle self, bool deal) {
  Matcher& matcher = state_of(self);
  if (!matcher.reports_muted) return true;
  ++(deal ? matcher.unread.deals : matcher.unread.orders);
  return false;
}

void add_response_to_queue(nb::handle self, nb::handle response) {
  if (!report_wanted(self, false)) return;  // the rarer reports, already made
  nb::object queue = attr(self, k().response_queue);
  if (!put_plain(queue, response)) queue.attr("put")(response);
}

namespace {

nb::dict stock_deal_method(nb::handle, nb::handle data) { return stock_deal_response(data); }
nb::dict future_deal_method(nb::handle, nb::handle data) { return future_deal_response(data); }

void add_response_method(nb::handle self, nb::handle response) {
  require_dict(response, "response");
  add_response_to_queue(self, response);
}

}  // namespace

void bind_reports(nb::class_<Matcher>& cls) {
  def_method<&build_order_response>(cls, "build_order_response",
                                    {param("trade"), param("operation_type"), param("code_obj")},
                  "依委託單建立委託回報");
  def_method<&build_deal_response>(cls, "build_deal_response", {param("trade")},
                  "依成交資料建立成交回報");
  def_method<&stock_order_response>(cls, "get_simulation_stock_order_response", {param("data")},
                  "建立股票的委託回報");
  def_method<&future_order_response>(cls, "get_simulation_future_order_response", {param("data")},
                  "建立期貨的委託回報");
  def_method<&stock_deal_method>(cls, "get_simulation_stock_deal_response", {param("data")},
                  "建立股票的成交回報");
  def_method<&future_deal_method>(cls, "get_simulation_future_deal_response", {param("data")},
                  "建立期貨的成交回報");
  def_method<&add_response_method>(cls, "add_response_to_queue", {param("response")},
                  "將回報放入 response_queue");
  def_method<&pop_response>(cls, "pop_response", {}, "從 response_queue 取出一筆回報 (等待到有回報為止)");
}

}  // namespace orva::py::matcher
