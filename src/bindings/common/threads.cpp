#include "common/threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <exception>
#include <mutex>
#include <vector>

namespace orva::py {
namespace {

// One deadline for all busy workers together, so exit stays short however many there are.
constexpr std::chrono::seconds kShutdownGrace{3};

struct ExitLock {
  PyObject* owner;
  std::recursive_timed_mutex* mutex;
};

// Shared by the three modules (each links its own copy of this file), through
// a capsule on the package: one flag and one count of threads in our methods.
struct ExitState {
  std::atomic<bool> closing{false};
  std::atomic<long> busy{0};
  std::atomic<std::thread::id> closer{};
};
ExitState* exit_state = nullptr;  // never freed: read by threads the exit leaves parked
thread_local int depth = 0;       // our methods on this thread's stack

ExitState* shared_exit_state() {
  nb::object package = nb::module_::import_("orva_backtest");
  if (nb::hasattr(package, "_exit_state")) {
    void* state = PyCapsule_GetPointer(package.attr("_exit_state").ptr(), "orva.exit_state");
    if (!state) throw nb::python_error();
    return static_cast<ExitState*>(state);
  }
  auto* state = new ExitState();
  nb::object capsule = nb::steal(PyCapsule_New(state, "orva.exit_state", nullptr));
  if (!capsule.is_valid()) throw nb::python_error();
  package.attr("_exit_state") = capsule;
  return state;
}

[[noreturn]] void park(bool counted) {
  if (counted) exit_state->busy.fetch_sub(1);
  PyEval_SaveThread();
  threads::park_forever();
}

bool must_park() {
  return exit_state->closing.load() && exit_state->closer.load() != std::this_thread::get_id();
}

std::mutex gates_mutex;
// Never freed: read by the atexit hook at interpreter exit.
std::vector<threads::WorkerGate*>* gates = new std::vector<threads::WorkerGate*>();
std::vector<ExitLock>* exit_locks = new std::vector<ExitLock>();

// Each module runs its own hook; the first one fixes the deadline for all,
// kept on the package so the modules' hooks share it.
std::chrono::steady_clock::time_point shared_deadline() {
  using namespace std::chrono;
  const auto fallback = steady_clock::now() + kShutdownGrace;
  PyObject* package = PyImport_ImportModule("orva_backtest");
  if (!package) {
    PyErr_Clear();
    return fallback;
  }
  long long ticks = duration_cast<nanoseconds>(fallback.time_since_epoch()).count();
  PyObject* kept = PyObject_GetAttrString(package, "_exit_deadline_ns");
  if (kept && PyLong_Check(kept)) {
    ticks = PyLong_AsLongLong(kept);
  } else {
    PyErr_Clear();
    PyObject* value = PyLong_FromLongLong(ticks);
    if (!value || PyObject_SetAttrString(package, "_exit_deadline_ns", value) < 0) PyErr_Clear();
    Py_XDECREF(value);
  }
  Py_XDECREF(kept);
  Py_DECREF(package);
  if (ticks == -1 && PyErr_Occurred()) PyErr_Clear();
  return steady_clock::time_point(nanoseconds(ticks));
}

void close_gates() {
  const auto deadline = shared_deadline();
  exit_state->closer = std::this_thread::get_id();
  exit_state->closing = true;
  std::vector<ExitLock> locks;
  {
    std::lock_guard<std::mutex> lock(gates_mutex);
    locks = *exit_locks;
  }
  for (const ExitLock& lock : locks) Py_INCREF(lock.owner);  // a held mutex must outlive exit
  PyThreadState* state = PyEval_SaveThread();
  {
    // Held throughout: a worker that ends meanwhile unregisters (and may free)
    // its gate only once this is done with it.
    std::lock_guard<std::mutex> lock(gates_mutex);
    for (threads::WorkerGate* gate : *gates) gate->shut();
    for (threads::WorkerGate* gate : *gates) gate->wait_idle(deadline);
  }
  for (const ExitLock& lock : locks) (void)lock.mutex->try_lock_until(deadline);  // kept for good
  // The calls under way finish (or park at their next host call); new ones park on entry.
  while (exit_state->busy.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PyEval_RestoreThread(state);
}

[[noreturn]] void leave_interpreter() {
  PyEval_SaveThread();
  threads::park_forever();
}

void free_body(PyObject* capsule) {
  delete static_cast<std::function<void()>*>(PyCapsule_GetPointer(capsule, "orva.thread_body"));
}

PyObject* run_body(PyObject* capsule, PyObject*) {
  auto* body = static_cast<std::function<void()>*>(PyCapsule_GetPointer(capsule, "orva.thread_body"));
  if (!body) return nullptr;
  try {
    (*body)();
  } catch (nb::python_error& error) {
    error.restore();
    return nullptr;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef run_body_def = {"run", run_body, METH_NOARGS, "Runs a worker loop of orva_backtest."};

}  // namespace

InFlight::InFlight() {
  if (depth++ > 0) return;
  exit_state->busy.fetch_add(1);  // before the flag is read: the hook sets it before it counts
  if (must_park()) park(true);
}

InFlight::~InFlight() {
  if (--depth == 0) exit_state->busy.fetch_sub(1);
}

void park_if_exiting() {
  if (exit_state && must_park()) park(depth > 0);
}

void install_shutdown_hook() {
  if (!exit_state) exit_state = shared_exit_state();
  nb::module_::import_("atexit").attr("register")(nb::cpp_function(&close_gates));
}

void register_gate(threads::WorkerGate* gate) {
  std::lock_guard<std::mutex> lock(gates_mutex);
  gates->push_back(gate);
}

void unregister_gate(threads::WorkerGate* gate) {
  std::lock_guard<std::mutex> lock(gates_mutex);
  gates->erase(std::remove(gates->begin(), gates->end(), gate), gates->end());
}

void register_exit_lock(PyObject* owner, std::recursive_timed_mutex* mutex) {
  std::lock_guard<std::mutex> lock(gates_mutex);
  exit_locks->push_back({owner, mutex});
}

void unregister_exit_lock(std::recursive_timed_mutex* mutex) {
  std::lock_guard<std::mutex> lock(gates_mutex);
  exit_locks->erase(std::remove_if(exit_locks->begin(), exit_locks->end(),
                                   [mutex](const ExitLock& l) { return l.mutex == mutex; }),
                    exit_locks->end());
}

nb::object start_daemon_thread(const char* name, std::function<void()> body) {
  auto* owned = new std::function<void()>(std::move(body));
  nb::object capsule = nb::steal(PyCapsule_New(owned, "orva.thread_body", free_body));
  if (!capsule.is_valid()) {
    delete owned;
    throw nb::python_error();
  }
  nb::object target = nb::steal(PyCFunction_New(&run_body_def, capsule.ptr()));
  if (!target.is_valid()) throw nb::python_error();
  nb::object thread = nb::module_::import_("threading")
                          .attr("Thread")(nb::arg("target") = target, nb::arg("name") = name,
                                          nb::arg("daemon") = true);
  thread.attr("start")();
  return thread;
}

PyObject* wait_for_item(threads::WorkerGate& gate, PyObject* queue) {
  gate.end_work();
  PyObject* item = PyObject_CallMethod(queue, "get", nullptr);
  if (!gate.begin_work()) leave_interpreter();  // the process is exiting
  return item;
}

}  // namespace orva::py
