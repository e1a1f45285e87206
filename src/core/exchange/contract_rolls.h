// Which orders of a continuous futures code a roll voids: an order is void if it was sent, by
// the exchange's clock, before the contract month in force began. Most orders plainly were
// sent in the month they rest in; the few whose send time could say otherwise are noted.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orva::exchange {

// Where a code stands in its schedule of contract-month starts (seconds since the epoch).
struct ContractMonth {
  double began;     // the month in force by the account's ticks began; -inf for none yet
  double began_by;  // the latest month begun by the time asked about (began, or a later start)
  double next;      // the next month begins (inf after the last)
  bool rolling;     // a tick began the month in force; the last month's orders are not yet voided
};

// Whether the month of an order sent at `sent` (NaN before any tick) is in question: sent
// before any tick, once a new month began before its code's first trade there, or while a
// roll is booked or voids orders (`sweeping`).
bool worth_noting(double sent, const ContractMonth& month, bool sweeping);

// Whether an order on its way, sent at `sent`, is void as it arrives (`month` as of then).
bool void_on_arrival(double sent, const ContractMonth& month);

// The orders whose send time was noted.
class LateOrders {
 public:
  void note(std::string code, std::string trade_id, double sent);
  // What was sent before any tick counts as sent at the first.
  void start(double first_tick);
  // Each (code, start of its month now in force) rolled: the trade ids of those codes sent since
  // their month began, which the roll keeps. Every note of those codes goes.
  std::vector<std::string> roll(const std::vector<std::pair<std::string, double>>& rolled);
  // Whether a resting order awaits a roll's void: a month of its code began by the time `month`
  // was asked about, no trade of the code began it yet, and the order was not sent since.
  bool awaits_void(const std::string& trade_id, const ContractMonth& month) const;

 private:
  struct Sent {
    std::string code, trade_id;
    double at;
  };
  std::vector<Sent> sent_;
};

}  // namespace orva::exchange
