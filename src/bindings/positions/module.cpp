// Module `positions`: the simulated account.
#include <nanobind/nanobind.h>

#include "common/host.h"
#include "positions/positions.h"

NB_MODULE(positions, m) {
  m.doc() = "Simulated trading account: settings, costs, positions and reports.";
  // Matchers' intake threads keep their accounts alive until the process ends.
  nanobind::set_leak_warnings(false);
  orva::py::init_host();
  orva::py::bind_positions(m);
}
