// The simulated boards as Linux hidraw devices, for programs that use Debian's real
// libhidapi-hidraw. A umockdev testbed owned by this process describes each board's USB device,
// interface, HID device and /dev/hidrawN node in sysfs; the program under test runs with
// umockdev's preload library and finds them through udev like real hardware.
//
// Reports travel in packet mode: every write() on a node reaches Board::write as one report of
// exactly the written length, and every read() returns one report that Board::read produced.
// While a node is open the harness collects the board's input reports into a queue, as the
// kernel does for an open hidraw device, and keeps one byte in the node's pty while that queue
// holds a report, because umockdev does not intercept poll() and hidapi polls before it reads.
//
// The boards run in real time. When a board leaves the bus (switch to its boot loader, restart,
// unplug) its nodes are removed, so open handles see a hang-up and open() of the path fails with
// ENOENT. A device that lists itself takes the lowest minor that no listed device and no open
// descriptor holds, as drivers/hid/hidraw.c hands them out (see README.md).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "device_setup.h"
#include "program_run.h"

namespace cardsim::hidraw {

// Empty when umockdev can run on this machine; otherwise why not.
std::string unavailable_reason();

using cardsim::ProgramRun;

// One change of the emulated bus, in the order it happened.
struct NodeEvent {
  bool added;             // false: removed
  std::string devnode;    // /dev/hidrawN
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::size_t device;     // index of the board
  SimTime at;             // since the bus was made, the time base of at= and of the boards
};

class HidrawBus {
 public:
  // Throws std::runtime_error when the testbed cannot be created.
  HidrawBus();
  ~HidrawBus();
  HidrawBus(const HidrawBus&) = delete;
  HidrawBus& operator=(const HidrawBus&) = delete;

  // Adds the devices of a device text (the format of CARDSIM_DEVICES); false and `error` set
  // when it does not parse or asks for something hidraw cannot show (own paths, init fail).
  bool configure(const std::string& text, std::string* error = nullptr);
  std::size_t add(const DeviceSetup& setup);

  std::size_t device_count() const;
  // The board behind device `index`; look at it only while no program runs.
  Board& board(std::size_t index);
  // The node of the device's interface now, or "" while it is off the bus.
  std::string path(std::size_t index, int iface = 0) const;
  // Waits until the device lists itself with this vendor id (real time); false on time-out.
  bool wait_for(std::size_t index, std::uint16_t vendor_id, std::chrono::milliseconds limit);

  // The board leaves the bus now and lists itself again running `next` after `delay`, as a
  // controller does after a reset.
  void restart(std::size_t index, Mode next, std::chrono::milliseconds delay);
  // Several boards leave the bus at the same instant, as cards reset by one command do.
  void restart_together(const std::vector<std::size_t>& indices, Mode next, std::chrono::milliseconds delay);
  // Takes the device off the bus for good.
  void unplug(std::size_t index);
  // Takes the device off the bus for good right after it has received this command (a card
  // command text, or a boot-loader report as the hex text the board records).
  void unplug_after(std::size_t index, const std::string& command);

  // Descriptors of the nodes that programs hold open now and at most at one time, and the opens
  // of a listed device in all. run() returns once the program's descriptors are seen closed.
  int open_handles() const;
  int peak_open_handles() const;
  int opened_total() const;
  std::vector<NodeEvent> events() const;

  // Variables that put a program on this bus.
  std::map<std::string, std::string> environment() const;
  // Runs a separate executable on this bus and waits for it (never longer than `limit`: then
  // it is killed and the run reports the signal).
  ProgramRun run(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extra_env = {},
                 std::chrono::seconds limit = std::chrono::seconds(120));

  // Runs a Windows program under wine on this bus, through wine's HID stack: winebus serves these
  // nodes to hidclass as it serves a machine's hidraw nodes. `prefix` is a wine prefix whose
  // winebus has "Enable SDL" = 0 (else it never starts its hidraw bus) and "DisableUdevd" = 1 (it
  // watches /dev, which umockdev redirects into the testbed, instead of udev's events, which a
  // testbed does not send). Wine starts from a stopped server, as this process's child, so that
  // the server and its device manager inherit the bus's variables; `ready` (hid_ready.exe, beside
  // the test-only hidapi.dll) waits until the devices listed now are listed to Windows programs,
  // then the program runs; `wineserver -k` ends wine.
  struct Wine {
    std::string prefix, ready;
    std::string wine = "/usr/bin/wine", wineserver = "/usr/bin/wineserver";
  };
  ProgramRun run_wine(const Wine& wine, const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& extra_env = {},
                      std::chrono::seconds limit = std::chrono::seconds(120));

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// One end-to-end scenario: the devices (a device text), the program under test and its
// arguments. play() sets up the bus, runs the program and hands both back for the checks, e.g.
//   Played p = play({"card fw=0100", CARDFLASH_PATH, {"--update", image}});
//   EXPECT_EQ(p.run.out, ...);  EXPECT_EQ(p.bus->board(0).commands(), ...);
struct Scenario {
  std::string devices;
  std::string program;
  std::vector<std::string> args;
  std::map<std::string, std::string> env = {};
  std::chrono::seconds limit = std::chrono::seconds(120);
  // Runs once the devices are on the bus, before the program starts (e.g. unplug_after).
  std::function<void(HidrawBus&)> prepare = {};
};

struct Played {
  std::unique_ptr<HidrawBus> bus;
  ProgramRun run;
};

// Throws std::invalid_argument when the device text is not understood.
Played play(const Scenario& scenario);

}  // namespace cardsim::hidraw
