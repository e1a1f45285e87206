// Ticks and matching: the latest tick per code, and one matching pass per tick.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/args.h"
#include "common/direct_api.h"
#include "common/gil.h"
#include "common/host.h"
#include "common/methods.h"
#include "calendar/local_time.h"
#include "exchange/matching_rules.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

const Keys& k() { return globals->keys; }

PyTypeObject* matcher_type = nullptr;
int is_matcher(PyObject* obj) { return Py_TYPE(obj) == matcher_type; }

// An attribute of the exchange read per tick (see `attribute`).
nb::object own(nb::handle self, const nb::str& name) {
  return attribute(self, name, is_matcher(self.ptr()));
}

nb::dict new_tick_info() {
  nb::dict info;
  info[k().ts] = nb::none();
  info[k().tick] = nb::none();
  return info;
}

// The orders resting for a code that expired (a futures contract month, an option series)
// are void: the exchange cancels them, with the report a user's cancel gets, so none fills
// in the month a continuous series has moved to and none holds buying power. So are new
// orders sent before the expiry that are still on their way.
void cancel_expired(nb::handle self, nb::handle account, nb::handle tick_ts) {
  Matcher& matcher = state_of(self);
  // What is sent from here on (by the account's own calls, or by other threads while the
  // book's lock is awaited) is noted with its time, to be told from the void orders.
  struct Sweep {
    int& depth;
    ~Sweep() { --depth; }
  } sweep{++matcher.sweeping};
  nb::object codes = account.attr(k().take_expired_codes)();
  if (nb::len(codes) == 0) return;
  auto lock = lock_releasing_gil(matcher.book);
  // An order is void if sent before the month now in force began; only orders whose send
  // time could say otherwise were noted (a code of no schedule keeps none).
  std::vector<std::pair<std::string, double>> rolled;
  for (nb::handle code : codes) {
    const auto month = contract_month_of(account, code, matcher.now);
    rolled.emplace_back(text_of(code), month ? month->began : std::numeric_limits<double>::infinity());
  }
  const std::vector<std::string> kept = matcher.late.roll(rolled);
  auto is_void = [&](nb::handle order) {
    return kept.empty() ||
           std::find(kept.begin(), kept.end(), text_of(item(order, k().trade_id))) == kept.end();
  };
  // Taken out before any cancel is booked: a booking may send new orders, which are not void.
  std::vector<nb::object> sent;
  for (auto it = matcher.in_flight.begin(); it != matcher.in_flight.end();) {
    if (it->kind == InFlight::Kind::New &&
        checked(PySequence_Contains(codes.ptr(), item(it->order, k().code).ptr())) == 1 &&
        is_void(it->order)) {
      sent.push_back(std::move(it->order));
      it = matcher.in_flight.erase(it);
    } else {
      ++it;
    }
  }
  nb::object book = nb::getattr(self, k().pending_orders);
  matcher.index.sync(book);
  for (nb::handle code : codes) {
    for (const IndexedOrder& entry : matcher.index.orders_of(code)) {
      if (!is_void(entry.order)) continue;
      const long long open = require_int(item(entry.order, k().quantity), "quantity");
      matcher.index.remove(book, entry.order);
      matcher.queue.erase(text_of(item(entry.order, k().trade_id)));
      if (open > 0) exchange_cancel(self, account, entry.order, open, tick_ts);
    }
  }
  for (const nb::object& order : sent) {
    const long long open = require_int(item(order, k().quantity), "quantity");
    if (open > 0) exchange_cancel(self, account, order, open, tick_ts);
  }
}

// Matcher.cancel_expired(until): what expired without a tick, at the run's end.
void cancel_expired_until(nb::handle self, nb::handle until) {
  if (!std::isfinite(require_amount(until, "until")))
    raise_value_error("until 必須是有限的秒數: " + text_of(nb::repr(until)));
  cancel_expired(self, own(self, k().positions), until);
}

