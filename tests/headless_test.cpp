// Cardflash's headless front end as built, on the virtual bus loaded in place of hidapi and in
// real time (the update's fixed pauses make one run last about 18 seconds).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/run_program.h"
#include "support/simulated_updater.h"

using namespace testsupport;

namespace {

const std::string kData = SAMPLE_DATA_DIR;
std::string Cardflash() { return simulated_cardflash(CARDFLASH_PATH, kData + "/RAM_BSL_00.08.08.39.txt"); }
const std::string kScanLines =
    "Total 1 Msp430 find\n"
    "Flash Msp430 Information:\n"
    "VID: 0x2933 PID:1 CardId: 1\n"
    "FW Ver =0102,Boot Ver=0005\n";

ProgramResult cardflash(const std::string& devices, const std::vector<std::string>& args,
                        std::map<std::string, std::string> extra_env = {}) {
  auto env = virtual_bus_env(devices);
  env.insert(extra_env.begin(), extra_env.end());
  return run_program(Cardflash(), args, env);
}

TEST(Headless, ScanShowsTheFirstCard) {
  ProgramResult r = cardflash("card id=1 fw=0102; card id=2", {"--scan"});
  EXPECT_EQ(r.out, "Total 2 Msp430 find\nFlash Msp430 Information:\nVID: 0x2933 PID:1 CardId: 1\n"
                   "FW Ver =0102,Boot Ver=0005\n");
  EXPECT_EQ(r.exit_status, 0);
  ProgramResult none = cardflash("", {"--scan"});
  EXPECT_EQ(none.out, "Error Can find Msp430 Device\n");
  EXPECT_EQ(none.exit_status, 1);
}

TEST(Headless, UpdateOfASimulatedCard) {
  const std::string log = ::testing::TempDir() + "/headless-wire.log";
  std::remove(log.c_str());
  ProgramResult r = cardflash("card id=1 fw=0102", {"--update", kData + "/firmware_0200.txt"},
                              {{"CARDSIM_WIRE_LOG", log}, {"LC_ALL", "C.UTF-8"}});
  const std::string ram_bsl = std::filesystem::path(Cardflash()).replace_filename("RAM_BSL_00.08.08.39.txt").string();
  EXPECT_EQ(r.out, kScanLines + "Load Msp430 FW\n" + kData + "/firmware_0200.txt\n"
                   "==Load RAM BSL==\n" + ram_bsl + "\n"
                   "Load RAM_BSL_00.08.08.39.txt Complete\n"
                   "Load Msp430 FW Complete\n"
                   "Switch to ISP mode \n"
                   // A UTF-8 terminal gets the Big5 full-width space as U+3000.
                   "Device 0x2047 0x0200 ISP\xE3\x80\x80mode device found\n"
                   "Device Connected\n"
                   "Mass Erase\n"
                   "Download full BSL...\n"
                   "Wait for BSL\n"
                   "==========================\n"
                   "program_file\n"
                   "Device Reset  Complete\n"
                   "VID: 0x2933 PID:1 CardId: 1\n"
                   "FW Ver =0200,Boot Ver=0005\n");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // The fixed pauses alone are 17.5 s.
  EXPECT_GE(r.seconds, 17.5);
  std::ifstream wire(log);
  std::string line;
  int reports = 0;
  while (std::getline(wire, line)) reports += line.find(" W ") != std::string::npos;
  EXPECT_GT(reports, 10);
}

TEST(Headless, UpdateWithoutACardFails) {
  ProgramResult r = cardflash("", {"--update", kData + "/firmware_0200.txt"});
  EXPECT_EQ(r.out, "Error Can find Msp430 Device\n");
  EXPECT_EQ(r.exit_status, 1);
}

TEST(Headless, UpdateWithAFileThatCannotBeRead) {
  ProgramResult r = cardflash("card id=1 fw=0102", {"--update", "/nonexistent/firmware.txt"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find("open file fail,file maybe is not exist or bad."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/nonexistent/firmware.txt: No such file or directory"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Switch to ISP mode"), std::string::npos) << "the card must not be touched";
}

TEST(Headless, TheBuildTreeProgramHasNoRamBootLoaderAndLeavesTheCardAlone) {
  ProgramResult r = run_program(CARDFLASH_PATH, {"--update", kData + "/firmware_0200.txt"},
                                virtual_bus_env("card id=1 fw=0102"));
  EXPECT_EQ(r.exit_status, 1);
  const std::string ram_bsl = std::string(CARDFLASH_DIR) + "/RAM_BSL_00.08.08.39.txt";
  EXPECT_NE(r.out.find("open file fail,file maybe is not exist or bad.\n" + ram_bsl + ": No such file or directory\n"),
            std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Switch to ISP mode"), std::string::npos) << "the card must not be touched";
}

TEST(Headless, HelpAndUsageErrors) {
  ProgramResult help = cardflash("", {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: Cardflash [--scan | --update FILE | --recover FILE] [--verify] [--ram-bsl FILE]\n", 0), 0u)
      << help.out;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--update"}, {"--bogus"}, {"--scan", "x"}, {"--update", "a", "b"}, {"--verify"}, {"--scan", "--verify"},
           {"--update", "a", "--recover", "b"}, {"--scan", "--ram-bsl", "x"}, {"--recover"}}) {
    ProgramResult r = cardflash("card", args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("Usage: Cardflash"), std::string::npos);
  }
}

}  // namespace

namespace {

// Runs Cardflash with its standard output on a pseudo-terminal, as at a bench; what it printed.
std::string OnATerminal(const std::vector<std::string>& args, const std::string& devices) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  EXPECT_EQ(grantpt(master), 0);
  EXPECT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  for (const auto& [key, value] : virtual_bus_env(devices)) env_text.push_back(key + "=" + value);
  std::vector<std::string> argv_text = {Cardflash()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argv_text) argv.push_back(a.data());
  for (auto& e : env_text) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, slave.c_str(), O_RDWR | O_NOCTTY, 0);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  return out;
}

// A controller whose update failed once the RAM boot loader ran, brought back with a check of the
// flash; on a terminal the downloads show their progress on one line, in a pipe only the lines.
TEST(Headless, RecoveryWithVerifyAndProgressOnATerminalOnly) {
  const std::vector<std::string> args = {"--recover", kData + "/firmware_0200.txt", "--verify"};
  ProgramResult piped = cardflash("bsl mode=rambsl", args);
  EXPECT_EQ(piped.exit_status, 0) << piped.out << piped.err;
  EXPECT_EQ(piped.out.find('\r'), std::string::npos) << "no progress line in a pipe";
  EXPECT_NE(piped.out.find("RAM BSL already running: its download and start are skipped\n"), std::string::npos);
  EXPECT_NE(piped.out.find("\nVerify Complete: 8 segments, "), std::string::npos) << piped.out;
  const std::string tail = "Device Reset  Complete\nVID: 0x2933 PID:1 CardId: 0\nFW Ver =0200,Boot Ver=0005\n";
  EXPECT_EQ(piped.out.substr(piped.out.size() - tail.size()), tail);

  const std::string shown = OnATerminal(args, "bsl mode=rambsl");
  EXPECT_NE(shown.find("\r  1/"), std::string::npos) << "the first block's progress";
  EXPECT_NE(shown.find("\r  329/329 blocks (100%)\r\033[KVerify Complete"), std::string::npos)
      << "the last block, then the line cleared:\n" << shown;
}

// Refusals before anything is touched: which devices are listed decides, with its exit status.
TEST(Headless, RefusalsByWhatIsListed) {
  struct Case {
    const char* devices;
    std::vector<std::string> args;
    int exit_status;
    const char* err;
  };
  const std::string image = kData + "/firmware_0200.txt";
  for (const Case& c : {
           Case{"", {"--recover", image}, 1,
                "Cardflash: no card and no boot loader (2047:0200) is listed: nothing to recover\n"},
           Case{"card", {"--recover", image}, 1,
                "Cardflash: 1 card(s) listed: a controller that runs its firmware is updated with --update FILE\n"},
           Case{"bsl; hid; bsl", {"--recover", image}, 3,
                "Cardflash: 2 boot loaders (2047:0200) are listed; --recover flashes exactly one: unplug the others\n"},
           Case{"card id=1; card id=2", {"--update", image}, 3,
                "Cardflash: 2 cards are listed (card ids 1, 2); --update flashes exactly one: remove the others\n"},
           Case{"card fault=open", {"--scan"}, 1,
                "Cardflash: the card was listed but could not be read; if its /dev/hidraw node is not readable\n"
                "and writable for you, install the udev rule and join the plugdev group (see Cardflash(1))\n"},
       }) {
    SCOPED_TRACE(c.devices);
    ProgramResult r = cardflash(c.devices, c.args, {{"CARDSIM_WIRE_LOG", ""}});
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.err, c.err);
  }
}

// The build tree's program, which has no RAM boot-loader image beside it, given one; a controller
// whose update failed before the RAM boot loader ran, after a power cycle: its boot loader in flash.
TEST(Headless, RecoveryFromTheBootLoaderInFlashWithTheImageNamed) {
  ProgramResult r = run_program(CARDFLASH_PATH,
                                {"--ram-bsl", kData + "/RAM_BSL_00.08.08.39.txt", "--recover", kData + "/firmware_0200.txt"},
                                virtual_bus_env("bsl flash=erased"));
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("==Load RAM BSL==\n" + kData + "/RAM_BSL_00.08.08.39.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Download full BSL...\nWait for BSL\n"), std::string::npos);
  EXPECT_NE(r.out.find("FW Ver =0200,Boot Ver=0005\n"), std::string::npos);
}

TEST(Headless, NoDisplayForTheWindow) {
  ProgramResult r = cardflash("card", {}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "Cardflash: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "Without a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help tells more).\n");
}

}  // namespace
