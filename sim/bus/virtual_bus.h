// Control side of the virtual device bus. The same library offers hidapi's C API (hid_init,
// hid_enumerate, hid_open_path, hid_read, ...) over the boards added here, so test programs link
// it in place of hidapi, and it is also built as a drop-in libhidapi-hidraw.so.0 (hidapi.dll on
// Windows) whose devices come from CARDSIM_DEVICES (see device_setup.h). CARDSIM_WIRE_LOG names a
// file that receives every report written or read, one line each.
//
// The bus plays hidapi as one system gives it, its personality: Linux (hidapi's linux/hid.c over
// the kernel's hidraw nodes) or Windows (windows/hid.c over the Windows HID class driver). The
// two differ in their paths, in how they number and keep them across a re-enumeration, in their
// list order, in what a write and a read hand over and in how they fail. README.md lists each
// behaviour with its source.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "device_setup.h"

namespace cardsim::bus {

struct WireRecord {
  SimTime time;            // when the host handed the report to hid_write or got it from hid_read
  std::string path;
  bool host_to_device;     // true: hid_write, false: hid_read
  Report bytes;
  bool delivered;          // false: the write failed (fault or device gone)
};

enum class Personality { Linux, Windows };
// The personality of the system the bus is built for; the drop-in library plays it.
Personality native_personality();
Personality personality();

// Removes every device and handle record and starts a new time line, which from now on moves only
// by advance(): a bus that is never reset (the drop-in library) runs in real time. Handles still
// open are counted as leaked by open_handles() until closed. The bus then plays `personality`.
void reset(Personality personality = native_personality());
// After reset(): the bus's time runs on with the machine's too, for a program whose pauses are
// real (the shipped Cardlink library sleeps its 100 ms).
void run_in_real_time();
std::size_t add(const DeviceSetup& setup);
std::size_t add_card(const BoardSettings& settings = {});
// Adds the devices of a CARDSIM_DEVICES text; false and `error` set when it does not parse.
bool configure(const std::string& text, std::string* error = nullptr);
void set_init_fails(bool fails);
// hid_init calls since the last reset(), failed ones included.
int init_calls();
// Each hid_init takes this long, outside the bus lock, so that concurrent starts overlap.
void set_init_delay(SimTime delay);

// The board behind device `index`; touch it only while no host thread uses the bus.
Board& board(std::size_t index);
std::size_t device_count();
// The path the device's interface lists under now (empty while it is off the bus).
std::string path(std::size_t index, int iface = 0);
// The path interface 0 listed under when the device first appeared (empty before that).
std::string first_path(std::size_t index);
// The USB port the device is plugged into ("1-2", "3-1.4"), and the USB device number of its
// enumeration listed now (0 while it is off the bus); a re-enumeration keeps the one and changes
// the other.
std::string port(std::size_t index);
int devnum(std::size_t index);

// What udev shows of a listed hidraw node (Linux personality only, and only with sysfs): the USB
// device it belongs to. sim/bus/virtual_udev.cpp plays libudev's calls with it.
struct UsbDeviceView {
  std::string port;     // busnum-devpath, the USB device's sysfs name
  int busnum;
  int devnum;
  std::string devpath;  // the port below the root hub: "1.4" of "3-1.4"
  std::uint16_t vendor_id, product_id;
  int interface_number;
  int minor;
};
std::optional<UsbDeviceView> usb_device_of_node(const std::string& sysname);

// Takes the device off the bus for good: open handles fail from now on.
void unplug(std::size_t index);
void set_faults(std::size_t index, bool fail_open, bool fail_write, bool fail_read);

// Finer faults for in-process tests: the filter sees the board's mode (and the report) and
// returns false to make that open or write fail. An empty function removes the filter.
using OpenFilter = std::function<bool(Mode mode)>;
using WriteFilter = std::function<bool(Mode mode, const std::uint8_t* data, std::size_t size)>;
void set_open_filter(std::size_t index, OpenFilter filter);
void set_write_filter(std::size_t index, WriteFilter filter);
// hid_set_nonblocking on the device's handles fails with -1. No back end of hidapi 0.13.1 ever
// fails it (linux/hid.c, windows/hid.c and libusb/hid.c only record the mode): the product must
// still not go on with a device whose reads would wait.
void set_nonblocking_fails(std::size_t index, bool fails);
// hid_write reports this many bytes more (or fewer) than it was given, as a misbehaving
// transport might.
void set_write_result_offset(std::size_t index, int offset);

SimTime now();
// Moves the bus's clock forward without waiting (the updater's and the channel's pauses).
void advance(SimTime by);

std::vector<WireRecord> wire();
std::vector<WireRecord> writes();  // host-to-device records only
void clear_wire();
int open_handles();

}  // namespace cardsim::bus
