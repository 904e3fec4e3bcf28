// The whole update on the virtual bus and virtual time: the log transcript line by line, what
// reached the controller's memory, the pauses, and the closing after every ending.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "bsl_client.h"
#include "flash_image.h"
#include "headless.h"
#include "support/update_fixture.h"
#include "update_sequence.h"
#include "virtual_bus.h"

using namespace cardflash;
using namespace testsupport;
namespace bus = cardsim::bus;
namespace fs = std::filesystem;
using cardsim::Mode;
using Lines = std::vector<std::string>;

namespace {

const std::string kDataDir = SAMPLE_DATA_DIR;
const std::string kNewFirmware = kDataDir + "/firmware_0200.txt";
const std::string kRamBslPath = kDataDir + "/RAM_BSL_00.08.08.39.txt";
const std::string kFound = "Device 0x2047 0x0200 ISP\xA1\x40mode device found";
const Lines kUpToSwitch = {"==Load RAM BSL==", kRamBslPath, "Load RAM_BSL_00.08.08.39.txt Complete",
                           "Load Msp430 FW Complete"};
const Lines kAfterRamBsl = {"==========================", "program_file", "Device Reset  Complete"};
const std::vector<int> kAllPauses = {10000, 1500, 3000, 3000};

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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

void ExpectNoFaults() {
  for (std::size_t i = 0; i < bus::device_count(); ++i)
    EXPECT_TRUE(bus::board(i).faults().empty()) << "device " << i << ": " << bus::board(i).faults().front();
}

class UpdateSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { bus::reset(); }
  void TearDown() override {
    EXPECT_EQ(bus::open_handles(), 0);
    if (!scratch_.empty()) fs::remove_all(scratch_);
  }
  // Puts `devices` on a fresh bus and forgets the last run's log and pauses.
  void Devices(const std::string& devices) {
    bus::reset();
    ASSERT_TRUE(bus::configure(devices));
    log_ = {};
    clock_.pauses.clear();
  }
  // Scans the bus, then runs one update (a recovery: on a context that may list no card).
  bool Run(const std::string& firmware = kNewFirmware, std::string ram_dir = kDataDir, bool recover = false) {
    int boot_loaders = 0;
    ContextHolder context(recover ? Tav_InitForRecovery(&boot_loaders) : Tav_Init());
    EXPECT_NE(context, nullptr);
    if (after_scan_) after_scan_();
    UpdateRun r{std::move(context), firmware, RamBslPlaces{{}, {std::move(ram_dir)}}, log_, clock_, verify_};
    const bool done = recover ? RunRecovery(r) : RunUpdate(r);
    EXPECT_EQ(r.context, nullptr) << "the run must close the context";
    return done;
  }
  std::string ScratchDir() {
    scratch_ = (fs::temp_directory_path() / ("cardflash-test-" + std::to_string(::getpid()))).string();
    fs::create_directories(scratch_);
    return scratch_;
  }
  Lines Log() { return log_lines_of(log_.all); }
  Lines LastLines(std::size_t n) {
    const Lines all = Log();
    return Lines(all.end() - static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end());
  }

  std::function<void()> after_scan_;
  bool verify_ = false;
  RecordingLog log_;
  VirtualClock clock_;
  std::string scratch_;
};

TEST_F(UpdateSequenceTest, SuccessfulUpdateProgramsTheNewFirmware) {
  Devices("card id=1 fw=0102");
  ASSERT_TRUE(Run());
  EXPECT_EQ(Log(), (kUpToSwitch +
                    Lines{"Switch to ISP mode ", kFound, "Device Connected", "Mass Erase", "Download full BSL...",
                          "Wait for BSL"} +
                    kAfterRamBsl + Lines{"VID: 0x2933 PID:1 CardId: 1", "FW Ver =0200,Boot Ver=0005"}));
  EXPECT_EQ(clock_.pauses, kAllPauses);
  EXPECT_EQ(bus::board(0).mode(), Mode::Application);
  ExpectImageInFlash(bus::board(0), kNewFirmware);
  ExpectNoFaults();
}

