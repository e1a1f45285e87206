// The opt-in fill realism of the exchange: latency between a strategy sending
// an order (or a change or cancellation) and the exchange acting on it, and
// the queue model, under which a resting limit order fills only once the
// quantity displayed ahead of it at its price has traded (exchange/queue_fill).
// With the defaults (touch, no latency) nothing here runs.
#include <algorithm>
#include <optional>
#include <string>

#include "common/args.h"
#include "common/gil.h"
#include "common/host.h"
#include "common/methods.h"
#include "exchange/matching_rules.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

const Keys& k() { return globals->keys; }

// Lowers what `order` still has open by `quantity`; an order with nothing left
// leaves the book (and its place in the queue goes).
void settle(Matcher& matcher, nb::handle book, nb::handle order, long long open, long long quantity) {
  if (quantity <= 0) return;
  order[k().quantity] = open - quantity;
  if (open - quantity > 0) return;
  matcher.index.remove(book, order);
  matcher.queue.erase(text_of(item(order, k().trade_id)));
}

// What an order of `code` meets now.
exchange::Quotes quotes_for(Matcher& matcher, nb::handle code) {
  return quotes_board(matcher, text_of(code)).at(matcher.now);
}

// Takes what the opposite best still shows, at that price: orders taking one
// displayed quantity share it.
long long take_opposite(nb::handle self, nb::handle account, bool buy, long long open,
                        nb::handle order, nb::handle tick_ts) {
  Matcher& matcher = state_of(self);
  const exchange::Quotes quotes = quotes_for(matcher, item(order, k().code));
  const long long take = std::min(open, buy ? quotes.ask_left() : quotes.bid_left());
  if (take <= 0 || !within_limits(matcher, text_of(item(order, k().code)), buy ? quotes.ask : quotes.bid))
    return 0;
  quotes_board(matcher, text_of(item(order, k().code))).take(buy, take);
  fill_order(self, account, order, take, nb::float_(buy ? quotes.ask : quotes.bid), tick_ts);
  return take;
}

// An order sent before its code's contract month in force began reaches an exchange that
// no longer lists the month it was sent for: void, as the month's resting orders are, and
// before the queue model could fill it from the new month's quotes. Its open quantity if so.
std::optional<long long> void_on_arrival(nb::handle self, const InFlight& sent, double time) {
  const auto month = contract_month_of(nb::getattr(self, k().positions),
                                       item_or_none(sent.order, k().code), time);
  if (!month || !exchange::void_on_arrival(sent.sent, *month)) return std::nullopt;
  return require_int(item(sent.order, k().quantity), "quantity");
}

}  // namespace

bool send_now(nb::handle self, InFlight::Kind kind, nb::handle order, nb::handle data,
              nb::handle trade_id, nb::handle qty, nb::handle price) {
  Matcher& matcher = state_of(self);
  // Before the first tick nothing tells the time: what is sent then arrives at once.
  if (matcher.latency <= 0 || !std::isfinite(matcher.now)) return true;
  auto lock = lock_releasing_gil(matcher.book);  // the intake thread sends too
  matcher.in_flight.push_back({matcher.now, matcher.now + matcher.latency, kind, nb::borrow(order),
                               nb::borrow(data), nb::borrow(trade_id), nb::borrow(qty),
                               nb::borrow(price)});
  return false;
}

