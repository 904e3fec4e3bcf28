// The whole update on the virtual bus and virtual time: the log transcript line by line, what
// reached the controller's memory, the pauses, and the closing after every ending.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <functional>
#include <fstream>

#include "bsl_client.h"
#include "flash_image.h"
#include "headless.h"
#include "support/bytes.h"
#include "support/update_fixture.h"
#include "update_sequence.h"
#include "virtual_bus.h"

using namespace cardflash;
using namespace testsupport;
namespace bus = cardsim::bus;
namespace fs = std::filesystem;
using cardsim::bus::WireRecord;

namespace {

const std::string kDataDir = SAMPLE_DATA_DIR;
const std::string kNewFirmware = kDataDir + "/firmware_0200.txt";
const std::string kRamBslPath = kDataDir + "/RAM_BSL_00.08.08.39.txt";

class UpdateSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { bus::reset(); }
  void TearDown() override {
    EXPECT_EQ(bus::open_handles(), 0);
    if (!scratch_.empty()) fs::remove_all(scratch_);
  }
  // Scans the bus, then runs one update (a recovery: on a context that may list no card).
  bool run(const std::string& firmware = kNewFirmware, std::string ram_dir = kDataDir, bool recover = false) {
    int boot_loaders = 0;
    ContextHolder context(recover ? Tav_InitForRecovery(&boot_loaders) : Tav_Init());
    EXPECT_NE(context, nullptr);
    if (after_scan_) after_scan_();
    UpdateRun r{std::move(context), firmware, RamBslPlaces{{}, {std::move(ram_dir)}}, log_, clock_, verify_};
    const bool done = recover ? RunRecovery(r) : RunUpdate(r);
    EXPECT_EQ(r.context, nullptr) << "the run must close the context";
    return done;
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

  std::function<void()> after_scan_;
  bool verify_ = false;
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
  const std::string ram_bsl = empty_dir + "/RAM_BSL_00.08.08.39.txt";
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"==Load RAM BSL==", ram_bsl,
                                                   "open file fail,file maybe is not exist or bad.",
                                                   ram_bsl + ": No such file or directory",
                                                   "RAM_BSL_00.08.08.39.txt is TI's RAM boot loader and not shipped; "
                                                   "looked for it in: " + empty_dir}));
  EXPECT_EQ(bus::board(index).mode(), cardsim::Mode::Application);
}

TEST_F(UpdateSequenceTest, SwitchThatFailsEndsWithoutAPause) {
  std::size_t index = bus::add_card();
  after_scan_ = [index] { bus::set_faults(index, true, false, false); };
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(run());
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

// Each device that lists itself anew is found anew: other HID devices hold the low minors, one is
// plugged in while the card is in its boot loader and takes the card's old node. The update must
// reach the card through all of it and never write to another device.
TEST_F(UpdateSequenceTest, DevicesFoundAnewAmongOtherHidDevices) {
  // The card comes back from its reset while the connection to the RAM boot loader (its node
  // taken) is still open: on the next free node.
  struct Case {
    const char* devices;
    std::size_t unrelated, card;
    const char* its_path;
    const char* card_path;
  };
  for (const Case& c : {Case{"hid; hid pid=c52c; card id=1 fw=0102", 1, 2, "/dev/hidraw1", "/dev/hidraw2"},
                        Case{"card id=1 fw=0102 isp_delay=5000; hid at=3000", 1, 0, "/dev/hidraw0", "/dev/hidraw1"}}) {
    SCOPED_TRACE(c.devices);
    bus::reset();
    ASSERT_TRUE(bus::configure(c.devices));
    log_ = {};
    clock_.pauses.clear();
    ASSERT_TRUE(run());
    auto lines = log_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "VID: 0x2933 PID:1 CardId: 1");
    EXPECT_EQ(lines.back(), "FW Ver =0200,Boot Ver=0005");
    EXPECT_EQ(clock_.pauses, (std::vector<int>{10000, 1500, 3000, 3000}));
    EXPECT_EQ(bus::path(c.unrelated), c.its_path);
    EXPECT_EQ(bus::path(c.card), c.card_path);
    for (std::size_t i = 0; i < bus::device_count(); ++i)
      EXPECT_TRUE(bus::board(i).faults().empty()) << "device " << i << ": " << bus::board(i).faults().front();
  }
}

