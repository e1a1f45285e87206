// Methods and properties bound as plain CPython callables instead of through
// nanobind's dispatcher.
//
// CPython stops a daemon thread that takes the GIL back during interpreter
// shutdown with a forced unwind. Any of our methods may be on that thread's
// stack, because they call host code (console, queues, the account). The
// dispatcher's catch (...) would catch that unwind and rethrow it through
// std::rethrow_exception, which kills the process; these trampolines catch
// only the C++ exceptions our code throws, so the unwind passes through.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/threads.h"

namespace orva::py {

namespace nb = nanobind;

// A parameter of a bound method: required, with a default value, or (last
// only) collecting the further positional arguments as a tuple.
struct Param {
  const char* name;
  nb::object default_value;  // invalid when the argument is required
  bool rest = false;
};
inline Param param(const char* name) { return {name, nb::object()}; }
inline Param param(const char* name, nb::object default_value) {
  return {name, std::move(default_value)};
}
inline Param rest_param(const char* name) { return {name, nb::object(), true}; }

namespace detail {

struct Signature {
  const char* name;
  std::vector<const char*> names;
  std::vector<PyObject*> defaults;  // nullptr when required; owned for good
  bool rest = false;                // the last parameter takes a tuple of the rest
};

// Fills `out` (one slot per parameter) from a vectorcall; false with a
// TypeError set when the call does not fit the signature. `rest` receives a
// new tuple when the signature has a rest parameter; its slot borrows it.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out, nb::object& rest);

// Refuses an instance whose C++ state was never constructed (a subclass
// that skipped __init__).
bool check_ready(PyObject* self);
// Refuses a second __init__ of an instance already constructed.
bool check_fresh(PyObject* self);

// A result handed back to CPython: never a value with an error still set.
PyObject* finish(PyObject* result);

void set_error(const nb::builtin_exception& error);
void set_error(const std::exception& error);

// Runs `body` and turns the C++ exceptions our code throws into the Python
// error. Nothing else is caught: the forced unwind passes through untouched.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return finish(body());
  } catch (nb::python_error& error) {
    error.restore();
  } catch (const nb::builtin_exception& error) {
    set_error(error);
  } catch (const std::exception& error) {
    set_error(error);
  }
  return nullptr;
}


Signature* make_signature(const char* name, std::initializer_list<Param> params);
// "name($self, a, b=default)\n--\n\n" + doc, so inspect.signature works.
const char* make_doc(const Signature& sig, const char* doc, bool method = true);
nb::object make_function(const char* name, PyCFunctionWithKeywords fn, const char* doc);

void add_method(nb::handle cls, const char* name, PyCFunctionWithKeywords fn, const char* doc);
void add_property(nb::handle cls, const char* name, PyCFunction get, _PyCFunctionFast set,
                  const char* doc);

template <class R>
PyObject* to_python(R&& value) {
  if constexpr (std::is_base_of_v<nb::handle, std::decay_t<R>>)
    return value.release().ptr();
  else
    return nb::cast(std::forward<R>(value)).release().ptr();
}

template <class R, class... A>
constexpr size_t arity(R (*)(nb::handle, A...)) {
  return sizeof...(A);
}

template <auto Fn, size_t... I>
PyObject* invoke(PyObject* self, PyObject** argv, std::index_sequence<I...>) {
  using R = decltype(Fn(nb::handle(self), nb::handle(argv[I])...));
  if constexpr (std::is_void_v<R>) {
    Fn(nb::handle(self), nb::handle(argv[I])...);
    Py_RETURN_NONE;
  } else {
    return to_python(Fn(nb::handle(self), nb::handle(argv[I])...));
  }
}

