// What only a whole program shows, run as built on the virtual bus loaded in place of hidapi. (The
// hint at the udev rule for a node the user cannot open: tests/hidraw_access_test.cpp, as nobody.)
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "program_run.h"

namespace {

TEST(Cardflash, NoDisplayForTheWindow) {
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", SIMBUS_DIR}, {"CARDSIM_DEVICES", "card"},
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  const cardsim::ProgramRun r = cardsim::run_program(CARDFLASH_PATH, {}, {env});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "Cardflash: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "Without a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help tells more).\n");
}

}  // namespace
