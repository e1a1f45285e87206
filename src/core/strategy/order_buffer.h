// What a compiled strategy's per-tick function is handed and what it gives back:
// the C signature it is compiled to, and the order rows it appends to its
// buffer, read and checked before any of them reaches the exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orva::strategy {

// The tick's fields (bid and ask NaN when the replay carries no quotes), the
// strategy's own state arrays, the net position per code index, and the
// order buffer (`capacity` rows of kOrderFields) it fills from its first row.
// Returns how many rows it filled; a negative value stops the run.
using TickFunction = int64_t (*)(double time, int64_t code, double close, int64_t volume,
                                 int64_t tick_type, double bid, double ask, double* values,
                                 int64_t n_values, int64_t* counters, int64_t n_counters,
                                 int64_t* positions, int64_t n_codes, double* orders,
                                 int64_t capacity);

// One row: code index, action (1 buy, -1 sell), quantity, price (0: at market),
// order type (0 ROD, 1 IOC, 2 FOK).
inline constexpr int kOrderFields = 5;
enum class OrderType { ROD = 0, IOC = 1, FOK = 2 };

struct OrderRequest {
  int64_t code;
  bool buy;
  int64_t quantity;
  double price;  // 0: a market order
  OrderType type;
};

// The orders of the first `filled` rows; none, and what is wrong in `error`
// (in the user's words), when the count or any row is not sound.
struct ReadOrders {
  std::vector<OrderRequest> orders;
  std::string error;
};
ReadOrders read_orders(const double* rows, int64_t filled, int64_t capacity, int64_t codes);

// The rows handed to the function, followed by guard rows that hold a marker: a function that
// writes up to kGuardRows rows past its capacity is caught rather than left to corrupt memory
// that is not its own (numba's arrays check no bounds).
class GuardedRows {
 public:
  static constexpr int64_t kGuardRows = 16;

  explicit GuardedRows(int64_t capacity);
  double* rows() { return cells_.data(); }
  // Whether a guard row was written since the last look; the guard is marked again.
  bool overrun();

 private:
  int64_t capacity_;
  std::vector<double> cells_;
};

}  // namespace orva::strategy
