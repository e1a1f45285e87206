// NB_MODULE, with nanobind's shared state released only by a module whose exec ran.
//
// nanobind's module definition has no module state, so CPython calls its m_free for every
// module object it deallocates, even one created but never executed (Ctrl-C lands between
// the import's two steps); nanobind then released state it never took, and the process
// crashed. With a state of one byte CPython allocates it just before exec and calls m_free
// only for a module that has it.
#pragma once

#include <nanobind/nanobind.h>

#define ORVA_MODULE(name, variable)                                                     \
  static void orva_##name##_bind(nanobind::module_& variable);                         \
  NB_MODULE(name, variable) { orva_##name##_bind(variable); }                          \
  [[maybe_unused]] static const bool orva_##name##_freed_only_once_executed =          \
      (nanobind_##name##_module.m_size = 1, true);                                      \
  static void orva_##name##_bind(nanobind::module_& variable)
