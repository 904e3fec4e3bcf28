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

// The stand-in RAM boot loader, named on Cardflash's command line (arguments()).
const std::string kRamBsl = SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt";

std::string program_path(Program program) { return program == Program::kCardtool ? CARDTOOL_PATH : CARDFLASH_PATH; }

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
  const Placeholders p{kRamBsl, folder.string(), ::testing::TempDir() + "/hidraw-scenario-files"};
  write_files(s, p);
  const std::map<std::string, std::string> env = {{"LC_ALL", "C"}};
  std::unique_ptr<HidrawBus> bus;
  for (const Step& step : s.steps) {
    ProgramRun run;
    if (!bus) {
      Played played = cardsim::hidraw::play({s.devices, program, arguments(s, step, p), env});
      bus = std::move(played.bus);
      run = played.run;
    } else {
      if (step.heal) bus->board(step.heal->first).memory().set_weak(step.heal->second, 0);
      run = bus->run(program, arguments(s, step, p), env);
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
