#include "common/threads.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <vector>

namespace orva::py {
namespace {

// One deadline for all busy workers together, so exit stays short however many there are.
constexpr std::chrono::seconds kShutdownGrace{3};

std::mutex gates_mutex;
// Never freed: read by the atexit hook at interpreter exit.
std::vector<threads::WorkerGate*>* gates = new std::vector<threads::WorkerGate*>();

void close_gates() {
  std::vector<threads::WorkerGate*> open;
  {
    std::lock_guard<std::mutex> lock(gates_mutex);
    open = *gates;
  }
  PyThreadState* state = PyEval_SaveThread();
  for (threads::WorkerGate* gate : open) gate->shut();
  const auto deadline = std::chrono::steady_clock::now() + kShutdownGrace;
  for (threads::WorkerGate* gate : open) gate->wait_idle(deadline);
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

void install_shutdown_hook() {
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
