// Every scenario that runs on this system, in-process on the virtual bus and virtual time, each on
// a bus reset to its devices and to the personality of the system: cardtool_main and RunHeadless
// on Linux, RunHeadless under wine on Windows (support/scenario_host_*.cpp).
#include <gtest/gtest.h>

#include <csignal>
#include <optional>

#include "stop_request.h"
#include "support/scenario.h"
#include "support/update_fixture.h"
#include "virtual_bus.h"

namespace bus = cardsim::bus;
using bus::Personality;
using namespace testsupport;

namespace {

// The boards as of now: a restart whose delay has passed since the program's last call shows.
cardsim::Board& board_at(std::size_t i) { return (void)bus::path(i), bus::board(i); }

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

// Plays one step of a scenario on the bus as it is; checks it and the pauses.
void play(const Scenario& s, const Step& step, const Placeholders& p) {
  if (step.heal) bus::board(step.heal->first).memory().set_weak(step.heal->second, 0);
  InterruptingClock clock(step.interrupt_at_pause);
  cardflash::StopRequest stop;
  if (step.interrupt_at_pause == -1) stop.Request();
  check_step(step, run_in_process(s, arguments(s, step, p), clock, stop), p, board_at);
  if (step.pauses) {
    EXPECT_EQ(clock.pauses, *step.pauses);
  }
  EXPECT_EQ(bus::open_handles(), 0) << "device handles left open";
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, OnTheVirtualBus) {
  const Scenario& s = GetParam();
  bus::reset();
  std::string error;
  ASSERT_TRUE(bus::configure(s.devices, &error)) << error;
  const Placeholders p = prepare_run(s);
  write_files(s, p);
  for (const Step& step : s.steps) play(s, step, p);
  // Where Linux has a device end on a node, on Windows it is back on the path it first listed
  // under: its port and ids are the same again.
  Scenario expected = s;
  if (bus::personality() == Personality::Windows)
    for (auto& [index, node] : expected.paths) node = bus::first_path(index);
  check_end(expected, bus::device_count(), board_at, [](std::size_t i) { return bus::path(i); });
}

std::vector<Scenario> those_here(bool as_built) {
  std::vector<Scenario> out;
  for (const Scenario& s : scenarios(bus::native_personality()))
    if (runs_here(s) && (s.program == Program::kCardflashAsBuilt) == as_built) out.push_back(s);
  return out;
}

const auto kName = [](const auto& info) { return test_name(info.param, info.index); };
INSTANTIATE_TEST_SUITE_P(All, Scenarios, ::testing::ValuesIn(those_here(false)), kName);
// Cardflash as the build makes it, with no RAM boot loader beside it (on Windows a copy of this
// program in a folder of its own).
INSTANTIATE_TEST_SUITE_P(AsBuilt, Scenarios, ::testing::ValuesIn(those_here(true)), kName);

// The update searches for the boot loader again once the RAM boot loader has started, and for the
// card after its reset. On Windows both come back where they were: every report of the update
// goes to the card's path, then to the boot loader's (to the boot loader in flash and to the RAM
// boot loader, whose commands check_step counts), then to the card's again. (On Linux the RAM boot
// loader lists itself on another node: the connection to the boot loader in flash holds its own.)
TEST(ReEnumeration, OnWindowsTheUpdateFindsTheBootLoaderAndTheCardOnTheirPaths) {
  const Scenario& s = scenario_named("flash update", Personality::Windows);
  bus::reset(Personality::Windows);
  ASSERT_TRUE(bus::configure(s.devices));
  play(s, s.steps.at(0), prepare_run(s));
  std::vector<std::string> paths;
  for (const bus::WireRecord& w : bus::writes())
    if (paths.empty() || paths.back() != w.path) paths.push_back(w.path);
  const std::string card = "\\\\?\\hid#vid_2933&pid_0001#7&eb421bf2&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  std::string boot_loader = card;
  boot_loader.replace(boot_loader.find("2933&pid_0001"), 13, "2047&pid_0200");
  EXPECT_EQ(paths, (std::vector<std::string>{card, boot_loader, card}));
}

}  // namespace
