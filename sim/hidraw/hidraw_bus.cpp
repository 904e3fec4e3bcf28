#include "hidraw_bus.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace cardsim::hidraw {

namespace {

// Vendor-defined collection with report id 0x3F: 63 data bytes in and out, as the card
// controller and the MSP430 USB boot loader declare it.
constexpr std::uint8_t kCardDescriptor[] = {
    0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection (application)
    0x85, 0x3F,        //   report id 0x3F
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8
    0x95, 0x3F,        //   report count 63
    0x09, 0x01,        //   usage 1
    0x81, 0x02,        //   input (data, variable, absolute)
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output (data, variable, absolute)
    0xC0,              // end collection
};

// A three-button mouse without report ids: what an unrelated device declares in its stead.
constexpr std::uint8_t kMouseDescriptor[] = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,  // generic desktop, mouse, collection (application)
    0x09, 0x01, 0xA1, 0x00,              //   pointer, collection (physical)
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,  //     buttons 1 to 3
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,  //     padding
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31,  //     x, y
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
    0xC0, 0xC0,
};

struct Descriptor {
  const std::uint8_t* bytes;
  std::size_t size;
};

Descriptor descriptor_of(bool card) {
  if (card) return {kCardDescriptor, sizeof kCardDescriptor};
  return {kMouseDescriptor, sizeof kMouseDescriptor};
}

constexpr std::size_t kKernelQueue = 64;  // reports the hidraw driver keeps per open file
constexpr std::size_t kKernelLargestWrite = 16384;  // HID_MAX_BUFFER_SIZE
constexpr const char* kUsbRoot = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

std::string hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v & 0xFFFFu);
  return text;
}

}  // namespace

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
  int port = 0;
  std::string usb_syspath;       // of the current enumeration, empty while off the bus
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
  int next_devnum = 2;  // USB address; each enumeration gets the next one
  int open_handles = 0;
  int opened_total = 0;
  int peak_open_handles = 0;

  std::atomic<bool> stopping{false};
  std::thread ticker;

  SimTime now() const {
    return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - epoch);
  }

  // Brings the nodes in line with what the boards list now.
  void sync();
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

namespace {

struct Addition {
  std::string text;
  std::vector<Node*> nodes;
};

struct Removal {
  std::string syspath;
  std::vector<Node*> nodes;
};

std::string describe(const Device& d, const Board::Presence& p, int devnum, const std::vector<Node*>& nodes,
                     const std::vector<int>& hid_numbers) {
  const bool unrelated = p.mode == Mode::Unrelated, card = p.vendor_id == kCardVendorId;
  const std::string manufacturer = unrelated ? "Other vendor" : card ? "Simulated card" : "Texas Instruments";
  const std::string product = unrelated ? "USB mouse" : card ? "Card controller" : "MSP430 USB BSL";
  const std::string vid = hex4(p.vendor_id), pid = hex4(p.product_id);
  const std::string usb = std::string(kUsbRoot) + "/1-" + std::to_string(d.port);
  std::string desc_hex;
  const Descriptor desc = descriptor_of(!unrelated);
  for (std::size_t i = 0; i < desc.size; ++i) {
    char h[3];
    std::snprintf(h, sizeof h, "%02X", desc.bytes[i]);
    desc_hex += h;
  }
  std::string text;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Slot& slot = *nodes[i]->slot;
    const std::string iface = usb + "/1-" + std::to_string(d.port) + ":1." + std::to_string(i);
    const std::string hid_name = "0003:" + vid + ":" + pid + "." + hex4(static_cast<unsigned>(hid_numbers[i]));
    const std::string minor = std::to_string(slot.minor);
    nodes[i]->syspath = iface + "/" + hid_name + "/hidraw/hidraw" + minor;
    nodes[i]->device_link = "../../../" + hid_name;
    text += "P: " + nodes[i]->syspath.substr(4) + "\n" +
            // umockdev makes the node (and its pty) once; a reused slot keeps its own.
            (slot.in_testbed ? "" : "N: hidraw" + minor + "\n") +
            "E: DEVNAME=" + slot.devnode + "\n"
            "E: SUBSYSTEM=hidraw\n"
            "A: dev=240:" + minor + "\n\n"
            "P: " + iface.substr(4) + "/" + hid_name + "\n"
            "E: SUBSYSTEM=hid\n"
            "E: DRIVER=hid-generic\n"
            "E: HID_ID=0003:0000" + vid + ":0000" + pid + "\n"
            "E: HID_NAME=" + manufacturer + " " + product + "\n"
            "E: HID_PHYS=usb-0000:00:14.0-" + std::to_string(d.port) + "/input" + std::to_string(i) + "\n"
            "E: HID_UNIQ=\n"
            "H: report_descriptor=" + desc_hex + "\n\n"
            "P: " + iface.substr(4) + "\n"
            "E: SUBSYSTEM=usb\n"
            "E: DEVTYPE=usb_interface\n"
            "A: bInterfaceNumber=0" + std::to_string(i) + "\n"
            "A: bInterfaceClass=03\n\n";
  }
  text += "P: " + usb.substr(4) + "\n"
          "E: SUBSYSTEM=usb\n"
          "E: DEVTYPE=usb_device\n"
          "A: idVendor=" + vid + "\n"
          "A: idProduct=" + pid + "\n"
          "A: manufacturer=" + manufacturer + "\n"
          "A: product=" + product + "\n"
          "A: bcdDevice=0100\n"
          "A: busnum=1\n"
          "A: devnum=" + std::to_string(devnum) + "\n\n";
  return text;
}

