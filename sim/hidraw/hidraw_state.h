// Inside the hidraw harness: the boards as nodes and slots, and the state that the ticker,
// umockdev's handler thread and the public calls share. Not for users of hidraw_bus.h.
#pragma once

#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hidraw_bus.h"

namespace cardsim::hidraw {

constexpr std::size_t kKernelQueue = 64;  // reports the hidraw driver keeps per open file
constexpr std::size_t kKernelLargestWrite = 16384;  // HID_MAX_BUFFER_SIZE
// usbhid's output report transfer gives up after USB_CTRL_SET_TIMEOUT with ETIMEDOUT.
constexpr std::chrono::seconds kUsbTimeout{5};
// The USB controller whose root hubs (usb1, usb2, ...) hold every bus of the testbed.
constexpr const char* kController = "/sys/devices/pci0000:00/0000:00:14.0/";

struct Descriptor {
  const std::uint8_t* bytes;
  std::size_t size;
};

// The report descriptor of the card's firmware and boot loaders, or of an unrelated device.
Descriptor descriptor_of(bool card);

struct Slot;

// One interface of one enumeration of a board.
struct Node {
  std::size_t device = 0;
  int iface = 0;
  std::uint64_t incarnation = 0;
  std::uint16_t vendor_id = 0, product_id = 0;
  bool unrelated = false;    // another HID device, not the card in any of its modes
  Slot* slot = nullptr;
  std::string syspath;
  std::string device_link;   // to the HID device; set last, as enumeration needs it
  bool live = false;         // reachable by the host
  SimTime opens_at{0};       // root-only until then (acl_delay): udev has not applied the rules
  bool gone = false;         // left the bus; before `live` is first set, neither holds
  int clients = 0;           // descriptors opened on this enumeration
  std::deque<Report> queue;  // input reports collected while open, as the hidraw driver does
};

// One /dev/hidrawN: the pty that umockdev backs it with and the handler of its reads, writes and
// ioctls. A slot outlives the nodes it serves: umockdev cannot take a device node back, so a
// device that gets this minor again reuses the slot and its pty. That happens only once the slot
// is free as a hidraw_table entry is: no device listed on it and no descriptor open on it.
struct Slot {
  HidrawBus::State* bus = nullptr;
  int minor = 0;
  std::string devnode;
  std::string pts;
  int master = -1;  // umockdev's end of the pty
  int slave = -1;   // ours, to take the poll marker back and to hang the pty up
  UMockdevIoctlBase* handler = nullptr;
  Node* node = nullptr;  // the node served now; none while free
  bool in_testbed = false;
  bool retired = false;  // could not be hung up: never used again
  bool marked = false;
  std::vector<std::pair<UMockdevIoctlClient*, Node*>> clients;  // each with a reference
};

struct Device {
  DeviceSetup setup;
  std::unique_ptr<Board> board;
  bool unplugged = false;
  std::string unplug_trigger;
  std::string port;              // as the kernel names its USB device: 3-1.4
  std::string usb_syspath;       // of the current enumeration, empty while off the bus
  int devnum = 0;                // its USB device number on the bus, 0 while off the bus
  std::uint64_t incarnation = 0;
  std::vector<Node*> nodes;      // of the current enumeration, by interface
};

struct HidrawBus::State {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

  mutable std::mutex mutex;      // boards, nodes, slots, counters; taken by umockdev's thread too
  std::mutex testbed_mutex;      // testbed changes, never taken inside `mutex`
  std::vector<std::unique_ptr<Device>> devices;
  std::vector<std::unique_ptr<Node>> nodes;  // every node ever made, kept until the end
  std::vector<std::unique_ptr<Slot>> slots;  // by minor
  std::vector<NodeEvent> events;
  std::vector<pid_t> programs;  // running under run(), to look at their descriptors
  int next_hid = 1;
  DeviceNumbers devnums;           // USB device numbers in use on each bus
  UsbBuses usb_buses;              // address 0 of each bus, which the boards' re-enumerations queue for
  std::set<std::string> usb_dirs;  // USB devices in the testbed: root hubs, hubs and the boards'

  int open_handles = 0;
  int opened_total = 0;
  int peak_open_handles = 0;
  // Writes to a board that has hung, each with a reference, failed by the ticker at their time.
  std::vector<std::pair<UMockdevIoctlClient*, std::chrono::steady_clock::time_point>> stalled;

  std::atomic<bool> stopping{false};
  std::thread ticker;

  SimTime now() const {
    return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - epoch);
  }

  // Brings the nodes in line with what the boards list now.
  void sync();
  // Fails the stalled writes whose time-out has passed (mutex held).
  void time_out_writes();
  // The free slot with the lowest minor (mutex held).
  Slot* take_slot();
  // Whether any descriptor is still open on the slot (mutex held).
  bool held(Slot& s);
  bool program_holds(const std::string& pts) const;
  // Drops the clients whose descriptor umockdev has seen closed (mutex held).
  void prune(Slot& s);
  // Moves arrived reports into the node's queue and sets the poll marker (mutex held).
  void pump(Slot& s);
  void set_marker(Slot& s, bool on);
  void forget(Slot& s, UMockdevIoctlClient* client);
  Node* node_of(Slot& s, UMockdevIoctlClient* client);
  void open_pty(Slot& s);
  void hang_up(Slot& s);
  // Lets open() of the node reach its pty, or fail as the open of a vanished hidraw node does.
  void unblock(Slot& s);
  void block(Slot& s);
  void deny(Slot& s);
};

struct Addition {
  std::string text;
  std::vector<Node*> nodes;
};

struct Removal {
  std::string syspath;  // the USB device, or empty when it stays as a hub
  std::vector<Node*> nodes;
};

// The sysfs description of one enumeration of a device, for umockdev_testbed_add_from_string,
// child first: each interface's hidraw node, HID device and USB interface, then the USB device
// (d.usb_syspath) unless `usb_dirs` holds it already, then the hubs above it and its bus's root
// hub that `usb_dirs` does not hold yet, which it gains. A new hub and a new USB device take a
// device number from `devnums`, the hubs first; the device's goes to d.devnum. Sets each node's
// syspath and device link.
std::string describe(Device& d, const Board::Presence& p, const std::vector<Node*>& nodes,
                     const std::vector<int>& hid_numbers, std::set<std::string>& usb_dirs, DeviceNumbers& devnums);

// umockdev removes a device's directory but leaves the links to its children in /sys/bus and
// /sys/class, and adding a device whose link exists aborts: a board that re-enumerates on the same
// port needs them gone.
void remove_dangling_links(const std::string& top);

// umockdev's signals on a node's ioctl handler; `data` is the Slot.
gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);

}  // namespace cardsim::hidraw
