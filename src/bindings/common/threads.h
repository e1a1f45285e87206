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

// Marks the calling thread as inside one of our methods for the scope's life.
// The atexit hook waits (up to the shared deadline) until no thread is, and
// from then on a thread entering one parks for good instead: the interpreter
// never stops a thread with our frames on its stack, whose unwinding would
// release Python objects without the GIL while the interpreter is torn down.
// Every bound method, property and constructor holds one.
class InFlight {
 public:
  InFlight();
  ~InFlight();
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
};

// Parks the calling thread for good once the process is exiting (unless it is
// the thread running the exit). For points where our code is about to run host
// code (console, log) or between two ticks of a replay: parking there never
// unwinds, so nothing is released half-used. Needs the GIL.
void park_if_exiting();

// Starts a daemon threading.Thread called `name` running `body`. A Python
// error escaping `body` is reported as the thread's uncaught exception.
nb::object start_daemon_thread(const char* name, std::function<void()> body);

// queue.get() with `gate` idle while waiting. Returns a new reference, or
// nullptr with the Python error set; never returns once the gate is closed.
// Holds no reference of its own across the wait.
PyObject* wait_for_item(threads::WorkerGate& gate, PyObject* queue);

}  // namespace orva::py
