// One scenario suite, three back ends. A scenario is data: the devices (a device text), the program
// and its arguments, and what must come out: the transcript, the exit status, the commands the
// boards received and the cards' state. tests/scenario_test.cpp plays every scenario in-process on
// the virtual bus and virtual time, on Linux and under wine (those of Cardflash that do not need a
// terminal) on the bus's Windows personality; tests/hidraw_scenario_test.cpp plays those marked
// `hidraw` with the shipped programs over umockdev's hidraw nodes in real time, and those marked
// `wine` with Cardflash.com, hidapi's Windows back end and wine's HID stack over the same nodes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "board.h"
#include "virtual_bus.h"

namespace cardflash {
class Clock;
class StopRequest;
}

namespace testsupport {

enum class Program {
  kCardtool,
  kCardflash,         // beside the stand-in RAM boot-loader image, as for a simulated card
  kCardflashAsBuilt,  // nothing beside it: the build tree's program
};

struct CardState {
  std::size_t board;
  cardsim::Mode mode;
  std::string version;   // the application firmware's version
  bool flashed = false;  // the flash holds firmware_0200.txt
};

// Texts may hold @DATA@ (the sample data folder), @RAMBSL@ (the stand-in image where the back end
// puts it), @EXEDIR@ (the folder of the program under test) and @TMP@ (the scenario's files).
struct Step {
  std::vector<std::string> args;
  int status = 0;
  std::optional<std::string> out;  // the whole standard output
  std::vector<std::string> out_has, out_lacks;
  std::string out_ends;
  std::optional<std::string> err;  // the whole standard error
  std::string err_has;
  std::map<std::size_t, std::vector<std::string>> commands;  // command texts per board, all so far
  // BSL command codes per board, all so far, a run of one code as CODE*N: "11 11 1B*12 17"
  std::map<std::size_t, std::string> bsl;
  std::vector<CardState> cards;
  std::optional<std::pair<std::size_t, std::uint32_t>> heal;  // before the run: this weak cell holds
  std::optional<std::vector<int>> pauses;  // the updater's pauses in ms (checked on virtual time only)
  // Ctrl-C (SIGINT) as the updater's pause with this index begins; -1: asked for before the program
  // starts (in-process on virtual time only)
  std::optional<int> interrupt_at_pause;
};

struct Scenario {
  std::string name;
  std::string devices;
  Program program;
  std::vector<Step> steps;
  std::map<std::string, std::string> files = {};  // written to @TMP@ first
  std::map<std::size_t, std::string> paths = {};  // each device's node at the end
  bool hidraw = false;                            // played on the hidraw harness too
  bool wine = false;  // Cardflash.com played on the harness through wine's HID stack too
  bool terminal = false;                          // standard output on a pseudo-terminal
  bool utf8 = false;                              // in a UTF-8 locale (C.UTF-8), not in C
};

// The scenarios with what each system shows where they differ: the order in which two cards of the
// same ids are listed, and what a program says about a card it cannot open.
const std::vector<Scenario>& scenarios(cardsim::bus::Personality on = cardsim::bus::Personality::Linux);
const Scenario& scenario_named(const std::string& name, cardsim::bus::Personality on = cardsim::bus::Personality::Linux);
// gtest shows a scenario by its name, and names its test after it.
void PrintTo(const Scenario& s, std::ostream* os);
std::string test_name(const Scenario& s, std::size_t index);

struct Outcome {
  int status;
  std::string out, err;
};

using BoardAt = std::function<cardsim::Board&(std::size_t)>;

// The values of the placeholders; applied to a text, or to each of a list. A '/' right after a
// placeholder becomes `separator`: on Windows the folders are named in Windows' form.
struct Placeholders {
  std::string ram_bsl, exe_dir, tmp;
  std::string data = SAMPLE_DATA_DIR;
  char separator = '/';
  std::string operator()(std::string text) const;
  std::vector<std::string> operator()(std::vector<std::string> texts) const;
};

// Calls a program's main function in-process: `main` gets `name` and `args` as its argv.
int call_main(const std::string& name, std::vector<std::string> args, const std::function<int(int, char**)>& main);
// "\r\n" read as "\n", as a terminal and Windows' text mode end their lines.
std::string without_cr(const std::string& text);
// A path of the build machine as programs under wine see it: drive Z: is the root folder.
std::string wine_path(std::string path);

// The arguments of a step as the program gets them: the placeholders filled, and, for Cardflash
// with the stand-in RAM boot loader (Program::kCardflash), the stand-in (@RAMBSL@) named with
// --ram-bsl when the step flashes and names none: the stand-in has a name of its own, which no
// search finds.
std::vector<std::string> arguments(const Scenario& s, const Step& step, const Placeholders& p);
// Writes the scenario's files into the placeholders' @TMP@.
void write_files(const Scenario& s, const Placeholders& p);
// The checks of one step, and those of every scenario's end: no board saw a fault, no unrelated
// device was written to, and each device is on the node expected.
void check_step(const Step& step, const Outcome& got, const Placeholders& p, const BoardAt& board);
void check_end(const Scenario& s, std::size_t boards, const BoardAt& board,
               const std::function<std::string(std::size_t)>& path);

// For the in-process runs (scenario_test.cpp), from the system they run on: scenario_host_posix.cpp
// on Linux, scenario_host_windows.cpp under wine. Whether the scenario runs here (cardtool and the
// progress line on a terminal are Linux's); the placeholders of a run of `program`, with the RAM
// boot-loader image where its Cardflash finds it (or none); the front end's run.
bool runs_here(const Scenario& s);
Placeholders prepare_run(const Scenario& s);
Outcome run_in_process(const Scenario& s, const std::vector<std::string>& args, cardflash::Clock& clock,
                       cardflash::StopRequest& stop);

}  // namespace testsupport
