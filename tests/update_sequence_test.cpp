// The whole update on the virtual bus and virtual time: the log transcript line by line, what
// reached the controller's memory, the pauses, and the closing after every ending.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "bsl_client.h"
#include "support/bytes.h"
#include "support/update_fixture.h"
#include "update_sequence.h"
#include "virtual_bus.h"

using namespace cardflash;
using namespace testsupport;
namespace bus = cardsim::bus;
namespace fs = std::filesystem;

namespace {

const std::string kDataDir = SAMPLE_DATA_DIR;
const std::string kNewFirmware = kDataDir + "/firmware_0200.txt";
const std::string kRamBslPath = kDataDir + "/RAM_BSL_00.08.08.39.txt";

class UpdateSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { bus::reset(); }
  void TearDown() override {
    EXPECT_EQ(context_, nullptr) << "the run must close and clear the context";
    EXPECT_EQ(bus::open_handles(), 0);
    if (!scratch_.empty()) fs::remove_all(scratch_);
  }
  // Adds the card, scans it and runs one update.
  bool run(const std::string& firmware = kNewFirmware, std::string ram_dir = kDataDir) {
    context_ = Tav_Init();
    EXPECT_NE(context_, nullptr);
    UpdateRun r{&context_, firmware, std::move(ram_dir), log_, clock_};
    return RunUpdate(r);
  }
  std::string scratch_dir() {
    scratch_ = (fs::temp_directory_path() / ("cardflash-test-" + std::to_string(::getpid()))).string();
    fs::create_directories(scratch_);
    return scratch_;
  }
  std::vector<std::string> log_lines() { return log_lines_of(log_.all); }
  std::vector<std::string> lines_up_to_firmware() {
    return {"==Load RAM BSL==", kRamBslPath, "Load RAM_BSL_00.08.08.39.txt Complete", "Load Msp430 FW Complete"};
  }

  CardContext* context_ = nullptr;
  RecordingLog log_;
  VirtualClock clock_;
  std::string scratch_;
};

TEST_F(UpdateSequenceTest, SuccessfulUpdateProgramsTheNewFirmware) {
  cardsim::BoardSettings card;
  card.card_id = '1';
  card.fw_version = "0102";
  std::size_t index = bus::add_card(card);

  ASSERT_TRUE(run());

  std::vector<std::string> expected = lines_up_to_firmware();
  for (const char* line : {"Switch to ISP mode ", "Device 0x2047 0x0200 ISP\xA1\x40mode device found",
                           "Device Connected", "Mass Erase", "Download full BSL...", "Wait for BSL",
                           "==========================", "program_file", "Device Reset  Complete",
                           "VID: 0x2933 PID:1 CardId: 1", "FW Ver =0200,Boot Ver=0005"})
    expected.push_back(line);
  EXPECT_EQ(log_lines(), expected);
  EXPECT_EQ(clock_.pauses, (std::vector<int>{10000, 1500, 3000, 3000}));

  cardsim::Board& board = bus::board(index);
  EXPECT_EQ(board.mode(), cardsim::Mode::Application);
  EXPECT_TRUE(board.faults().empty()) << board.faults().front();
  FirmwareImage image;
  ASSERT_TRUE(ReadTiTxtImage(kNewFirmware.c_str(), image));
  ASSERT_GT(image.segment_count(), 1u);
  for (const ImageSegment& segment : image) {
    Bytes in_flash;
    for (std::int32_t i = 0; i < segment.byte_count; ++i)
      in_flash.push_back(board.memory().read(segment.start_address + static_cast<std::uint32_t>(i)));
    EXPECT_BYTES(Bytes(segment.bytes.begin(), segment.bytes.end()), in_flash) << "segment at " << segment.start_address;
  }
}

TEST_F(UpdateSequenceTest, UnreadableFirmwareFileStopsBeforeTheCardIsTouched) {
  std::size_t index = bus::add_card();
  EXPECT_FALSE(run(kDataDir + "/no-such-firmware.txt"));
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"==Load RAM BSL==", kRamBslPath,
                                                   "Load RAM_BSL_00.08.08.39.txt Complete",
                                                   "open file fail,file maybe is not exist or bad.",
                                                   kDataDir + "/no-such-firmware.txt: No such file or directory"}));
  EXPECT_EQ(bus::board(index).mode(), cardsim::Mode::Application);
  EXPECT_TRUE(clock_.pauses.empty());
}

TEST_F(UpdateSequenceTest, MissingRamBootLoaderStopsBeforeTheFirmwareIsRead) {
  std::size_t index = bus::add_card();
  std::string empty_dir = scratch_dir();
  EXPECT_FALSE(run(kNewFirmware, empty_dir));
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"==Load RAM BSL==", empty_dir + "/RAM_BSL_00.08.08.39.txt",
                                                   "open file fail,file maybe is not exist or bad.",
                                                   empty_dir + "/RAM_BSL_00.08.08.39.txt: No such file or directory"}));
  EXPECT_EQ(bus::board(index).mode(), cardsim::Mode::Application);
}

TEST_F(UpdateSequenceTest, SwitchThatFailsEndsWithoutAPause) {
  std::size_t index = bus::add_card();
  context_ = Tav_Init();
  ASSERT_NE(context_, nullptr);
  bus::set_faults(index, true, false, false);
  ::testing::internal::CaptureStdout();
  UpdateRun r{&context_, kNewFirmware, kDataDir, log_, clock_};
  EXPECT_FALSE(RunUpdate(r));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Board 0 Error Access!!\n");
  auto expected = lines_up_to_firmware();
  expected.push_back("Switch to ISP mode fail");
  EXPECT_EQ(log_lines(), expected);
  EXPECT_TRUE(clock_.pauses.empty());
}