// Runs that end before the card is touched: the card stays in its application, no pause was taken.
TEST_F(UpdateSequenceTest, FilesThatStopTheRunBeforeTheCard) {
  const std::string scratch = ScratchDir();
  const std::string empty_ram_bsl = scratch + "/RAM_BSL_00.08.08.39.txt";
  const std::string fail = "open file fail,file maybe is not exist or bad.";
  const std::string file = scratch + "/image.txt";
  struct Case {
    std::string firmware_text;  // empty: the firmware file does not exist
    std::string ram_dir;
    Lines log;
  };
  const Lines ram_bsl_read(kUpToSwitch.begin(), kUpToSwitch.begin() + 3);
  for (const Case& c : std::vector<Case>{
           {"", kDataDir, ram_bsl_read + Lines{fail, file + ": No such file or directory"}},
           {"@4400\n31 40\n", scratch, {"==Load RAM BSL==", empty_ram_bsl, fail, empty_ram_bsl + ": No such file or directory",
                                        "RAM_BSL_00.08.08.39.txt is TI's RAM boot loader and not shipped; looked for it in: " + scratch}},
           // Images the controller could never start: erasing the card for them would only lose its firmware.
           {"@4400\nq\n", kDataDir, ram_bsl_read + Lines{fail, file + ": the image holds no data byte"}},
           {"@4400\n31 40\nq\n", kDataDir, ram_bsl_read + Lines{fail, file + ": the image has no reset vector at 0xFFFE"}},
           {"@4400\n31 40\n@FFFE\nFF FF\nq\n", kDataDir,
            ram_bsl_read + Lines{fail, file + ": the image's reset vector at 0xFFFE is erased (0xFFFF)"}},
           {"@FFFE\n00 44\n@FFFE\nFF FF\nq\n", kDataDir,
            ram_bsl_read + Lines{fail, file + ": the image's reset vector at 0xFFFE is erased (0xFFFF)"}}}) {
    SCOPED_TRACE(c.firmware_text);
    Devices("card");
    fs::remove(file);
    if (!c.firmware_text.empty()) std::ofstream(file) << c.firmware_text;
    EXPECT_FALSE(Run(file, c.ram_dir));
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(bus::board(0).mode(), Mode::Application);
    EXPECT_TRUE(clock_.pauses.empty());
  }
}

// Each step that fails ends the run with its line, after the pauses taken so far.
TEST_F(UpdateSequenceTest, StepsThatFail) {
  auto write_filter = [](Mode in, std::uint8_t code) {
    return [in, code] {
      bus::set_write_filter(0, [in, code](Mode mode, const std::uint8_t* data, std::size_t size) {
        return !(mode == in && size > 2 && data[2] == code);
      });
    };
  };
  auto open_filter = [](cardsim::bus::OpenFilter filter) { return [filter] { bus::set_open_filter(0, filter); }; };
  struct Case {
    const char* devices;
    std::function<void()> setup;  // after the scan
    Lines last_lines;
    std::vector<int> pauses;
    const char* printed = "";
  };
  const std::vector<Case> table = {
      {"card id=0", [] { bus::set_faults(0, true, false, false); }, {"Load Msp430 FW Complete", "Switch to ISP mode fail"},
       {}, "Board 0 Error Access!!\n"},
      {"card isp_delay=60000", {}, {"Switch to ISP mode ", "Fail To Find ISP mode device"}, {10000}},
      {"card", open_filter([](Mode mode) { return mode == Mode::Application; }),
       {kFound, "Fail To Connect ISP mode device"}, {10000}},
      // The first LOAD PC fails: no wait for the RAM boot loader.
      {"card", write_filter(Mode::UsbBootLoader, 0x17), {"Download full BSL...", "Bsl Load PC Fail"}, {10000, 1500}},
      {"card", write_filter(Mode::RamBootLoader, 0x17), {"program_file", "Bsl Load PC Fail"}, {10000, 1500, 3000}},
      // Once the board has been in its boot loader, the card it becomes again cannot be opened.
      {"card id=0", open_filter([left = false](Mode mode) mutable {
         left = left || mode != Mode::Application;
         return !left || mode != Mode::Application;
       }),
       {"Device Reset  Complete", "Fail to Get Device information!!"}, kAllPauses, "Board 0 Error Access!!\n"},
      {"hid; card id=1 fault=noreturn; hid pid=c52c at=25000", {},
       {"Device Reset  Complete", "Fail to Get Device information!!"}, kAllPauses},
      // After the reset only four printable characters in each version make an identity.
      {"card boot=00\x01" "5", {}, {"Device Reset  Complete", "Fail to Get Device information!!"}, kAllPauses},
  };
  for (const Case& c : table) {
    SCOPED_TRACE(c.devices + std::string(" -> ") + c.last_lines.back());
    Devices(c.devices);
    after_scan_ = c.setup;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(Run());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(LastLines(2), c.last_lines);
    EXPECT_EQ(clock_.pauses, c.pauses);
    ExpectNoFaults();
  }
}

