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

TEST(WorkerGate, GatesShutTogetherShareOneDeadline) {
  WorkerGate a, b;
  ASSERT_TRUE(a.begin_work());
  ASSERT_TRUE(b.begin_work());
  a.shut();
  b.shut();
  EXPECT_FALSE(a.begin_work());
  EXPECT_FALSE(b.begin_work());
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + 100ms;
  EXPECT_FALSE(a.wait_idle(deadline));
  EXPECT_FALSE(b.wait_idle(deadline));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // not one timeout each
  a.end_work();
  b.end_work();
}

}  // namespace
}  // namespace orva::threads
