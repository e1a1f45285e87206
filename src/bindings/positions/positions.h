#pragma once

#include <nanobind/nanobind.h>

namespace orva::py {

void bind_positions(nanobind::module_& m);

}  // namespace orva::py
