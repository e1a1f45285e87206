#include "exchange/queue_fill.h"

#include <algorithm>
#include <cmath>

namespace orva::exchange {

bool Quotes::usable() const {
  return bid > 0 && ask > 0 && bid_volume > 0 && ask_volume > 0 && bid < ask && !same_price(bid, ask);
}

long long Quotes::bid_left() const { return std::max(0LL, bid_volume - bid_taken); }
long long Quotes::ask_left() const { return std::max(0LL, ask_volume - ask_taken); }

bool same_price(double a, double b) {
  return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

Arrival arrive(bool buy, double price, long long quantity, const Quotes& quotes) {
  Arrival out;
  if (!quotes.usable()) return out;
  const double best = buy ? quotes.bid : quotes.ask;
  const double opposite = buy ? quotes.ask : quotes.bid;
  const long long shown = buy ? quotes.bid_left() : quotes.ask_left();
  const long long opposite_shown = buy ? quotes.ask_left() : quotes.bid_left();
  const bool crosses = same_price(price, opposite) || (buy ? price > opposite : price < opposite);
  if (crosses) {
    out.take = std::min(quantity, opposite_shown);
    out.price = opposite;
    out.queue = {true, 0};
  } else if (same_price(price, best)) {
    out.queue = {true, shown};
  } else if (buy ? price > best : price < best) {
    out.queue = {true, 0};  // improves the best price: first in line
  }
  return out;
}

void observe(QueuePosition& queue, bool buy, double price, const Quotes& quotes) {
  if (queue.known || !quotes.usable()) return;
  if (same_price(price, buy ? quotes.bid : quotes.ask))
    queue = {true, buy ? quotes.bid_left() : quotes.ask_left()};
}

std::vector<long long> trade(std::vector<Resting>& orders, double close, long long volume) {
  std::vector<long long> fills(orders.size(), 0);
  long long remaining = std::max(0LL, volume);
  // Per price, where the strategy's own earlier orders there end in the queue.
  std::vector<std::pair<double, long long>> own_end;
  for (size_t i = 0; i < orders.size(); ++i) {
    Resting& order = orders[i];
    const bool at_price = same_price(close, order.price);
    const bool through = !at_price && (order.buy ? close < order.price : close > order.price);
    if (at_price && order.queue->known) {
      auto level = std::find_if(own_end.begin(), own_end.end(),
                                [&](const auto& e) { return same_price(e.first, order.price); });
      const long long behind_own = level == own_end.end() ? 0 : level->second;
      const long long ahead = std::max(order.queue->ahead, behind_own);
      const long long left = std::max(0LL, volume - ahead);
      fills[i] = std::min({order.open, left, remaining});
      if (level == own_end.end())
        own_end.emplace_back(order.price, ahead + order.open);
      else
        level->second = ahead + order.open;
      order.queue->ahead = std::max(0LL, order.queue->ahead - volume);
    } else if (through) {
      fills[i] = std::min(order.open, remaining);
      order.queue->known = true;  // the whole level traded: nothing is left ahead
      order.queue->ahead = 0;
    }
    remaining -= fills[i];
  }
  return fills;
}

}  // namespace orva::exchange
