// A node that only root may open, and the programs run as an unprivileged user (nobody, through
// setpriv): the card is listed, cannot be opened, and both programs say how to get access.
// umockdev backs each node with a pty owned by root (mode 0620), so the kernel refuses nobody.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "hidraw_bus.h"

using namespace cardsim::hidraw;
namespace fs = std::filesystem;

namespace {

const char kSetpriv[] = "/usr/bin/setpriv";

// Lets nobody into the testbed (made 0700 for root): its sysfs, /dev links and sockets.
void OpenTestbedToOthers(const HidrawBus& bus) {
  const fs::path root = bus.environment().at("UMOCKDEV_DIR");
  std::error_code ec;
  for (fs::path p = root; p.has_relative_path(); p = p.parent_path())
    fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add, ec);
  for (const auto& entry : fs::recursive_directory_iterator(root, ec))
    if (!entry.is_symlink()) fs::permissions(entry.path(), fs::perms::others_all, fs::perm_options::add, ec);
}

TEST(HidrawAccess, ProgramsRunAsNobodyNameTheWayToAccess) {
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "needs root and " << kSetpriv;
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int exit_status;
    std::string tail_out;
    std::string err;
  };
  const std::string hint = "  /dev/hidraw0: no read/write access for this user; install the udev rule (see cardtool(1)) "
                           "and join the plugdev group\n";
  const Case cases[] = {
      {CARDTOOL_PATH, {"-i"}, 1, "Total 1 board found\nBoard 0 Error Access!!\n" + hint, ""},
      {CARDTOOL_PATH, {"-isp"}, 1, "Total 1 board found\nopen /dev/hidraw0\nBoard 0 Error Access!!\n" + hint, ""},
      {CARDFLASH_PATH, {"--scan"}, 1, "Board 0 Error Access!!\nFail to Get Flash Device information!!\n",
       "Cardflash: the card was listed but could not be read; if its /dev/hidraw node is not readable\n"
       "and writable for you, install the udev rule and join the plugdev group (see Cardflash(1))\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    HidrawBus bus;
    ASSERT_TRUE(bus.configure("card id=1"));
    OpenTestbedToOthers(bus);
    std::vector<std::string> args = {"--reuid=65534", "--regid=65534", "--clear-groups", c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProgramRun r = bus.run(kSetpriv, args);
    EXPECT_EQ(r.exit_status, c.exit_status) << r.out << r.err;
    ASSERT_GE(r.out.size(), c.tail_out.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - c.tail_out.size()), c.tail_out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(bus.board(0).commands().empty()) << "nothing reached the card";
  }
}

}  // namespace
