// The in-process scenario runs on Linux: cardtool_main and RunHeadless, the RAM boot-loader image
// found through the XDG data folders, standard output captured or on a pseudo-terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "cardtool.h"
#include "headless.h"
#include "scenario.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

const fs::path kHome = fs::temp_directory_path() / ("scenario-" + std::to_string(getpid()));

// Standard output on a pseudo-terminal while `body` runs; what arrived there.
std::string on_terminal(const std::function<void()>& body) {
  int master = -1, slave = -1;
  EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::string shown;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<std::size_t>(n));
  });
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(slave, STDOUT_FILENO);
  close(slave);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);  // the last descriptor of the slave closes: the reader sees the end
  close(saved);
  reader.join();
  close(master);
  return without_cr(shown);
}

}  // namespace

bool runs_here(const Scenario&) { return true; }

// Where the in-process Cardflash looks for TI's RAM boot-loader image: beside the test program,
// then in $XDG_DATA_HOME/cardlink, then in $XDG_DATA_DIRS: none of them has it. The stand-in is
// named on the command line (arguments()).
Placeholders prepare_run(const Scenario& s) {
  const fs::path empty = kHome / "empty";
  fs::create_directories(empty);
  const fs::path image = SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt";
  setenv("XDG_DATA_HOME", empty.c_str(), 1);
  setenv("XDG_DATA_DIRS", empty.c_str(), 1);
  setenv("LC_ALL", s.utf8 ? "C.UTF-8" : "C", 1);
  return Placeholders{image.string(), fs::read_symlink("/proc/self/exe").parent_path().string(),
                      (kHome / "files").string()};
}

Outcome run_in_process(const Scenario& s, const std::vector<std::string>& args, cardflash::Clock& clock,
                       cardflash::StopRequest& stop) {
  Outcome got{};
  auto run = [&] {
    got.status = s.program == Program::kCardtool
                     ? call_main("cardtool", args, cardtool_main)
                     : call_main("Cardflash", args, [&](int argc, char** argv) { return cardflash::RunHeadless(argc, argv, clock, stop); });
  };
  if (s.terminal) {
    got.out = on_terminal(run);
    return got;
  }
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  run();
  got.out = ::testing::internal::GetCapturedStdout();
  got.err = ::testing::internal::GetCapturedStderr();
  return got;
}

}  // namespace testsupport