TEST_F(UpdateSequenceTest, CardThatDoesNotComeBackAfterTheReset) {
  ASSERT_TRUE(bus::configure("hid; card id=1 fault=noreturn; hid pid=c52c at=25000"));
  EXPECT_FALSE(run());
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Device Reset  Complete");
  EXPECT_EQ(lines.back(), "Fail to Get Device information!!");
  for (std::size_t i = 0; i < bus::device_count(); ++i)
    EXPECT_TRUE(bus::board(i).faults().empty()) << "device " << i << ": " << bus::board(i).faults().front();
}

// After the RAM boot loader starts, the run searches for the boot loader again and stops before a
// single firmware block when it is not listed, or cannot be opened.
TEST_F(UpdateSequenceTest, RamBootLoaderThatIsNotReachedAgain) {
  struct Case {
    const char* devices;
    bool opens_in_ram_bsl;
    const char* last_line;
  };
  for (const Case& c : {Case{"card restart_delay=10000", true, "Fail To Find ISP mode device"},
                        Case{"card", false, "Fail To Connect ISP mode device"}}) {
    SCOPED_TRACE(c.devices);
    bus::reset();
    ASSERT_TRUE(bus::configure(c.devices));
    if (!c.opens_in_ram_bsl)
      bus::set_open_filter(0, [](cardsim::Mode mode) { return mode != cardsim::Mode::RamBootLoader; });
    log_ = {};
    EXPECT_FALSE(run());
    auto lines = log_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Wait for BSL");
    EXPECT_EQ(lines.back(), c.last_line);
    EXPECT_EQ(bus::board(0).memory().read(0x4400), 0xFF) << "no firmware block was sent";
  }
}

// One block that the transport does not take ends the run at once: no block after it, and no
// reset into half-written firmware; the controller stays in its boot loader.
TEST_F(UpdateSequenceTest, FailedBlockWriteStopsTheDownload) {
  struct Case {
    cardsim::Mode mode;
    std::uint32_t address;
    const char* last_line;
  };
  for (const Case& c : {Case{cardsim::Mode::UsbBootLoader, 0x2530, "Download RAM BSL Fail at 0x02530"},
                        Case{cardsim::Mode::RamBootLoader, 0x4430, "Download Msp430 FW Fail at 0x04430"}}) {
    SCOPED_TRACE(c.last_line);
    bus::reset();
    bus::add_card();
    bus::set_write_filter(0, [c](cardsim::Mode mode, const std::uint8_t* data, std::size_t size) {
      const std::uint32_t address = data[3] | (data[4] << 8) | (data[5] << 16);
      return !(mode == c.mode && size > 5 && data[2] == 0x1B && address == c.address);
    });
    log_ = {};
    EXPECT_FALSE(run());
    EXPECT_EQ(log_lines().back(), c.last_line);
    std::vector<WireRecord> writes = bus::writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_FALSE(writes.back().delivered) << "nothing is sent after the failed block";
    EXPECT_EQ(bus::board(0).mode(), c.mode);
  }
}

// The flash holds the image: every byte of every segment (a later segment's byte where they overlap).
void ExpectImageInFlash(const cardsim::Board& board, const std::string& file) {
  FirmwareImage image;
  ASSERT_TRUE(ReadTiTxtImage(file.c_str(), image));
  for (const ImageSegment& segment : image)
    for (std::int32_t i = 0; i < segment.byte_count; ++i)
      ASSERT_EQ(board.memory().read(segment.start_address + static_cast<std::uint32_t>(i)),
                segment.bytes[static_cast<std::size_t>(i)])
          << "at 0x" << std::hex << segment.start_address + static_cast<std::uint32_t>(i);
}

