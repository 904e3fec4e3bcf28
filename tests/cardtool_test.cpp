// cardtool as built, run against the virtual bus loaded in place of hidapi; the whole standard
// output and the exit status are compared with what is expected.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/cardtool_text.h"
#include "support/run_program.h"

using namespace testsupport;

namespace {

const std::string& kUsage = kCardtoolUsage;
const std::string& kRefused = kCardtoolRefused;
const std::string kTotal1 = "Total 1 board found\n";
const std::string kPrime = "MCU read write Flash\n";
const std::string kSwitchStart = "open /dev/hidraw0\nswitch to boot comamand\n" + kPrime;
const std::string kWriteFailed = "Unable to write()\nError: Input/output error\n";

std::string found(const std::string& path = "/dev/hidraw0", const std::string& pid = "0001") {
  return device_found(path, "2933 " + pid);
}

std::string found_many(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += found("/dev/hidraw" + std::to_string(i));
  return text;
}

ProgramResult cardtool(const std::string& devices, const std::vector<std::string>& args) {
  return run_program(CARDTOOL_PATH, args, virtual_bus_env(devices));
}

struct Case {
  std::string devices;
  std::vector<std::string> args;
  std::string out;
  int status;
};

std::string label(const Case& c) {
  std::string text = "devices \"" + c.devices + "\", args";
  for (const std::string& a : c.args) text += " \"" + a + "\"";
  return text;
}

TEST(Cardtool, TranscriptsAndExitStatuses) {
  const std::string long_path = "/dev/bus/usb/sim/" + std::string(40, 'p');  // 57 characters
  const std::string fits = "/dev/" + std::string(44, 'q');                 // 49 characters
  const std::string versions = "Firmware version=0102 Boot version=0005 \n";
  const std::vector<Case> cases = {
      // The board count decides first; the argument is not looked at.
      {"", {"-h"}, "Total 0 board found\n" + kRefused, 3},
      {"", {"-i"}, "Total 0 board found\n" + kRefused, 3},
      {"", {"-isp"}, "Total 0 board found\n" + kRefused, 3},
      {"card id=1; card id=2 usb_pid=0002", {"-i"},
       found() + found("/dev/hidraw1", "0002") + "Total 2 board found\n" + kRefused, 3},
      {"card count=9", {"-i"}, found_many(9) + "Total 9 board found\n" + kRefused, 3},
      {"card interfaces=2", {"-i"}, found_many(2) + "Total 2 board found\n" + kRefused, 3},
      // Help asked for, or a usage error.
      {"card", {"-h"}, found() + kTotal1 + kUsage, 0},
      {"card", {"--help"}, found() + kTotal1 + kUsage, 0},
      {"card", {"-h", "-i"}, found() + kTotal1 + kUsage, 0},
      {"card", {}, found() + kTotal1 + kUsage, 2},
      {"card", {"-Isp"}, found() + kTotal1 + kUsage, 2},
      {"card", {"-x"}, found() + kTotal1 + kUsage, 2},
      {"card", {"--info"}, found() + kTotal1 + kUsage, 2},
      {"card", {"-H"}, found() + kTotal1 + kUsage, 2},
      {"card", {""}, found() + kTotal1 + kUsage, 2},
      // Versions.
      {"card fw=0102 boot=0005 fault=stale", {"-i"}, found() + kTotal1 + kPrime + versions, 0},
      {"card fw=0102 boot=0005", {"-I"}, found() + kTotal1 + kPrime + versions, 0},
      {"card fw=0303 path=" + fits, {"-i"}, found(fits) + kTotal1 + kPrime + "Firmware version=0303 Boot version=0005 \n",
       0},
      {"card fault=silent", {"-i"}, found() + kTotal1 + kPrime + "Board Index=0 Get Fw /Boot version Error\n", 1},
      {"card fault=read", {"-i"},
       found() + kTotal1 + kPrime + "Unable to read()\nUnable to read()\nBoard Index=0 Get Fw /Boot version Error\n", 1},
      {"card fault=open", {"-i"}, found() + kTotal1 + "Board 0 Error Access!!\n", 1},
      {"card path=" + long_path, {"-i"},
       found(long_path) + "  path longer than 49 characters: board not usable\n" + kTotal1 + "Board 0 Error Access!!\n",
       1},
      // The switch.
      {"card", {"-isp"}, found() + kTotal1 + kSwitchStart + "mcu switch to boot mode\n", 0},
      {"card", {"-ISP"}, found() + kTotal1 + kSwitchStart + "mcu switch to boot mode\n", 0},
      {"card fault=open", {"-isp"}, found() + kTotal1 + "open /dev/hidraw0\nBoard 0 Error Access!!\n", 1},
      {"card fault=write", {"-isp"}, found() + kTotal1 + kSwitchStart + kWriteFailed + kWriteFailed +
                                         "Switch to isp mode fail\n", 1},
      // The HID layer does not start.
      {"init fail; card", {"-i"}, "hid_init failed error\n", 255},
      {"init fail", {}, "hid_init failed error\n", 255},
  };
  for (const Case& c : cases) {
    ProgramResult r = cardtool(c.devices, c.args);
    EXPECT_EQ(r.out, c.out) << label(c);
    EXPECT_EQ(r.exit_status, c.status) << label(c);
  }
}

TEST(Cardtool, CardThatDoesNotAnswerGivesUpAfterThreePollsPerExchange) {
  ProgramResult r = cardtool("card fault=silent", {"-i"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_GE(r.seconds, 0.8);  // two exchanges that each give up after 400 ms
}

// A board that cannot be opened through a node the user may not read and write gets one line
// more, naming the node. As root every node is accessible, so the runs drop to nobody first.
TEST(Cardtool, AccessHintOnlyForANodeTheUserCannotUse) {
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    const char* setpriv = "/usr/bin/setpriv";
    if (access(setpriv, X_OK) != 0) GTEST_SKIP() << "running as root and " << setpriv << " is missing: cannot drop to nobody";
    prefix = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  char dir_template[] = "/tmp/cardtool-access-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  struct Node {
    std::string name;
    mode_t mode;
    bool hint;
  };
  for (const Node& n : std::vector<Node>{{"locked", 0000, true}, {"readonly", 0444, true}, {"open", 0666, false}}) {
    const std::string node = dir + "/" + n.name;
    FILE* f = std::fopen(node.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(chmod(node.c_str(), n.mode), 0);
    const std::string hint = n.hint ? "  " + node + ": no read/write access for this user; install the udev rule "
                                                    "(see cardtool(1)) and join the plugdev group\n"
                                    : "";
    for (const std::string arg : {"-i", "-isp"}) {
      std::vector<std::string> args = prefix;
      args.push_back(CARDTOOL_PATH);
      args.push_back(arg);
      ProgramResult r = run_program(args[0], {args.begin() + 1, args.end()}, virtual_bus_env("card fault=open path=" + node));
      if (r.exit_status == 126 || r.exit_status == 127) GTEST_SKIP() << "nobody cannot run " << CARDTOOL_PATH << ": " << r.err;
      const std::string opened = arg == "-isp" ? "open " + node + "\n" : "";
      EXPECT_EQ(r.out, found(node) + kTotal1 + opened + "Board 0 Error Access!!\n" + hint) << n.name << " " << arg;
      EXPECT_EQ(r.exit_status, 1) << r.err;
    }
    std::remove(node.c_str());
  }
  rmdir(dir.c_str());
}

}  // namespace
