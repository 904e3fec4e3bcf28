// Inside the virtual bus: its devices, clock and handles, shared by hidapi's entry points
// (virtual_hidapi.cpp) and the two personalities that play hidapi as each system gives it:
// personality_linux.cpp (hidapi's linux/hid.c over the kernel's hidraw driver) and
// personality_windows.cpp (hidapi's windows/hid.c over the Windows HID class driver). Every call
// below is made with the bus's mutex held. Not for users of virtual_bus.h.
#pragma once

#include <hidapi.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "virtual_bus.h"

namespace cardsim::bus {

struct Device {
  DeviceSetup setup;
  std::unique_ptr<Board> board;
  int port = 0;                    // its place on the bus: 1, 2, ... in the order added
  std::string usb_port;            // the USB port as the kernel names it (setup.port or the default)
  int devnum = 0;                  // the USB device number of the enumeration listed now (Linux)
  SimTime listed_at{0};            // when the enumeration listed now appeared
  std::vector<std::string> paths;  // of the enumeration the bus shows now, by interface; empty while off the bus
  std::vector<int> nodes;          // the personality's number of each path (Linux: the minor), -1 for none
  std::string first_path;          // of interface 0, when the device first listed itself
  std::uint64_t listed_incarnation = 0;
  bool unplugged = false;
  OpenFilter open_filter;
  WriteFilter write_filter;
  int write_result_offset = 0;
  bool nonblocking_fails = false;
};

struct Bus;

// How hidapi and the system below it behave on one platform.
class Rules {
 public:
  virtual ~Rules() = default;
  virtual Personality kind() const = 0;
  // Fills d.paths and d.nodes for the interfaces of the enumeration `p` of device `index`.
  virtual void list(Bus& bus, std::size_t index, Device& d, const Board::Presence& p) = 0;
  // The device's interfaces have left the bus (d.paths is cleared by the caller).
  virtual void unlist(Bus& bus, Device& d) = 0;
  // What hid_enumerate sorts a listed interface by, the order of two such keys, and the interface
  // number it gives.
  virtual std::string sort_key(const Device& d, int iface) const = 0;
  virtual bool lists_before(const std::string& a, const std::string& b) const = 0;
  virtual int interface_number(int iface, int interfaces) const = 0;
  // Whether hid_open_path's `path` names the listed `listed`.
  virtual bool names(const std::string& path, const std::string& listed) const = 0;
  // hid_open_path: nothing is listed under `path` (sets the bus's error).
  virtual void open_missing(Bus& bus, const char* path) = 0;
  // Whether the system lets a program open a device of this mode for reading and writing, `since`
  // the node appeared.
  virtual bool grants_read_write(const Device& d, Mode mode, SimTime since) const = 0;
  // The open for reading and writing was refused: false with the bus's error set, or true when
  // the handle is given anyway (of the system's own kind).
  virtual bool open_refused(Bus& bus, hid_device& h, const char* path) = 0;
  virtual void opened(Bus& bus, hid_device& h) = 0;
  // hid_write and hid_read_timeout of a handle; `d` is null when the device was taken off the bus.
  virtual int write(Bus& bus, hid_device& h, Device* d, const unsigned char* data, std::size_t length,
                    std::unique_lock<std::mutex>& lock) = 0;
  // One look: a report (its length), -1, or 0 when nothing has come (the caller waits and asks
  // again while `milliseconds` allow).
  virtual int read(Bus& bus, hid_device& h, Device* d, unsigned char* data, std::size_t length,
                   int milliseconds) = 0;
  virtual void close(Bus& bus, hid_device& h) = 0;
};

std::unique_ptr<Rules> linux_rules();
std::unique_ptr<Rules> windows_rules();

class GlobalError {
 public:
  GlobalError& operator=(std::wstring text) {
    text_ = std::make_unique<std::wstring>(std::move(text));
    return *this;
  }
  void reset() { text_.reset(); }
  const wchar_t* c_str() const { return text_ ? text_->c_str() : L"Success"; }

 private:
  std::unique_ptr<std::wstring> text_;
};

struct Bus {
  std::mutex mutex;
  std::unique_ptr<Rules> rules;
  std::vector<std::unique_ptr<Device>> devices;
  std::vector<WireRecord> wire;
  std::uint64_t generation = 1;
  int open_handles = 0;
  bool init_fails = false;
  bool no_sysfs = false;
  DeviceNumbers devnums;
  UsbBuses usb_buses;  // address 0 of each USB bus, which the boards' re-enumerations queue for
  int init_calls = 0;
  SimTime init_delay{0};
  bool env_loaded = false;
  FILE* wire_log = nullptr;
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
  SimTime offset{0};
  // The drop-in library's boards live in the program's real time; a test that resets the bus
  // moves its time itself (advance), so that what a board has done by a poll does not depend on
  // how busy the machine is.
  bool real_time = true;
  // hidapi's one global error: hid_init, hid_enumerate and hid_open_path replace it, freeing the
  // text before (register_error_str in linux/hid.c and windows/hid.c), with no lock; hid_error(NULL)
  // hands out the text itself. A caller that reads it while another thread replaces it reads freed
  // memory, as with hidapi.
  GlobalError last_error;

  SimTime now() const {
    const SimTime real = std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - epoch);
    return (real_time ? real : SimTime{0}) + offset;
  }
};

// The enumeration of the board that the handle was opened on, while it is still on the bus.
std::optional<Board::Presence> alive(Bus& bus, const hid_device& h, Device* d);
// Takes the reports the board has sent into the handle's queue, up to the driver's 64.
void collect(Bus& bus, Device& d, hid_device& h);
// Hands a report to the board: false when a fault or a filter refuses it.
bool deliver(Bus& bus, Device& d, hid_device& h, const unsigned char* data, std::size_t length);
void record(Bus& bus, const std::string& path, bool out, const unsigned char* data, std::size_t n, bool delivered);
// A call that blocks the caller for `time`: the bus's clock moves on at once on virtual time; in
// real time the caller sleeps with the bus unlocked.
void block_for(Bus& bus, SimTime time, std::unique_lock<std::mutex>& lock);
// hidapi's error texts are wide; ours are ASCII.
inline std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace cardsim::bus

struct hid_device_ {
  std::uint64_t generation = 0;
  std::size_t index = 0;
  int iface = 0;
  std::uint64_t incarnation = 0;
  int node = -1;  // the personality's number of the path opened (Linux: the minor), -1 for none
  std::string path;
  bool nonblocking = false;
  bool no_access = false;     // opened without read and write access (Windows)
  bool read_pending = false;  // an overlapped read is outstanding (Windows)
  std::wstring error = L"Success";
  // Input reports collected since the open, as the system's driver keeps them per open file: it
  // reads the device as long as a handle is open, whether or not the program reads.
  std::deque<cardsim::Report> queue;
};
