// The quotes an order meets at the exchange for one code: the latest a tick
// showed, less what the strategy's own orders have already taken from them,
// and none at all across a session break.
#pragma once

#include <climits>

#include "exchange/queue_fill.h"

namespace orva::exchange {

// The exchange session of a time (seconds since the epoch), by the exchange's
// clock (Taipei, UTC+8 all year): each date's day session (05:00 to 15:00) and
// night session (15:00 to 05:00 the next morning) are distinct, so a close, a
// night or a holiday lies between two times of different sessions.
long long session_of(double seconds);
// The time (seconds since the epoch) at which `session` ends and the next begins.
double session_end(long long session);

class QuotesInForce {
 public:
  // A tick at `time` shows `quotes`. What the strategy took at a price that is
  // still shown stays taken: recorded quantities know nothing of its orders.
  void show(const Quotes& quotes, double time);
  // Whether these quotes were shown in the session of `time`.
  bool current(double time) const;
  // What an order reaching the exchange at `time` meets: no quotes when a
  // session break lies between, else the quotes with what was taken of them.
  Quotes at(double time) const;
  // An order took `quantity` of what the opposite side shows (the ask for a buy).
  void take(bool buy, long long quantity);

 private:
  Quotes shown_;
  long long session_ = LLONG_MIN;
};

}  // namespace orva::exchange