// umockdev removes a device's directory but leaves the links to its children in /sys/bus and
// /sys/class, and adding a device whose link exists aborts: a board that re-enumerates on the same
// port needs them gone.
void remove_dangling_links(const std::string& top) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec) && !std::filesystem::exists(it->path(), ec)) std::filesystem::remove(it->path(), ec);
  }
}

// The poll marker must count as input at once: no line editing, no echo.
void make_raw(int master) {
  termios mode{};
  if (tcgetattr(master, &mode) == 0) {
    cfmakeraw(&mode);
    tcsetattr(master, TCSANOW, &mode);
  }
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);

}  // namespace

// hidraw_connect gives a new device the first free entry of hidraw_table, and drop_ref frees an
// entry only when its device is gone and its last open file is closed (drivers/hid/hidraw.c).
Slot* HidrawBus::State::take_slot() {
  for (auto& s : slots)
    if (!s->node && !s->retired && !held(*s)) return s.get();
  auto s = std::make_unique<Slot>();
  s->bus = this;
  s->minor = static_cast<int>(slots.size());
  s->devnode = "/dev/hidraw" + std::to_string(s->minor);
  slots.push_back(std::move(s));
  return slots.back().get();
}

void HidrawBus::State::set_marker(Slot& s, bool on) {
  if (s.marked == on || s.master < 0 || s.slave < 0) return;
  char byte = 'R';
  if (on) {
    if (::write(s.master, &byte, 1) == 1) s.marked = true;
  } else {
    // The host's reads are answered by the handler and never reach the pty: take it back.
    while (::read(s.slave, &byte, 1) == 1) {
    }
    s.marked = false;
  }
}

Node* HidrawBus::State::node_of(Slot& s, UMockdevIoctlClient* client) {
  for (auto& [c, n] : s.clients)
    if (c == client) return n;
  return nullptr;
}

void HidrawBus::State::forget(Slot& s, UMockdevIoctlClient* client) {
  auto it = std::find_if(s.clients.begin(), s.clients.end(), [&](const auto& c) { return c.first == client; });
  if (it == s.clients.end()) return;
  Node* n = it->second;
  s.clients.erase(it);
  g_object_unref(client);
  --open_handles;
  if (n && --n->clients == 0) n->queue.clear();  // the kernel drops an open file's reports with it
}

void HidrawBus::State::prune(Slot& s) {
  // umockdev does not always report a closed descriptor; the client object knows.
  for (std::size_t i = s.clients.size(); i-- > 0;)
    if (!umockdev_ioctl_client_get_connected(s.clients[i].first)) forget(s, s.clients[i].first);
}

