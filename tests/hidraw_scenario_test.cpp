// The scenarios marked for hidraw, with the shipped programs linked to Debian's libhidapi-hidraw
// on umockdev's nodes, in real time: the same expectations as on the virtual bus. Those marked for
// wine, with the Windows programs on the same nodes, are run by the Windows build's tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "hidraw_bus.h"
#include "support/scenario.h"

using cardsim::hidraw::HidrawBus;
using cardsim::hidraw::ProgramRun;
using cardsim::bus::Personality;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// The stand-in RAM boot loader, named on Cardflash's command line (arguments()).
const std::string kRamBsl = SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt";

std::string program_path(Program program) { return program == Program::kCardtool ? CARDTOOL_PATH : CARDFLASH_PATH; }

// Every test of this program needs umockdev: all are skipped where it cannot run.
class Umockdev : public ::testing::Environment {
  void SetUp() override {
    if (const std::string reason = cardsim::hidraw::unavailable_reason(); !reason.empty())
      GTEST_SKIP() << "umockdev cannot run here: " << reason;
  }
};
const auto* const kUmockdev = ::testing::AddGlobalTestEnvironment(new Umockdev);

// Plays the scenario's steps on one bus, each with `run`; `p` gives the texts the program sees and
// prints, `files` the folder where the scenario's files are written.
using Run = std::function<ProgramRun(HidrawBus&, const std::vector<std::string>& args)>;
void play(const Scenario& s, const Placeholders& p, const std::string& files, const Run& run) {
  Placeholders here = p;
  here.tmp = files;
  write_files(s, here);
  HidrawBus bus;
  std::string error;
  ASSERT_TRUE(bus.configure(s.devices, &error)) << error;
  for (const Step& step : s.steps) {
    if (step.heal) bus.board(step.heal->first).memory().set_weak(step.heal->second, 0);
    const ProgramRun r = run(bus, arguments(s, step, p));
    EXPECT_EQ(r.signal, 0) << r.err;
    check_step(step, {r.exit_status, r.out, r.err}, p, [&](std::size_t i) -> cardsim::Board& { return bus.board(i); });
    EXPECT_EQ(bus.open_handles(), 0);
  }
  check_end(s, bus.device_count(), [&](std::size_t i) -> cardsim::Board& { return bus.board(i); },
            [&](std::size_t i) { return bus.path(i); });
}

class HidrawScenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(HidrawScenarios, OnHidrawNodes) {
  const Scenario& s = GetParam();
  const std::string program = program_path(s.program);
  const fs::path folder = fs::path(program).parent_path();
  const Placeholders p{kRamBsl, folder.string(), ::testing::TempDir() + "/hidraw-scenario-files"};
  play(s, p, p.tmp, [&](HidrawBus& bus, const std::vector<std::string>& args) {
    return bus.run(program, args, {{"LC_ALL", "C"}});
  });
}

// The scenarios marked `wine`, with Cardflash.com and Cardlink.dll as shipped beside the test-only
// hidapi.dll (sim/hidraw/wine/), under wine: the same transcripts as on the bus's Windows
// personality. The Windows build's test gives the folders (tests/windows/windows_tests.cmake).
class WineScenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(WineScenarios, ThroughWinesHidStack) {
  const char* bin = std::getenv("CARDLINK_WINE_BIN");
  const char* hidapi = std::getenv("CARDLINK_WINE_HIDAPI");
  const char* prefix = std::getenv("CARDLINK_WINE_PREFIX");
  ASSERT_TRUE(bin && hidapi && prefix) << "run by the Windows build's test wine_hid_scenarios";
  const fs::path folder = fs::temp_directory_path() / ("cardflash-wine-" + std::to_string(getpid()));
  fs::create_directories(folder);
  for (const fs::path& file : {fs::path(bin) / "Cardflash.com", fs::path(bin) / "Cardlink.dll",
                               fs::path(hidapi) / "hidapi.dll", fs::path(hidapi) / "hid_ready.exe"})
    fs::copy_file(file, folder / file.filename(), fs::copy_options::overwrite_existing);
  Placeholders p{wine_path(kRamBsl), wine_path(folder.string()), wine_path((folder / "files").string())};
  p.data = wine_path(p.data);
  p.separator = '\\';
  const HidrawBus::Wine wine{prefix, (folder / "hid_ready.exe").string()};
  play(GetParam(), p, (folder / "files").string(), [&](HidrawBus& bus, const std::vector<std::string>& args) {
    ProgramRun r = bus.run_wine(wine, (folder / "Cardflash.com").string(), args, {{"LC_ALL", "C.UTF-8"}});
    r.out = without_cr(r.out);
    r.err = without_cr(r.err);
    return r;
  });
  fs::remove_all(folder);
}

// Every card at once through Debian's hidapi, each card on a thread of Cardflash's own: hidapi's
// unguarded global error is the real one here, and the cards' re-enumerations queue for address 0
// on the harness's nodes. The third card never comes back after its reset.
TEST(HidrawAllCards, ThreeAtOnceOneNeverComesBack) {
  HidrawBus bus;
  std::string error;
  ASSERT_TRUE(bus.configure("card id=1 fw=0102 port=3-1.4; card id=2 fw=0102 port=3-1.5; "
                            "card id=3 fw=0102 port=3-1.6 fault=noreturn", &error)) << error;
  const ProgramRun r = bus.run(CARDFLASH_PATH, {"--ram-bsl", kRamBsl, "--update", SAMPLE_DATA_DIR "/firmware_0200.txt",
                                                "--all"}, {{"LC_ALL", "C"}});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 5) << r.err;
  const std::string table = "Port   CardId  Old   New   Result\n"
                            "3-1.4  1       0102  0200  updated\n"
                            "3-1.5  2       0102  0200  updated\n"
                            "3-1.6  3       0102  -     failed, reset, not answering as a card (5)\n";
  ASSERT_GE(r.out.size(), table.size());
  EXPECT_EQ(r.out.substr(r.out.size() - table.size()), table) << r.out;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(bus.board(i).version_in_flash(), "0200") << "card " << i + 1;
    EXPECT_TRUE(bus.board(i).faults().empty()) << "card " << i + 1 << ": " << bus.board(i).faults().front();
  }
  EXPECT_EQ(bus.open_handles(), 0);
}

std::vector<Scenario> marked(bool wine) {
  std::vector<Scenario> out;
  for (const Scenario& s : scenarios(wine ? Personality::Windows : Personality::Linux))
    if (wine ? s.wine : s.hidraw) out.push_back(s);
  return out;
}

const auto kName = [](const auto& info) { return test_name(info.param, info.index); };
INSTANTIATE_TEST_SUITE_P(Marked, HidrawScenarios, ::testing::ValuesIn(marked(false)), kName);
INSTANTIATE_TEST_SUITE_P(Marked, WineScenarios, ::testing::ValuesIn(marked(true)), kName);

}  // namespace
