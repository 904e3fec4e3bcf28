// cardtool as built, run against the virtual bus loaded in place of hidapi; the whole standard
// output is compared with the expected transcript.
#include <gtest/gtest.h>

#include <string>

#include "support/cardtool_text.h"
#include "support/run_program.h"

using namespace testsupport;

namespace {

const std::string& kUsage = kCardtoolUsage;
const std::string& kRefused = kCardtoolRefused;

std::string found(const std::string& path, const std::string& pid = "0001") { return device_found(path, "2933 " + pid); }

ProgramResult cardtool(const std::string& devices, const std::vector<std::string>& args) {
  return run_program(CARDTOOL_PATH, args, virtual_bus_env(devices));
}

TEST(Cardtool, NoCardRefusesWhateverTheArgument) {
  for (const char* arg : {"-h", "-i", "-isp"}) {
    ProgramResult r = cardtool("", {arg});
    EXPECT_EQ(r.out, "Total 0 board found\n" + kRefused) << arg;
    EXPECT_EQ(r.exit_status, 0);
  }
}

TEST(Cardtool, TwoCardsAreListedThenRefused) {
  ProgramResult r = cardtool("card id=1; card id=2 usb_pid=0002", {"-i"});
  EXPECT_EQ(r.out, found("/dev/hidraw0") + found("/dev/hidraw1", "0002") + "Total 2 board found\n" + kRefused);
  EXPECT_EQ(r.exit_status, 0);
}

TEST(Cardtool, UsageForNoArgumentHelpAndAnythingUnknown) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"-h"}, {"--help"}, {"-Isp"}, {"-x"}, {"--info"}, {""}, {"-h", "-i"}}) {
    ProgramResult r = cardtool("card", args);
    EXPECT_EQ(r.out, found("/dev/hidraw0") + "Total 1 board found\n" + kUsage) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(r.exit_status, 0);
  }
}

TEST(Cardtool, InfoPrintsTheVersions) {
  for (const char* arg : {"-i", "-I"}) {
    ProgramResult r2 = cardtool("card fw=0102 boot=0005 fault=stale", {arg});
    EXPECT_EQ(r2.out, found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                          "Firmware version=0102 Boot version=0005 \n") << arg;
    EXPECT_EQ(r2.exit_status, 0);
  }
}

TEST(Cardtool, SwitchToBootMode) {
  for (const char* arg : {"-isp", "-ISP"}) {
    ProgramResult r = cardtool("card", {arg});
    EXPECT_EQ(r.out, found("/dev/hidraw0") + "Total 1 board found\nopen /dev/hidraw0\nswitch to boot comamand\n"
                     "MCU read write Flash\nmcu switch to boot mode\n") << arg;
    EXPECT_EQ(r.exit_status, 0);
  }
}

TEST(Cardtool, CardThatDoesNotAnswer) {
  ProgramResult r = cardtool("card fault=silent", {"-i"});
  EXPECT_EQ(r.out, found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\n"
                   "Board Index=0 Get Fw /Boot version Error\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_GE(r.seconds, 0.8);  // two exchanges that each give up after 400 ms
}

TEST(Cardtool, CardThatCannotBeOpened) {
  ProgramResult info = cardtool("card fault=open", {"-i"});
  EXPECT_EQ(info.out, found("/dev/hidraw0") + "Total 1 board found\nBoard 0 Error Access!!\n");
  ProgramResult isp = cardtool("card fault=open", {"-isp"});
  EXPECT_EQ(isp.out, found("/dev/hidraw0") + "Total 1 board found\nopen /dev/hidraw0\nBoard 0 Error Access!!\n");
  EXPECT_EQ(isp.exit_status, 0);
}

TEST(Cardtool, SwitchWriteThatFails) {
  ProgramResult r = cardtool("card fault=write", {"-isp"});
  EXPECT_EQ(r.out, found("/dev/hidraw0") + "Total 1 board found\nopen /dev/hidraw0\nswitch to boot comamand\n"
                   "MCU read write Flash\n"
                   "Unable to write()\nError: Input/output error\n"
                   "Unable to write()\nError: Input/output error\n"
                   "Switch to isp mode fail\n");
  EXPECT_EQ(r.exit_status, 0);
}

TEST(Cardtool, ReadThatFails) {
  ProgramResult r = cardtool("card fault=read", {"-i"});
  EXPECT_EQ(r.out, found("/dev/hidraw0") + "Total 1 board found\nMCU read write Flash\nUnable to read()\n"
                   "Unable to read()\nBoard Index=0 Get Fw /Boot version Error\n");
}

TEST(Cardtool, FailedHidInitExitsWith255) {
  ProgramResult r = cardtool("init fail; card", {"-i"});
  EXPECT_EQ(r.out, "hid_init failed error\n");
  EXPECT_EQ(r.exit_status, 255);
}

TEST(Cardtool, NineCardsAreCountedWithoutOverflowingTheTable) {
  ProgramResult r = cardtool("card count=9", {"-i"});
  std::string expected;
  for (int i = 0; i < 9; ++i) expected += found("/dev/hidraw" + std::to_string(i));
  EXPECT_EQ(r.out, expected + "Total 9 board found\n" + kRefused);
  EXPECT_EQ(r.exit_status, 0);
}

TEST(Cardtool, CardWithTwoInterfacesCountsTwice) {
  ProgramResult r = cardtool("card interfaces=2", {"-i"});
  EXPECT_EQ(r.out, found("/dev/hidraw0") + found("/dev/hidraw1") + "Total 2 board found\n" + kRefused);
}

TEST(Cardtool, PathTooLongForTheTableIsNotCut) {
  const std::string long_path = "/dev/bus/usb/sim/" + std::string(40, 'p');  // 57 characters
  ProgramResult r = cardtool("card path=" + long_path, {"-i"});
  EXPECT_EQ(r.out, found(long_path) + "  path longer than 49 characters: board not usable\n"
                   "Total 1 board found\nBoard 0 Error Access!!\n");
  const std::string fits = "/dev/" + std::string(44, 'q');  // 49 characters
  ProgramResult ok = cardtool("card fw=0303 path=" + fits, {"-i"});
  EXPECT_EQ(ok.out, found(fits) + "Total 1 board found\nMCU read write Flash\n"
                    "Firmware version=0303 Boot version=0005 \n");
}

}  // namespace
