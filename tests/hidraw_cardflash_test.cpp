// Cardflash --update as shipped, linked to Debian's libhidapi-hidraw, updating a simulated card
// shown as umockdev hidraw nodes: the card leaves as a card, lists as the USB boot loader, then
// as the RAM boot loader, and comes back as a card with the new firmware. Real time: about 19 s.
#include <gtest/gtest.h>

#include <string>

#include "hidraw_bus.h"
#include "support/simulated_updater.h"
#include "titxt_reader.h"

using namespace cardsim::hidraw;

namespace {

TEST(HidrawCardflash, UpdateProgramsTheFlashAndTheCardReportsTheNewVersion) {
  const std::string firmware = std::string(SAMPLE_DATA_DIR) + "/firmware_0200.txt";
  const std::string cardflash =
      testsupport::simulated_cardflash(CARDFLASH_PATH, std::string(SAMPLE_DATA_DIR) + "/RAM_BSL_00.08.08.39.txt");
  Played p = play({"card id=1 fw=0102 boot=0005", cardflash, {"--update", firmware}, {{"LC_ALL", "C"}}});
  EXPECT_EQ(p.run.signal, 0) << p.run.err;
  EXPECT_EQ(p.run.exit_status, 0) << p.run.out << p.run.err;
  const std::string tail =
      "program_file\nDevice Reset  Complete\nVID: 0x2933 PID:1 CardId: 1\nFW Ver =0200,Boot Ver=0005\n";
  ASSERT_GE(p.run.out.size(), tail.size());
  EXPECT_EQ(p.run.out.substr(p.run.out.size() - tail.size()), tail) << p.run.out;
  EXPECT_NE(p.run.out.find("Device 0x2047 0x0200 ISP\xA1\x40mode device found\n"), std::string::npos);

  cardsim::Board& board = p.bus->board(0);
  EXPECT_EQ(board.mode(), cardsim::Mode::Application);
  EXPECT_EQ(board.application_version(), "0200");
  EXPECT_TRUE(board.faults().empty()) << board.faults().front();
  cardflash::FirmwareImage image;
  ASSERT_TRUE(cardflash::ReadTiTxtImage(firmware.c_str(), image));
  for (const cardflash::ImageSegment& segment : image)
    for (std::int32_t i = 0; i < segment.byte_count; ++i)
      ASSERT_EQ(board.memory().read(segment.start_address + static_cast<std::uint32_t>(i)),
                segment.bytes[static_cast<std::size_t>(i)])
          << "at 0x" << std::hex << segment.start_address + static_cast<std::uint32_t>(i);
}

}  // namespace