// A controller left in its boot loader is brought back whichever boot loader runs. The RAM boot
// loader, which answers TX BSL VERSION, is not loaded again over itself.
TEST_F(UpdateSequenceTest, RecoveryFromEitherBootLoader) {
  const std::vector<std::string> from_rom = {
      "Load Msp430 FW Complete", "Device 0x2047 0x0200 ISP\xA1\x40mode device found", "Device Connected",
      "==Load RAM BSL==", kRamBslPath, "Load RAM_BSL_00.08.08.39.txt Complete", "Mass Erase",
      "Download full BSL...", "Wait for BSL"};
  const std::vector<std::string> from_ram = {
      "Load Msp430 FW Complete", "Device 0x2047 0x0200 ISP\xA1\x40mode device found", "Device Connected",
      "Mass Erase", "RAM BSL already running: its download and start are skipped"};
  const std::vector<std::string> tail = {"==========================", "program_file", "Device Reset  Complete",
                                         "VID: 0x2933 PID:1 CardId: 0", "FW Ver =0200,Boot Ver=0005"};
  struct Case {
    const char* devices;
    const std::vector<std::string>* head;
    std::vector<int> pauses;
  };
  // The first pause is one poll for the reply to TX BSL VERSION.
  for (const Case& c : {Case{"bsl", &from_rom, {10, 1500, 3000, 3000}},
                        Case{"bsl flash=erased", &from_rom, {10, 1500, 3000, 3000}},
                        Case{"hid; bsl mode=rambsl", &from_ram, {10, 1500, 3000}}}) {
    SCOPED_TRACE(c.devices);
    bus::reset();
    ASSERT_TRUE(bus::configure(c.devices));
    log_ = {};
    clock_.pauses.clear();
    EXPECT_TRUE(run(kNewFirmware, kDataDir, true));
    std::vector<std::string> expected = *c.head;
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(log_lines(), expected);
    EXPECT_EQ(clock_.pauses, c.pauses);
    const cardsim::Board& board = bus::board(bus::device_count() - 1);
    EXPECT_EQ(board.mode(), cardsim::Mode::Application);
    ExpectImageInFlash(board, kNewFirmware);
    for (std::size_t i = 0; i < bus::device_count(); ++i)
      EXPECT_TRUE(bus::board(i).faults().empty()) << bus::board(i).faults().front();
  }
}

// CRC CHECK of every segment before the reset. A weak flash cell fails it: the controller is not
// reset and stays in its RAM boot loader, from where a recovery brings it back once the cell holds.
TEST_F(UpdateSequenceTest, VerifyCatchesAWeakCellAndRecoveryThenSucceeds) {
  ASSERT_TRUE(bus::configure("card id=1 fw=0102 weak=4410"));
  verify_ = true;
  EXPECT_FALSE(run());
  FirmwareImage image;
  ASSERT_TRUE(ReadTiTxtImage(kNewFirmware.c_str(), image));
  const std::uint16_t expected = VerifyRanges(image).front().crc;
  std::vector<std::uint8_t> written = image.segment(0).bytes;
  written[0x10] |= 0x01;
  char line[96];
  std::snprintf(line, sizeof line, "Verify Fail at 0x04400: CRC 0x%04X, expected 0x%04X",
                Crc16Ccitt(written.data(), written.size()), expected);
  EXPECT_EQ(log_lines().back(), line);
  EXPECT_EQ(log_lines()[log_lines().size() - 2], "program_file");
  cardsim::Board& board = bus::board(0);
  EXPECT_EQ(board.mode(), cardsim::Mode::RamBootLoader) << "no reset into damaged firmware";

  board.memory().set_weak(0x4410, 0);
  log_ = {};
  EXPECT_TRUE(run(kNewFirmware, kDataDir, true));
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 4], "Verify Complete: 8 segments, " + std::to_string([&] {
              long bytes = 0;
              for (const ImageSegment& segment : image) bytes += segment.byte_count;
              return bytes;
            }()) + " bytes");
  EXPECT_EQ(lines.back(), "FW Ver =0200,Boot Ver=0005");
  ExpectImageInFlash(board, kNewFirmware);
}

