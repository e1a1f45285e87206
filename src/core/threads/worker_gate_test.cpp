#include "threads/worker_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace orva::threads {
namespace {

using namespace std::chrono_literals;

TEST(WorkerGate, ServesUntilClosed) {
  WorkerGate gate;
  ASSERT_TRUE(gate.begin_work());
  EXPECT_TRUE(gate.busy());
  gate.end_work();
  EXPECT_FALSE(gate.busy());
  EXPECT_TRUE(gate.close(0ms));
  EXPECT_FALSE(gate.begin_work());
  EXPECT_FALSE(gate.busy());
}

TEST(WorkerGate, CloseWaitsForTheRequestInFlight) {
  WorkerGate gate;
  ASSERT_TRUE(gate.begin_work());
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    std::this_thread::sleep_for(50ms);
    finished = true;
    gate.end_work();
  });
  EXPECT_TRUE(gate.close(5s));
  EXPECT_TRUE(finished);
  worker.join();
}

TEST(WorkerGate, CloseGivesUpAfterTimeout) {
  WorkerGate gate;
  ASSERT_TRUE(gate.begin_work());
  EXPECT_FALSE(gate.close(10ms));
  gate.end_work();
  EXPECT_FALSE(gate.begin_work());
}

}  // namespace
}  // namespace orva::threads