// Two witnesses, either of which keeps the slot taken: a connected umockdev ioctl client (one per
// descriptor that any preloaded process opened on the node; it disconnects when that descriptor
// is closed or its process dies), and a descriptor of a program started by run() that leads to
// the slot's pty, as /proc/PID/fd shows it. The second one also sees a descriptor before its
// client has connected and after a hang-up, whatever umockdev makes of those.
bool HidrawBus::State::held(Slot& s) {
  prune(s);
  return !s.clients.empty() || program_holds(s.pts);
}

bool HidrawBus::State::program_holds(const std::string& pts) const {
  if (pts.empty()) return false;
  for (pid_t pid : programs) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(it->path(), link_ec) == pts) return true;
    }
  }
  return false;
}

void HidrawBus::State::pump(Slot& s) {
  prune(s);
  Node* n = s.node;
  if (!n || !n->live || n->clients == 0) {
    set_marker(s, false);
    return;
  }
  Device& d = *devices[n->device];
  Report r;
  while (n->queue.size() < kKernelQueue && d.board->read(n->incarnation, n->iface, now(), r) == Board::Io::Ok)
    n->queue.push_back(std::move(r));
  set_marker(s, !n->queue.empty() || d.setup.fail_read);
}

void HidrawBus::State::open_pty(Slot& s) {
  s.master = umockdev_testbed_get_dev_fd(testbed, s.devnode.c_str());
  if (s.master >= 0) {
    // Forked programs must not keep the device alive after it is unplugged.
    fcntl(s.master, F_SETFD, fcntl(s.master, F_GETFD) | FD_CLOEXEC);
    make_raw(s.master);
    char pts[64];
    if (ptsname_r(s.master, pts, sizeof pts) == 0) {
      s.pts = pts;
      s.slave = ::open(pts, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
  }
  s.handler = umockdev_ioctl_base_new();
  g_signal_connect(s.handler, "handle-ioctl", G_CALLBACK(on_ioctl), &s);
  g_signal_connect(s.handler, "handle-read", G_CALLBACK(on_read), &s);
  g_signal_connect(s.handler, "handle-write", G_CALLBACK(on_write), &s);
  g_signal_connect(s.handler, "client-connected", G_CALLBACK(on_connected), &s);
  g_signal_connect(s.handler, "client-vanished", G_CALLBACK(on_vanished), &s);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, s.devnode.c_str(), s.handler, &error)) {
    std::fprintf(stderr, "hidraw bus: cannot attach %s: %s\n", s.devnode.c_str(), error ? error->message : "?");
    g_clear_error(&error);
  }
  s.in_testbed = true;
}

// Every descriptor that a program holds on the node now sees the hang-up of an unplugged device
// (poll reports POLLHUP, as on a vanished hidraw device); later opens get a working pty again.
void HidrawBus::State::hang_up(Slot& s) {
  if (s.slave >= 0 && ioctl(s.slave, TIOCVHANGUP) == 0) {
    ::close(s.slave);
    s.slave = ::open(s.pts.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    make_raw(s.master);  // the hang-up brings back the line discipline's defaults
    s.marked = true;     // whatever the hang-up left, the next pump takes it back
    return;
  }
  // Without the right to hang up a tty (CAP_SYS_ADMIN), close the pty for good: umockdev keeps
  // the master in its table, so put /dev/null in its place for umockdev's own close.
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0 && s.master >= 0) ::dup3(null_fd, s.master, O_CLOEXEC);
  if (null_fd >= 0) ::close(null_fd);
  if (s.slave >= 0) ::close(s.slave);
  s.slave = -1;
  s.retired = true;
  std::string name = s.pts;
  for (char& c : name) c = c == '/' ? '_' : c;
  // A later pty with this number would otherwise meet this node's mapping and make umockdev abort.
  std::remove((root + "/dev/.ptymap/" + name).c_str());
}

namespace {

// Points `link` at `target` in one step, so that no program ever finds the node missing: umockdev
// would then open the machine's own /dev entry of that name.
void replace_link(const std::string& target, const std::string& link) {
  const std::string fresh = link + ".new";
  std::error_code ec;
  std::filesystem::remove(fresh, ec);
  std::filesystem::create_symlink(target, fresh, ec);
  std::filesystem::rename(fresh, link, ec);
}

}  // namespace