// current_tick_infos[code] = {ts, tick}, and the tick handed to the account. The time is
// the record's own unless the direct replay already holds it.
void record_tick(nb::handle self, nb::handle code, nb::handle tick,
                 nb::handle timestamp = nb::handle()) {
  nb::object infos = own(self, k().current_tick_infos);
  nb::object info = item_or_none(infos, code);
  if (info.is_none()) {
    info = new_tick_info();
    infos[code] = info;
  }
  info[k().tick] = tick;
  info[k().ts] = timestamp.is_valid() ? nb::borrow(timestamp) : item(tick, k().timestamp);
  nb::object account = own(self, k().positions);
  const direct::QuotesApi& api = *globals->account_api;
  if (api.is_positions(account.ptr())) {  // not overridden: no method call per tick
    const int status = api.set_account_tick(account.ptr(), tick.ptr());
    if (status < 0) throw nb::python_error();
    if (status > 0) cancel_expired(self, account, item(info, k().ts));
    return;
  }
  PyObject* args[] = {account.ptr(), tick.ptr()};
  checked(PyObject_VectorcallMethod(k().set_current_tick.ptr(), args,
                                    2, nullptr));
  // A subclass's expiries void orders as the account's own do; a host's account may keep none.
  if (PyObject_HasAttr(account.ptr(), k().take_expired_codes.ptr()))  // never fails
    cancel_expired(self, account, item(info, k().ts));
}

// A tick's time when it has one (a float or int seconds), else none.
std::optional<double> time_of(nb::handle timestamp) {
  const bool timed =
      PyFloat_Check(timestamp.ptr()) || (PyLong_Check(timestamp.ptr()) && !PyBool_Check(timestamp.ptr()));
  if (!timed) return std::nullopt;
  return require_number(timestamp, "timestamp");
}

// The book's lock, unless the caller holds it for many ticks.
std::unique_lock<std::recursive_mutex> lock_book(Matcher& matcher, bool held) {
  return held ? std::unique_lock<std::recursive_mutex>() : lock_releasing_gil(matcher.book);
}

// What reaches the exchange before the tick at `when` (and, for the queue
// model, the tick's quotes, after the orders arriving met the earlier ones).
void note_tick(nb::handle self, nb::handle code, std::optional<double> when,
               const exchange::Quotes* quotes, double close,
               const std::string* code_text = nullptr, bool book_locked = false) {
  Matcher& matcher = state_of(self);
  const bool timed = when.has_value();
  const double time = when.value_or(0);
  if (timed && std::isfinite(time)) {
    if (std::isnan(matcher.now)) matcher.late.start(time);
    matcher.now = time;  // what arrives now is stamped with it
  }
  const bool shows = quotes && matcher.model == FillModel::Queue && PyUnicode_Check(code.ptr());
  const bool limited = matcher.price_limit > 0 && timed && std::isfinite(time) &&
                       std::isfinite(close) && PyUnicode_Check(code.ptr());
  // The direct replay hands the code's text over: no copy per tick.
  const std::string own = (shows || limited) && !code_text ? text_of(code) : std::string();
  const std::string& text = code_text ? *code_text : own;
  if (shows || limited) {
    auto lock = lock_book(matcher, book_locked);
    // A new trading day's band, before what arrives now meets it.
    if (limited) note_price(self, matcher, code, text, time, close);
    // A quote from before a session break is none: what arrives now meets this tick's.
    if (shows) {
      exchange::QuotesInForce& board = quotes_board(matcher, text);
      if (!board.current(matcher.now)) board.show(*quotes, matcher.now);
    }
  }
  if (timed && !matcher.in_flight.empty()) deliver(self, time);
  if (shows) {
    auto lock = lock_book(matcher, book_locked);
    quotes_board(matcher, text).show(*quotes, matcher.now);
  }
}

void set_current_tick(nb::handle self, nb::handle tick) {
  require_dict(tick, "tick");
  nb::object code = item(tick, k().code);
  exchange::Quotes quotes;
  const bool quoted = state_of(self).model == FillModel::Queue && quotes_of(tick, quotes);
  const double close = state_of(self).price_limit > 0
                           ? require_number(item(tick, k().close), "close")
                           : std::nan("");
  note_tick(self, code, time_of(item_or_none(tick, k().timestamp)), quoted ? &quotes : nullptr,
            close);
  record_tick(self, code, tick);
}

// An exchange-side copy of `order` with its time set to the tick's.
nb::object cancel_copy(nb::handle order, long long quantity, nb::handle tick_ts) {
  nb::object copy = copy_record(order);
  copy[k().quantity] = quantity;
  copy[k().exchange_ts] = tick_ts;
  return copy;
}

