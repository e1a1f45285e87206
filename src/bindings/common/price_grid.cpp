#include "common/price_grid.h"

#include <string>

#include "common/args.h"

namespace orva::py {

costs::PriceGrid price_grid(nb::handle code, nb::handle tick_sizes) {
  const std::string_view text = require_str(code, "code");
  if (checked(PySequence_Contains(tick_sizes.ptr(), code.ptr())) == 0) return {text};
  nb::object tick = tick_sizes[code];
  const double size = require_number(tick, "tick size");
  if (!costs::valid_fixed_tick(size))
    raise_value_error("期貨 " + std::string(text) + " 的跳動點不可用: " + text_of(tick));
  return {text, size};
}

}  // namespace orva::py