// The flag that the open preload asks for: set once the node serves its device, cleared before
// it stops to. umockdev makes the link of a new node when the device is added, before then.
void HidrawBus::State::unblock(Slot& s) {
  replace_link(s.pts, root + "/dev/hidraw" + std::to_string(s.minor));
  std::FILE* flag = std::fopen((root + "/dev/.live/hidraw" + std::to_string(s.minor)).c_str(), "w");
  if (flag) std::fclose(flag);
}

// The kernel deletes a vanished node (hidraw_disconnect -> device_destroy), so open() fails with
// ENOENT. A missing entry would not do: umockdev would open the machine's own /dev entry of that
// name, and so it would for a dangling link. So the entry stays, as a link to a directory, and
// the open preload (open_preload.c) fails an open of a node without its live flag with ENOENT;
// one that passed the check just before meets the directory, which the preload makes ENODEV.
void HidrawBus::State::block(Slot& s) {
  std::remove((root + "/dev/.live/hidraw" + std::to_string(s.minor)).c_str());
  replace_link(root + "/dev/.vanished", root + "/dev/hidraw" + std::to_string(s.minor));
}

// A node that udev left to root with mode 0600 (no rule for the device): the preload fails its
// open with EACCES. The harness runs as root, so real permissions would not stop the program.
void HidrawBus::State::deny(Slot& s) {
  std::remove((root + "/dev/.live/hidraw" + std::to_string(s.minor)).c_str());
  replace_link(root + "/dev/.denied", root + "/dev/hidraw" + std::to_string(s.minor));
}

void HidrawBus::State::sync() {
  std::lock_guard testbed_lock(testbed_mutex);
  std::vector<Removal> removals;
  std::vector<Addition> additions;
  {
    std::lock_guard lock(mutex);
    for (std::size_t index = 0; index < devices.size(); ++index) {
      Device& d = *devices[index];
      std::optional<Board::Presence> p;
      if (!d.unplugged) p = d.board->presence(now());
      if (!d.nodes.empty() && (!p || p->incarnation != d.incarnation)) {
        for (Node* n : d.nodes) {
          n->live = false;
          n->gone = true;
          n->queue.clear();
          events.push_back({false, n->slot->devnode, n->vendor_id, n->product_id, index, now()});
        }
        removals.push_back({d.usb_syspath, d.nodes});
        d.nodes.clear();
        d.usb_syspath.clear();
      }
      if (p && d.nodes.empty()) {
        std::vector<int> hid_numbers;
        for (int i = 0; i < p->interfaces; ++i) {
          auto n = std::make_unique<Node>();
          n->device = index;
          n->iface = i;
          n->incarnation = p->incarnation;
          n->vendor_id = p->vendor_id;
          n->product_id = p->product_id;
          n->unrelated = p->mode == Mode::Unrelated;
          n->slot = take_slot();
          n->slot->node = n.get();
          d.nodes.push_back(n.get());
          nodes.push_back(std::move(n));
          hid_numbers.push_back(next_hid++);
        }
        d.incarnation = p->incarnation;
        d.usb_syspath = std::string(kUsbRoot) + "/1-" + std::to_string(d.port);
        additions.push_back({describe(d, *p, next_devnum++, d.nodes, hid_numbers), d.nodes});
      }
    }
    for (auto& s : slots) pump(*s);
  }

  for (Removal& r : removals) {
    for (Node* n : r.nodes) {
      hang_up(*n->slot);
      // The node first: removing a parent leaves the children's /dev entries behind.
      umockdev_testbed_remove_device(testbed, n->syspath.c_str());
      block(*n->slot);
    }
    umockdev_testbed_remove_device(testbed, r.syspath.c_str());
    remove_dangling_links(root + "/sys/bus");
    remove_dangling_links(root + "/sys/class");
    std::lock_guard lock(mutex);
    for (Node* n : r.nodes) n->slot->node = nullptr;
  }
  for (Addition& a : additions) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, a.text.c_str(), &error)) {
      std::fprintf(stderr, "hidraw bus: cannot add device: %s\n", error ? error->message : "?");
      g_clear_error(&error);
      continue;
    }
    for (Node* n : a.nodes) {
      Slot& s = *n->slot;
      const bool fresh = !s.in_testbed;
      if (fresh) {
        open_pty(s);
      } else {
        // The removal took the node's device number; the slot's pty is still there.
        std::error_code ec;
        std::filesystem::create_symlink("240:" + std::to_string(s.minor),
                                        root + "/dev/.node/hidraw" + std::to_string(s.minor), ec);
      }
      bool live;
      {
        std::lock_guard lock(mutex);
        const Device& d = *devices[n->device];
        live = n->live = !n->gone && s.master >= 0 && s.slave >= 0 && d.incarnation == n->incarnation &&
                         std::find(d.nodes.begin(), d.nodes.end(), n) != d.nodes.end();
        if (n->live) events.push_back({true, s.devnode, n->vendor_id, n->product_id, n->device, now()});
      }
      // Reachable by path only once it serves the device, as the kernel creates the node last.
      if (devices[n->device]->setup.fail_open) deny(s);  // listed, but cannot be opened
      else if (live) unblock(s);
      else block(s);
      // Only now can hidapi's enumeration see the node: whoever finds it can open it.
      umockdev_testbed_set_attribute_link(testbed, n->syspath.c_str(), "device", n->device_link.c_str());
    }
  }
}