TEST_F(UpdateSequenceTest, BootLoaderThatNeverShowsUp) {
  cardsim::BoardSettings card;
  card.isp_delay = std::chrono::milliseconds(60000);
  bus::add_card(card);
  EXPECT_FALSE(run());
  auto expected = lines_up_to_firmware();
  expected.push_back("Switch to ISP mode ");
  expected.push_back("Fail To Find ISP mode device");
  EXPECT_EQ(log_lines(), expected);
  EXPECT_EQ(clock_.pauses, std::vector<int>{10000});
}

TEST_F(UpdateSequenceTest, BootLoaderThatCannotBeOpened) {
  std::size_t index = bus::add_card();
  bus::set_open_filter(index, [](cardsim::Mode mode) { return mode == cardsim::Mode::Application; });
  EXPECT_FALSE(run());
  auto lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Fail To Connect ISP mode device");
  EXPECT_EQ(lines[lines.size() - 2], "Device 0x2047 0x0200 ISP\xA1\x40mode device found");
}

TEST_F(UpdateSequenceTest, FirstLoadPcThatFails) {
  std::size_t index = bus::add_card();
  bus::set_write_filter(index, [](cardsim::Mode mode, const std::uint8_t* data, std::size_t size) {
    return !(mode == cardsim::Mode::UsbBootLoader && size > 2 && data[2] == 0x17);
  });
  EXPECT_FALSE(run());
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Download full BSL...");
  EXPECT_EQ(lines.back(), "Bsl Load PC Fail");
  EXPECT_EQ(clock_.pauses, (std::vector<int>{10000, 1500}));  // no wait for the RAM boot loader
}

TEST_F(UpdateSequenceTest, SecondLoadPcThatFails) {
  std::size_t index = bus::add_card();
  bus::set_write_filter(index, [](cardsim::Mode mode, const std::uint8_t* data, std::size_t size) {
    return !(mode == cardsim::Mode::RamBootLoader && size > 2 && data[2] == 0x17);
  });
  EXPECT_FALSE(run());
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "program_file");
  EXPECT_EQ(lines.back(), "Bsl Load PC Fail");
}

TEST_F(UpdateSequenceTest, ReconnectThatFailsShowsAtTheResetWrite) {
  std::size_t index = bus::add_card();
  bus::set_open_filter(index, [](cardsim::Mode mode) { return mode != cardsim::Mode::RamBootLoader; });
  EXPECT_FALSE(run());
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "program_file");
  EXPECT_EQ(lines.back(), "Write 0xa5 0x06  Fail");
}

TEST_F(UpdateSequenceTest, CardThatCannotBeOpenedAfterTheReset) {
  std::size_t index = bus::add_card();
  // Once the board has been in its boot loader, the card it becomes again cannot be opened.
  bus::set_open_filter(index, [left_application = false](cardsim::Mode mode) mutable {
    left_application = left_application || mode != cardsim::Mode::Application;
    return !left_application || mode != cardsim::Mode::Application;
  });
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(run());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Board 0 Error Access!!\n");
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Device Reset  Complete");
  EXPECT_EQ(lines.back(), "Fail to Get Device information!!");
  EXPECT_EQ(clock_.pauses, (std::vector<int>{10000, 1500, 3000, 3000}));
}

TEST_F(UpdateSequenceTest, RamBootLoaderThatListsUnderANewPath) {
  // The reconnect reopens the recorded path, so a boot loader that moved is not reached; the
  // firmware blocks go nowhere and the reset write is the first failure reported.
  cardsim::DeviceSetup setup;
  setup.new_path_on_restart = true;
  bus::add(setup);
  EXPECT_FALSE(run());
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "program_file");
  EXPECT_EQ(lines.back(), "Write 0xa5 0x06  Fail");
  EXPECT_EQ(clock_.pauses, (std::vector<int>{10000, 1500, 3000}));
}

TEST_F(UpdateSequenceTest, ImageWithoutBytesStillEndsWithLoadPc) {
  std::size_t index = bus::add_card();
  std::string file = scratch_dir() + "/empty.txt";
  std::ofstream(file) << "@4400\nq\n";
  run(file);
  // After the LOAD PC that starts the RAM boot loader only the reset block and LOAD PC follow.
  std::vector<Bytes> reports;
  for (auto& w : bus::writes())
    if (w.bytes.size() == 64) reports.push_back(w.bytes);
  auto first_load_pc = std::find_if(reports.begin(), reports.end(), [](const Bytes& r) { return r[2] == 0x17; });
  ASSERT_EQ(reports.end() - first_load_pc, 3);
  EXPECT_BYTES((Bytes{0x3F, 0x06, 0x1B, 0x20, 0x01, 0x00, 0xA5, 0x06}), Bytes(first_load_pc[1].begin(), first_load_pc[1].begin() + 8));
  EXPECT_BYTES((Bytes{0x3F, 0x04, 0x17, 0x04, 0x25, 0x00}), Bytes(first_load_pc[2].begin(), first_load_pc[2].begin() + 6));
  (void)index;
  auto lines = log_lines();
  auto program = std::find(lines.begin(), lines.end(), "program_file");
  ASSERT_NE(program, lines.end());
  EXPECT_EQ(*(program + 1), "Device Reset  Complete");
}

}  // namespace
