// The price grid of a code, from the package's table of index futures ticks.
#pragma once

#include <nanobind/nanobind.h>

#include "costs/price_band.h"

namespace orva::py {

// `tick_sizes` is constant.FutureTickSize, read on every call (the host may edit it): a code
// it lists moves by its fixed tick, any other on the stock price bands. The grid refers to
// the code's text, which must outlive it.
costs::PriceGrid price_grid(nanobind::handle code, nanobind::handle tick_sizes);

}  // namespace orva::py