namespace {

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  HidrawBus::State& bus = *s.bus;
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard lock(bus.mutex);
  Node* n = bus.node_of(s, client);
  if (!n || !n->live) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  auto answer = [&](const void* value, std::size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (!out) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    std::memcpy(out->data, value, size);
    umockdev_ioctl_client_complete(client, 0, 0);
  };
  const Descriptor own = descriptor_of(!n->unrelated);
  if (request == HIDIOCGRDESCSIZE) {
    int size = static_cast<int>(own.size);
    answer(&size, sizeof size);
  } else if (request == HIDIOCGRDESC) {
    hidraw_report_descriptor desc{};
    desc.size = static_cast<__u32>(own.size);
    std::memcpy(desc.value, own.bytes, own.size);
    answer(&desc, sizeof desc);
  } else if (request == HIDIOCGRAWINFO) {
    hidraw_devinfo info{};
    info.bustype = BUS_USB;
    info.vendor = static_cast<__s16>(n->vendor_id);
    info.product = static_cast<__s16>(n->product_id);
    answer(&info, sizeof info);
  } else {
    umockdev_ioctl_client_complete(client, -1, _IOC_TYPE(request) == 'H' ? EINVAL : ENOTTY);
  }
  return TRUE;
}

gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  HidrawBus::State& bus = *s.bus;
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard lock(bus.mutex);
  Node* n = bus.node_of(s, client);
  if (!n || !n->live) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);  // as hidraw_write on a vanished device
    return TRUE;
  }
  Device& d = *bus.devices[n->device];
  if (d.setup.fail_write) {
    umockdev_ioctl_client_complete(client, -1, EIO);
    return TRUE;
  }
  const std::size_t size = static_cast<std::size_t>(arg->data_len);
  if (size < 2 || size > kKernelLargestWrite) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);  // the hidraw driver's bounds
    return TRUE;
  }
  if (d.board->write(n->incarnation, n->iface, arg->data, size, bus.now()) != Board::Io::Ok) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  umockdev_ioctl_client_complete(client, static_cast<glong>(size), 0);
  if (!d.unplug_trigger.empty() && !d.board->commands().empty() && d.board->commands().back() == d.unplug_trigger)
    d.unplugged = true;
  // A board that leaves the bus on this report (switch to its boot loader, restart) is gone for
  // the host at once, not only when the ticker next removes its nodes.
  auto p = d.unplugged ? std::nullopt : d.board->presence(bus.now());
  if (!p || p->incarnation != n->incarnation) {
    for (Node* other : d.nodes) {
      other->live = false;
      other->gone = true;
      bus.block(*other->slot);
    }
  }
  bus.pump(s);
  return TRUE;
}

gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  HidrawBus::State& bus = *s.bus;
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard lock(bus.mutex);
  Node* n = bus.node_of(s, client);
  if (!n || !n->live || bus.devices[n->device]->setup.fail_read) {
    umockdev_ioctl_client_complete(client, -1, EIO);  // as hidraw_read on a vanished device
    return TRUE;
  }
  bus.pump(s);
  if (n->queue.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  Report r = std::move(n->queue.front());
  n->queue.pop_front();
  const std::size_t size = std::min(r.size(), static_cast<std::size_t>(arg->data_len));
  std::memcpy(arg->data, r.data(), size);
  umockdev_ioctl_client_complete(client, static_cast<glong>(size), 0);
  bus.pump(s);
  return TRUE;
}

