// Lets the process shut intake down between requests: an intake thread that
// is stopped by the interpreter in the middle of a request would be unwound
// with its objects half-used.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orva::exchange {

class IntakeGate {
 public:
  // Called with a request in hand. False once the gate is closed: the caller
  // must then stop serving for good.
  bool begin_request();
  void end_request();

  // Stops further requests and waits up to `timeout` for the one in flight.
  // Returns whether no request is in flight any more.
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

}  // namespace orva::exchange
