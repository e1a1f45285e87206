#include "exchange/price_limits.h"

#include "exchange/queue_fill.h"
#include "exchange/quotes_in_force.h"

namespace orva::exchange {

bool Band::contains(double price) const {
  return (price >= low || same_price(price, low)) && (price <= high || same_price(price, high));
}

double floor_to_grid(const costs::PriceGrid& grid, double price) {
  const costs::GridPrice up = costs::ceil_price_by_tick(grid, price);
  // Off the grid: one tick of the price's own band below the next grid price.
  return same_price(up.price, price) ? up.price : up.price - up.tick;
}

Band band_around(const costs::PriceGrid& grid, double reference, double fraction) {
  return {costs::ceil_price_by_tick(grid, reference * (1 - fraction)).price,
          floor_to_grid(grid, reference * (1 + fraction))};
}

void DailyLimits::trade(const costs::PriceGrid& grid, double fraction, double seconds,
                        double close) {
  // Most trades follow one of the same session: it need not be worked out again.
  if (seconds >= from_ && seconds < until_) {
    last_close_ = close;
    return;
  }
  const long long session = session_of(seconds);
  if (session == LLONG_MIN) return;
  if (session != session_) {
    const bool night = (session & 1) != 0;
    const bool after_night = session_ != LLONG_MIN && (session_ & 1) != 0;
    if ((night || !after_night) && !std::isnan(last_close_))
      band_ = band_around(grid, last_close_, fraction);
    session_ = session;
  }
  from_ = seconds;
  until_ = session_end(session) - 1;  // a second clear of rounding at the boundary
  last_close_ = close;
}

}  // namespace orva::exchange
