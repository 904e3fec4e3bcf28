// The shipped Cardflash.com under wine, in a folder of its own beside the virtual bus built as
// hidapi.dll and the stand-in RAM boot loader, as a simulated card is updated on Linux
// (scripts/simulated-updater.sh). The scenarios and their transcripts are the suite's own
// (tests/scenarios.cpp). The boards live in the program's process: what they received is read from
// the bus's wire log (CARDSIM_WIRE_LOG).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "program_run.h"
#include "support/scenario.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The build machine's paths as the program sees them: wine's drive Z: is the root folder.
std::string windows_path(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// The sample data's files named in Windows form, as the program names a file it was given.
std::string with_windows_data_paths(std::string text) {
  const std::string data = SAMPLE_DATA_DIR "/";
  for (std::size_t at; (at = text.find(data)) != std::string::npos;) {
    const std::size_t end = text.find_first_of("\n ", at);
    const std::size_t length = (end == std::string::npos ? text.size() : end) - at;
    text.replace(at, length, windows_path(text.substr(at, length)));
  }
  return text;
}

// Windows text output ends its lines with CR LF: checked, then read as the transcripts are written.
std::string lines_of(const std::string& output, const char* stream) {
  for (std::size_t at = 0; (at = output.find('\n', at)) != std::string::npos; ++at)
    EXPECT_TRUE(at > 0 && output[at - 1] == '\r') << stream << " has a line end without CR at " << at << ":\n" << output;
  return replace_all(output, "\r\n", "\n");
}

const Scenario& scenario_named(const std::string& name) {
  for (const Scenario& s : scenarios())
    if (s.name == name) return s;
  throw std::runtime_error("no scenario named " + name);
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

// The BSL command codes in the wire log, written as the scenarios write them ("11*2 1B*43 17"):
// byte 2 of a report to a boot loader; a card's command text has a printable character there.
std::string bsl_codes_in(const fs::path& wire_log) {
  std::vector<std::string> codes;
  for (const std::string& w : writes_in(wire_log)) {
    std::istringstream fields(w.substr(w.find(' ') + 1));
    std::string id, length, code;
    if (fields >> id >> length >> code && code < "20") codes.push_back(code);
  }
  std::string out;
  for (std::size_t i = 0; i < codes.size();) {
    std::size_t run = 1;
    while (i + run < codes.size() && codes[i + run] == codes[i]) ++run;
    out += (out.empty() ? "" : " ") + codes[i] + (run > 1 ? "*" + std::to_string(run) : "");
    i += run;
  }
  return out;
}

class SimulatedCard : public ::testing::Test {
 protected:
  // A copy of the program and its library beside the virtual bus's hidapi.dll and the stand-in.
  void SetUp() override {
    // A folder of each test's own: ctest runs them side by side.
    folder_ = fs::path(windows_path(TEST_FOLDER)) /
              ("simulated-card-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "files");
    for (const char* file : {CARDFLASH_COM, CARDLINK_DLL, SIMBUS_HIDAPI_DLL, SAMPLE_DATA_DIR "/RAM_BSL_00.08.08.39.txt"})
      fs::copy_file(windows_path(file), folder_ / fs::path(windows_path(file)).filename());
  }

  // Plays one scenario's steps with the program; the wire log of the whole scenario.
  fs::path play(const Scenario& s) {
    const Placeholders p{(folder_ / "RAM_BSL_00.08.08.39.txt").string(), folder_.string(), (folder_ / "files").string()};
    write_files(s, p);
    const fs::path wire_log = folder_ / "wire.log";
    const std::map<std::string, std::string> env = {{"CARDSIM_DEVICES", s.devices},
                                                    {"CARDSIM_WIRE_LOG", wire_log.string()}};
    for (Step step : s.steps) {
      std::vector<std::string> args;
      for (const std::string& a : p(step.args)) args.push_back(with_windows_data_paths(a));
      const cardsim::ProgramRun r =
          cardsim::run_program((folder_ / "Cardflash.com").string(), args, {env, std::chrono::seconds(120)});
      const Outcome got{r.exit_status, lines_of(r.out, "standard output"), lines_of(r.err, "standard error")};
      // The boards' commands and state are in the program's process; the wire log stands for them.
      step.commands.clear();
      step.cards.clear();
      if (auto codes = step.bsl.find(0); codes != step.bsl.end()) {
        EXPECT_EQ(bsl_codes_in(wire_log), codes->second);
      }
      step.bsl.clear();
      if (step.out) step.out = with_windows_data_paths(p(*step.out));
      for (auto* texts : {&step.out_has, &step.out_lacks})
        for (std::string& t : *texts) t = with_windows_data_paths(p(t));
      step.out_ends = with_windows_data_paths(p(step.out_ends));
      check_step(step, got, p, [](std::size_t) -> cardsim::Board& { throw std::logic_error("no board here"); });
    }
    return wire_log;
  }

  fs::path folder_;
};

const char kSwitch[] = "32 31 30 32 30 34 30 30 30 34 49 53 50 45";  // "2102040004ISPE"

TEST_F(SimulatedCard, UpdateEndToEnd) {
  const std::vector<std::string> writes = writes_in(play(scenario_named("flash update")));
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
      writes_in(play(scenario_named("flash refused: card id=1; card id=2 --update")));
  for (const std::string& w : writes) EXPECT_EQ(w.find(kSwitch), std::string::npos) << "switched: " << w;
}

// The log's Big5 full-width space (A1 40): a piece that reads in the ANSI code page is passed on
// as it is, as the window shows it (1252, the transcripts above); one that does not is converted
// from Big5. Run by ctest on its own with wine in a Korean locale: code page 949, where A1 40 is
// no character and the full-width space is A1 A1.
using SimulatedCardInKorean = SimulatedCard;

TEST_F(SimulatedCardInKorean, FullWidthSpaceInTheAnsiCodePage) {
  ASSERT_EQ(GetACP(), 949u) << "wine runs this test with LC_ALL=ko_KR.UTF-8";
  Scenario korean = scenario_named("flash recovery from the RAM boot loader");
  korean.steps.at(0).out_has.push_back("Device 0x2047 0x0200 ISP\xA1\xA1mode device found\n");
  play(korean);
}

}  // namespace
