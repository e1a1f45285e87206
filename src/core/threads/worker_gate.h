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

  // Stops further work and waits up to `timeout` for the piece in flight.
  // Returns whether nothing is in flight any more.
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