void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  HidrawBus::State& bus = *s.bus;
  std::lock_guard lock(bus.mutex);
  // A descriptor opened while the node is being added belongs to it too: the kernel's node
  // appears only once its device is ready (hidraw_connect).
  Node* n = s.node && !s.node->gone ? s.node : nullptr;
  s.clients.emplace_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), n);
  ++bus.open_handles;
  bus.peak_open_handles = std::max(bus.peak_open_handles, bus.open_handles);
  if (n) {
    ++bus.opened_total;
    ++n->clients;
    bus.devices[n->device]->board->open(n->incarnation, n->iface, bus.now());
  }
  bus.pump(s);
}

void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Slot& s = *static_cast<Slot*>(data);
  HidrawBus::State& bus = *s.bus;
  std::lock_guard lock(bus.mutex);
  bus.forget(s, client);
  bus.pump(s);
}

}  // namespace

std::string unavailable_reason() {
  const std::string preload = std::string(UMOCKDEV_LIBDIR) + "/libumockdev-preload.so.0";
  if (access(preload.c_str(), R_OK) != 0) return preload + " is missing";
  if (access(HIDRAW_OPEN_PRELOAD, R_OK) != 0) return std::string(HIDRAW_OPEN_PRELOAD) + " is missing";
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty < 0) return std::string("no pseudo terminals: ") + std::strerror(errno);
  ::close(pty);
  UMockdevTestbed* testbed = umockdev_testbed_new();
  if (!testbed) return "umockdev cannot create a testbed";
  g_object_unref(testbed);
  return {};
}

