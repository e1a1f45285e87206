// Lets the process stop a worker thread between two pieces of work: a daemon
// thread that the interpreter stops in the middle of one would be unwound with
// its objects half-used.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orva::threads {

class WorkerGate {
 public:
  // Called when work begins (a request or a permit in hand). False once the
  // gate is closed: the caller must then stop for good.
  bool begin_work();
  void end_work();

  // Stops further work without waiting; begin_work refuses from now on.
  void shut();
  // Waits until `deadline` for the piece in flight; whether nothing is in flight.
  bool wait_idle(std::chrono::steady_clock::time_point deadline);
  // shut(), then wait_idle() for up to `timeout`.
  bool close(std::chrono::milliseconds timeout);

  bool busy() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  bool busy_ = false;
  bool closed_ = false;
};

// Blocks the calling thread until the process ends.
[[noreturn]] void park_forever();

}  // namespace orva::threads
