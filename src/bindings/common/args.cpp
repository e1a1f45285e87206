#include "common/args.h"

#include "feed/tick_files.h"

namespace orva::py {

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw nb::python_error();
}

// Python's shortest repr, so 0.1 reads as 0.1.
std::string number_text(double value) { return nb::repr(nb::float_(value)).c_str(); }

}  // namespace

void raise_type_error(const char* name, const char* expected, nb::handle got) {
  const std::string type_name = nb::type_name(got.type()).c_str();
  const std::string shown = nb::repr(got).c_str();
  raise(PyExc_TypeError,
        "參數 " + std::string(name) + " 必須是 " + expected + ", 收到 " + type_name + ": " + shown);
}

void raise_exception(const std::string& message) { raise(PyExc_Exception, message); }
void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }
void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

void require_range(double value, const char* name, double low, double high) {
  if (value >= low && value <= high) return;
  raise_value_error("參數 " + std::string(name) + " 必須介於 " + number_text(low) + " 與 " +
                    number_text(high) + " 之間, 收到: " + number_text(value));
}

void require_range(long long value, const char* name, long long low, long long high) {
  if (value >= low && value <= high) return;
  raise_value_error("參數 " + std::string(name) + " 必須介於 " + std::to_string(low) + " 與 " +
                    std::to_string(high) + " 之間, 收到: " + std::to_string(value));
}

bool is_int(nb::handle obj) { return PyLong_Check(obj.ptr()) && !PyBool_Check(obj.ptr()); }

std::string_view require_str(nb::handle obj, const char* name) {
  if (!PyUnicode_Check(obj.ptr())) raise_type_error(name, "str", obj);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (!data) throw nb::python_error();
  return {data, static_cast<size_t>(size)};
}

long long require_int(nb::handle obj, const char* name) {
  if (!is_int(obj)) raise_type_error(name, "int", obj);
  const long long value = PyLong_AsLongLong(obj.ptr());
  if (value == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
    PyErr_Clear();
    raise_value_error("參數 " + std::string(name) + " 超出 64 位元整數範圍: " + text_of(obj));
  }
  return value;
}

bool require_bool(nb::handle obj, const char* name) {
  if (!PyBool_Check(obj.ptr())) raise_type_error(name, "bool", obj);
  return obj.ptr() == Py_True;
}

double require_number(nb::handle obj, const char* name) {
  if (PyFloat_Check(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
  if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || !PyNumber_Check(obj.ptr()))
    raise_type_error(name, "float", obj);
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) {  // complex, or an int past any float: name the argument
    const bool too_large = PyErr_ExceptionMatches(PyExc_OverflowError);
    PyErr_Clear();
    if (too_large) raise_value_error("參數 " + std::string(name) + " 超出 float 的範圍");
    raise_type_error(name, "float", obj);
  }
  return value;
}

double require_amount(nb::handle obj, const char* name) {
  if (PyBool_Check(obj.ptr())) raise_type_error(name, "float", obj);
  return require_number(obj, name);
}

void require_float_or_none(nb::handle obj, const char* name) {
  if (!obj.is_none() && !PyFloat_Check(obj.ptr())) raise_type_error(name, "float 或 None", obj);
}

void require_int_or_none(nb::handle obj, const char* name) {
  if (!obj.is_none() && !is_int(obj)) raise_type_error(name, "int 或 None", obj);
}

void require_callable_or_none(nb::handle obj, const char* name) {
  if (!obj.is_none() && !PyCallable_Check(obj.ptr()))
    raise_type_error(std::string("參數 ") + name + " 必須可呼叫, 收到: " + nb::repr(obj).c_str());
}

nb::object checked(PyObject* result) {
  if (!result) throw nb::python_error();
  return nb::steal(result);
}

int checked(int status) {
  if (status < 0) throw nb::python_error();
  return status;
}

std::string_view require_safe_code(nb::handle code, const char* name) {
  const std::string_view text = require_str(code, name);
  if (!feed::is_safe_code(text)) raise_value_error("不合法的商品代碼: " + std::string(nb::repr(code).c_str()));
  return text;
}

bool truth(nb::handle obj) {
  const int value = PyObject_IsTrue(obj.ptr());
  if (value < 0) throw nb::python_error();
  return value == 1;
}

std::string text_of(nb::handle obj) {
  if (PyUnicode_Check(obj.ptr())) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
  }
  return nb::str(obj).c_str();
}

}  // namespace orva::py

namespace orva::py {

nb::str interned(const char* text) {
  return nb::steal<nb::str>(PyUnicode_InternFromString(text));
}

nb::object item(nb::handle mapping, nb::handle key) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (value) return nb::borrow(value);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
  }
  return mapping[key];
}

nb::object item_or_none(nb::handle mapping, nb::handle key) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
  }
  return mapping.attr("get")(key);
}

nb::object attribute(nb::handle obj, const nb::str& name, bool own) {
  PyObject** dict = own ? _PyObject_GetDictPtr(obj.ptr()) : nullptr;
  if (dict && *dict) {
    if (PyObject* value = PyDict_GetItemWithError(*dict, name.ptr())) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  return nb::getattr(obj, name);
}

void require_dict(nb::handle obj, const char* name) {
  if (!PyDict_Check(obj.ptr())) raise_type_error(name, "dict", obj);
}

Product product_of(nb::handle product_type) {
  if (PyUnicode_Check(product_type.ptr())) {
    if (PyUnicode_CompareWithASCIIString(product_type.ptr(), "Stock") == 0) return Product::Stock;
    if (PyUnicode_CompareWithASCIIString(product_type.ptr(), "Future") == 0) return Product::Future;
    if (PyUnicode_CompareWithASCIIString(product_type.ptr(), "Option") == 0) return Product::Option;
  }
  return Product::Other;
}

}  // namespace orva::py
