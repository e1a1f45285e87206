// Module `positions`: the simulated account.
#include <nanobind/nanobind.h>

#include "common/host.h"
#include "common/module_def.h"
#include "common/threads.h"
#include "positions/positions.h"
#include "positions/positions_internal.h"
#include "positions/quote_manager.h"

ORVA_MODULE(positions, m) {
  m.doc() = "Simulated trading account: settings, costs, positions and reports.";
  // Matchers' intake threads keep their accounts alive until the process ends.
  nanobind::set_leak_warnings(false);
  orva::py::init_host();
  orva::py::install_shutdown_hook();
  // Package directories shared with the reports.
  nanobind::object path = nanobind::module_::import_("os").attr("path");
  nanobind::object base_dir = path.attr("dirname")(path.attr("abspath")(m.attr("__file__")));
  m.attr("base_dir") = base_dir;
  nanobind::object static_dir = path.attr("join")(base_dir, "../../static");
  // An editable install keeps the module in its build tree, away from the
  // package data: the package's own folder is then the place to look.
  if (!nanobind::cast<bool>(path.attr("isdir")(static_dir)))
    static_dir = path.attr("join")(
        path.attr("dirname")(nanobind::module_::import_("orva_backtest").attr("__file__")), "static");
  m.attr("static_dir") = static_dir;
  orva::py::bind_positions(m);
  orva::py::positions::set_up_reports(m);
  orva::py::positions::bind_quote_manager(m);
  orva::py::positions::bind_bar_feed(m);
}