HidrawBus::HidrawBus() : state_(std::make_unique<State>()) {
  state_->testbed = umockdev_testbed_new();
  if (!state_->testbed) throw std::runtime_error("umockdev cannot create a testbed");
  gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
  state_->root = root;
  g_free(root);
  std::error_code ec;
  std::filesystem::create_directories(state_->root + "/dev/.vanished", ec);
  std::filesystem::create_directories(state_->root + "/dev/.denied", ec);
  std::filesystem::create_directories(state_->root + "/dev/.live", ec);
  State* s = state_.get();
  state_->ticker = std::thread([s] {
    while (!s->stopping) {
      s->sync();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
}

HidrawBus::~HidrawBus() {
  state_->stopping = true;
  state_->ticker.join();
  // Stops umockdev's worker thread, so no handler runs any more.
  g_object_unref(state_->testbed);
  for (auto& s : state_->slots) {
    for (auto& c : s->clients) g_object_unref(c.first);
    if (s->handler) g_object_unref(s->handler);
    if (s->slave >= 0) ::close(s->slave);
  }
}

bool HidrawBus::configure(const std::string& text, std::string* error) {
  auto parsed = parse_bus_setup(text, error);
  if (!parsed) return false;
  if (parsed->init_fails) {
    if (error) *error = "hidraw cannot make hid_init fail";
    return false;
  }
  for (const DeviceSetup& d : parsed->devices) {
    if (!d.path.empty()) {
      if (error) *error = "hidraw nodes are always /dev/hidrawN: path= is not possible";
      return false;
    }
  }
  for (const DeviceSetup& d : parsed->devices) add(d);
  return true;
}

std::size_t HidrawBus::add(const DeviceSetup& setup) {
  std::size_t index;
  {
    std::lock_guard lock(state_->mutex);
    auto d = std::make_unique<Device>();
    d->setup = setup;
    d->board = std::make_unique<Board>(setup.board);
    d->port = static_cast<int>(state_->devices.size()) + 1;
    state_->devices.push_back(std::move(d));
    index = state_->devices.size() - 1;
  }
  state_->sync();  // listed before this returns, like a device plugged in before the program starts
  return index;
}

std::size_t HidrawBus::device_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.size();
}

Board& HidrawBus::board(std::size_t index) {
  std::lock_guard lock(state_->mutex);
  return *state_->devices.at(index)->board;
}

std::string HidrawBus::path(std::size_t index, int iface) const {
  std::lock_guard lock(state_->mutex);
  const Device& d = *state_->devices.at(index);
  if (iface < 0 || static_cast<std::size_t>(iface) >= d.nodes.size()) return {};
  const Node& n = *d.nodes[static_cast<std::size_t>(iface)];
  return n.live ? n.slot->devnode : std::string();
}

bool HidrawBus::wait_for(std::size_t index, std::uint16_t vendor_id, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    {
      std::lock_guard lock(state_->mutex);
      const Device& d = *state_->devices.at(index);
      if (!d.nodes.empty() && d.nodes[0]->live && d.nodes[0]->vendor_id == vendor_id) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void HidrawBus::restart(std::size_t index, Mode next, std::chrono::milliseconds delay) {
  {
    std::lock_guard lock(state_->mutex);
    Device& d = *state_->devices.at(index);
    d.board->restart(next, state_->now(), delay);
    for (Node* n : d.nodes) {
      n->live = false;
      n->gone = true;
      state_->block(*n->slot);
    }
  }
  state_->sync();
}

void HidrawBus::unplug(std::size_t index) {
  {
    std::lock_guard lock(state_->mutex);
    Device& d = *state_->devices.at(index);
    d.unplugged = true;
    for (Node* n : d.nodes) {
      n->live = false;
      n->gone = true;
      state_->block(*n->slot);
    }
  }
  state_->sync();
}

void HidrawBus::unplug_after(std::size_t index, const std::string& command) {
  std::lock_guard lock(state_->mutex);
  state_->devices.at(index)->unplug_trigger = command;
}

int HidrawBus::open_handles() const {
  std::lock_guard lock(state_->mutex);
  return state_->open_handles;
}

int HidrawBus::peak_open_handles() const {
  std::lock_guard lock(state_->mutex);
  return state_->peak_open_handles;
}

int HidrawBus::opened_total() const {
  std::lock_guard lock(state_->mutex);
  return state_->opened_total;
}

std::vector<NodeEvent> HidrawBus::events() const {
  std::lock_guard lock(state_->mutex);
  return state_->events;
}

std::map<std::string, std::string> HidrawBus::environment() const {
  std::map<std::string, std::string> env{
      {"UMOCKDEV_DIR", state_->root},
      {"LD_PRELOAD", std::string(HIDRAW_OPEN_PRELOAD) + ":libumockdev-preload.so.0"},
  };
  // A sanitizer build would otherwise refuse to start behind the preload libraries.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
  return env;
}

ProgramRun HidrawBus::run(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& extra_env, std::chrono::seconds limit) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) merged[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : environment()) merged[k] = v;
  for (const auto& [k, v] : extra_env) merged[k] = v;
  std::vector<std::string> env_text, argv_text{program};
  for (const auto& [k, v] : merged) env_text.push_back(k + "=" + v);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> envp, argv;
  for (auto& s : env_text) envp.push_back(s.data());
  for (auto& s : argv_text) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc;
  {
    // Listed before it can open anything, so its descriptors count from the start.
    std::lock_guard lock(state_->mutex);
    rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    if (rc == 0) state_->programs.push_back(pid);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  ProgramRun result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = start + limit;
  bool killed = false;
  for (int open_fds = 2; open_fds > 0;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, killed ? 1000 : static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  for (pollfd& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  // Off the list while it is a zombie, before its pid can be reused.
  siginfo_t exited{};
  while (waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(state_->mutex);
    std::erase(state_->programs, pid);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  // umockdev learns of the program's closed descriptors on its own thread, a moment later.
  for (auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(2);
       open_handles() > 0 && std::chrono::steady_clock::now() < settle;)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return result;
}

Played play(const Scenario& scenario) {
  Played played{std::make_unique<HidrawBus>(), {}};
  std::string error;
  if (!played.bus->configure(scenario.devices, &error))
    throw std::invalid_argument("device text \"" + scenario.devices + "\": " + error);
  if (scenario.prepare) scenario.prepare(*played.bus);
  played.run = played.bus->run(scenario.program, scenario.args, scenario.env, scenario.limit);
  return played;
}

}  // namespace cardsim::hidraw
