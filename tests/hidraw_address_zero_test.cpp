// The hidraw harness plays the same address-0 queue as the virtual bus (sim/models/address_zero.h):
// boards that re-enumerate at once on one USB bus list themselves one after the other, and the
// ticker makes a board's nodes only once its delayed time has come. The boards leave the bus at one
// instant, so their listing times are exact however loaded the machine is; the nodes' times only bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "hidraw_bus.h"

using namespace cardsim;
using namespace std::chrono_literals;

namespace {

TEST(HidrawAddressZero, ReEnumerationsOnOneBusListOneAfterTheOther) {
  if (const std::string reason = hidraw::unavailable_reason(); !reason.empty())
    GTEST_SKIP() << "umockdev cannot run here: " << reason;
  hidraw::HidrawBus bus;
  ASSERT_TRUE(bus.configure("card port=3-1.1; card port=3-1.2; card port=4-1"));
  bus.restart_together({0, 1, 2}, Mode::UsbBootLoader, 1000ms);
  std::vector<SimTime> listed_at;
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(bus.board(i).next_change().has_value());
    listed_at.push_back(*bus.board(i).next_change());
  }
  EXPECT_EQ(listed_at[1] - listed_at[0], SimTime(130ms)) << "behind a hub, a hold after the first";
  EXPECT_EQ(listed_at[2], listed_at[0]) << "another bus: its own delay only";
  for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(bus.wait_for(i, kBslVendorId, 5s)) << i;
  // Each boot loader's node appeared no earlier than its board's time: board 1's a hold after the others.
  std::vector<SimTime> added(3);
  for (const hidraw::NodeEvent& e : bus.events()) {
    if (!e.added || e.vendor_id != kBslVendorId) continue;
    added[e.device] = e.at;
  }
  for (std::size_t i = 0; i < 3; ++i) EXPECT_GE(added[i], listed_at[i]) << i;
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(bus.board(i).faults().empty()) << i;
}

}  // namespace
