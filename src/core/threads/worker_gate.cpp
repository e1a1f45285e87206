#include "threads/worker_gate.h"

#include <thread>

namespace orva::threads {

bool WorkerGate::begin_work() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  busy_ = true;
  return true;
}

void WorkerGate::end_work() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
  }
  idle_.notify_all();
}

void WorkerGate::shut() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

bool WorkerGate::wait_idle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_until(lock, deadline, [this] { return !busy_; });
}

bool WorkerGate::close(std::chrono::milliseconds timeout) {
  shut();
  return wait_idle(std::chrono::steady_clock::now() + timeout);
}

bool WorkerGate::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace orva::threads
