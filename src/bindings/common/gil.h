// Locks a C++ mutex without ever waiting for it while holding the GIL: the
// thread holding the mutex may need the GIL to finish.
#pragma once

#include <Python.h>

#include <mutex>

namespace orva::py {

template <class Mutex>
std::unique_lock<Mutex> lock_releasing_gil(Mutex& mutex) {
  std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    // Not a scoped release: taking the GIL back may end this thread during
    // interpreter shutdown, and that must not happen inside a destructor.
    PyThreadState* state = PyEval_SaveThread();
    lock.lock();
    PyEval_RestoreThread(state);
  }
  return lock;
}

}  // namespace orva::py
