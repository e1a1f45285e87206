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

// Keys 1-8 of the nested order dict, identical for both products.
nb::dict order_head(nb::handle data) {
  nb::object trade_id = item(data, k().trade_id);
  nb::dict order;
  order[k().id] = trade_id;
  order[k().seqno] = trade_id;
  order[k().ordno] = trade_id;
  order[k().account] = item(data, k().account_id);
  order[k().code] = item(data, k().code);
  order[k().action] = item(data, k().action);
  order[k().price] = item(data, k().price);
  order[k().quantity] = item(data, k().quantity);
  order[k().order_type] = globals->order_type.from_value(item(data, k().order_type));
  return order;
}

nb::dict order_report(nb::handle self, nb::handle data, nb::dict order) {
  nb::dict trade_status;
  trade_status[k().id] = item(data, k().trade_id);
  trade_status[k().exchange] = exchange_name(self);
  trade_status[k().exchange_ts] = item(data, k().exchange_ts);
  nb::dict report;
  report[k().operation_type] = globals->operation_type.from_value(item(data, k().operation_type));
  report[k().operation_status_code] = item(data, k().operation_code);
  report[k().operation_message] = item(data, k().operation_message);
  report[k().order] = order;
  report[k().trade_status] = trade_status;
  return report;
}

nb::dict stock_order_response(nb::handle self, nb::handle data) {
  require_dict(data, "data");
  nb::dict order = order_head(data);
  order[k().order_cond] = globals->order_cond.from_value(item(data, k().order_cond));
  order[k().order_lot] = globals->order_lot.from_value(item(data, k().order_lot));
  order[k().price_type] = globals->price_type.from_value(item(data, k().price_type));
  return order_report(self, data, order);
}

nb::dict future_order_response(nb::handle self, nb::handle data) {
  require_dict(data, "data");
  nb::dict order = order_head(data);
  order[k().price_type] = globals->price_type.from_value(item(data, k().price_type));
  order[k().oc_type] = globals->oc_type.from_value(item(data, k().oc_type));
  return order_report(self, data, order);
}

// Keys 1-10 of a deal report, copied from the deal data.
nb::dict deal_head(nb::handle data) {
  nb::dict deal;
  for (const nb::str* key : {&k().id, &k().seqno, &k().ordno, &k().exchange_seqno, &k().broker_id,
                             &k().account, &k().action, &k().code, &k().quantity, &k().price})
    deal[*key] = item(data, *key);
  return deal;
}

nb::dict stock_deal_response(nb::handle data) {
  require_dict(data, "data");
  nb::dict deal = deal_head(data);
  deal[k().order_cond] = globals->order_cond.from_value(item(data, k().order_cond));
  deal[k().order_lot] = globals->order_lot.from_value(item(data, k().order_lot));
  deal[k().exchange_ts] = item(data, k().exchange_ts);
  deal[k().trade_id] = nb::object(deal[k().id]);  // the name the order side and ctx use for the same id
  return deal;
}

nb::dict future_deal_response(nb::handle data) {
  require_dict(data, "data");
  nb::dict deal = deal_head(data);
  deal[k().exchange_ts] = item(data, k().exchange_ts);
  deal[k().trade_id] = nb::object(deal[k().id]);
  return deal;
}

// What a queue.Queue keeps in its own __dict__ under `name`, or an invalid object.
nb::object queue_field(nb::handle queue, const nb::str& name) {
  PyObject** dict = _PyObject_GetDictPtr(queue.ptr());
  PyObject* found = dict && *dict ? PyDict_GetItemWithError(*dict, name.ptr()) : nullptr;
  if (!found && PyErr_Occurred()) throw nb::python_error();
  return nb::borrow(found);
}

// The next report. An unbounded queue.Queue that holds one is popped from its deque, as
// its get() would, without get()'s two locks and the notice to producers that never wait
// on an unbounded queue: they cost more than the report. Any other queue is asked.
nb::object next_report(nb::handle queue) {
  if (Py_TYPE(queue.ptr()) == reinterpret_cast<PyTypeObject*>(globals->queue_class.ptr())) {
    nb::object items = queue_field(queue, k().queue_items);
    nb::object bound = queue_field(queue, k().maxsize);
    int overflow = 0;  // a bound past long long: asked, as any other queue
    const bool unbounded = bound.is_valid() && PyLong_CheckExact(bound.ptr()) &&
                           PyLong_AsLongLongAndOverflow(bound.ptr(), &overflow) <= 0 && !overflow;
    if (unbounded && items.is_valid()) {
      const Py_ssize_t waiting = PyObject_Length(items.ptr());
      if (waiting < 0) throw nb::python_error();
      if (waiting > 0) return items.attr("popleft")();
    }
  }
  return queue.attr("get")();
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

nb::dict build_order_response(nb::handle self, nb::handle trade, nb::handle operation_type,
                              nb::handle code_obj) {
  require_dict(trade, "trade");
  nb::object code = item(trade, k().code);
  nb::dict data;
  data[k().operation_type] = operation_type;
  if (const Globals::Texts* known = known_texts(code_obj)) {
    data[k().operation_code] = known->code;
    data[k().operation_message] = known->message;
  } else {
    data[k().operation_code] = code_obj.attr("code");
    data[k().operation_message] = code_obj.attr("message");
  }
  data[k().trade_id] = item(trade, k().trade_id);
  data[k().account_id] = item(attr(self, k().account_info), k().account_id);
  data[k().code] = code;
  data[k().action] = item(trade, k().action);
  data[k().price] = item(trade, k().price);
  data[k().quantity] = item(trade, k().quantity);
  data[k().price_type] = item(trade, k().price_type);
  data[k().order_type] = item(trade, k().order_type);
  data[k().exchange_ts] = latest_tick_ts(self, code);
  nb::object product_type = item(trade, k().product_type);
  switch (product_of(product_type)) {
    case Product::Stock:
      data[k().order_cond] = item(trade, k().order_cond);
      data[k().order_lot] = item(trade, k().order_lot);
      return stock_order_response(self, data);
    case Product::Future:
    case Product::Option:
      data[k().oc_type] = item(trade, k().oc_type);
      return future_order_response(self, data);
    case Product::Other:
      break;
  }
  unsupported_product(product_type);
}

nb::dict build_deal_response(nb::handle self, nb::handle trade) {
  require_dict(trade, "trade");
  nb::object trade_id = item(trade, k().trade_id);
  nb::dict data;
  data[k().id] = trade_id;
  data[k().seqno] = trade_id;
  data[k().ordno] = trade_id;
  data[k().exchange_seqno] = trade_id;
  data[k().broker_id] = exchange_name(self);
  data[k().account] = item(attr(self, k().account_info), k().account_id);
  data[k().action] = item(trade, k().action);
  data[k().code] = item(trade, k().code);
  data[k().quantity] = item(trade, k().quantity);
  data[k().price] = item(trade, k().price);
  data[k().exchange_ts] = item(trade, k().exchange_ts);
  nb::object product_type = item(trade, k().product_type);
  switch (product_of(product_type)) {
    case Product::Stock:
      data[k().order_cond] = item(trade, k().order_cond);
      data[k().order_lot] = item(trade, k().order_lot);
      return stock_deal_response(data);
    case Product::Future:
    case Product::Option:
      return future_deal_response(data);
    case Product::Other:
      break;
  }
  unsupported_product(product_type);
}

void add_response_to_queue(nb::handle self, nb::handle response) {
  attr(self, k().response_queue).attr("put")(response);
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
