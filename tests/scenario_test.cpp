// Every scenario in-process on the virtual bus and virtual time: cardtool_main and RunHeadless,
// each on a bus reset to the scenario's devices.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "cardtool.h"
#include "headless.h"
#include "support/scenario.h"
#include "support/update_fixture.h"
#include "virtual_bus.h"

namespace bus = cardsim::bus;
namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const fs::path kHome = fs::temp_directory_path() / ("scenario-" + std::to_string(getpid()));

// Where the in-process Cardflash looks for its RAM boot-loader image: beside the test program
// (never there), then in $XDG_DATA_HOME/cardlink, then in $XDG_DATA_DIRS.
std::string prepare_search(Program program, bool utf8) {
  const fs::path with = kHome / "with", empty = kHome / "empty";
  fs::create_directories(with / "cardlink");
  fs::create_directories(empty);
  const fs::path image = with / "cardlink" / "RAM_BSL_00.08.08.39.txt";
  fs::copy_file(SAMPLE_DATA_DIR "/RAM_BSL_00.08.08.39.txt", image, fs::copy_options::overwrite_existing);
  setenv("XDG_DATA_HOME", (program == Program::kCardflash ? with : empty).c_str(), 1);
  setenv("XDG_DATA_DIRS", empty.c_str(), 1);
  setenv("LC_ALL", utf8 ? "C.UTF-8" : "C", 1);
  return image.string();
}

// Raises SIGINT, as Ctrl-C does, when the pause with the given index begins.
class InterruptingClock : public VirtualClock {
 public:
  explicit InterruptingClock(std::optional<int> at) : at_(at) {}
  void Pause(int milliseconds) override {
    if (at_ && *at_ == static_cast<int>(pauses.size())) std::raise(SIGINT);
    VirtualClock::Pause(milliseconds);
  }

 private:
  std::optional<int> at_;
};

int call(Program program, const std::vector<std::string>& args, VirtualClock& clock, cardflash::StopRequest& stop) {
  std::vector<std::string> texts = {program == Program::kCardtool ? "cardtool" : "Cardflash"};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(texts.size());
  switch (program) {
    case Program::kCardtool: return cardtool_main(argc, argv.data());
    default: return cardflash::RunHeadless(argc, argv.data(), clock, stop);
  }
}

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
  std::string out;  // the terminal turns "\n" into "\r\n"
  for (std::size_t i = 0; i < shown.size(); ++i)
    if (!(shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n')) out += shown[i];
  return out;
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, OnTheVirtualBus) {
  const Scenario& s = GetParam();
  bus::reset();
  std::string error;
  ASSERT_TRUE(bus::configure(s.devices, &error)) << error;
  const std::string ram_bsl = prepare_search(s.program, s.utf8);
  const Placeholders p{ram_bsl, fs::read_symlink("/proc/self/exe").parent_path().string(), (kHome / "files").string()};
  write_files(s, p);
  for (const Step& step : s.steps) {
    if (step.heal) bus::board(step.heal->first).memory().set_weak(step.heal->second, 0);
    Outcome got{};
    InterruptingClock clock(step.interrupt_at_pause);
    cardflash::StopRequest stop;
    if (step.interrupt_at_pause == -1) stop.Request();
    auto run = [&] { got.status = call(s.program, p(step.args), clock, stop) & 0xFF; };
    if (s.terminal) {
      got.out = on_terminal(run);
    } else {
      ::testing::internal::CaptureStdout();
      ::testing::internal::CaptureStderr();
      run();
      got.out = ::testing::internal::GetCapturedStdout();
      got.err = ::testing::internal::GetCapturedStderr();
    }
    // The boards as of now: a restart whose delay has passed since the program's last call shows.
    check_step(step, got, p, [](std::size_t i) -> cardsim::Board& { return (void)bus::path(i), bus::board(i); });
    if (step.pauses) {
      EXPECT_EQ(clock.pauses, *step.pauses);
    }
    EXPECT_EQ(bus::open_handles(), 0) << "device handles left open";
  }
  check_end(s, bus::device_count(), [](std::size_t i) -> cardsim::Board& { return bus::board(i); },
            [](std::size_t i) { return bus::path(i); });
}

INSTANTIATE_TEST_SUITE_P(All, Scenarios, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return test_name(info.param, info.index); });

}  // namespace
