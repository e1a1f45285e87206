#include "exchange/intake_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace orva::exchange {
namespace {

using namespace std::chrono_literals;

TEST(IntakeGate, ServesUntilClosed) {
  IntakeGate gate;
  ASSERT_TRUE(gate.begin_request());
  EXPECT_TRUE(gate.busy());
  gate.end_request();
  EXPECT_FALSE(gate.busy());
  EXPECT_TRUE(gate.close(0ms));
  EXPECT_FALSE(gate.begin_request());
  EXPECT_FALSE(gate.busy());
}

TEST(IntakeGate, CloseWaitsForTheRequestInFlight) {
  IntakeGate gate;
  ASSERT_TRUE(gate.begin_request());
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    std::this_thread::sleep_for(50ms);
    finished = true;
    gate.end_request();
  });
  EXPECT_TRUE(gate.close(5s));
  EXPECT_TRUE(finished);
  worker.join();
}

TEST(IntakeGate, CloseGivesUpAfterTimeout) {
  IntakeGate gate;
  ASSERT_TRUE(gate.begin_request());
  EXPECT_FALSE(gate.close(10ms));
  gate.end_request();
  EXPECT_FALSE(gate.begin_request());
}

}  // namespace
}  // namespace orva::exchange
