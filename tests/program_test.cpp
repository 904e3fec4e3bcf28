// What only a whole program shows, run as built on the virtual bus loaded in place of hidapi. (The
// hint at the udev rule for a node the user cannot open: tests/hidraw_access_test.cpp, as nobody.)
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "program_run.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kFirmware = SAMPLE_DATA_DIR "/firmware_0200.txt";

// Cardflash --update of a simulated card in real time, its standard output going to a file that is
// watched: as each of `cues` shows up there, SIGINT goes to the program, no sooner than `gap`
// after the one before.
struct Interrupted {
  cardsim::ProgramRun run;
  std::string out;
  Clock::duration after_last_signal{};
};
Interrupted update_interrupted(const std::vector<std::string>& cues, Clock::duration gap) {
  const std::string out_file = ::testing::TempDir() + "/interrupted-" + std::to_string(getpid()) + ".txt";
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", SIMBUS_DIR},
                                                  {"CARDSIM_DEVICES", "card id=1 fw=0102"}};
  std::atomic<pid_t> pid{0};
  Clock::time_point last_signal{};
  std::thread watcher([&] {
    const auto give_up = Clock::now() + std::chrono::seconds(60);
    for (const std::string& cue : cues) {
      for (;;) {
        std::ifstream in(out_file);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find(cue) != std::string::npos || Clock::now() > give_up) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (last_signal != Clock::time_point{}) std::this_thread::sleep_until(last_signal + gap);
      last_signal = Clock::now();
      kill(pid, SIGINT);
    }
  });
  Interrupted result;
  result.run = cardsim::run_program(
      "/bin/sh", {"-c", "exec \"$0\" \"$@\" > " + out_file, CARDFLASH_PATH, "--ram-bsl",
                  SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt", "--update", kFirmware},
      {env, std::chrono::seconds(90), nullptr, [&](pid_t started) { pid = started; }});
  const auto ended = Clock::now();
  watcher.join();
  result.after_last_signal = ended - last_signal;
  std::ifstream in(out_file);
  std::stringstream text;
  text << in.rdbuf();
  result.out = text.str();
  return result;
}

// Ctrl-C in the 10 s after the switch: the pause ends at once, the run closes and says where the
// card is.
TEST(Cardflash, CtrlCCutsThePauseShort) {
  const Interrupted i = update_interrupted({"Switch to ISP mode \n"}, {});
  EXPECT_EQ(i.run.exit_status, 130) << i.run.err;
  const std::string tail = "Switch to ISP mode \nStopped on request\nThe card may be in its boot loader: Cardflash "
                           "--scan tells; if it lists one: Cardflash --recover " + kFirmware + "\n";
  EXPECT_TRUE(i.out.size() >= tail.size() && i.out.compare(i.out.size() - tail.size(), tail.size(), tail) == 0) << i.out;
  EXPECT_LT(i.after_last_signal, std::chrono::seconds(3)) << "the 10 s pause went on";
}

// From the reset write through the identity read nothing is cut; a second Ctrl-C 2 s after the
// first ends the program at once and says where the card is.
TEST(Cardflash, SecondCtrlCEndsAtOnceSayingWhereTheCardIs) {
  const Interrupted i = update_interrupted({"Device Reset  Complete\n", "Device Reset  Complete\n"},
                                           std::chrono::milliseconds(2100));
  EXPECT_EQ(i.run.exit_status, 130);
  EXPECT_EQ(i.run.err, "Cardflash: stopped at once\nThe card was reset into its new firmware but did not answer as a "
                       "card; if a boot loader is listed: Cardflash --recover " + kFirmware + "\n");
  EXPECT_EQ(i.out.find("Stopped on request"), std::string::npos) << "the reset's 3 s were cut:\n" << i.out;
  EXPECT_EQ(i.out.find("FW Ver =0200"), std::string::npos) << "ended only after the identity read:\n" << i.out;
  EXPECT_LT(i.after_last_signal, std::chrono::seconds(1));
}

// A DISPLAY left over from an ssh session whose forwarding has gone: the same words, not Qt's abort.
TEST(Cardflash, StaleDisplayForTheWindow) {
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", SIMBUS_DIR}, {"CARDSIM_DEVICES", "card"},
      {"DISPLAY", "localhost:97"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  const cardsim::ProgramRun r = cardsim::run_program(CARDFLASH_PATH, {}, {env});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "Cardflash: no display to open the window on (the X display localhost:97 does not take a "
                   "connection).\nWithout a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help "
                   "tells more).\n");
}

TEST(Cardflash, NoDisplayForTheWindow) {
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", SIMBUS_DIR}, {"CARDSIM_DEVICES", "card"},
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  const cardsim::ProgramRun r = cardsim::run_program(CARDFLASH_PATH, {}, {env});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err, "Cardflash: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "Without a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help tells more).\n");
}

}  // namespace
