// The scenarios marked for hidraw, with the shipped programs linked to Debian's libhidapi-hidraw
// on umockdev's nodes, in real time: the same expectations as on the virtual bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "hidraw_bus.h"
#include "support/scenario.h"

using cardsim::hidraw::HidrawBus;
using cardsim::hidraw::Played;
using cardsim::hidraw::ProgramRun;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kRamBsl = SAMPLE_DATA_DIR "/RAM_BSL_00.08.08.39.txt";

// The updater as a simulated card needs it: a copy of the built Cardflash beside the stand-in RAM
// boot loader. The build tree's Cardflash has none beside it, so that nobody runs the stand-in
// against a real card.
std::string simulated_cardflash() {
  static const std::string copy = [] {
    const fs::path folder = fs::temp_directory_path() / ("cardflash-sim-" + std::to_string(getpid()));
    fs::create_directories(folder);
    fs::copy_file(CARDFLASH_PATH, folder / "Cardflash", fs::copy_options::overwrite_existing);
    fs::copy_file(kRamBsl, folder / fs::path(kRamBsl).filename(), fs::copy_options::overwrite_existing);
    return (folder / "Cardflash").string();
  }();
  return copy;
}

std::string program_path(Program program) {
  switch (program) {
    case Program::kCardtool: return CARDTOOL_PATH;
    case Program::kCardflashAsBuilt: return CARDFLASH_PATH;
    case Program::kCardflash: return simulated_cardflash();
  }
  return {};
}

class HidrawScenarios : public ::testing::TestWithParam<Scenario> {};

// Every test of this program needs umockdev: all are skipped where it cannot run.
class Umockdev : public ::testing::Environment {
  void SetUp() override {
    if (const std::string reason = cardsim::hidraw::unavailable_reason(); !reason.empty())
      GTEST_SKIP() << "umockdev cannot run here: " << reason;
  }
};
const auto* const kUmockdev = ::testing::AddGlobalTestEnvironment(new Umockdev);

TEST_P(HidrawScenarios, OnHidrawNodes) {
  const Scenario& s = GetParam();
  const std::string program = program_path(s.program);
  const fs::path folder = fs::path(program).parent_path();
  const Placeholders p{(folder / "RAM_BSL_00.08.08.39.txt").string(), folder.string(),
                       ::testing::TempDir() + "/hidraw-scenario-files"};
  write_files(s, p);
  const std::map<std::string, std::string> env = {{"LC_ALL", "C"}};
  std::unique_ptr<HidrawBus> bus;
  for (const Step& step : s.steps) {
    ProgramRun run;
    if (!bus) {
      Played played = cardsim::hidraw::play({s.devices, program, p(step.args), env});
      bus = std::move(played.bus);
      run = played.run;
    } else {
      if (step.heal) bus->board(step.heal->first).memory().set_weak(step.heal->second, 0);
      run = bus->run(program, p(step.args), env);
    }
    EXPECT_EQ(run.signal, 0) << run.err;
    check_step(step, {run.exit_status, run.out, run.err}, p,
               [&](std::size_t i) -> cardsim::Board& { return bus->board(i); });
    EXPECT_EQ(bus->open_handles(), 0);
  }
  check_end(s, bus->device_count(), [&](std::size_t i) -> cardsim::Board& { return bus->board(i); },
            [&](std::size_t i) { return bus->path(i); });
}

std::vector<Scenario> marked() {
  std::vector<Scenario> out;
  for (const Scenario& s : scenarios())
    if (s.hidraw) out.push_back(s);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Marked, HidrawScenarios, ::testing::ValuesIn(marked()),
                         [](const auto& info) { return test_name(info.param, info.index); });

}  // namespace
