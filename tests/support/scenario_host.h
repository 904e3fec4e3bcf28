// What the in-process scenario runs (tests/scenario_test.cpp) take from the system they run on:
// scenario_host_posix.cpp on Linux, scenario_host_windows.cpp under wine.
#pragma once

#include <string>
#include <vector>

#include "clock.h"
#include "scenario.h"

namespace testsupport {

// Whether the scenario runs on this system: cardtool and the progress line on a terminal are
// Linux's.
bool runs_here(const Scenario& s);
// Puts the RAM boot-loader image where the in-process Cardflash of `program` finds it (or makes
// sure it finds none); the placeholders' values for this run.
Placeholders prepare_run(Program program);
// The program's front end, in-process: its exit status and what it printed.
Outcome run_in_process(const Scenario& s, const std::vector<std::string>& args, cardflash::Clock& clock);

}  // namespace testsupport
