#include "exchange/intake_gate.h"

#include <thread>

namespace orva::exchange {

bool IntakeGate::begin_request() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  busy_ = true;
  return true;
}

void IntakeGate::end_request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
  }
  idle_.notify_all();
}

bool IntakeGate::close(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  return idle_.wait_for(lock, timeout, [this] { return !busy_; });
}

bool IntakeGate::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace orva::exchange
