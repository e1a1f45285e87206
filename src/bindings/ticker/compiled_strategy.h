// A compiled strategy inside the direct replay: its per-tick function is called
// through its C pointer, with no interpreter in between, and the orders it
// returns are placed through the exchange's C table like any strategy's.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "common/direct_api.h"
#include "strategy/order_buffer.h"

namespace orva::py::ticker {

namespace nb = nanobind;

class MergedDays;

// One drive's compiled strategy: the function, the buffers it shares with the
// host (held exported for the drive, so none can be resized under it), and
// what it trades.
class CompiledRun {
 public:
  // From the host's (address, values, counters, positions, orders, codes,
  // product types, refuse): the function's address, float64 and int64 state
  // arrays, the int64 net position per code index (the host keeps it current),
  // the float64 order buffer of whole rows, per code index its code and type,
  // and None or refuse(code, seconds), which raises to stop an option order.
  explicit CompiledRun(nb::handle setup);
  ~CompiledRun();
  CompiledRun(const CompiledRun&) = delete;
  CompiledRun& operator=(const CompiledRun&) = delete;

  // Notes which sources of `rows` hold a code the strategy trades.
  void map_sources(const MergedDays& rows);
  // The function's turn on `tick` (a no-op for a code it does not trade);
  // true when it placed orders. A bad count or row places none and raises.
  bool call(const direct::Tick& tick, double seconds, PyObject* matcher,
            const direct::MatcherApi& exchange,
            const std::function<void()>& before_orders);
  // Reads the positions from the account again when its trade records grew: a
  // settlement at expiry books one but sends no deal report.
  void follow_account(PyObject* matcher);

 private:
  void release_views();  // those exported so far

  strategy::TickFunction function_;
  Py_buffer values_{}, counters_{}, positions_{}, orders_{};
  int64_t codes_count_ = 0, capacity_ = 0;
  std::optional<strategy::GuardedRows> rows_;  // what the function writes its orders into
  std::vector<nb::object> codes_, products_;
  std::vector<bool> options_;  // per code index: an option series, which `refuse_` is asked of
  nb::object refuse_;
  std::vector<double> last_close_;  // per code index: a market order's price
  std::vector<std::pair<PyObject*, int64_t>> sources_;  // a source's code object → code index
  nb::str buy_, sell_, market_, limit_, types_[3];
  nb::object account_, records_;
  Py_ssize_t records_seen_ = -1;
};

}  // namespace orva::py::ticker
