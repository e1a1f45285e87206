// Daemon threads that run C++ loops and leave the process cleanly at exit.
//
// CPython stops a daemon thread that takes the GIL back during interpreter
// shutdown with a forced unwind. To keep that from meeting half-done work:
// - the thread's target is a plain CPython function, so no binding layer's
//   catch (...) swallows the unwind (which would abort the process);
// - an atexit hook closes every registered WorkerGate: a thread busy with a
//   piece of work finishes it, and the next wait parks it for good instead.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <mutex>

#include "threads/worker_gate.h"

namespace orva::py {

namespace nb = nanobind;

// Once per module, at load: registers the atexit hook that closes the gates.
void install_shutdown_hook();

void register_gate(threads::WorkerGate* gate);
void unregister_gate(threads::WorkerGate* gate);

// An object whose every call holds `mutex`. At exit the hook takes each such
// mutex for good (and a reference to its owner, which is then never freed):
// a call under way on a daemon thread finishes first, and later calls wait
// with the GIL released, so the interpreter never stops a thread inside one.
// That matters where a call runs library code that cannot be unwound (polars).
void register_exit_lock(PyObject* owner, std::recursive_timed_mutex* mutex);
void unregister_exit_lock(std::recursive_timed_mutex* mutex);

// Starts a daemon threading.Thread called `name` running `body`. A Python
// error escaping `body` is reported as the thread's uncaught exception.
nb::object start_daemon_thread(const char* name, std::function<void()> body);

// queue.get() with `gate` idle while waiting. Returns a new reference, or
// nullptr with the Python error set; never returns once the gate is closed.
// Holds no reference of its own across the wait.
PyObject* wait_for_item(threads::WorkerGate& gate, PyObject* queue);

}  // namespace orva::py
