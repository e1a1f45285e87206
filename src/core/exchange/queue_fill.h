// The queue fill model: a resting limit order fills only once the quantity
// displayed ahead of it at its price has traded, estimated conservatively from
// the best bid and ask a tick shows.
#pragma once

#include <vector>

namespace orva::exchange {

// The best bid and ask of a tick, with their displayed quantities and what
// the strategy's own orders have taken of them (recorded quotes cannot know).
struct Quotes {
  double bid = 0, ask = 0;
  long long bid_volume = 0, ask_volume = 0;
  long long bid_taken = 0, ask_taken = 0;
  // Both sides shown (prices and quantities above 0) and not crossed.
  bool usable() const;
  // What is left to take or to queue behind on each side.
  long long bid_left() const;
  long long ask_left() const;
};

// Where a resting limit order stands at its price.
struct QueuePosition {
  // False while the order is behind the best price: the quantity ahead is not
  // known until a tick shows its price as the best, and until then only a
  // trade through its price fills it.
  bool known = false;
  long long ahead = 0;  // falls only through trades at the order's price
};

// A limit order reaching the exchange meets the quotes in force: a buy at or
// above the ask takes what the ask shows (at the ask), and its rest waits at
// its price; a buy above the bid improves it (nothing ahead); at the bid it
// queues behind the bid's quantity; below the bid its place is not known.
// Sells mirror this. Unusable quotes tell nothing: the place is not known.
struct Arrival {
  long long take = 0;    // filled at once, at `price`
  double price = 0;
  QueuePosition queue;   // of the rest
};
Arrival arrive(bool buy, double price, long long quantity, const Quotes& quotes);

// A later tick's quotes: an unknown place becomes known (behind the displayed
// quantity) when the order's price is the best on its side.
void observe(QueuePosition& queue, bool buy, double price, const Quotes& quotes);

// A resting limit order of the traded code, as `trade` sees it.
struct Resting {
  bool buy;
  double price;
  long long open;
  QueuePosition* queue;
};

// What a trade of `volume` at `close` fills of `orders` (in arrival order):
// a trade through an order's price fills it; a trade at its price first
// works off the quantity ahead (and the strategy's own earlier orders at that
// price), and only what is left of the volume fills it. Fills never add up to
// more than `volume`. Returns the fill of each order and lowers the
// quantities ahead.
std::vector<long long> trade(std::vector<Resting>& orders, double close, long long volume);

// Whether two prices are the same price (they come from different sources).
bool same_price(double a, double b);

}  // namespace orva::exchange