// The account's trade record; a Positions itself is booked without a method call (a
// subclass's method is its own).
void book_trade(nb::handle account, nb::handle trade_id, nb::handle code, nb::handle action,
                nb::handle quantity, nb::handle price, nb::handle timestamp, const nb::str& status) {
  const direct::QuotesApi& api = *globals->account_api;
  if (api.is_positions(account.ptr())) {
    if (api.add_trade_record(account.ptr(), trade_id.ptr(), code.ptr(), action.ptr(),
                             quantity.ptr(), price.ptr(), timestamp.ptr(), status.ptr()) < 0)
      throw nb::python_error();
    return;
  }
  account.attr("add_trade_record")(nb::arg("trade_id") = trade_id, nb::arg("code") = code,
                                   nb::arg("action") = action, nb::arg("quantity") = quantity,
                                   nb::arg("price") = price, nb::arg("timestamp") = timestamp,
                                   nb::arg("trade_status") = status);
}

}  // namespace

std::optional<direct::ContractMonth> contract_month_of(nb::handle account, nb::handle code, double when) {
  direct::ContractMonth month{};
  if (PyUnicode_Check(code.ptr()) &&
      globals->account_api->contract_month(account.ptr(), text_of(code), when, &month))
    return month;
  return std::nullopt;
}

bool awaits_void(nb::handle self, nb::handle order, double when) {
  const auto month = contract_month_of(own(self, k().positions), item_or_none(order, k().code), when);
  return month && state_of(self).late.awaits_void(text_of(item_or_none(order, k().trade_id)), *month);
}

void note_sent(nb::handle self, nb::handle code, nb::handle trade_id) {
  Matcher& matcher = state_of(self);
  const auto month = contract_month_of(own(self, k().positions), code, matcher.now);
  if (month && exchange::worth_noting(matcher.now, *month, matcher.sweeping > 0))
    matcher.late.note(text_of(code), text_of(trade_id), matcher.now);
}

void fill_order(nb::handle self, nb::handle account, nb::handle order, long long quantity,
                nb::handle price, nb::handle tick_ts) {
  nb::object fill = copy_record(order);
  fill[k().quantity] = quantity;
  // The account never books a fill beyond the order's limit or the day's band (nothing trades
  // past it), slippage included: the nearer of the two on the side it slips to.
  nb::object limit = nb::none();
  if (equals(item(order, k().price_type), globals->price_lmt)) limit = item(order, k().price);
  if (const auto band = band_of(state_of(self), text_of(item(order, k().code)))) {
    const bool buy = PyUnicode_CompareWithASCIIString(item(order, k().action).ptr(), "Buy") == 0;
    const double edge = buy ? band->high : band->low;
    if (limit.is_none() || (buy ? edge < require_number(limit, "price")
                                : edge > require_number(limit, "price")))
      limit = nb::float_(edge);
  }
  if (!limit.is_none()) fill[k().limit_price] = limit;
  fill[k().price] = price;
  fill[k().exchange_ts] = tick_ts;
  book_trade(account, item(fill, k().trade_id), item(fill, k().code), item(fill, k().action),
             item(fill, k().quantity), item(fill, k().price), item(fill, k().exchange_ts), k().deal);
  if (report_wanted(self, true)) add_response_to_queue(self, build_deal_response(self, fill));
  nb::object product_type = item(fill, k().product_type);
  const direct::QuotesApi& api = *globals->account_api;
  if (!api.is_positions(account.ptr()))
    account.attr("set_positions")(fill, product_type);
  else if (api.set_positions(account.ptr(), fill.ptr(), product_type.ptr()) < 0)
    throw nb::python_error();
}

namespace {

// The report of the exchange cancelling `quantity` of `order`, made before any fill changes it.
nb::object cancel_report(nb::handle self, nb::handle order, long long quantity, nb::handle tick_ts) {
  if (product_of(item(order, k().product_type)) == Product::Other)
    raise_exception("不支援的商品類型");
  return build_order_response(self, cancel_copy(order, quantity, tick_ts),
                              globals->operation_cancel, globals->order_be_cancel);
}

// Books a cancel report: trade record "Cancel", then the report queued.
void book_cancel(nb::handle self, nb::handle account, nb::handle order, nb::handle cancel_info,
                 nb::handle tick_ts) {
  nb::object cancelled = item(cancel_info, k().order);
  nb::object when = item(item(cancel_info, k().trade_status), k().exchange_ts);
  // A tick the host matched without recording it has no time of its own.
  if (when.is_none()) when = nb::borrow(tick_ts);
  book_trade(account, item(order, k().trade_id), item(order, k().code), item(order, k().action),
             item(cancelled, k().quantity), item(cancelled, k().price), when, k().cancel);
  add_response_to_queue(self, cancel_info);
}

}  // namespace

