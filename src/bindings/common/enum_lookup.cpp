#include "common/enum_lookup.h"

namespace orva::py {

EnumLookup::EnumLookup(nb::handle constant_module, const char* name)
    : cls_(constant_module.attr(name)), by_value_(cls_.attr("_value2member_map_")) {}

nb::object EnumLookup::from_value(nb::handle value) const {
  if (PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(cls_.ptr())))
    return nb::borrow(value);
  if (PyUnicode_Check(value.ptr())) {
    PyObject* member = PyDict_GetItemWithError(by_value_.ptr(), value.ptr());
    if (member) return nb::borrow(member);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  return cls_.attr("from_value")(value);  // raises the enumeration's ValueError
}

}  // namespace orva::py
