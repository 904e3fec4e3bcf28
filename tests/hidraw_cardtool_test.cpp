// cardtool as shipped on umockdev hidraw nodes, where the back end itself is the subject: the
// nodes a switch, a restart or an unplug leave behind (the transcripts of both back ends are the
// scenario suite's).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hidraw_bus.h"
#include "support/cardtool_text.h"

using cardsim::hidraw::HidrawBus;
using cardsim::hidraw::NodeEvent;
using cardsim::hidraw::ProgramRun;
using namespace std::chrono_literals;

namespace {

const std::string& kRefused = testsupport::kCardtoolRefused;
const std::string kCardId = "a102010004", kVersion = "a100010008", kSwitch = "2102040004ISPE\n";

using testsupport::device_found;

std::unique_ptr<HidrawBus> bus_with(const std::string& devices) {
  auto bus = std::make_unique<HidrawBus>();
  std::string error;
  EXPECT_TRUE(bus->configure(devices, &error)) << error;
  return bus;
}

// One run of cardtool; it must end by itself, never by a signal, with the status expected.
ProgramRun cardtool(HidrawBus& bus, const std::vector<std::string>& args, int status = 0) {
  ProgramRun r = bus.run(CARDTOOL_PATH, args);
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.exit_status, status) << r.err;
  return r;
}

std::string event_text(const NodeEvent& e) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", e.vendor_id, e.product_id);
  return (e.added ? "+" : "-") + e.devnode + " " + ids;
}

std::vector<std::string> event_texts(const HidrawBus& bus) {
  std::vector<std::string> out;
  for (const NodeEvent& e : bus.events()) out.push_back(event_text(e));
  return out;
}

// The boot loader lists itself on the node that the card left: the hidraw driver hands out the
// lowest free minor.
TEST(HidrawCardtool, SwitchToBootModeThenTheBootLoaderListsOnTheSameNode) {
  auto bus = bus_with("card isp_delay=300");
  EXPECT_EQ(cardtool(*bus, {"-isp"}).out,
            device_found("/dev/hidraw0") + "Total 1 board found\nopen /dev/hidraw0\nswitch to boot comamand\n"
            "MCU read write Flash\nmcu switch to boot mode\n");
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kSwitch}));
  ASSERT_TRUE(bus->wait_for(0, cardsim::kBslVendorId, 3s));
  EXPECT_EQ(event_texts(*bus),
            (std::vector<std::string>{"+/dev/hidraw0 2933:0001", "-/dev/hidraw0 2933:0001", "+/dev/hidraw0 2047:0200"}));
  // The boot loader is no card: the tool finds none.
  EXPECT_EQ(cardtool(*bus, {"-i"}, 3).out, "Total 0 board found\n" + kRefused);
  EXPECT_TRUE(bus->board(0).faults().empty());
}

TEST(HidrawCardtool, CardThatRestartsComesBackOnItsNodeAndAnswers) {
  auto bus = bus_with("card fw=0102");
  const std::string info = device_found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                           "Firmware version=0102 Boot version=0005 \n";
  EXPECT_EQ(cardtool(*bus, {"-i"}).out, info);
  bus->restart(0, cardsim::Mode::Application, 100ms);
  EXPECT_EQ(bus->path(0), "");
  ASSERT_TRUE(bus->wait_for(0, cardsim::kCardVendorId, 3s));
  EXPECT_EQ(cardtool(*bus, {"-i"}).out, info);
  EXPECT_EQ(event_texts(*bus),
            (std::vector<std::string>{"+/dev/hidraw0 2933:0001", "-/dev/hidraw0 2933:0001", "+/dev/hidraw0 2933:0001"}));
}

TEST(HidrawCardtool, UnpluggedDuringTheVersionQuery) {
  auto bus = bus_with("card");
  bus->unplug_after(0, kVersion);
  EXPECT_EQ(cardtool(*bus, {"-i"}, 1).out, device_found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                                           "Unable to read()\nBoard Index=0 Get Fw /Boot version Error\n");
  EXPECT_EQ(event_texts(*bus), (std::vector<std::string>{"+/dev/hidraw0 2933:0001", "-/dev/hidraw0 2933:0001"}));
  EXPECT_EQ(bus->open_handles(), 0);
  EXPECT_EQ(bus->path(0), "");
}

TEST(HidrawCardtool, UnpluggedBeforeTheSwitchCommand) {
  auto bus = bus_with("card");
  bus->unplug_after(0, kCardId);
  EXPECT_EQ(cardtool(*bus, {"-isp"}, 1).out,
            device_found("/dev/hidraw0") + "Total 1 board found\nopen /dev/hidraw0\nswitch to boot comamand\n"
            "MCU read write Flash\nUnable to read()\n"
            "Unable to write()\nError: No such device\nSwitch to isp mode fail\n");
  EXPECT_EQ(bus->board(0).commands(), std::vector<std::string>{kCardId});
  EXPECT_EQ(bus->open_handles(), 0);
}

}  // namespace
