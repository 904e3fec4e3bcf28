// What only a whole program shows, run as built on the virtual bus loaded in place of hidapi.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/cardtool_text.h"
#include "support/run_program.h"

using namespace testsupport;

namespace {

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
      EXPECT_EQ(r.out, device_found(node) + "Total 1 board found\n" + opened + "Board 0 Error Access!!\n" + hint)
          << n.name << " " << arg;
      EXPECT_EQ(r.exit_status, 1) << r.err;
    }
    std::remove(node.c_str());
  }
  rmdir(dir.c_str());
}

TEST(Cardflash, NoDisplayForTheWindow) {
  auto env = virtual_bus_env("card");
  env.insert({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  ProgramResult r = run_program(CARDFLASH_PATH, {}, env);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "Cardflash: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "Without a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help tells more).\n");
}

}  // namespace