// After the reset only a card that answers as a card counts: four printable characters in each
// version. A boot loader's refusal, or garbage, is not an identity.
TEST_F(UpdateSequenceTest, CardWithUnprintableVersionsIsNoIdentity) {
  cardsim::BoardSettings card;
  card.boot_version = std::string("00\x01") + "5";
  bus::add_card(card);
  EXPECT_FALSE(run());
  EXPECT_EQ(log_lines().back(), "Fail to Get Device information!!");
}

// The RAM boot-loader image: the first folder that has it; when none has it, the log names them all.
TEST_F(UpdateSequenceTest, RamBootLoaderIsLookedForInEachFolder) {
  const std::string empty = scratch_dir();
  RecordingLog log;
  FirmwareImage image;
  UpdateRun found{nullptr, "", RamBslPlaces{{}, {empty, kDataDir}}, log, clock_};
  EXPECT_TRUE(LoadRamBslImage(found, image));
  EXPECT_EQ(log_lines_of(log.all), (std::vector<std::string>{"==Load RAM BSL==", kRamBslPath,
                                                             "Load RAM_BSL_00.08.08.39.txt Complete"}));
  EXPECT_EQ(DefaultRamBslPlaces().folders.front(), ExecutableDirectory()) << "beside the program first";
  struct Case {
    const char* data_home;
    const char* data_dirs;
    std::vector<std::string> after_the_program;
  };
  for (const Case& c : {Case{"", "", {"/home/u/.local/share/cardlink/", "/usr/local/share/cardlink/", "/usr/share/cardlink/"}},
                        Case{"/xdg", "/a:relative:/b/", {"/xdg/cardlink/", "/a/cardlink/", "/b/cardlink/"}}}) {
    setenv("HOME", "/home/u", 1);
    setenv("XDG_DATA_HOME", c.data_home, 1);
    setenv("XDG_DATA_DIRS", c.data_dirs, 1);
    std::vector<std::string> folders = DefaultRamBslPlaces().folders;
    EXPECT_EQ(std::vector<std::string>(folders.begin() + 1, folders.end()), c.after_the_program) << c.data_dirs;
  }
}

// Qt's own options open the window; anything else is for the headless front end.
TEST(CardflashArguments, QtOptionsOpenTheWindow) {
  struct Case {
    std::vector<const char*> args;
    bool headless;
  };
  for (const Case& c : {Case{{}, false}, Case{{"-platform", "offscreen"}, false}, Case{{"--style=fusion", "-reverse"}, false},
                        Case{{"--scan"}, true}, Case{{"-platform", "offscreen", "--scan"}, true}, Case{{"--bogus"}, true},
                        Case{{"-h"}, true}}) {
    std::vector<char*> argv = {const_cast<char*>("Cardflash")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    EXPECT_EQ(WantsHeadless(static_cast<int>(argv.size()), argv.data()), c.headless) << argv.size();
  }
}

// An image the controller could never start is refused before the card is touched: erasing the
// card for it would only lose the firmware the card has.
TEST_F(UpdateSequenceTest, ImagesThatCouldNeverStartAreRefused) {
  struct Case {
    const char* text;
    const char* reason;
  };
  for (const Case& c : {Case{"@4400\nq\n", "the image holds no data byte"},
                        Case{"@4400\n31 40\nq\n", "the image has no reset vector at 0xFFFE"},
                        Case{"@4400\n31 40\n@FFFE\nFF FF\nq\n", "the image's reset vector at 0xFFFE is erased (0xFFFF)"},
                        Case{"@FFFE\n00 44\n@FFFE\nFF FF\nq\n", "the image's reset vector at 0xFFFE is erased (0xFFFF)"}}) {
    SCOPED_TRACE(c.text);
    bus::reset();
    bus::add_card();
    const std::string file = scratch_dir() + "/image.txt";
    std::ofstream(file) << c.text;
    log_ = {};
    EXPECT_FALSE(run(file));
    auto lines = log_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "open file fail,file maybe is not exist or bad.");
    EXPECT_EQ(lines.back(), file + ": " + c.reason);
    EXPECT_EQ(bus::board(0).mode(), cardsim::Mode::Application) << "the card was not switched";
    EXPECT_TRUE(clock_.pauses.empty());
  }
}

}  // namespace
