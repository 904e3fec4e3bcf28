// The HID layer's start in Tav_Init, in a test program of its own: the library keeps the
// once-per-process state, so the failed start must come before any successful one.
#include <gtest/gtest.h>

#include "cardlink.h"
#include "virtual_bus.h"

namespace bus = cardsim::bus;

namespace {

std::string stdout_of(CardContext** context) {
  ::testing::internal::CaptureStdout();
  *context = Tav_Init();
  return ::testing::internal::GetCapturedStdout();
}

TEST(CardlinkInit, FailedStartPrintsOnceThenTheLayerIsStartedOnceForGood) {
  bus::reset();
  bus::configure("card id=1");
  bus::set_init_fails(true);
  CardContext* context = nullptr;
  EXPECT_EQ(stdout_of(&context), "hid_init failed error\n");
  EXPECT_EQ(context, nullptr);
  EXPECT_TRUE(bus::wire().empty()) << "cards were spoken to after a failed start";
  EXPECT_EQ(bus::open_handles(), 0);

  // A failed start is tried again by the next Tav_Init.
  bus::set_init_fails(false);
  EXPECT_EQ(stdout_of(&context), "");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context), 1);
  EXPECT_TRUE(Tav_Close(context));

  // Once started, the layer is not started again (nor shut down by Tav_Close): a start that
  // would fail now is never attempted.
  bus::set_init_fails(true);
  EXPECT_EQ(stdout_of(&context), "");
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(Tav_Close(context));
  EXPECT_EQ(bus::open_handles(), 0);
}

}  // namespace
