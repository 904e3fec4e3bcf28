// Address 0 of one USB bus (one host controller): a new device answers there until the hub
// driver gives it its address, so the kernel lets only one device at a time enumerate on a bus.
// hub_port_connect (drivers/usb/core/hub.c) holds the controller's hcd->address0_mutex, made once
// per controller in usb_create_shared_hcd (drivers/usb/core/hcd.c), around hub_port_init: a port
// reset, GET_DESCRIPTOR(64), a second reset (the default "new scheme"), then SET_ADDRESS. Boards
// that re-enumerate at the same time on one bus therefore list themselves one after the other.
//
// How long a device holds address 0 is taken from hub.c's reset times, not measured: each of the
// two resets waits HUB_ROOT_RESET_TIME (60 ms) on a root-hub port, HUB_SHORT_RESET_TIME (10 ms)
// behind a hub; with the descriptor read, SET_ADDRESS and the settling around them that gives
// 230 ms on a root port and 130 ms behind a hub. Windows' USB hub driver also enumerates one
// device at a time per hub and controller (documented only loosely); both personalities of the
// bus play the same queue.
//
// Only re-enumerations take a hold (Board::restart, a replug), not a board's first plug-in. Holds
// are given in the order the boards ask, which need not be the order in which their ports saw
// the connection, as the kernel's mutex has it; the total wait is never shorter than the kernel's.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace cardsim {

class AddressZero {
 public:
  using Time = std::chrono::microseconds;  // SimTime (board.h)

  static constexpr Time kRootPortHold = std::chrono::milliseconds(230);
  static constexpr Time kHubPortHold = std::chrono::milliseconds(130);
  // For a port as the kernel names its USB device ("3-1" on the root hub, "3-1.4" behind a hub).
  static Time hold_at(const std::string& port) {
    return port.find('.') == std::string::npos ? kRootPortHold : kHubPortHold;
  }

  // Takes address 0 for `length`: from `wanted` when nothing holds it then, else from the start
  // of the first free stretch after it that is long enough. Returns where the hold starts.
  Time reserve(Time wanted, Time length);

 private:
  std::mutex mutex_;                         // the back end's lock covers the boards; this is cheap
  std::vector<std::pair<Time, Time>> held_;  // [start, end), sorted by start
};

}  // namespace cardsim
