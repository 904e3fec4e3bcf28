// Cardflash --update as shipped, linked to Debian's libhidapi-hidraw, updating a simulated card
// shown as umockdev hidraw nodes: the card leaves as a card, lists as the USB boot loader, then
// as the RAM boot loader, and comes back as a card with the new firmware. Every re-listing may
// come on another node (a handle still open keeps the old minor taken; another device may take a
// freed one), and other HID devices share the bus. Real time: about 19 s per update.
#include <gtest/gtest.h>

#include <string>

#include "hidraw_bus.h"
#include "support/simulated_updater.h"
#include "titxt_reader.h"

using namespace cardsim::hidraw;
using namespace std::chrono_literals;

namespace {

const std::string kFirmware = std::string(SAMPLE_DATA_DIR) + "/firmware_0200.txt";

Played update(const std::string& devices) {
  const std::string cardflash =
      testsupport::simulated_cardflash(CARDFLASH_PATH, std::string(SAMPLE_DATA_DIR) + "/RAM_BSL_00.08.08.39.txt");
  Played p = play({devices, cardflash, {"--update", kFirmware}, {{"LC_ALL", "C"}}});
  EXPECT_EQ(p.run.signal, 0) << p.run.err;
  // No report may reach anything but the card, and the card must not be misused.
  for (std::size_t i = 0; i < p.bus->device_count(); ++i) {
    cardsim::Board& board = p.bus->board(i);
    EXPECT_EQ(board.faults(), std::vector<std::string>{}) << "board " << i;
    if (board.mode() == cardsim::Mode::Unrelated) {
      EXPECT_EQ(board.commands(), std::vector<std::string>{}) << "board " << i;
    }
  }
  return p;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void expect_updated(const Played& p, std::size_t card) {
  EXPECT_EQ(p.run.exit_status, 0) << p.run.out << p.run.err;
  EXPECT_TRUE(ends_with(p.run.out, "program_file\nDevice Reset  Complete\nVID: 0x2933 PID:1 CardId: 1\n"
                                   "FW Ver =0200,Boot Ver=0005\n")) << p.run.out;
  EXPECT_NE(p.run.out.find("Device 0x2047 0x0200 ISP\xA1\x40mode device found\n"), std::string::npos);
  cardsim::Board& board = p.bus->board(card);
  EXPECT_EQ(board.mode(), cardsim::Mode::Application);
  EXPECT_EQ(board.application_version(), "0200");
  cardflash::FirmwareImage image;
  ASSERT_TRUE(cardflash::ReadTiTxtImage(kFirmware.c_str(), image));
  for (const cardflash::ImageSegment& segment : image)
    for (std::int32_t i = 0; i < segment.byte_count; ++i)
      ASSERT_EQ(board.memory().read(segment.start_address + static_cast<std::uint32_t>(i)),
                segment.bytes[static_cast<std::size_t>(i)])
          << "at 0x" << std::hex << segment.start_address + static_cast<std::uint32_t>(i);
}

TEST(HidrawCardflash, UpdateProgramsTheFlashAndTheCardReportsTheNewVersion) {
  expect_updated(update("card id=1 fw=0102 boot=0005"), 0);
}

// A server's BMC lists its keyboard and mouse before the card.
TEST(HidrawCardflash, UpdateWithTwoOtherHidDevicesAtTheLowestMinors) {
  expect_updated(update("hid; hid pid=c52c; card id=1 fw=0102 boot=0005"), 2);
}

// Plugged in after the card has left for its boot loader and before the boot loader lists
// itself, the mouse takes the card's old minor.
TEST(HidrawCardflash, UpdateWithADevicePluggedInWhileTheCardIsInItsBootLoader) {
  Played p = update("card id=1 fw=0102 boot=0005 isp_delay=5000; hid at=3500");
  const std::vector<NodeEvent> events = p.bus->events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_TRUE(!events[1].added && events[1].device == 0 && events[1].at < 3500ms);
  EXPECT_TRUE(events[2].added && events[2].device == 1 && events[2].devnode == events[0].devnode);
  EXPECT_TRUE(events[3].added && events[3].vendor_id == cardsim::kBslVendorId);
  for (const NodeEvent& e : events) EXPECT_TRUE(e.added || e.device == 0) << e.devnode << " removed";
  expect_updated(p, 0);
}

TEST(HidrawCardflash, CardThatNeverComesBackAfterTheResetFailsTheFinalIdentity) {
  Played p = update("hid; card id=1 fault=noreturn");
  EXPECT_EQ(p.run.exit_status, 1);
  EXPECT_TRUE(ends_with(p.run.out, "Device Reset  Complete\nFail to Get Device information!!\n")) << p.run.out;
}

// --verify catches a weak flash cell: no reset, the controller stays in its RAM boot loader. Once
// the cell holds, --recover --verify brings the card back through the RAM boot loader that runs.
TEST(HidrawCardflash, VerifyCatchesAWeakCellThenRecoveryBringsTheCardBack) {
  HidrawBus bus;
  ASSERT_TRUE(bus.configure("hid; card id=1 fw=0102 boot=0005 weak=4410"));
  const std::string cardflash =
      testsupport::simulated_cardflash(CARDFLASH_PATH, std::string(SAMPLE_DATA_DIR) + "/RAM_BSL_00.08.08.39.txt");
  cardsim::ProgramRun failed = bus.run(cardflash, {"--update", kFirmware, "--verify"}, {{"LC_ALL", "C"}});
  EXPECT_EQ(failed.exit_status, 1) << failed.out << failed.err;
  EXPECT_NE(failed.out.find("program_file\nVerify Fail at 0x04400: CRC 0x"), std::string::npos) << failed.out;
  cardsim::Board& card = bus.board(1);
  EXPECT_EQ(card.mode(), cardsim::Mode::RamBootLoader) << "not reset into damaged firmware";

  card.memory().set_weak(0x4410, 0);
  cardsim::ProgramRun recovered = bus.run(cardflash, {"--recover", kFirmware, "--verify"}, {{"LC_ALL", "C"}});
  EXPECT_EQ(recovered.exit_status, 0) << recovered.out << recovered.err;
  EXPECT_NE(recovered.out.find("RAM BSL already running: its download and start are skipped\n"), std::string::npos);
  EXPECT_TRUE(ends_with(recovered.out, "Device Reset  Complete\nVID: 0x2933 PID:1 CardId: 1\nFW Ver =0200,Boot Ver=0005\n"))
      << recovered.out;
  EXPECT_EQ(card.application_version(), "0200");
  for (std::size_t i = 0; i < bus.device_count(); ++i)
    EXPECT_EQ(bus.board(i).faults(), std::vector<std::string>{}) << "board " << i;
}

}  // namespace
