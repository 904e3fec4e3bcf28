// cardtool as shipped, linked to Debian's libhidapi-hidraw, against boards shown as umockdev
// hidraw nodes: the whole standard output is compared with the expected transcript, and the
// boards tell what reached them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hidraw_bus.h"
#include "support/cardtool_text.h"
#include "support/run_program.h"

using cardsim::hidraw::HidrawBus;
using cardsim::hidraw::NodeEvent;
using cardsim::hidraw::ProgramRun;
using namespace std::chrono_literals;

namespace {

const std::string& kUsage = testsupport::kCardtoolUsage;
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

TEST(HidrawCardtool, NoCardRefusesWhateverTheArgument) {
  HidrawBus bus;
  for (const char* arg : {"-h", "-i", "-isp"})
    EXPECT_EQ(cardtool(bus, {arg}, 3).out, "Total 0 board found\n" + kRefused) << arg;
}

TEST(HidrawCardtool, TwoCardsAreListedThenRefusedWithoutBeingOpened) {
  auto bus = bus_with("card id=1; card id=2 usb_pid=0002");
  EXPECT_EQ(cardtool(*bus, {"-i"}, 3).out,
            device_found("/dev/hidraw0") + device_found("/dev/hidraw1", "2933 0002") + "Total 2 board found\n" + kRefused);
  EXPECT_EQ(bus->opened_total(), 0);
}

TEST(HidrawCardtool, CardWithTwoInterfacesIsListedTwice) {
  auto bus = bus_with("card interfaces=2");
  EXPECT_EQ(cardtool(*bus, {"-i"}, 3).out,
            device_found("/dev/hidraw0") + device_found("/dev/hidraw1") + "Total 2 board found\n" + kRefused);
}

TEST(HidrawCardtool, UsageForHelpAndAnythingUnknown) {
  auto bus = bus_with("card");
  const std::vector<std::pair<std::vector<std::string>, int>> runs = {{{}, 2}, {{"-h"}, 0}, {{"--help"}, 0}, {{"-Isp"}, 2}};
  for (const auto& [args, status] : runs)
    EXPECT_EQ(cardtool(*bus, args, status).out, device_found("/dev/hidraw0") + "Total 1 board found\n" + kUsage)
        << (args.empty() ? "" : args[0]);
  EXPECT_EQ(bus->opened_total(), 0);
}

TEST(HidrawCardtool, InfoPrintsTheVersions) {
  auto bus = bus_with("card fw=0102 boot=0005");
  for (const char* arg : {"-i", "-I"})
    EXPECT_EQ(cardtool(*bus, {arg}).out, device_found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                                         "Firmware version=0102 Boot version=0005 \n") << arg;
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kVersion, kCardId, kVersion}));
  EXPECT_EQ(bus->opened_total(), 2);
  EXPECT_EQ(bus->peak_open_handles(), 1);
  EXPECT_EQ(bus->open_handles(), 0);
}

// A reply that a card still holds from an earlier conversation reaches the host as soon as the
// node is opened (the driver polls the card while the node is open), and the reply to the
// priming read follows it into the queue. The priming read takes the old one; every later
// exchange then gets the answer to the exchange before it. The virtual bus hands a card's reply
// to the host only when it reads, so there the priming read leaves the conversation in step.
// A reply left in the card arrives as soon as the node is opened, before the priming request's
// own reply; the priming read drops both, so the version read gets its own answer.
TEST(HidrawCardtool, ReplyLeftInTheCardIsDroppedByThePrimingRead) {
  auto bus = bus_with("card id=7 fw=0102 boot=0005 fault=stale");
  EXPECT_EQ(cardtool(*bus, {"-i"}).out, device_found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                                        "Firmware version=0102 Boot version=0005 \n");
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kVersion}));
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

TEST(HidrawCardtool, OtherHidDevicesAreNeitherListedNorOpened) {
  auto bus = bus_with("hid; card fw=0102 boot=0005; hid pid=c52c");
  EXPECT_EQ(cardtool(*bus, {"-i"}).out, device_found("/dev/hidraw1") + "Total 1 board found\nMCU read write Flash\n"
                                        "Firmware version=0102 Boot version=0005 \n");
  EXPECT_EQ(bus->opened_total(), 1);
  for (std::size_t i : {0, 2}) EXPECT_EQ(bus->board(i).faults(), std::vector<std::string>{}) << i;
}

TEST(HidrawCardtool, CardThatDoesNotAnswerGivesUpAfterThreePollsPerExchange) {
  auto bus = bus_with("card fault=silent");
  ProgramRun r = cardtool(*bus, {"-i"}, 1);
  EXPECT_EQ(r.out, device_found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                   "Board Index=0 Get Fw /Boot version Error\n");
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kVersion}));
  // Two exchanges of 400 ms each; the start of the program and of umockdev come on top.
  EXPECT_GE(r.seconds, 0.8);
  EXPECT_LT(r.seconds, 0.8 + 0.7);
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

// The same devices behind the virtual bus (loaded in place of hidapi) and behind real hidapi
// over hidraw nodes: cardtool must print the same, byte for byte.
TEST(HidrawCardtool, BothBackEndsPrintTheSame) {
  struct Case {
    std::string devices;
    std::string arg;
  };
  for (const Case& c : std::vector<Case>{{"card fault=open", "-i"},
                                         {"card fault=open", "-isp"},
                                         {"card fault=write", "-isp"},
                                         {"card fault=read", "-i"},
                                         {"card short=12", "-i"},
                                         {"card fw=0a0b boot=0c0d product=XY0001", "-I"},
                                         {"card latency=350", "-i"},
                                         {"card id=1; card id=2; card id=3", "-isp"}}) {
    testsupport::ProgramResult virtual_run =
        testsupport::run_program(CARDTOOL_PATH, {c.arg}, testsupport::virtual_bus_env(c.devices));
    auto bus = bus_with(c.devices);
    ProgramRun hidraw_run = cardtool(*bus, {c.arg}, virtual_run.exit_status);
    EXPECT_EQ(hidraw_run.out, virtual_run.out) << c.devices << " " << c.arg;
  }
}

}  // namespace
