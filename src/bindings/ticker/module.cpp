// Module `ticker`: history ticks, the day cache, paced and direct replay, backfill.
#include <nanobind/nanobind.h>

#include "common/host.h"
#include "common/module_def.h"

namespace orva::py::ticker {
void bind_ticker(nanobind::module_& m);
}

ORVA_MODULE(ticker, m) {
  m.doc() = "Tick feed: history ticks per instrument-day, the day cache, paced and direct replay.";
  // Replay threads keep their tickers alive until the process ends.
  nanobind::set_leak_warnings(false);
  orva::py::init_host();
  orva::py::ticker::bind_ticker(m);
}
