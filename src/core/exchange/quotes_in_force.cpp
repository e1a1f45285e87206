#include "exchange/quotes_in_force.h"

#include <cmath>

#include "calendar/taipei.h"

namespace orva::exchange {
namespace {

constexpr double kSessionsStart = 5 * 3600;  // a calendar day's sessions start at 05:00
constexpr double kNightStart = 15 * 3600;

}  // namespace

long long session_of(double seconds) {
  if (!std::isfinite(seconds)) return LLONG_MIN;
  const double local = seconds + calendar::kTaipeiOffsetSeconds - kSessionsStart;
  const double day = std::floor(local / 86400);
  const bool night = local - day * 86400 >= kNightStart - kSessionsStart;
  return static_cast<long long>(day) * 2 + (night ? 1 : 0);
}

double session_end(long long session) {
  const long long day = (session - (session & 1)) / 2;  // floored, as session_of counts days
  const double end = (session & 1) ? 86400 : kNightStart - kSessionsStart;
  return static_cast<double>(day) * 86400 + end - calendar::kTaipeiOffsetSeconds + kSessionsStart;
}

void QuotesInForce::show(const Quotes& quotes, double time) {
  const long long session = session_of(time);
  Quotes next = quotes;
  if (session == session_) {
    if (same_price(quotes.ask, shown_.ask)) next.ask_taken = shown_.ask_taken;
    if (same_price(quotes.bid, shown_.bid)) next.bid_taken = shown_.bid_taken;
  }
  shown_ = next;
  session_ = session;
}

bool QuotesInForce::current(double time) const { return session_of(time) == session_; }

Quotes QuotesInForce::at(double time) const { return current(time) ? shown_ : Quotes{}; }

void QuotesInForce::take(bool buy, long long quantity) {
  if (quantity <= 0) return;
  (buy ? shown_.ask_taken : shown_.bid_taken) += quantity;
}

}  // namespace orva::exchange
