// The HID layer's start in Tav_Init, in a test program of its own: the library keeps the
// once-per-process state, so the failed start must come before any successful one.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "cardlink.h"
#include "virtual_bus.h"

namespace bus = cardsim::bus;

namespace {

TEST(CardlinkInit, FailedStartPrintsOnceThenTheLayerIsStartedOnceForGoodByOneOfManyThreads) {
  bus::reset();
  bus::configure("card id=1");
  bus::set_init_fails(true);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Tav_Init(), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "hid_init failed error\n");
  EXPECT_TRUE(bus::wire().empty()) << "cards were spoken to after a failed start";
  EXPECT_EQ(bus::init_calls(), 1);

  // A failed start is tried again by the next Tav_Init, and when several threads create contexts
  // at once, one of them starts the layer for good while the others wait for it.
  bus::set_init_fails(false);
  bus::set_init_delay(std::chrono::milliseconds(50));
  constexpr int kThreads = 8;
  std::vector<CardContext*> contexts(kThreads, nullptr);
  ::testing::internal::CaptureStdout();
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&contexts, i] { contexts[i] = Tav_Init(); });
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(bus::init_calls(), 2);
  for (CardContext* c : contexts) {
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Tav_GetCardNum(c), 1);
    EXPECT_TRUE(Tav_Close(c));
  }
  EXPECT_EQ(bus::open_handles(), 0);
}

}  // namespace
