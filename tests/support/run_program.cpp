#include "run_program.h"

namespace testsupport {

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
  return cardsim::run_program(program, args, {env});
}

std::map<std::string, std::string> virtual_bus_env(const std::string& devices) {
  return {{"LD_LIBRARY_PATH", SIMBUS_DIR}, {"CARDSIM_DEVICES", devices}};
}

}  // namespace testsupport