void deliver(nb::handle self, double time) {
  Matcher& matcher = state_of(self);
  auto lock = lock_releasing_gil(matcher.book);
  while (!matcher.in_flight.empty() && matcher.in_flight.front().arrival <= time) {
    // Decided before it leaves: an order the host spoiled on its way stays there, the error raised.
    const std::optional<long long> voided = matcher.in_flight.front().kind == InFlight::Kind::New
                                                ? void_on_arrival(self, matcher.in_flight.front(), time)
                                                : std::nullopt;
    const InFlight sent = std::move(matcher.in_flight.front());
    matcher.in_flight.pop_front();
    if (sent.kind == InFlight::Kind::New) {
      if (!voided)
        enter_book(self, sent.order, sent.data);
      else if (*voided > 0)  // cancelled as it arrives, not at its code's last trade
        exchange_cancel(self, nb::getattr(self, k().positions), sent.order, *voided,
                        nb::float_(time), true);
      continue;
    }
    // A change that fails where it arrives (the order has filled meanwhile) is told, not raised:
    // nobody is waiting on its call any more.
    try {
      if (sent.kind == InFlight::Kind::Modify)
        apply_modify(self, sent.trade_id, sent.qty, sent.price);
      else
        apply_cancel(self, sent.trade_id);
    } catch (nb::python_error& error) {
      if (!error.matches(PyExc_Exception)) throw;  // a Ctrl-C is not the change's failure
      nb::dict data;
      data[k().trade_id] = sent.trade_id;
      log_error(error, data);
      console_print("[red]委託單 " + text_of(sent.trade_id) + " 的修改未能執行: " +
                    error_message(error) + "[/red]");
    }
  }
}

exchange::QuotesInForce& quotes_board(Matcher& matcher, const std::string& code) {
  for (auto& [known, board] : matcher.quotes)
    if (known == code) return board;
  return matcher.quotes.emplace_back(code, exchange::QuotesInForce{}).second;
}

bool quotes_of(nb::handle record, exchange::Quotes& out) {
  nb::object quote = item_or_none(record, k().quote);
  if (!PyTuple_Check(quote.ptr()) || PyTuple_GET_SIZE(quote.ptr()) != 4) return false;
  PyObject* const* v = &PyTuple_GET_ITEM(quote.ptr(), 0);
  for (int i = 0; i < 4; ++i)
    if (PyBool_Check(v[i]) || !(PyFloat_Check(v[i]) || PyLong_Check(v[i]))) return false;
  // Values a feed could not show make quotes nobody can use (Quotes::usable says so).
  const auto volume = [](PyObject* value) {
    return is_int(value) ? require_int(value, "quote") : 0;
  };
  out = {require_number(v[0], "quote"), require_number(v[2], "quote"), volume(v[1]), volume(v[3])};
  return true;
}

void arrive(nb::handle self, nb::handle order, nb::handle tick_ts) {
  Matcher& matcher = state_of(self);
  auto lock = lock_releasing_gil(matcher.book);
  nb::object book = nb::getattr(self, k().pending_orders);
  matcher.index.sync(book);
  const exchange::Quotes quotes = quotes_for(matcher, item(order, k().code));
  // Unusable quotes decide nothing now: the order waits for ticks, and an order
  // without a price falls back to the touch rules there.
  if (!quotes.usable()) return;
  nb::object account = nb::getattr(self, k().positions);
  const bool buy = equals(item(order, k().action), globals->action_buy);
  const long long open = require_int(item(order, k().quantity), "quantity");
  const bool limit = equals(item(order, k().price_type), globals->price_lmt);
  const nb::object type = item(order, k().order_type);
  const bool ioc = equals(type, globals->order_ioc);
  const bool fok = equals(type, globals->order_fok);

  exchange::Arrival arrival;
  if (limit) {
    arrival = exchange::arrive(buy, require_number(item(order, k().price), "price"), open, quotes);
  } else {  // a market order meets the opposite side
    arrival.take = std::min(open, buy ? quotes.ask_left() : quotes.bid_left());
    arrival.price = buy ? quotes.ask : quotes.bid;
  }
  if (arrival.take > 0 && !within_limits(matcher, text_of(item(order, k().code)), arrival.price))
    arrival.take = 0;  // quotes outside the day's price limits offer nothing
  if (fok && arrival.take < open) {  // all at once or nothing
    matcher.index.remove(book, order);
    exchange_cancel(self, account, order, open, tick_ts);
    return;
  }
  if (arrival.take > 0) {
    quotes_board(matcher, text_of(item(order, k().code))).take(buy, arrival.take);
    fill_order(self, account, order, arrival.take, nb::float_(arrival.price), tick_ts);
  }
  if (ioc || fok) {  // what did not fill at once goes
    matcher.index.remove(book, order);
    if (open > arrival.take) exchange_cancel(self, account, order, open - arrival.take, tick_ts);
    return;
  }
  settle(matcher, book, order, open, arrival.take);
  if (limit && open > arrival.take)
    matcher.queue[text_of(item(order, k().trade_id))] = arrival.queue;
}

