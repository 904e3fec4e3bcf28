// Cardflash's headless front end as built, on the virtual bus loaded in place of hidapi and in
// real time (the update's fixed pauses make one run last about 18 seconds).
#include <gtest/gtest.h>

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