// Each device that lists itself anew is found anew: other HID devices hold the low minors, one is
// plugged in while the card is in its boot loader and takes the card's old node. The update must
// reach the card through all of it and never write to another device. The card comes back from
// its reset while the connection to the RAM boot loader (its node taken) is still open.
TEST_F(UpdateSequenceTest, DevicesFoundAnewAmongOtherHidDevices) {
  using Case = std::tuple<const char*, std::size_t, const char*, std::size_t, const char*>;
  for (const auto& [devices, unrelated, its_path, card, card_path] : std::vector<Case>{
           {"hid; hid pid=c52c; card id=1 fw=0102", 1, "/dev/hidraw1", 2, "/dev/hidraw2"},
           {"card id=1 fw=0102 isp_delay=5000; hid at=3000", 1, "/dev/hidraw0", 0, "/dev/hidraw1"}}) {
    SCOPED_TRACE(devices);
    Devices(devices);
    ASSERT_TRUE(Run());
    EXPECT_EQ(LastLines(2), (Lines{"VID: 0x2933 PID:1 CardId: 1", "FW Ver =0200,Boot Ver=0005"}));
    EXPECT_EQ(clock_.pauses, kAllPauses);
    EXPECT_EQ(bus::path(unrelated), its_path);
    EXPECT_EQ(bus::path(card), card_path);
    ExpectNoFaults();
  }
}

// After the RAM boot loader starts, the run searches for the boot loader again and stops before a
// single firmware block when it is not listed, or cannot be opened.
TEST_F(UpdateSequenceTest, RamBootLoaderThatIsNotReachedAgain) {
  for (const auto& [devices, opens, last_line] : std::vector<std::tuple<const char*, bool, const char*>>{
           {"card restart_delay=10000", true, "Fail To Find ISP mode device"},
           {"card", false, "Fail To Connect ISP mode device"}}) {
    SCOPED_TRACE(devices);
    Devices(devices);
    if (!opens) bus::set_open_filter(0, [](Mode mode) { return mode != Mode::RamBootLoader; });
    EXPECT_FALSE(Run());
    EXPECT_EQ(LastLines(2), (Lines{"Wait for BSL", last_line}));
    EXPECT_EQ(bus::board(0).memory().read(0x4400), 0xFF) << "no firmware block was sent";
  }
}

// One block that the transport does not take ends the run at once: no block after it, and no
// reset into half-written firmware; the controller stays in its boot loader.
TEST_F(UpdateSequenceTest, FailedBlockWriteStopsTheDownload) {
  for (const auto& [in, address, last_line] : std::vector<std::tuple<Mode, std::uint32_t, const char*>>{
           {Mode::UsbBootLoader, 0x2530, "Download RAM BSL Fail at 0x02530"},
           {Mode::RamBootLoader, 0x4430, "Download Msp430 FW Fail at 0x04430"}}) {
    SCOPED_TRACE(last_line);
    Devices("card");
    bus::set_write_filter(0, [in = in, address = address](Mode mode, const std::uint8_t* data, std::size_t size) {
      return !(mode == in && size > 5 && data[2] == 0x1B && (data[3] | data[4] << 8 | data[5] << 16) == int(address));
    });
    EXPECT_FALSE(Run());
    EXPECT_EQ(Log().back(), last_line);
    ASSERT_FALSE(bus::writes().empty());
    EXPECT_FALSE(bus::writes().back().delivered) << "nothing is sent after the failed block";
    EXPECT_EQ(bus::board(0).mode(), in);
  }
}

// A controller left in its boot loader is brought back whichever boot loader runs. The RAM boot
// loader, which answers TX BSL VERSION, is not loaded again over itself.
TEST_F(UpdateSequenceTest, RecoveryFromEitherBootLoader) {
  const Lines head = {"Load Msp430 FW Complete", kFound, "Device Connected"};
  const Lines from_rom = head + Lines(kUpToSwitch.begin(), kUpToSwitch.begin() + 3) +
                         Lines{"Mass Erase", "Download full BSL...", "Wait for BSL"};
  const Lines from_ram = head + Lines{"Mass Erase", "RAM BSL already running: its download and start are skipped"};
  const Lines tail = kAfterRamBsl + Lines{"VID: 0x2933 PID:1 CardId: 0", "FW Ver =0200,Boot Ver=0005"};
  // The first pause is one poll for the reply to TX BSL VERSION.
  for (const auto& [devices, log, pauses] : std::vector<std::tuple<const char*, Lines, std::vector<int>>>{
           {"bsl", from_rom + tail, {10, 1500, 3000, 3000}},
           {"bsl flash=erased", from_rom + tail, {10, 1500, 3000, 3000}},
           {"hid; bsl mode=rambsl", from_ram + tail, {10, 1500, 3000}}}) {
    SCOPED_TRACE(devices);
    Devices(devices);
    EXPECT_TRUE(Run(kNewFirmware, kDataDir, true));
    EXPECT_EQ(Log(), log);
    EXPECT_EQ(clock_.pauses, pauses);
    const cardsim::Board& board = bus::board(bus::device_count() - 1);
    EXPECT_EQ(board.mode(), Mode::Application);
    ExpectImageInFlash(board, kNewFirmware);
    ExpectNoFaults();
  }
}

