// cardsim-hidraw-run DEVICES PROGRAM [ARGS...]: runs PROGRAM, unchanged and linked to the real
// hidapi, against the boards that the device text DEVICES describes (as CARDSIM_DEVICES), shown as
// umockdev hidraw nodes. The program's output passes through; afterwards what happened on the bus
// and what reached each board is printed on standard error. Exits with the program's status.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "hidraw_bus.h"

namespace {

const char* mode_name(cardsim::Mode m) {
  switch (m) {
    case cardsim::Mode::Off: return "off the bus";
    case cardsim::Mode::Application: return "application";
    case cardsim::Mode::UsbBootLoader: return "USB boot loader";
    case cardsim::Mode::RamBootLoader: return "RAM boot loader";
    case cardsim::Mode::Hung: return "hung";
    case cardsim::Mode::Unrelated: return "unrelated HID device";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DEVICES PROGRAM [ARGS...]\n  e.g. %s \"card id=3 fw=0102\" cardtool -i\n",
                 argv[0], argv[0]);
    return 2;
  }
  using namespace cardsim::hidraw;
  if (std::string reason = unavailable_reason(); !reason.empty()) {
    std::fprintf(stderr, "umockdev cannot run here: %s\n", reason.c_str());
    return 77;
  }
  try {
    Played p = play({argv[1], argv[2], std::vector<std::string>(argv + 3, argv + argc)});
    std::fwrite(p.run.out.data(), 1, p.run.out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(p.run.err.data(), 1, p.run.err.size(), stderr);
    std::fprintf(stderr, "== %.2f s, exit status %d%s\n", p.run.seconds, p.run.exit_status,
                 p.run.signal ? (", signal " + std::to_string(p.run.signal)).c_str() : "");
    for (const NodeEvent& e : p.bus->events())
      std::fprintf(stderr, "== %7.3f s %s %s %04x:%04x (board %zu)\n", static_cast<double>(e.at.count()) / 1e6,
                   e.added ? "listed " : "removed", e.devnode.c_str(), e.vendor_id, e.product_id, e.device);
    for (std::size_t i = 0; i < p.bus->device_count(); ++i) {
      cardsim::Board& b = p.bus->board(i);
      std::fprintf(stderr, "== board %zu: %s, firmware %s, %zu reports received, %zu faults\n", i, mode_name(b.mode()),
                   b.application_version().c_str(), b.commands().size(), b.faults().size());
      for (const std::string& f : b.faults()) std::fprintf(stderr, "   fault: %s\n", f.c_str());
    }
    return p.run.signal ? 128 + p.run.signal : p.run.exit_status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}