void exchange_cancel(nb::handle self, nb::handle account, nb::handle order, long long quantity,
                     nb::handle tick_ts, bool at_tick_ts) {
  nb::object report = cancel_report(self, order, quantity, tick_ts);
  if (at_tick_ts) item(report, k().trade_status)[k().exchange_ts] = tick_ts;
  book_cancel(self, account, order, report, tick_ts);
}

long long touch_order(nb::handle self, nb::handle account, nb::handle book,
                      const IndexedOrder& entry, double close, long long volume,
                      nb::handle tick_ts) {
  Matcher& matcher = state_of(self);
  nb::handle order = entry.order;
  const double price = require_number(item(order, k().price), "price");
  // A resting order the price does not reach is left as it is.
  if (entry.kind == exchange::OrderKind::ROD &&
      !exchange::price_matches(entry.limit, entry.buy, price, close))
    return 0;
  const exchange::OrderTerms terms{entry.kind, entry.limit, entry.buy, price,
                                   require_int(item(order, k().quantity), "quantity")};
  const exchange::Outcome out = exchange::match_order(terms, close, volume);
  // The cancel is decided (and its record made) before the fill changes the order.
  nb::object cancel_info;
  if (out.cancel_qty > 0) cancel_info = cancel_report(self, order, out.cancel_qty, tick_ts);
  if (entry.kind == exchange::OrderKind::ROD && out.price_match && out.open_qty != terms.quantity)
    order[k().quantity] = out.open_qty;
  if (out.remove) matcher.index.remove(book, order);
  if (out.deal_qty > 0) fill_order(self, account, order, out.deal_qty, nb::float_(close), tick_ts);
  if (cancel_info.is_valid()) book_cancel(self, account, order, cancel_info, tick_ts);
  return out.deal_qty;
}

