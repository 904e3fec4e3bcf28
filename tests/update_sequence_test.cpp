// The update's engine on the virtual bus and virtual time where a run ends early: each failing
// step's last lines and pauses, and the closing after every ending. Whole runs, successful or
// not, are the scenario suite's (tests/scenarios.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "headless.h"
#include "support/update_fixture.h"
#include "update_sequence.h"
#include "virtual_bus.h"

using namespace cardflash;
using namespace testsupport;
namespace bus = cardsim::bus;
using cardsim::Mode;
using Lines = std::vector<std::string>;

namespace {

const std::string kDataDir = SAMPLE_DATA_DIR;
const std::string kNewFirmware = kDataDir + "/firmware_0200.txt";
const std::string kStandIn = kDataDir + "/stand_in_ram_bsl.txt";
// The erase's 1500 ms, in which its refusal is read; the poll that reads the unlock.
const std::vector<int> kErase = {10, 10, 10, 1470, 10};
// After the RAM boot loader's start: the polls for its version and its unlock.
const std::vector<int> kStart = {3000, 10, 10};
const std::vector<int> kVerify(8, 10);
std::vector<int> join(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
const std::vector<int> kAllPauses = join({{10000}, kErase, kStart, kVerify, {3000}});

class UpdateSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { bus::reset(); }
  void TearDown() override { EXPECT_EQ(bus::open_handles(), 0); }
  // Puts `devices` on a fresh bus and forgets the last run's log and pauses.
  void Devices(const std::string& devices) {
    bus::reset();
    ASSERT_TRUE(bus::configure(devices));
    log_ = {};
    clock_.pauses.clear();
  }
  // Scans the bus, then runs one update.
  bool Run() {
    ContextHolder context(Tav_Init());
    EXPECT_NE(context, nullptr);
    if (after_scan_) after_scan_();
    UpdateRun r{std::move(context), kNewFirmware, RamBslPlaces{kStandIn, {}}, log_, clock_};
    const bool done = RunUpdate(r);
    EXPECT_EQ(r.context, nullptr) << "the run must close the context";
    return done;
  }
  Lines Log() { return log_lines_of(log_.all); }
  // The last lines before the line that says where the card is, if there is one.
  Lines LastLines(std::size_t n) {
    Lines all = Log();
    if (!State().empty()) all.pop_back();
    return Lines(all.end() - static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end());
  }
  // Where the run left the card: the log's last line when it says so, with the file as "FILE".
  std::string State() {
    const Lines all = Log();
    if (all.empty() || all.back().rfind("The card ", 0) != 0) return {};
    std::string state = all.back();
    if (auto at = state.find(kNewFirmware); at != std::string::npos) state.replace(at, kNewFirmware.size(), "FILE");
    return state;
  }

  std::function<void()> after_scan_;
  RecordingLog log_;
  VirtualClock clock_;
};

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
    std::string state;
    const char* printed = "";
  };
  const std::string untouched, switching = "The card may be in its boot loader: Cardflash --scan tells; if it lists one: "
                                           "Cardflash --recover FILE",
                               in_boot_loader = "The card is in its boot loader; to bring it back: Cardflash --recover FILE",
                               reset = "The card was reset into its new firmware but did not answer as a card; if a "
                                       "boot loader is listed: Cardflash --recover FILE";
  const std::vector<Case> table = {
      {"card id=0", [] { bus::set_faults(0, true, false, false); }, {"Load Msp430 FW Complete", "Switch to ISP mode fail"},
       {}, untouched, "Board 0 Error Access!!\n"},
      {"card isp_delay=60000", {}, {"Switch to ISP mode ", "Fail To Find ISP mode device"}, {10000}, switching},
      {"card", open_filter([](Mode mode) { return mode == Mode::Application; }),
       {"Device 0x2047 0x0200 ISP\xA1\x40mode device found", "Fail To Connect ISP mode device"}, {10000}, switching},
      // The first LOAD PC fails: no wait for the RAM boot loader.
      {"card", write_filter(Mode::UsbBootLoader, 0x17), {"Download full BSL...", "Bsl Load PC Fail"},
       join({{10000}, kErase}), in_boot_loader},
      // The RAM boot loader is still there: a LOAD PC that fails is not the reset.
      {"card", write_filter(Mode::RamBootLoader, 0x17), {"Verify Complete: 8 segments, 15696 bytes", "Bsl Load PC Fail"},
       join({{10000}, kErase, kStart, kVerify}), in_boot_loader},
      // Once the board has been in its boot loader, the card it becomes again cannot be opened.
      {"card id=0", open_filter([left = false](Mode mode) mutable {
         left = left || mode != Mode::Application;
         return !left || mode != Mode::Application;
       }),
       {"Device Reset  Complete", "Fail to Get Device information!!"}, kAllPauses, reset, "Board 0 Error Access!!\n"},
      // After the reset only four printable characters in each version make an identity.
      {"card boot=00\x01" "5", {}, {"Device Reset  Complete", "Fail to Get Device information!!"}, kAllPauses, reset},
  };
  for (const Case& c : table) {
    SCOPED_TRACE(c.devices + std::string(" -> ") + c.last_lines.back());
    Devices(c.devices);
    after_scan_ = c.setup;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(Run());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(LastLines(2), c.last_lines);
    EXPECT_EQ(State(), c.state);
    EXPECT_EQ(clock_.pauses, c.pauses);
    for (std::size_t i = 0; i < bus::device_count(); ++i) EXPECT_EQ(bus::board(i).faults(), Lines{}) << "device " << i;
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
    EXPECT_EQ(State(), "The card is in its boot loader; to bring it back: Cardflash --recover FILE");
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
    EXPECT_EQ(LastLines(1), Lines{last_line});
    ASSERT_FALSE(bus::writes().empty());
    EXPECT_FALSE(bus::writes().back().delivered) << "nothing is sent after the failed block";
    EXPECT_EQ(bus::board(0).mode(), in);
  }
}

// The RAM boot-loader image: the first folder that has it; by default beside the program, then
// the XDG data folders.
TEST_F(UpdateSequenceTest, RamBootLoaderIsLookedForInEachFolder) {
  RecordingLog log;
  FirmwareImage image;
  // A folder with an image under TI's name: the stand-in, copied there for this test only.
  const std::string folder = ::testing::TempDir() + "ram-bsl-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(kStandIn, folder + "/RAM_BSL_00.08.08.39.txt",
                             std::filesystem::copy_options::overwrite_existing);
  UpdateRun found{nullptr, "", RamBslPlaces{{}, {"/nonexistent-folder", folder}}, log, clock_};
  EXPECT_TRUE(LoadRamBslImage(found, image));
  EXPECT_EQ(log_lines_of(log.all),
            (Lines{"==Load RAM BSL==", folder + "/RAM_BSL_00.08.08.39.txt", "Load RAM_BSL_00.08.08.39.txt Complete"}));
  std::filesystem::remove_all(folder);
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
           {{"-platform", "offscreen", "--scan"}, true}, {{"--bogus"}, true}, {{"-h"}, true},
           // The window takes TI's RAM boot-loader image as the headless front end does.
           {{"--ram-bsl", "image.txt"}, false}, {{"--ram-bsl=x", "-reverse"}, false}, {{"--ram-bsl", "x", "--scan"}, true}}) {
    std::vector<char*> argv = {const_cast<char*>("Cardflash")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    EXPECT_EQ(WantsHeadless(static_cast<int>(argv.size()), argv.data()), headless) << argv.size();
  }
}

}  // namespace
