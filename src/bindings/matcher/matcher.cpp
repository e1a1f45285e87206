// Binding of class Matcher: state, order intake and the intake thread.
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include <pthread.h>

#include "common/args.h"
#include "common/gil.h"
#include "common/host.h"
#include "common/methods.h"
#include "common/threads.h"
#include "costs/price_band.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {

Globals* globals = nullptr;

Matcher& state_of(nb::handle self) { return *nb::inst_ptr<Matcher>(self); }

namespace {

const Keys& k() { return globals->keys; }

// An order a minute on its way is a typo, not a network.
constexpr double kMaxLatencyMs = 60'000;

// nanoid's alphabet without '-': an id that starts with it reads as a formula
// in a spreadsheet, and the trade records must show ids as the account has them.
constexpr const char* kFirstOfId = "_0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Set in a forked child: a worker must not hand out its parent's remaining bytes again.
// A flag set at fork rather than a pid compared per byte: getpid is a system call.
volatile sig_atomic_t forked_since_refill = 0;
void note_fork() { forked_since_refill = 1; }

// Random bytes drawn from os.urandom (nanoid's source) a block at a time: one call per
// few hundred ids instead of one per id. Used under the GIL only.
class RandomBytes {
 public:
  RandomBytes() { pthread_atfork(nullptr, nullptr, note_fork); }
  unsigned char next() {
    if (next_ >= pool_.size() || forked_since_refill) refill();
    return static_cast<unsigned char>(pool_[next_++]);
  }

 private:
  static constexpr Py_ssize_t kBlock = 4096;
  void refill() {
    pool_.clear();  // nothing stale is served if os.urandom fails
    next_ = 0;
    forked_since_refill = 0;
    std::string drawn = text_of_bytes(globals->urandom(nb::int_(kBlock)));
    // A replaced os.urandom may hand back fewer bytes than asked.
    if (drawn.size() != static_cast<size_t>(kBlock))
      raise_value_error("os.urandom(" + std::to_string(kBlock) + ") 只回傳了 " +
                        std::to_string(drawn.size()) + " bytes");
    pool_ = std::move(drawn);
  }
  static std::string text_of_bytes(const nb::object& bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) < 0) throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
  }
  std::string pool_;
  size_t next_ = 0;
};

// nanoid's method: each byte masked to the alphabet's power of two, kept if it falls inside.
std::string nanoid_text(RandomBytes& bytes, const std::string& alphabet, size_t size) {
  unsigned mask = 2;
  if (alphabet.size() > 1)
    mask = (2u << static_cast<int>(std::log(alphabet.size() - 1) / std::log(2))) - 1;
  std::string id;
  while (id.size() < size) {
    const unsigned byte = bytes.next() & mask;
    if (byte < alphabet.size()) id += alphabet[byte];
  }
  return id;
}

nb::object new_trade_id() {
  static RandomBytes bytes;
  std::string text = nanoid_text(bytes, globals->id_alphabet, 16);
  // Drawn again from the other 63, so every first character stays equally likely.
  if (text[0] == '-') text[0] = nanoid_text(bytes, kFirstOfId, 1)[0];
  return nb::str(text.data(), text.size());
}

