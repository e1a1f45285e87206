// A drive whose strategy reads no reports: the exchange makes none, only counts them, and
// the loop does with each tick's what the host's dispatcher would have done with them.
#pragma once

#include <nanobind/nanobind.h>

#include "common/direct_api.h"

namespace orva::py::ticker {

namespace nb = nanobind;

class CompiledRun;

class MutedReports {
 public:
  // Mutes `matcher`'s reports until destroyed; `on_fills(tick)` is the host's step after
  // a tick's fills (the dispatcher's, less the reports).
  MutedReports(nb::handle matcher, const direct::MatcherApi& exchange, nb::handle on_fills);
  ~MutedReports();
  MutedReports(const MutedReports&) = delete;
  MutedReports& operator=(const MutedReports&) = delete;

  // Takes the counts of the reports left unmade since the last take; true when any was.
  bool take();
  // What handing them over would do, the tick's `record` at hand: it becomes ctx.tick and,
  // after fills, a compiled strategy's positions follow the account and on_fills is called.
  void hand_over(PyObject* ctx, PyObject* record, CompiledRun* compiled);

 private:
  nb::object matcher_, on_fills_;
  nb::str tick_;
  const direct::MatcherApi& exchange_;
  direct::UnreadReports unread_;
};

}  // namespace orva::py::ticker
