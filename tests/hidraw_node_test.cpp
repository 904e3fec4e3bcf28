// The kernel's rules for hidraw nodes (drivers/hid/hidraw.c), seen by a program that uses plain
// system calls: a new device takes the lowest free minor; a minor stays taken while a descriptor
// is open on it, also after its device left; the node of a device that left is gone at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hidraw_bus.h"

using namespace cardsim::hidraw;

namespace {

Played probe(const std::string& devices, const std::vector<std::string>& steps) {
  Played p = play({devices, NODE_PROBE_PATH, steps, {}, std::chrono::seconds(30)});
  EXPECT_EQ(p.run.exit_status, 0) << p.run.err;
  EXPECT_EQ(p.run.err, "");
  for (std::size_t i = 0; i < p.bus->device_count(); ++i)
    EXPECT_EQ(p.bus->board(i).faults(), std::vector<std::string>{}) << "board " << i;
  return p;
}

std::vector<std::string> events(const HidrawBus& bus) {
  std::vector<std::string> out;
  for (const NodeEvent& e : bus.events()) {
    char ids[16];
    std::snprintf(ids, sizeof ids, " %04x:%04x", e.vendor_id, e.product_id);
    out.push_back((e.added ? "+" : "-") + e.devnode + ids);
  }
  return out;
}

TEST(HidrawNodes, HandleHeldAcrossTheSwitchKeepsTheMinorAndTheBootLoaderListsOnTheNext) {
  // The hid device comes after the holder has closed: it gets the freed minor 0.
  Played p = probe("card isp_delay=300; hid at=2500",
                   {"open:0", "switch:0", "open:0", "listed:1", "open:0", "read:0", "close:0", "listed:0"});
  EXPECT_EQ(p.run.out,
            "open hidraw0: ok\n"
            "switch hidraw0: 64\n"
            "open hidraw0: ENOENT\n"
            "hidraw1 listed: 2047:0200\n"
            "open hidraw0: ENOENT\n"
            "read hidraw0: EIO\n"
            "hidraw0 listed: 046d:c52b\n");
  EXPECT_EQ(events(*p.bus), (std::vector<std::string>{"+/dev/hidraw0 2933:0001", "-/dev/hidraw0 2933:0001",
                                                      "+/dev/hidraw1 2047:0200", "+/dev/hidraw0 046d:c52b"}));
}

TEST(HidrawNodes, WithoutAHeldHandleTheBootLoaderListsOnTheCardsOldMinor) {
  Played p = probe("card isp_delay=300", {"open:0", "switch:0", "close:0", "open:0", "listed:0"});
  EXPECT_EQ(p.run.out, "open hidraw0: ok\nswitch hidraw0: 64\nopen hidraw0: ENOENT\nhidraw0 listed: 2047:0200\n");
  EXPECT_EQ(events(*p.bus), (std::vector<std::string>{"+/dev/hidraw0 2933:0001", "-/dev/hidraw0 2933:0001",
                                                      "+/dev/hidraw0 2047:0200"}));
}

TEST(HidrawNodes, DevicesPresentFromTheStartTakeTheLowestMinorsInTurn) {
  Played p = probe("hid; hid pid=c52c; card", {"listed:0", "listed:1", "listed:2", "open:3"});
  EXPECT_EQ(p.run.out, "hidraw0 listed: 046d:c52b\nhidraw1 listed: 046d:c52c\nhidraw2 listed: 2933:0001\n"
                       "open hidraw3: ENOENT\n");
}

}  // namespace
