// from_value of a text enumeration of orva_backtest.constant without a Python
// call on the common path: a member passes, a value text maps to its member.
#pragma once

#include <nanobind/nanobind.h>

namespace orva::py {

namespace nb = nanobind;

class EnumLookup {
 public:
  EnumLookup(nb::handle constant_module, const char* name);

  // The member for `value`; anything else gets the enumeration's own error.
  nb::object from_value(nb::handle value) const;

  // The member named `member`, e.g. member("CASH").
  nb::object member(const char* name) const { return cls_.attr(name); }

 private:
  nb::object cls_;
  nb::object by_value_;  // the enumeration's _value2member_map_
};

}  // namespace orva::py