// CRC CHECK of every segment before the reset. A weak flash cell fails it: the controller is not
// reset and stays in its RAM boot loader, from where a recovery brings it back once the cell holds.
TEST_F(UpdateSequenceTest, VerifyCatchesAWeakCellAndRecoveryThenSucceeds) {
  Devices("card id=1 fw=0102 weak=4410");
  verify_ = true;
  EXPECT_FALSE(Run());
  FirmwareImage image;
  ASSERT_TRUE(ReadTiTxtImage(kNewFirmware.c_str(), image));
  std::vector<std::uint8_t> written = image.segment(0).bytes;
  written[0x10] |= 0x01;
  char line[96];
  std::snprintf(line, sizeof line, "Verify Fail at 0x04400: CRC 0x%04X, expected 0x%04X",
                Crc16Ccitt(written.data(), written.size()), VerifyRanges(image).front().crc);
  EXPECT_EQ(LastLines(2), (Lines{"program_file", line}));
  cardsim::Board& board = bus::board(0);
  EXPECT_EQ(board.mode(), Mode::RamBootLoader) << "no reset into damaged firmware";

  board.memory().set_weak(0x4410, 0);
  log_ = {};
  EXPECT_TRUE(Run(kNewFirmware, kDataDir, true));
  long bytes = 0;
  for (const ImageSegment& segment : image) bytes += segment.byte_count;
  EXPECT_EQ(LastLines(4)[0], "Verify Complete: 8 segments, " + std::to_string(bytes) + " bytes");
  EXPECT_EQ(Log().back(), "FW Ver =0200,Boot Ver=0005");
  ExpectImageInFlash(board, kNewFirmware);
}

// The RAM boot-loader image: the first folder that has it; by default beside the program, then
// the XDG data folders.
TEST_F(UpdateSequenceTest, RamBootLoaderIsLookedForInEachFolder) {
  RecordingLog log;
  FirmwareImage image;
  UpdateRun found{nullptr, "", RamBslPlaces{{}, {ScratchDir(), kDataDir}}, log, clock_};
  EXPECT_TRUE(LoadRamBslImage(found, image));
  EXPECT_EQ(log_lines_of(log.all), Lines(kUpToSwitch.begin(), kUpToSwitch.begin() + 3));
  EXPECT_EQ(DefaultRamBslPlaces().folders.front(), ExecutableDirectory());
  for (const auto& [data_home, data_dirs, after_the_program] : std::vector<std::tuple<const char*, const char*, Lines>>{
           {"", "", {"/home/u/.local/share/cardlink/", "/usr/local/share/cardlink/", "/usr/share/cardlink/"}},
           {"/xdg", "/a:relative:/b/", {"/xdg/cardlink/", "/a/cardlink/", "/b/cardlink/"}}}) {
    setenv("HOME", "/home/u", 1);
    setenv("XDG_DATA_HOME", data_home, 1);
    setenv("XDG_DATA_DIRS", data_dirs, 1);
    const Lines folders = DefaultRamBslPlaces().folders;
    EXPECT_EQ(Lines(folders.begin() + 1, folders.end()), after_the_program) << data_dirs;
  }
}

// Qt's own options open the window; anything else is for the headless front end.
TEST(CardflashArguments, QtOptionsOpenTheWindow) {
  for (const auto& [args, headless] : std::vector<std::pair<std::vector<const char*>, bool>>{
           {{}, false}, {{"-platform", "offscreen"}, false}, {{"--style=fusion", "-reverse"}, false}, {{"--scan"}, true},
           {{"-platform", "offscreen", "--scan"}, true}, {{"--bogus"}, true}, {{"-h"}, true}}) {
    std::vector<char*> argv = {const_cast<char*>("Cardflash")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    EXPECT_EQ(WantsHeadless(static_cast<int>(argv.size()), argv.data()), headless) << argv.size();
  }
}

}  // namespace