namespace {

// One matching pass of a checked tick over the orders of `code`.
void match_pass(nb::handle self, nb::handle code, double close, long long volume,
                nb::handle tick_ts) {
  Matcher& matcher = state_of(self);
  auto lock = lock_releasing_gil(matcher.book);  // one stable book for the whole pass
  nb::object book = nb::getattr(self, k().pending_orders);
  matcher.index.sync(book);
  if (matcher.index.empty()) return;  // most ticks: nothing rests in the book
  // A trade outside the day's price limits fills nothing.
  if (matcher.price_limit > 0 && !within_limits(matcher, text_of(code), close)) return;
  // A snapshot: removing an order never makes the pass skip the next one.
  const std::vector<IndexedOrder> orders = matcher.index.orders_of(code);
  if (orders.empty()) return;
  if (matcher.model == FillModel::Queue)
    return queue_pass(self, book, orders, code, close, volume, tick_ts);
  nb::object account = nb::getattr(self, k().positions);
  for (const IndexedOrder& entry : orders) {
    if (volume == 0) break;
    volume -= touch_order(self, account, book, entry, close, volume, tick_ts);
  }
}

void match_deal(nb::handle self, nb::handle code, nb::handle tick_close, nb::handle tick_qty,
                nb::handle tick_ts) {
  // Everything is checked before the book is touched: a bad tick must not
  // settle or remove an order.
  require_str(code, "code");
  const double close = require_number(tick_close, "tick_close");
  if (!(close > 0) || !std::isfinite(close))
    raise_value_error("參數 tick_close 必須是大於 0 的有限數值, 收到: " + text_of(tick_close));
  const long long volume = require_int(tick_qty, "tick_qty");
  if (volume < 0) raise_value_error("參數 tick_qty 不可為負數, 收到: " + text_of(tick_qty));
  if (!calendar::local_micros(require_number(tick_ts, "tick_ts")))
    raise_value_error("無法轉換的時間戳 tick_ts: " + text_of(tick_ts));
  match_pass(self, code, close, volume, tick_ts);
}

// The direct replay's step: its ticks come checked from the feed's table.
int direct_set_current_tick(PyObject* self, const direct::Tick& tick) {
  return guarded_status([&] {
    note_tick(self, tick.code, time_of(tick.timestamp), tick.has_quotes ? &tick.quotes : nullptr,
              tick.close, tick.code_text);
    record_tick(self, tick.code, tick.record, tick.timestamp);
  });
}

int direct_quiet_until(PyObject* self, const direct::Tick& tick, double* until) {
  bool quiet = false;
  const int status = guarded_status([&] {
    // Fills and reports read the latest ticks: none may rest for the code or be on its way.
    Matcher& matcher = state_of(self);
    if (!matcher.in_flight.empty()) return;
    nb::object book = own(self, k().pending_orders);
    if (!PyList_CheckExact(book.ptr()) || PyList_GET_SIZE(book.ptr()) > 0) {
      auto lock = lock_releasing_gil(matcher.book);
      matcher.index.sync(book);
      if (matcher.index.holds(*tick.code_text)) return;
    }
    nb::object account = own(self, k().positions);
    const direct::QuotesApi& api = *globals->account_api;
    if (!api.is_positions(account.ptr())) return;  // a subclass's step is its own
    *until = api.expiry_from(account.ptr(), *tick.code_text);
    quiet = tick.seconds < *until;
  });
  return status < 0 ? status : quiet ? 1 : 0;
}

int direct_note_ticks(PyObject* self, const direct::Tick* ticks, size_t count) {
  return guarded_status([&] {
    auto lock = lock_releasing_gil(state_of(self).book);  // once for the lot
    for (const direct::Tick* tick = ticks; tick != ticks + count; ++tick)
      note_tick(self, tick->code, tick->seconds, tick->has_quotes ? &tick->quotes : nullptr,
                tick->close, tick->code_text, true);
  });
}

int direct_record_tick(PyObject* self, PyObject* code, PyObject* record, PyObject* timestamp) {
  return guarded_status([&] { record_tick(self, code, record, timestamp); });
}

int direct_match(PyObject* self, const direct::Tick& tick) {
  return guarded_status([&] { match_pass(self, tick.code, tick.close, tick.qty, tick.timestamp); });
}

int direct_mute_reports(PyObject* self, int on) {
  return guarded_status([&] {
    Matcher& matcher = state_of(self);
    matcher.reports_muted = on != 0;
    matcher.unread = {};
  });
}

int direct_take_unread(PyObject* self, direct::UnreadReports* out) {
  return guarded_status([&] { *out = std::exchange(state_of(self).unread, {}); });
}

const direct::MatcherApi direct_api{direct::kApiVersion, &is_matcher,
                                     &direct_set_current_tick, &direct_match,
                                     &direct_quiet_until,  &direct_note_ticks,
                                     &direct_record_tick,  &direct_add_order,
                                     &direct_mute_reports, &direct_take_unread};

void reset_tick_infos(nb::handle self) { nb::setattr(self, k().current_tick_infos, nb::dict()); }

nb::dict init_current_tick_info(nb::handle, nb::handle code) {
  require_str(code, "code");
  return new_tick_info();
}

}  // namespace

const direct::MatcherApi& direct_matching_api() { return direct_api; }

void bind_matching(nb::class_<Matcher>& cls) {
  matcher_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  def_method<&set_current_tick>(cls, "set_current_tick", {param("tick")},
                  "記錄商品的最新 Tick, 並交給帳戶");
  def_method<&cancel_expired_until>(cls, "cancel_expired", {param("until")},
                                    "取消已到期商品 (帳戶的 take_expired_codes) 的掛單, 時間為 until (秒)");
  def_method<&reset_tick_infos>(cls, "reset_tick_infos", {}, "清除所有商品的最新 Tick 記錄");
  def_method<&match_deal>(cls, "match_deal",
                          {param("code"), param("tick_close"), param("tick_qty"), param("tick_ts")},
                  "以一筆 Tick 撮合該商品的委託單 (ROD、IOC、FOK)");
  def_method<&init_current_tick_info>(cls, "_Matcher__init_current_tick_info", {param("code")});
}

}  // namespace orva::py::matcher