void add_order(nb::handle self, nb::handle code, nb::handle product_type, nb::handle action,
               nb::handle price, nb::handle qty, nb::handle price_type, nb::handle order_type,
               nb::handle order_cond, nb::handle order_lot, nb::handle oc_type) {
  require_str(code, "code");
  require_str(product_type, "product_type");
  require_str(action, "action");
  const double order_price = require_number(price, "price");
  // Zero stays allowed: market orders carry no price of their own. Past the grid's range no
  // fill could be booked.
  if (!(order_price >= 0 && order_price <= costs::kMaxPrice))
    raise_exception("委託價格必須是 0 到 1000000000 的數值: " + text_of(price));
  const long long quantity = require_int(qty, "qty");
  require_str(price_type, "price_type");
  require_str(order_type, "order_type");
  require_str(order_cond, "order_cond");
  require_str(order_lot, "order_lot");
  require_str(oc_type, "oc_type");
  // A non-positive order would book negative fills into the account.
  if (quantity <= 0) raise_exception("委託數量必須大於 0: " + text_of(qty));

  nb::dict order;
  order[k().operation_type] = globals->operation_new_value;
  const Globals::Texts* created = known_texts(globals->create_order);
  order[k().operation_code] = created->code;
  order[k().operation_message] = created->message;
  nb::object trade_id = new_trade_id();
  order[k().trade_id] = trade_id;
  order[k().account_id] = item(nb::getattr(self, k().account_info), k().account_id);
  order[k().code] = code;
  order[k().product_type] = product_type;
  order[k().action] = globals->action.from_value(action);
  order[k().price] = order_price;
  order[k().quantity] = qty;
  order[k().price_type] = globals->price_type.from_value(price_type);
  order[k().order_type] = globals->order_type.from_value(order_type);
  order[k().exchange_ts] = latest_tick_ts(self, code);
  switch (product_of(product_type)) {
    case Product::Stock:
      order[k().order_cond] = globals->order_cond.from_value(order_cond);
      order[k().order_lot] = globals->order_lot.from_value(order_lot);
      break;
    case Product::Future:
    case Product::Option:  // ordered as futures are, with an open/cover type
      order[k().oc_type] = globals->oc_type.from_value(oc_type);
      break;
    case Product::Other:
      raise_exception("不支援的商品類型: " + text_of(product_type));
  }

  // The call's own arguments, for the log should its report fail.
  nb::dict data;
  data[k().code] = code;
  data[k().product_type] = product_type;
  data[k().action] = action;
  data[k().price] = order_price;
  data[k().qty] = qty;
  data[k().price_type] = price_type;
  data[k().order_type] = order_type;
  data[k().order_cond] = order_cond;
  data[k().order_lot] = order_lot;
  data[k().oc_type] = oc_type;
  Matcher& matcher = state_of(self);
  matcher.last_order_id = trade_id;
  note_sent(self, code, trade_id);
  if (send_now(self, InFlight::Kind::New, order, data, trade_id, nb::none(), nb::none())) {
    enter_book(self, order, data);
  } else {
    console_print([&] {
      return "[green]送出委託單 " + text_of(trade_id) + ", 延遲後到達交易所[/green]";
    });
  }
}

}  // namespace

int direct_add_order(PyObject* self, const direct::Order& order) {
  return guarded_status([&] {
    // The defaults add_order is bound with, looked up once. Each is fetched before the tuple
    // is made: an enum's value runs Python, where a pending Ctrl-C raises, and the tuple's
    // conversions may not throw.
    static nb::object* defaults = [] {
      nb::object cash = nb::getattr(globals->order_cond.member("CASH"), "value");
      nb::object common = nb::getattr(globals->order_lot.member("COMMON"), "value");
      nb::object automatic = nb::getattr(globals->oc_type.member("AUTO"), "value");
      return new nb::object(nb::make_tuple(cash, common, automatic));  // never freed
    }();
    add_order(self, order.code, order.product_type, order.action, nb::float_(order.price),
              nb::int_(order.quantity), order.price_type, order.order_type, (*defaults)[0],
              (*defaults)[1], (*defaults)[2]);
  });
}

void enter_book(nb::handle self, nb::handle order, nb::handle data) {
  // Held until the report is queued, so no fill of this order can be reported first.
  Matcher& matcher = state_of(self);
  auto lock = lock_releasing_gil(matcher.book);
  if (refuse_outside_limits(self, order, globals->operation_new)) return;
  nb::object book = nb::getattr(self, k().pending_orders);
  book.attr("append")(order);
  matcher.index.added(book, order);
  nb::object trade_id = item(order, k().trade_id);
  try {
    if (report_wanted(self, false))
      add_response_to_queue(self, build_order_response(self, order, globals->operation_new,
                                                       globals->create_order));
    console_print([&] {
      return "[green]新增委託單 " + text_of(trade_id) + " 成功[/green]";
    });
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;  // a Ctrl-C is not the order's failure
    log_error(error, data);
    console_print("[red]發生錯誤: " + error_message(error) + "[/red]");
    return;
  }
  if (matcher.model == FillModel::Queue && std::isfinite(matcher.now))
    arrive(self, order, nb::float_(matcher.now));
}

