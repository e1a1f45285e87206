// Module `positions`: the simulated account.
#include <nanobind/nanobind.h>

#include "positions/positions.h"

NB_MODULE(positions, m) {
  m.doc() = "Simulated trading account: settings, costs, positions and reports.";
  orva::py::bind_positions(m);
}
