// Argument checks shared by every binding: each failure names the argument.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orva::py {

namespace nb = nanobind;

// Raises TypeError: "參數 <name> 必須是 <expected>, 收到 <type>: <repr>".
[[noreturn]] void raise_type_error(const char* name, const char* expected, nb::handle got);

// Raise the host's plain Exception, ValueError or TypeError with `message`.
// Every error leaves C++ as nb::python_error, so any catch of those sees it.
[[noreturn]] void raise_exception(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);

// Python ints only; bool is refused because a flag passed as a count is a bug.
bool is_int(nb::handle obj);

// The text of a str (or str-based enumeration member), else TypeError.
std::string_view require_str(nb::handle obj, const char* name);

// An int that fits in 64 bits; a larger one is a ValueError naming the argument.
long long require_int(nb::handle obj, const char* name);

// True or False only: a flag given as a number or a text is a bug.
bool require_bool(nb::handle obj, const char* name);

// Any real number, converted with float().
double require_number(nb::handle obj, const char* name);
// The same, but never a bool: True given for an amount or a time is a bug, not 1.
double require_amount(nb::handle obj, const char* name);

// `value` of argument `name` refused with a ValueError unless it lies in
// [low, high]; the checks name the value. NaN is never in range.
void require_range(double value, const char* name, double low, double high);
void require_range(long long value, const char* name, long long low, long long high);

// Refuses anything but None or an exact-kind value, before any state changes.
void require_float_or_none(nb::handle obj, const char* name);
void require_int_or_none(nb::handle obj, const char* name);
void require_callable_or_none(nb::handle obj, const char* name);

// A new reference the C API returned, or its Python error raised.
nb::object checked(PyObject* result);
// A C-API status or flag (0 or more), or its Python error raised for -1.
int checked(int status);

// The truth value of `obj`; an error raised by its __bool__ propagates.
bool truth(nb::handle obj);

// A code that will be part of a file name: no path separator, "..", or
// control character, else ValueError "不合法的商品代碼: <repr>".
std::string_view require_safe_code(nb::handle code, const char* name);

// The text of a str as is, or str() of anything else, for messages.
std::string text_of(nb::handle obj);

}  // namespace orva::py

namespace orva::py {

// An interned str, for record keys built on every call.
nb::str interned(const char* text);

// dict[key] with the host's KeyError when missing; other mappings through getitem.
nb::object item(nb::handle mapping, nb::handle key);

// mapping.get(key) for a dict (None when missing); other mappings through .get.
nb::object item_or_none(nb::handle mapping, nb::handle key);

// obj.name, read from obj's own __dict__ when `own` and it is there: no lookup through the
// type, for the instance attributes our classes read per tick. Only for an instance of the
// class itself (`own`), whose type defines no such name; a subclass's may.
nb::object attribute(nb::handle obj, const nb::str& name, bool own);

// A dict argument, else TypeError naming it.
void require_dict(nb::handle obj, const char* name);

// The product types "Stock", "Future" and "Option" (enumeration members included).
enum class Product { Stock, Future, Option, Other };
Product product_of(nb::handle product_type);

}  // namespace orva::py
