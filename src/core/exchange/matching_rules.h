// What one tick does to one pending order: the price test and the quantity
// rules of ROD, IOC and FOK orders.
#pragma once

namespace orva::exchange {

enum class OrderKind { ROD, IOC, FOK, Other };

struct OrderTerms {
  OrderKind kind;
  bool limit;   // a limit order; any other price type trades at any price
  bool buy;
  double price;
  long long quantity;  // open quantity
};

struct Outcome {
  bool price_match = false;
  long long deal_qty = 0;     // filled on this tick (0: no fill)
  long long cancel_qty = 0;   // cancelled by the exchange (0: no cancel)
  long long open_qty = 0;     // what stays open in the order record (ROD)
  bool remove = false;        // the order leaves the book
};

// The price test: a limit buy trades at or below its price, a limit sell at or
// above it; other price types trade at any price.
bool price_matches(bool limit, bool buy, double order_price, double tick_close);

// `tick_qty` is the volume the tick still has for this order (above 0).
// An order with nothing open never fills: when the tick would settle it, it
// just leaves the book.
Outcome match_order(const OrderTerms& order, double tick_close, long long tick_qty);

}  // namespace orva::exchange
