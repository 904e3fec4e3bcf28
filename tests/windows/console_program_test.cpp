// The shipped Cardflash.com under wine, in a folder of its own beside the virtual bus built as
// hidapi.dll and the stand-in RAM boot loader, as a simulated card is updated on Linux
// (scripts/simulated-updater.sh). The scenarios and their transcripts are the suite's own
// (tests/scenarios.cpp). The boards live in the program's process: what was written to them is
// read from the bus's wire log (CARDSIM_WIRE_LOG).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "program_run.h"
#include "support/scenario.h"

namespace fs = std::filesystem;
using cardsim::bus::Personality;
using namespace testsupport;

namespace {

// Windows text output ends its lines with CR LF: checked, then read as the transcripts are written.
std::string lines_of(const std::string& output, const char* stream) {
  for (std::size_t at = 0; (at = output.find('\n', at)) != std::string::npos; ++at)
    EXPECT_TRUE(at > 0 && output[at - 1] == '\r') << stream << " has a line end without CR at " << at << ":\n" << output;
  return without_cr(output);
}

// The reports written to the devices, as the wire log has them: "W path XX XX ...".
std::vector<std::string> writes_in(const fs::path& wire_log) {
  std::vector<std::string> out;
  std::ifstream in(wire_log);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string time, direction;
    fields >> time >> direction;
    if (direction == "W") out.push_back(line.substr(line.find(" W ") + 3));
  }
  return out;
}

class SimulatedCard : public ::testing::Test {
 protected:
  // A copy of the program and its library beside the virtual bus's hidapi.dll and the stand-in.
  void SetUp() override {
    // A folder of each test's own: ctest runs them side by side.
    folder_ = fs::path(wine_path(TEST_FOLDER)) /
              ("simulated-card-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "files");
    for (const char* file : {CARDFLASH_COM, CARDLINK_DLL, SIMBUS_HIDAPI_DLL, SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt"})
      fs::copy_file(wine_path(file), folder_ / fs::path(wine_path(file)).filename());
  }

  // Plays one scenario's steps with the program; the wire log of the whole scenario.
  fs::path play(const Scenario& s) {
    Placeholders p{(folder_ / "stand_in_ram_bsl.txt").string(), folder_.string(), (folder_ / "files").string()};
    p.data = wine_path(SAMPLE_DATA_DIR);
    p.separator = '\\';
    write_files(s, p);
    const fs::path wire_log = folder_ / "wire.log";
    const std::map<std::string, std::string> env = {{"CARDSIM_DEVICES", s.devices},
                                                    {"CARDSIM_WIRE_LOG", wire_log.string()}};
    for (Step step : s.steps) {
      const cardsim::ProgramRun r =
          cardsim::run_program((folder_ / "Cardflash.com").string(), arguments(s, step, p), {env, std::chrono::seconds(120)});
      const Outcome got{r.exit_status, lines_of(r.out, "standard output"), lines_of(r.err, "standard error")};
      // The boards' commands and state are in the program's process; the in-process runs of the
      // same scenarios (scenario_test) check them.
      step.commands.clear();
      step.cards.clear();
      step.bsl.clear();
      check_step(step, got, p, [](std::size_t) -> cardsim::Board& { throw std::logic_error("no board here"); });
    }
    return wire_log;
  }

  fs::path folder_;
};

const char kSwitch[] = "32 31 30 32 30 34 30 30 30 34 49 53 50 45";  // "2102040004ISPE"

TEST_F(SimulatedCard, UpdateEndToEnd) {
  const std::vector<std::string> writes = writes_in(play(scenario_named("flash update", Personality::Windows)));
  ASSERT_FALSE(writes.empty());
  int switches = 0;
  for (const std::string& w : writes) {
    EXPECT_EQ(w.find("FAILED"), std::string::npos) << w;
    if (w.find(kSwitch) != std::string::npos) ++switches;
  }
  EXPECT_EQ(switches, 1);
}

TEST_F(SimulatedCard, UpdateWithTwoCardsIsRefused) {
  const std::vector<std::string> writes =
      writes_in(play(scenario_named("flash refused: card id=1; card id=2 --update", Personality::Windows)));
  for (const std::string& w : writes) EXPECT_EQ(w.find(kSwitch), std::string::npos) << "switched: " << w;
}

// The log's Big5 full-width space (A1 40): a piece that reads in the ANSI code page is passed on
// as it is, as the window shows it (1252, the transcripts above); one that does not is converted
// from Big5. Run by ctest on its own with wine in a Korean locale: code page 949, where A1 40 is
// no character and the full-width space is A1 A1.
using SimulatedCardInKorean = SimulatedCard;

TEST_F(SimulatedCardInKorean, FullWidthSpaceInTheAnsiCodePage) {
  ASSERT_EQ(GetACP(), 949u) << "wine runs this test with LC_ALL=ko_KR.UTF-8";
  Scenario korean = scenario_named("flash recovery from the RAM boot loader", Personality::Windows);
  korean.steps.at(0).out_has.push_back("Device 0x2047 0x0200 ISP\xA1\xA1mode device found\n");
  play(korean);
}

}  // namespace
