#include "common/methods.h"

#include "common/args.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <typeinfo>

namespace orva::py::detail {

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out, nb::object& rest) {
  const size_t count = sig.names.size();
  const size_t named = sig.rest ? count - 1 : count;
  if (nargs < 0 || (!sig.rest && static_cast<size_t>(nargs) > count)) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", sig.name, count,
                 nargs);
    return false;
  }
  const size_t positional = std::min(static_cast<size_t>(nargs), named);
  for (size_t i = 0; i < positional; ++i) out[i] = args[i];
  if (sig.rest) {
    rest = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs) - static_cast<Py_ssize_t>(positional)));
    if (!rest.is_valid()) return false;
    for (Py_ssize_t i = static_cast<Py_ssize_t>(positional); i < nargs; ++i)
      PyTuple_SET_ITEM(rest.ptr(), i - static_cast<Py_ssize_t>(positional), nb::borrow(args[i]).release().ptr());
    out[count - 1] = rest.ptr();
  }
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    const char* text = PyUnicode_AsUTF8(key);
    if (!text) return false;
    size_t slot = count;
    for (size_t i = 0; i < named; ++i)
      if (std::strcmp(sig.names[i], text) == 0) slot = i;
    if (slot == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", sig.name, text);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, text);
      return false;
    }
    out[slot] = args[nargs + j];
  }
  for (size_t i = 0; i < count; ++i) {
    if (out[i]) continue;
    if (!sig.defaults[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", sig.name,
                   sig.names[i]);
      return false;
    }
    out[i] = sig.defaults[i];
  }
  return true;
}

void set_error(const nb::builtin_exception& error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.type()) {
    case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
    case nb::exception_type::index_error: type = PyExc_IndexError; break;
    case nb::exception_type::key_error: type = PyExc_KeyError; break;
    case nb::exception_type::value_error: type = PyExc_ValueError; break;
    case nb::exception_type::type_error: type = PyExc_TypeError; break;
    case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
    case nb::exception_type::import_error: type = PyExc_ImportError; break;
    case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
    default: break;
  }
  PyErr_SetString(type, error.what());
}

void set_error(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error)) {
    PyErr_NoMemory();
    return;
  }
  PyErr_SetString(PyExc_RuntimeError, error.what());
}

namespace {

// PyErr_Format takes only an ASCII format: these messages are not.
bool refuse_instance(PyObject* self, const char* why) {
  PyErr_SetString(PyExc_TypeError, (std::string(Py_TYPE(self)->tp_name) + " 物件" + why).c_str());
  return false;
}

}  // namespace

bool check_ready(PyObject* self) {
  if (nb::inst_check(self) && !nb::inst_ready(self))
    return refuse_instance(self, "尚未初始化 (未呼叫 __init__)");
  return true;
}

bool check_fresh(PyObject* self) {
  if (nb::inst_check(self) && nb::inst_ready(self))
    return refuse_instance(self, "已初始化, 不能再次呼叫 __init__");
  return true;
}

PyObject* finish(PyObject* result) {
  // A result with an error still set would surface later as a misleading SystemError.
  if (result && PyErr_Occurred()) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

Signature* make_signature(const char* name, std::initializer_list<Param> params) {
  auto* sig = new Signature{name, {}, {}};
  for (const Param& p : params) {
    if (sig->rest) throw std::logic_error("a rest parameter must come last");
    sig->names.push_back(p.name);
    sig->defaults.push_back(p.default_value.is_valid() ? p.default_value.inc_ref().ptr() : nullptr);
    sig->rest = p.rest;
  }
  return sig;
}

const char* make_doc(const Signature& sig, const char* doc, bool method) {
  std::string text = std::string(sig.name) + (method ? "($self" : "(");
  for (size_t i = 0; i < sig.names.size(); ++i) {
    if (method || i > 0) text += ", ";
    if (sig.rest && i + 1 == sig.names.size()) text += "*";
    text += sig.names[i];
    if (sig.defaults[i]) text += "=" + std::string(nb::repr(nb::handle(sig.defaults[i])).c_str());
  }
  text += ")\n--\n\n";
  if (doc) text += doc;
  return (new std::string(std::move(text)))->c_str();  // a method's doc lives for good
}

void add_method(nb::handle cls, const char* name, PyCFunctionWithKeywords fn, const char* doc) {
  auto* def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn)),
                              METH_FASTCALL | METH_KEYWORDS, doc};
  nb::object descr = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
  if (!descr.is_valid()) throw nb::python_error();
  if (PyObject_SetAttrString(cls.ptr(), name, descr.ptr()) < 0) throw nb::python_error();
}

nb::object make_function(const char* name, PyCFunctionWithKeywords fn, const char* doc) {
  auto* def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn)),
                              METH_FASTCALL | METH_KEYWORDS, doc};
  return checked(PyCFunction_New(def, nullptr));
}

void add_property(nb::handle cls, const char* name, PyCFunction get, _PyCFunctionFast set,
                  const char* doc) {
  auto* get_def = new PyMethodDef{name, get, METH_O, nullptr};
  nb::object getter = nb::steal(PyCFunction_New(get_def, nullptr));
  if (!getter.is_valid()) throw nb::python_error();
  nb::object setter = nb::none();
  if (set) {
    auto* set_def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(set)),
                                    METH_FASTCALL, nullptr};
    setter = nb::steal(PyCFunction_New(set_def, nullptr));
    if (!setter.is_valid()) throw nb::python_error();
  }
  nb::object text = nb::none();
  if (doc) text = nb::str(doc);
  nb::object prop = nb::module_::import_("builtins").attr("property")(getter, setter, nb::none(), text);
  if (PyObject_SetAttrString(cls.ptr(), name, prop.ptr()) < 0) throw nb::python_error();
}

}  // namespace orva::py::detail
