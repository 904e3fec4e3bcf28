// The hidraw harness plays the same address-0 queue as the virtual bus (sim/models/address_zero.h):
// boards that re-enumerate at once on one USB bus list themselves one after the other, and the
// ticker makes a board's nodes only once its delayed time has come. In real time, so the step
// between two boards is exact (the second waits for the end of the first's hold), the other times bounded by it.
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
  std::vector<SimTime> listed_at;
  for (std::size_t i = 0; i < 3; ++i) {
    bus.restart(i, Mode::UsbBootLoader, 1000ms);
    ASSERT_TRUE(bus.board(i).next_change().has_value());
    listed_at.push_back(*bus.board(i).next_change());
  }
  EXPECT_EQ(listed_at[1] - listed_at[0], SimTime(130ms)) << "behind a hub, a hold after the first";
  EXPECT_LT(listed_at[2], listed_at[1]) << "another bus: its own delay only";
  for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(bus.wait_for(i, kBslVendorId, 5s)) << i;
  // Each boot loader's node appeared no earlier than its board's time, board 0's before board 1's.
  std::vector<SimTime> added(3);
  std::vector<std::size_t> order;
  for (const hidraw::NodeEvent& e : bus.events()) {
    if (!e.added || e.vendor_id != kBslVendorId) continue;
    added[e.device] = e.at;
    order.push_back(e.device);
  }
  for (std::size_t i = 0; i < 3; ++i) EXPECT_GE(added[i], listed_at[i]) << i;
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 2, 1}));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(bus.board(i).faults().empty()) << i;
}

}  // namespace
