#include "exchange/matching_rules.h"

#include <algorithm>

namespace orva::exchange {

bool price_matches(bool limit, bool buy, double order_price, double tick_close) {
  return !limit || (buy ? tick_close <= order_price : tick_close >= order_price);
}

Outcome match_order(const OrderTerms& order, double tick_close, long long tick_qty) {
  Outcome out;
  out.open_qty = order.quantity;
  out.price_match = price_matches(order.limit, order.buy, order.price, tick_close);
  const bool empty = order.quantity <= 0;
  switch (order.kind) {
    case OrderKind::ROD:
      if (!out.price_match) return out;
      if (empty) {
        out.remove = true;
        return out;
      }
      out.deal_qty = std::min(tick_qty, order.quantity);
      out.open_qty = order.quantity - out.deal_qty;
      out.remove = out.open_qty == 0;
      return out;
    case OrderKind::IOC:
      out.remove = true;
      if (empty) return out;
      if (out.price_match) out.deal_qty = std::min(tick_qty, order.quantity);
      out.cancel_qty = order.quantity - out.deal_qty;
      return out;
    case OrderKind::FOK:
      out.remove = true;
      if (empty) return out;
      if (out.price_match && tick_qty >= order.quantity)
        out.deal_qty = order.quantity;
      else
        out.cancel_qty = order.quantity;
      return out;
    case OrderKind::Other:
      return out;
  }
  return out;
}

}  // namespace orva::exchange
