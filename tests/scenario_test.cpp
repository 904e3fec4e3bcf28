// Every scenario in-process on the virtual bus and virtual time: cardtool_main, RunHeadless and
// the C client's main, each on a bus reset to the scenario's devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "cardtool.h"
#include "headless.h"
#include "support/scenario.h"
#include "support/update_fixture.h"
#include "support/virtual_pause.h"
#include "virtual_bus.h"

extern "C" int cardlink_client_main(int argc, char** argv);

namespace bus = cardsim::bus;
namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const fs::path kHome = fs::temp_directory_path() / ("scenario-" + std::to_string(getpid()));

// Where the in-process Cardflash looks for its RAM boot-loader image: beside the test program
// (never there), then in $XDG_DATA_HOME/cardlink, then in $XDG_DATA_DIRS.
std::string prepare_search(Program program) {
  const fs::path with = kHome / "with", empty = kHome / "empty";
  fs::create_directories(with / "cardlink");
  fs::create_directories(empty);
  const fs::path image = with / "cardlink" / "RAM_BSL_00.08.08.39.txt";
  fs::copy_file(SAMPLE_DATA_DIR "/RAM_BSL_00.08.08.39.txt", image, fs::copy_options::overwrite_existing);
  setenv("XDG_DATA_HOME", (program == Program::kCardflash ? with : empty).c_str(), 1);
  setenv("XDG_DATA_DIRS", empty.c_str(), 1);
  setenv("LC_ALL", "C", 1);
  return image.string();
}

int call(Program program, const std::vector<std::string>& args) {
  std::vector<std::string> texts = {program == Program::kCardtool ? "cardtool" : "Cardflash"};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(texts.size());
  VirtualClock clock;
  switch (program) {
    case Program::kCardtool: return cardtool_main(argc, argv.data());
    case Program::kCardlinkClient: return cardlink_client_main(argc, argv.data());
    default: return cardflash::RunHeadless(argc, argv.data(), clock);
  }
}

// Standard output on a pseudo-terminal while `body` runs; what arrived there.
std::string on_terminal(const std::function<void()>& body) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  EXPECT_EQ(grantpt(master), 0);
  EXPECT_EQ(unlockpt(master), 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
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

// The client counts its descriptors of device nodes, which only hidraw has.
std::string without_descriptor_counts(const std::string& out) {
  std::string kept;
  for (std::size_t at = 0, end; at < out.size(); at = end) {
    end = out.find('\n', at);
    end = end == std::string::npos ? out.size() : end + 1;
    if (out.compare(at, 4, "open") != 0) kept += out.substr(at, end - at);
  }
  return kept;
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, OnTheVirtualBus) {
  const Scenario& s = GetParam();
  bus::reset();
  clear_channel_pauses();
  std::string error;
  ASSERT_TRUE(bus::configure(s.devices, &error)) << error;
  const std::string ram_bsl = prepare_search(s.program);
  const Placeholders p(ram_bsl, fs::read_symlink("/proc/self/exe").parent_path().string(), (kHome / "files").string());
  write_files(s, p);
  for (const Step& step : s.steps) {
    if (step.heal) bus::board(step.heal->first).memory().set_weak(step.heal->second, 0);
    Outcome got{};
    auto run = [&] { got.status = call(s.program, p(step.args)) & 0xFF; };
    if (s.terminal) {
      got.out = on_terminal(run);
    } else {
      ::testing::internal::CaptureStdout();
      ::testing::internal::CaptureStderr();
      run();
      got.out = ::testing::internal::GetCapturedStdout();
      got.err = ::testing::internal::GetCapturedStderr();
    }
    Step expected = step;
    if (s.program == Program::kCardlinkClient && expected.out) {
      got.out = without_descriptor_counts(got.out);
      expected.out = without_descriptor_counts(*expected.out);
    }
    check_step(expected, got, p, [](std::size_t i) -> cardsim::Board& { return bus::board(i); });
    EXPECT_EQ(bus::open_handles(), 0) << "device handles left open";
  }
  check_end(s, bus::device_count(), [](std::size_t i) -> cardsim::Board& { return bus::board(i); },
            [](std::size_t i) { return bus::path(i); });
}

std::string name_of(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(All, Scenarios, ::testing::ValuesIn(scenarios()), name_of);

// The channel's pacing as the tool sees it: a card that never answers costs two exchanges of four
// pauses each (priming read and version query), and nothing else waits.
TEST(ScenarioTime, SilentCardCostsTwoFullExchanges) {
  bus::reset();
  clear_channel_pauses();
  ASSERT_TRUE(bus::configure("card fault=silent"));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(call(Program::kCardtool, {"-i"}), 1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(channel_pauses(), std::vector<int>(8, 100));
}

}  // namespace