// kInit: Fn constructs the instance's C++ state in place, and the instance
// counts as constructed (nanobind then destroys it) only once Fn succeeds.
template <auto Fn, bool kInit = false>
struct Method {
  static constexpr size_t kArity = arity(Fn);
  static inline const Signature* sig = nullptr;

  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const InFlight in_flight;  // first: a call entered at exit parks before it holds anything
    PyObject* argv[kArity + 1] = {};
    nb::object rest;
    if (self && !(kInit ? check_fresh(self) : check_ready(self))) return nullptr;
    if (!bind_arguments(*sig, args, nargs, kwnames, argv, rest)) return nullptr;
    return guarded([&] {
      PyObject* result = invoke<Fn>(self, argv, std::make_index_sequence<kArity>());
      if constexpr (kInit)
        if (result && !PyErr_Occurred()) nb::inst_mark_ready(self);
      return result;
    });
  }
};

template <class M>
const Signature* bind_signature(const char* name, std::initializer_list<Param> params) {
  static_assert(M::kArity < 16, "too many parameters");
  Signature* sig = make_signature(name, params);
  if (sig->names.size() != M::kArity) throw std::logic_error("parameter names do not match");
  M::sig = sig;
  return sig;
}

}  // namespace detail

// Runs `body` for a C entry point: 0, or -1 with the Python error set. Only
// our own exception types are caught, as in the trampolines.
template <class Body>
int guarded_status(Body&& body) {
  PyObject* done = detail::guarded([&]() -> PyObject* {
    body();
    Py_RETURN_NONE;
  });
  if (!done) return -1;
  Py_DECREF(done);
  return 0;
}

// Binds `Fn(self, args...)` (every argument a nb::handle) as method `name`.
template <auto Fn>
void def_method(nb::handle cls, const char* name, std::initializer_list<Param> params = {},
                const char* doc = nullptr) {
  using M = detail::Method<Fn>;
  const detail::Signature* sig = detail::bind_signature<M>(name, params);
  detail::add_method(cls, name,
                     reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void*>(&M::call)),
                     detail::make_doc(*sig, doc));
}

// Binds `Fn(self, args...)`, which constructs the C++ state in place
// (nb::inst_ptr), as __init__. Through our trampoline like every method: a
// construction under way on a daemon thread counts as a call in flight at
// exit, and nanobind's dispatcher, whose catch (...) would meet the forced
// unwind, is never on that thread's stack.
template <auto Fn>
void def_init(nb::handle cls, std::initializer_list<Param> params = {}) {
  using M = detail::Method<Fn, true>;
  const detail::Signature* sig = detail::bind_signature<M>("__init__", params);
  // nanobind's construction shortcut would only ever call an __init__ of its own.
  reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_vectorcall = nullptr;
  detail::add_method(cls, "__init__",
                     reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void*>(&M::call)),
                     detail::make_doc(*sig, nullptr));
}

// A module-level function `name` calling `Fn(nullptr handle, args...)`.
template <auto Fn>
nb::object function(const char* name, std::initializer_list<Param> params = {},
                    const char* doc = nullptr) {
  using M = detail::Method<Fn>;
  const detail::Signature* sig = detail::bind_signature<M>(name, params);
  return detail::make_function(
      name, reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void*>(&M::call)),
      detail::make_doc(*sig, doc, false));
}

// A property read by `Get(self)` and, unless Set is nullptr, assigned by `Set(self, value)`.
template <auto Get, auto Set = nullptr>
void def_property(nb::handle cls, const char* name, const char* doc = nullptr) {
  struct Accessors {
    static PyObject* get(PyObject*, PyObject* self) {
      const InFlight in_flight;
      if (!detail::check_ready(self)) return nullptr;
      return detail::guarded([&] { return detail::to_python(Get(nb::handle(self))); });
    }
    static PyObject* set(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
      if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "property setter takes (self, value)");
        return nullptr;
      }
      const InFlight in_flight;
      if (!detail::check_ready(args[0])) return nullptr;
      return detail::guarded([&]() -> PyObject* {
        if constexpr (Set != nullptr) Set(nb::handle(args[0]), nb::handle(args[1]));
        Py_RETURN_NONE;
      });
    }
  };
  detail::add_property(cls, name, &Accessors::get,
                       Set == nullptr ? nullptr : &Accessors::set, doc);
}

}  // namespace orva::py
