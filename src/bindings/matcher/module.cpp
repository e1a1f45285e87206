// Module `matcher`: the simulated exchange.
#include <nanobind/nanobind.h>

#include "common/host.h"
#include "common/module_def.h"

namespace orva::py::matcher {
void bind_matcher(nanobind::module_& m);
}

ORVA_MODULE(matcher, m) {
  m.doc() = "Simulated exchange: order intake, matching and reports.";
  // Intake threads keep their matchers alive until the process ends.
  nanobind::set_leak_warnings(false);
  orva::py::init_host();
  orva::py::matcher::bind_matcher(m);
}
