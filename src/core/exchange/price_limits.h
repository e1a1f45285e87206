// Daily price limits: each trading day, trades and orders stay within a
// fraction (10 % in Taiwan) of the reference price, the previous trading
// day's last trade, rounded inward to the price grid.
#pragma once

#include <climits>
#include <cmath>
#include <limits>
#include <optional>

#include "costs/price_band.h"

namespace orva::exchange {

struct Band {
  double low, high;
  bool contains(double price) const;
};

// The band around `reference`: the lowest grid price at or above
// reference × (1 − fraction), the highest at or below reference × (1 + fraction).
Band band_around(const costs::PriceGrid& grid, double reference, double fraction);

// The largest price of the grid at or below `price`.
double floor_to_grid(const costs::PriceGrid& grid, double price);

// One code's trading days as its trades show them, and the band of the day
// in force. A night session (from 15:00) opens the next trading day; a day
// session opens one unless a night session came just before it, so nights,
// weekends and holidays need no calendar.
class DailyLimits {
 public:
  // A trade at `close` at `seconds` since the epoch.
  void trade(const costs::PriceGrid& grid, double fraction, double seconds, double close);
  // None on the code's first trading day in the data: nothing came before it.
  const std::optional<Band>& band() const { return band_; }

 private:
  long long session_ = LLONG_MIN;
  // Trades from `from_` until `until_` are known to lie in `session_`.
  double from_ = std::numeric_limits<double>::infinity(), until_ = -from_;
  double last_close_ = std::nan("");
  std::optional<Band> band_;
};

}  // namespace orva::exchange
