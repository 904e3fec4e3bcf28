// Runs a built program as a separate process and collects what it prints.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProgramResult {
  int exit_status = -1;  // -1: did not exit normally
  std::string out;
  std::string err;
  double seconds = 0;
};

// `env` entries are added to (or replace those of) the test's own environment.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {});

// Environment that makes a shipped binary load the virtual bus with these devices.
std::map<std::string, std::string> virtual_bus_env(const std::string& devices);

}  // namespace testsupport
