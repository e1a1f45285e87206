// NB_MODULE, with nanobind 2's shared state released only by a module whose exec ran.
//
// nanobind 2's module definition has no module state, so CPython calls its m_free for every
// module object it deallocates, even one created but never executed (Ctrl-C lands between
// the import's two steps); nanobind then released state it never took, and the process
// crashed. With a state of one byte CPython allocates it just before exec and calls m_free
// only for a module that has it. nanobind 3 keeps a state of its own.
#pragma once

#include <nanobind/nanobind.h>

#if NB_VERSION_MAJOR >= 3
#define ORVA_MODULE(name, variable) NB_MODULE(name, variable)
#else
namespace orva::py {
// What a module's PyInit returned, its definition given a state when it had none.
inline PyObject* with_module_state(PyObject* made) {
  if (made && PyObject_TypeCheck(made, &PyModuleDef_Type)) {
    auto* def = reinterpret_cast<PyModuleDef*>(made);
    if (def->m_size == 0 && def->m_free) def->m_size = 1;
  }
  return made;
}
}  // namespace orva::py

// nanobind's own PyInit under another name, called by the module's.
#define ORVA_MODULE(name, variable)                                          \
  extern "C" PyObject* PyInit_##name##_nanobind(void);                      \
  extern "C" NB_EXPORT PyObject* PyInit_##name(void) {                      \
    return orva::py::with_module_state(PyInit_##name##_nanobind());         \
  }                                                                         \
  NB_MODULE(name##_nanobind, variable)
#endif