void queue_pass(nb::handle self, nb::handle book, const std::vector<IndexedOrder>& orders,
                nb::handle code, double close, long long volume, nb::handle tick_ts) {
  Matcher& matcher = state_of(self);
  nb::object account = nb::getattr(self, k().positions);
  std::vector<exchange::Resting> resting;
  std::vector<const IndexedOrder*> queued;
  for (const IndexedOrder& entry : orders) {
    nb::handle order = entry.order;
    if (entry.kind != exchange::OrderKind::ROD) {  // IOC and FOK never rest: today's rules
      volume -= touch_order(self, account, book, entry, close, volume, tick_ts);
      continue;
    }
    const long long open = require_int(item(order, k().quantity), "quantity");
    if (open <= 0) {  // changed down to nothing: the tick that reaches it removes it, as under touch
      if (exchange::price_matches(entry.limit, entry.buy,
                                  require_number(item(order, k().price), "price"), close)) {
        matcher.index.remove(book, order);
        matcher.queue.erase(text_of(item(order, k().trade_id)));
      }
      continue;
    }
    if (!entry.limit) {  // against the opposite best while it shows any, else from the trade
      const exchange::Quotes quotes = quotes_for(matcher, code);
      if (quotes.usable() && (entry.buy ? quotes.ask_left() : quotes.bid_left()) > 0)
        settle(matcher, book, order, open,
               take_opposite(self, account, entry.buy, open, order, tick_ts));
      else
        volume -= touch_order(self, account, book, entry, close, volume, tick_ts);
      continue;
    }
    // An order that entered the book before its place was known waits behind the best.
    exchange::QueuePosition& place = matcher.queue[text_of(item(order, k().trade_id))];
    resting.push_back({entry.buy, require_number(item(order, k().price), "price"), open, &place});
    queued.push_back(&entry);
  }
  const std::vector<long long> fills = exchange::trade(resting, close, volume);
  for (size_t i = 0; i < resting.size(); ++i) {
    nb::handle order = queued[i]->order;
    if (fills[i] > 0) fill_order(self, account, order, fills[i], nb::float_(close), tick_ts);
    if (resting[i].open > fills[i])
      exchange::observe(*resting[i].queue, resting[i].buy, resting[i].price, quotes_for(matcher, code));
    settle(matcher, book, order, resting[i].open, fills[i]);
  }
}

nb::str fill_model_of(nb::handle self) {
  return nb::str(state_of(self).model == FillModel::Queue ? "queue" : "touch");
}

nb::object latency_ms_of(nb::handle self) {
  const double ms = state_of(self).latency_ms;
  if (ms == static_cast<double>(static_cast<long long>(ms))) return nb::int_(static_cast<long long>(ms));
  return nb::float_(ms);
}

namespace {

nb::list orders_in_flight(nb::handle self) {
  Matcher& matcher = state_of(self);
  auto lock = lock_releasing_gil(matcher.book);
  nb::list orders;
  for (const InFlight& sent : matcher.in_flight)
    if (sent.kind == InFlight::Kind::New) orders.append(sent.order);
  return orders;
}

nb::object last_order_id(nb::handle self) { return state_of(self).last_order_id; }

}  // namespace

void bind_fill_model(nb::class_<Matcher>& cls) {
  def_property<&fill_model_of>(cls, "fill_model",
                               "成交模型: \"touch\" (成交價觸及委託價即成交) 或 \"queue\" (依最佳買賣價的排隊量估計)");
  def_property<&latency_ms_of>(cls, "latency_ms", "委託、改單與刪單送達交易所的延遲 (毫秒)");
  def_property<&orders_in_flight>(cls, "orders_in_flight", "已送出但尚未到達交易所的新委託 (依送達順序)");
  def_property<&last_order_id>(cls, "last_order_id", "最近一筆新委託的 trade_id (尚未到達的也算)");
}

}  // namespace orva::py::matcher
