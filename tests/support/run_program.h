// Runs a built program as a separate process and collects what it prints (cardsim::run_program,
// with the environment as the only option the tests need).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "program_run.h"

namespace testsupport {

using ProgramResult = cardsim::ProgramRun;

// `env` entries are added to (or replace those of) the test's own environment. A program that
// runs longer than two minutes is killed.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {});

// Environment that makes a shipped binary load the virtual bus with these devices.
std::map<std::string, std::string> virtual_bus_env(const std::string& devices);

}  // namespace testsupport
