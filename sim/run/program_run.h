// Runs a built program as a separate process, collects what it prints and kills it when it
// overruns its time. The hidraw harness runs the programs under test with it, and the tests run
// shipped binaries and tools with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace cardsim {

struct ProgramRun {
  int exit_status = -1;  // -1: did not exit normally
  int signal = 0;        // the signal that ended it, if one did (SIGKILL: over its time)
  std::string out;
  std::string err;
  double seconds = 0;
};

struct ProgramOptions {
  std::map<std::string, std::string> env = {};  // added to (or replacing) this process's own
  std::chrono::milliseconds limit = std::chrono::seconds(120);
  // `started` gets the new process's id, with `spawn_guard` held when there is one: whoever
  // watches the program under that lock knows of it before it can do anything.
  std::mutex* spawn_guard = nullptr;
  std::function<void(pid_t)> started = {};
  // Called once the program has ended, while its id cannot yet be given to another process.
  std::function<void(pid_t)> ended = {};
};

// Standard input is /dev/null. Throws std::runtime_error when the program cannot be started.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const ProgramOptions& options = {});

}  // namespace cardsim