namespace {

void add_pending_order_queue(nb::handle self, nb::handle action, nb::handle payload) {
  require_str(action, "action");
  require_dict(payload, "payload");
  nb::dict request;
  request[k().action] = action;
  request[k().payload] = payload;
  nb::getattr(self, k().pending_order_queue).attr("put")(request);
}

bool is_text(nb::handle value, const char* text) {
  return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

void report_failed_request(nb::handle request, const nb::python_error& error) {
  console_print("[red]接收委託單失敗: " + error_message(error) + "[/red]");
  nb::dict data;
  data[k().info] = request;
  log_error(error, data);
}

// One intake request; failures are reported and never leave this function.
void serve_request(nb::handle self, nb::handle request) {
  try {
    nb::object action = request[k().action];
    nb::object payload = request[k().payload];
    if (is_text(action, "add")) {
      require_dict(payload, "payload");
      nb::object add = nb::getattr(self, "add_order");
      nb::object done = nb::steal(PyObject_Call(add.ptr(), nb::tuple().ptr(), payload.ptr()));
      if (!done) throw nb::python_error();
    } else if (is_text(action, "modify")) {
      require_dict(payload, "payload");
      nb::getattr(self, "modify_order")(item(payload, k().trade_id),
                                        item_or_none(payload, k().qty),
                                        item_or_none(payload, k().price));
    } else if (is_text(action, "cancel")) {
      require_dict(payload, "payload");
      nb::getattr(self, "cancel_order")(item(payload, k().trade_id));
    } else {
      console_print("[red]不支援的操作: " + text_of(action) + "[/red]");
    }
  } catch (nb::python_error& error) {
    report_failed_request(request, error);
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
    report_failed_request(request, nb::python_error());
  }
}

// The intake loop. While it waits for the queue it holds only raw references:
// a daemon thread woken during interpreter shutdown is unwound by force from
// inside that wait, and must find nothing to release on the way out.
[[noreturn]] void receive_pending_orders(PyObject* self) {
  Matcher& matcher = state_of(self);
  for (;;) {
    PyObject* queue = PyObject_GetAttr(self, k().pending_order_queue.ptr());
    PyObject* request = queue ? wait_for_item(matcher.gate, queue) : nullptr;
    if (!request) {
      PyErr_WriteUnraisable(self);
      Py_XDECREF(queue);
      Py_BEGIN_ALLOW_THREADS
      std::this_thread::sleep_for(std::chrono::seconds(1));
      Py_END_ALLOW_THREADS
      continue;
    }
    try {
      serve_request(self, request);
    } catch (nb::python_error& error) {  // reporting the failure failed too
      error.discard_as_unraisable(self);
    } catch (const std::exception& error) {
      PyErr_SetString(PyExc_RuntimeError, error.what());
      PyErr_WriteUnraisable(self);
    }
    Py_DECREF(request);
    // Lets hosts wait for intake with pending_order_queue.join().
    PyObject* done = PyObject_CallMethod(queue, "task_done", nullptr);
    if (done) Py_DECREF(done); else PyErr_WriteUnraisable(self);
    Py_DECREF(queue);
  }
}

nb::object random_uuid(nb::handle) { return new_trade_id(); }

void receive_pending_order(nb::handle self) { receive_pending_orders(self.ptr()); }

void init_matcher(nb::handle h, nb::handle positions,
                  nb::handle fill_model, nb::handle latency_ms, nb::handle price_limit) {
  if (!positions.is_none() && !nb::isinstance(positions, globals->positions_class))
    raise_type_error("positions", "Positions 或 None", positions);
  const std::string model(require_str(fill_model, "fill_model"));
  if (model != "touch" && model != "queue")
    raise_value_error("不支援的成交模型 fill_model: " + text_of(nb::repr(fill_model)) +
                      ", 請用 \"touch\" 或 \"queue\"");
  if (PyBool_Check(latency_ms.ptr())) raise_type_error("latency_ms", "int 或 float", latency_ms);
  const double latency = require_number(latency_ms, "latency_ms");
  require_range(latency, "latency_ms", 0.0, kMaxLatencyMs);
  double limit = 0;
  if (!price_limit.is_none()) {
    if (PyBool_Check(price_limit.ptr())) raise_type_error("price_limit", "float 或 None", price_limit);
    limit = require_number(price_limit, "price_limit");
    if (!(limit > 0 && limit < 1))
      raise_value_error("price_limit 必須大於 0 且小於 1 (例如 0.1), 收到: " + text_of(price_limit));
  }
  Matcher& matcher = *new (nb::inst_ptr<Matcher>(h)) Matcher();
  matcher.price_limit = limit;
  matcher.model = model == "queue" ? FillModel::Queue : FillModel::Touch;
  matcher.latency = latency / 1000;
  matcher.latency_ms = latency;
  nb::dict account_info;
  account_info[k().account_id] = "BT-00001";
  nb::dict exchange_info;
  exchange_info[k().name] = "ORVA Backtest Exchange";
  // Creation order is the documented field order of vars(matcher).
  nb::setattr(h, k().pending_orders, nb::list());
  nb::setattr(h, k().response_queue, globals->queue_class());
  nb::setattr(h, k().pending_order_queue, globals->queue_class());
  nb::setattr(h, k().current_tick_infos, nb::dict());
  nb::object account = positions.is_none() ? globals->positions_class() : nb::borrow(positions);
  nb::setattr(h, "positions", account);
  // The account's reports say which rules produced its fills.
  nb::dict rules;
  rules["fill_model"] = fill_model_of(h);  // as read back: a plain str and number
  rules["latency_ms"] = latency_ms_of(h);
  if (limit > 0) rules["price_limit"] = limit;
  nb::setattr(account, "fill_rules", rules);
  nb::setattr(h, k().account_info, account_info);
  nb::setattr(h, k().exchange_info, exchange_info);
  register_gate(&matcher.gate);
  start_daemon_thread("orva-matcher-intake",
                      [owner = nb::borrow(h)] { receive_pending_orders(owner.ptr()); });
}

const direct::QuotesApi* account_api() {
  const auto* api = direct::import_api<direct::QuotesApi>(direct::kQuotesApi);
  if (!api) throw nb::python_error();
  return api;
}

Globals* load_globals() {
  nb::module_ constant = nb::module_::import_("orva_backtest.constant");
  nb::object operation = constant.attr("OperationType");
  nb::object success = constant.attr("SuccessCode");
  auto* loaded = new Globals{
      Keys{},
      EnumLookup(constant, "Action"),
      EnumLookup(constant, "PriceType"),
      EnumLookup(constant, "OrderType"),
      EnumLookup(constant, "OrderCond"),
      EnumLookup(constant, "OrderLot"),
      EnumLookup(constant, "OCType"),
      EnumLookup(constant, "OperationType"),
      operation.attr("NEW"),
      operation.attr("UPDATE_QTY"),
      operation.attr("UPDATE_PRICE"),
      operation.attr("CANCEL"),
      success.attr("CreateOrder"),
      success.attr("ModifyOrder"),
      success.attr("OrderBeCancel"),
      constant.attr("OrderType").attr("ROD"),
      constant.attr("OrderType").attr("IOC"),
      constant.attr("OrderType").attr("FOK"),
      constant.attr("PriceType").attr("LMT"),
      constant.attr("Action").attr("BUY"),
      nb::module_::import_("orva_backtest.modules.positions.positions").attr("Positions"),
      nb::module_::import_("queue").attr("Queue"),
      text_of(nb::module_::import_("nanoid.resources").attr("alphabet")),
      nb::module_::import_("os").attr("urandom"),
      account_api(),
  };
  for (nb::handle member : {loaded->create_order, loaded->modify_order, loaded->order_be_cancel})
    loaded->success_texts.push_back({nb::borrow(member), member.attr("code"), member.attr("message")});
  loaded->operation_new_value = loaded->operation_new.attr("value");
  return loaded;
}

}  // namespace

void bind_matcher(nb::module_& m) {
  globals = load_globals();
  install_shutdown_hook();

  nb::class_<Matcher> cls(m, "Matcher", "模擬交易所: 委託簿、委託處理執行緒、撮合與委託/成交回報", nb::dynamic_attr());
  def_init<&init_matcher>(cls, {param("positions", nb::none()), param("fill_model", nb::str("touch")),
                                param("latency_ms", nb::int_(0)), param("price_limit", nb::none())});
  def_method<&add_order>(
      cls, "add_order",
      {param("code"), param("product_type"), param("action"), param("price"), param("qty"),
       param("price_type"), param("order_type"),
       param("order_cond", globals->order_cond.member("CASH").attr("value")),
       param("order_lot", globals->order_lot.member("COMMON").attr("value")),
       param("oc_type", globals->oc_type.member("AUTO").attr("value"))},
                  "新增委託單到委託簿, 並回報委託成功");
  def_method<&add_pending_order_queue>(cls, "add_pending_order_queue",
                                       {param("action"), param("payload")},
                  "將委託請求 (add, modify 或 cancel) 放入 pending_order_queue, 由委託處理執行緒執行");
  def_method<&random_uuid>(cls, "_Matcher__get_random_uuid");
  def_method<&receive_pending_order>(cls, "_Matcher__receive_pending_order");
  bind_reports(cls);
  bind_order_changes(cls);
  bind_matching(cls);
  bind_fill_model(cls);
  if (direct::publish_api(m.ptr(), direct::kMatcherApi, &direct_matching_api()) < 0)
    throw nb::python_error();
}

}  // namespace orva::py::matcher
