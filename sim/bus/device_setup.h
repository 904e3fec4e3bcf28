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
//   port=P    (any device) the USB port it is plugged into, as the kernel names it: bus, '-',
//             the port on the root hub and on each hub below it, e.g. 3-1.4. Default 1-N for the
//             N-th device of the text
//   acl_delay=MS  (any device) each new node of the device is root-only for MS milliseconds after
//             it appears, until udev has applied the rules that open it to the user (Linux)
//   replug=MS (any device) the device leaves the bus MS milliseconds after the bus started and
//             lists itself again, at the same port, restart_delay later (pulled and plugged in
//             again, or a power cycle of the card)
//   init      key fail: hid_init reports failure
//   sysfs     key none: the system shows no sysfs (a container): udev knows no device, so no
//             device has a port
#pragma once

#include <map>
#include <memory>
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
  std::string port;           // the USB port; empty: the default of its place in the text
  SimTime acl_delay{0};       // each new node is root-only this long after it appears
};

// A USB port as the kernel names a USB device ("%d-%s" of busnum and devpath, usb_alloc_dev in
// drivers/usb/core/usb.c): a bus number, '-', and one port number per hub level, joined by '.'.
bool valid_port(const std::string& port);
// The sysfs path of the USB device at `port` below its USB controller, one directory for the root
// hub, for each hub and for the device, as the kernel names them ("usb%d", then "%d-%s" of busnum
// and devpath, usb_alloc_dev in drivers/usb/core/usb.c): 3-1.4 is "usb3/3-1/3-1.4". Its interface
// i is the directory "3-1.4:1.i" in it (usb_set_configuration, drivers/usb/core/message.c).
std::string usb_device_syspath(const std::string& port);

// The number of a USB device on its bus, as choose_devnum (drivers/usb/core/hub.c) hands them out:
// the first free one from where the last search on that bus stopped, wrapping at 128; the root hub
// has 1. release_devnum frees it at disconnect. A re-enumeration therefore gets a new number.
class DeviceNumbers {
 public:
  int choose(int bus);  // 0 when all 127 are taken
  void release(int bus, int devnum);

 private:
  std::map<int, std::vector<bool>> used_;
  std::map<int, int> next_;
};

// Address 0 of each USB bus, by bus number (the digits before '-' of a port): the boards added
// at ports of one bus share one AddressZero, boards on different buses never wait for each other.
class UsbBuses {
 public:
  // Sets the board's address_zero to that of the port's bus and its enumeration_time to
  // AddressZero::hold_at(port).
  void plug(BoardSettings& board, const std::string& port);

 private:
  std::map<int, std::shared_ptr<AddressZero>> address_zero_;
};

// The port of a device added at `index` (0-based) without one: 1-(index + 1), or the next 1-N
// that no device in `taken` has.
std::string default_port(std::size_t index, const std::vector<std::string>& taken);

struct BusSetup {
  bool init_fails = false;
  bool no_sysfs = false;
  std::vector<DeviceSetup> devices;  // ports given are all different; the others get theirs when added
};

// Returns nothing and sets `error` when the text is not understood.
std::optional<BusSetup> parse_bus_setup(const std::string& text, std::string* error);

}  // namespace cardsim
