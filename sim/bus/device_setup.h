// The text that describes a virtual bus, so that programs run against the drop-in hidapi
// get their devices from the environment (CARDSIM_DEVICES), e.g.
//   "card id=3 fw=0102 boot=0005; card fault=silent; card count=7"
// Items are separated by ';'. An item is a kind followed by key=value words:
//   card      a card controller; keys: id (card-id character), fw, boot (4 characters each),
//             product (6 characters), usb_pid (hex), latency, isp_delay, restart_delay (ms),
//             interfaces, serial, path, short (reply bytes), count (copies),
//             fault (comma list of open, write, read, silent, stale, noreturn: never lists
//             itself again after the reset of an update, unlock: the boot loader in flash
//             refuses the first right password after its erase)
//             mode (app, bsl: the board starts in its USB boot loader, rambsl: in the RAM boot
//             loader, as after an update that failed once it had started it, hung: a controller
//             that ran into nothing from its boot loader, listed as the boot loader but taking
//             no report), flash=erased (main
//             flash erased when the board is made), weak=ADDRESS[:MASK] (hex: a flash cell whose
//             MASK bits, default 01, stay 1 when programmed), rombsl=answers|quiet (the boot
//             loader in flash sends its replies, or none), rambsl=unlocked|locked|nostart (how
//             the RAM boot loader comes up), reset=loadpc|write (where the reset write resets
//             the controller), drop=ADDRESS (hex: the RAM boot loader drops the first data
//             block that covers it), pulled=TEXT (the card is pulled out as it takes the
//             command of this text, e.g. a100010008, the firmware version's)
//   bsl       a card already in its boot loader (same keys as card)
//   hid       an unrelated HID device (a BMC's keyboard, a mouse): keys vid, pid (hex; default
//             046d:c52b), at, count. It never answers; a report written to it is a fault.
//   at=MS     (any device) plugged in MS milliseconds after the bus started, not from the start
//   init      key fail: hid_init reports failure
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "board.h"

namespace cardsim {

struct DeviceSetup {
  BoardSettings board;
  bool fail_open = false;
  bool fail_write = false;
  bool fail_read = false;
  std::string path;           // path of the first interface; empty: /dev/hidrawN
};

struct BusSetup {
  bool init_fails = false;
  std::vector<DeviceSetup> devices;
};

// Returns nothing and sets `error` when the text is not understood.
std::optional<BusSetup> parse_bus_setup(const std::string& text, std::string* error);

}  // namespace cardsim
