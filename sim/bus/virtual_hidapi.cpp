// hidapi's C API over the virtual bus. What is the same on every system lives here: the boards,
// the clock, the wire record and the control side; the personality's Rules (personality_linux.cpp,
// personality_windows.cpp) decide paths, list order, and what writes and reads do and how they fail.
#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <thread>

#include "bus_state.h"

namespace cardsim::bus {
namespace {

std::unique_ptr<Rules> rules_for(Personality p) { return p == Personality::Windows ? windows_rules() : linux_rules(); }

Bus& the_bus() {
  static Bus* bus = [] {  // never destroyed: hid_* may be called from static destructors
    auto* b = new Bus;
    b->rules = rules_for(native_personality());
    return b;
  }();
  return *bus;
}

int bus_number(const std::string& port) { return std::atoi(port.c_str()); }

void remove_nodes(Bus& bus, Device& d) {
  bus.devnums.release(bus_number(d.usb_port), d.devnum);
  d.devnum = 0;
  if (d.setup.path.empty()) bus.rules->unlist(bus, d);
  d.paths.clear();
  d.nodes.clear();
  d.listed_incarnation = 0;
}

void add_nodes(Bus& bus, std::size_t index, Device& d, const Board::Presence& p, SimTime at) {
  d.listed_at = at;
  d.devnum = bus.devnums.choose(bus_number(d.usb_port));
  if (!d.setup.path.empty()) {  // a path of the test's choosing stays as it is, on every system
    for (int i = 0; i < p.interfaces; ++i) {
      d.paths.push_back(i == 0 ? d.setup.path : d.setup.path + "." + std::to_string(i));
      d.nodes.push_back(-1);
    }
  } else {
    bus.rules->list(bus, index, d, p);
  }
  if (d.first_path.empty() && !d.paths.empty()) d.first_path = d.paths[0];
  d.listed_incarnation = p.incarnation;
}

// Brings one device's paths in line with what its board lists at `at`.
void update_nodes(Bus& bus, std::size_t index, SimTime at) {
  Device& d = *bus.devices[index];
  std::optional<Board::Presence> p;
  if (!d.unplugged) p = d.board->presence(at);
  if (d.listed_incarnation != 0 && (!p || p->incarnation != d.listed_incarnation)) remove_nodes(bus, d);
  if (p && d.listed_incarnation == 0) add_nodes(bus, index, d, *p, at);
}

// Replays what happened on the bus since it was last looked at, in the order it happened, so that
// a device that appeared earlier took its path before one that appeared later.
void sync(Bus& bus) {
  const SimTime now = bus.now();
  for (;;) {
    std::optional<SimTime> next;
    for (auto& d : bus.devices) {
      if (d->unplugged) continue;
      auto t = d->board->next_change();
      if (t && *t <= now && (!next || *t < *next)) next = t;
    }
    if (!next) break;
    for (std::size_t i = 0; i < bus.devices.size(); ++i) update_nodes(bus, i, *next);
  }
  for (std::size_t i = 0; i < bus.devices.size(); ++i) update_nodes(bus, i, now);
}

// Current presence of a device as the bus shows it (bus brought up to date by the caller).
std::optional<Board::Presence> present(Bus& bus, Device& d) {
  if (d.unplugged || d.listed_incarnation == 0) return std::nullopt;
  auto p = d.board->presence(bus.now());
  if (!p || p->incarnation != d.listed_incarnation) return std::nullopt;
  return p;
}

std::size_t add_locked(Bus& bus, const DeviceSetup& setup) {
  auto d = std::make_unique<Device>();
  d->setup = setup;
  d->port = static_cast<int>(bus.devices.size()) + 1;
  d->usb_port = setup.port;
  if (d->usb_port.empty()) {
    std::vector<std::string> taken;
    for (const auto& other : bus.devices) taken.push_back(other->usb_port);
    d->usb_port = default_port(bus.devices.size(), taken);
  }
  BoardSettings settings = setup.board;
  bus.usb_buses.plug(settings, d->usb_port);
  d->board = std::make_unique<Board>(std::move(settings));
  bus.devices.push_back(std::move(d));
  update_nodes(bus, bus.devices.size() - 1, bus.now());
  return bus.devices.size() - 1;
}

void load_environment(Bus& bus) {
  if (bus.env_loaded) return;
  bus.env_loaded = true;
  if (const char* log = std::getenv("CARDSIM_WIRE_LOG"); log && *log) {
    bus.wire_log = std::fopen(log, "a");
    if (bus.wire_log) std::setvbuf(bus.wire_log, nullptr, _IOLBF, 0);
  }
  const char* text = std::getenv("CARDSIM_DEVICES");
  if (!text) return;
  std::string error;
  auto setup = parse_bus_setup(text, &error);
  if (!setup) {
    std::fprintf(stderr, "virtual bus: CARDSIM_DEVICES: %s\n", error.c_str());
    bus.init_fails = true;
    return;
  }
  bus.init_fails = setup->init_fails;
  bus.no_sysfs = setup->no_sysfs;
  for (const DeviceSetup& d : setup->devices) add_locked(bus, d);
}

}  // namespace

Personality native_personality() {
#ifdef _WIN32
  return Personality::Windows;
#else
  return Personality::Linux;
#endif
}

Personality personality() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.rules->kind();
}

std::optional<Board::Presence> alive(Bus& bus, const hid_device& h, Device* d) {
  if (!d) return std::nullopt;
  auto p = d->board->presence(bus.now());
  if (!p || p->incarnation != h.incarnation) return std::nullopt;
  return p;
}

void collect(Bus& bus, Device& d, hid_device& h) {
  Report r;
  while (h.queue.size() < 64 && d.board->read(h.incarnation, h.iface, bus.now(), r) == Board::Io::Ok)
    h.queue.push_back(std::move(r));
}

bool deliver(Bus& bus, Device& d, hid_device& h, const unsigned char* data, std::size_t length) {
  return (!d.write_filter || d.write_filter(d.board->mode(), data, length)) &&
         d.board->write(h.incarnation, h.iface, data, length, bus.now()) == Board::Io::Ok;
}

void record(Bus& bus, const std::string& path, bool out, const unsigned char* data, std::size_t n, bool delivered) {
  WireRecord r{bus.now(), path, out, Report(data, data + n), delivered};
  if (bus.wire_log) {
    std::fprintf(bus.wire_log, "%lld %s %s%s", static_cast<long long>(r.time.count()), out ? "W" : "R", path.c_str(),
                 delivered ? "" : " FAILED");
    for (std::size_t i = 0; i < n; ++i) std::fprintf(bus.wire_log, " %02X", data[i]);
    std::fputc('\n', bus.wire_log);
  }
  bus.wire.push_back(std::move(r));
}

void block_for(Bus& bus, SimTime time, std::unique_lock<std::mutex>& lock) {
  if (!bus.real_time) {
    bus.offset += time;
    return;
  }
  lock.unlock();
  std::this_thread::sleep_for(time);
  lock.lock();
}

void reset(Personality personality) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.env_loaded = true;  // a test that resets describes its own devices
  bus.devices.clear();
  bus.wire.clear();
  ++bus.generation;
  bus.rules = rules_for(personality);
  bus.open_handles = 0;
  bus.init_fails = false;
  bus.no_sysfs = false;
  bus.devnums = {};
  bus.usb_buses = {};
  bus.init_calls = 0;
  bus.init_delay = SimTime{0};
  bus.epoch = std::chrono::steady_clock::now();
  bus.offset = SimTime{0};
  bus.real_time = false;
}

void run_in_real_time() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.epoch = std::chrono::steady_clock::now();
  bus.real_time = true;
}

std::size_t add(const DeviceSetup& setup) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return add_locked(bus, setup);
}

std::size_t add_card(const BoardSettings& settings) {
  DeviceSetup setup;
  setup.board = settings;
  return add(setup);
}

bool configure(const std::string& text, std::string* error) {
  auto setup = parse_bus_setup(text, error);
  if (!setup) return false;
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.init_fails = bus.init_fails || setup->init_fails;
  bus.no_sysfs = bus.no_sysfs || setup->no_sysfs;
  for (const DeviceSetup& d : setup->devices) add_locked(bus, d);
  return true;
}

void set_init_fails(bool fails) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.init_fails = fails;
}

int init_calls() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.init_calls;
}

void set_init_delay(SimTime delay) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.init_delay = delay;
}

Board& board(std::size_t index) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return *bus.devices.at(index)->board;
}

std::size_t device_count() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.devices.size();
}

std::string path(std::size_t index, int iface) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  sync(bus);
  Device& d = *bus.devices.at(index);
  auto p = present(bus, d);
  if (!p || iface < 0 || iface >= p->interfaces) return {};
  return d.paths[static_cast<std::size_t>(iface)];
}

std::string port(std::size_t index) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.devices.at(index)->usb_port;
}

int devnum(std::size_t index) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  sync(bus);
  return bus.devices.at(index)->devnum;
}

std::optional<UsbDeviceView> usb_device_of_node(const std::string& sysname) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  if (bus.no_sysfs || bus.rules->kind() != Personality::Linux) return std::nullopt;
  sync(bus);
  for (auto& d : bus.devices) {
    auto p = present(bus, *d);
    if (!p || !d->setup.path.empty()) continue;
    for (int i = 0; i < p->interfaces; ++i) {
      if (d->paths[static_cast<std::size_t>(i)] != "/dev/" + sysname) continue;
      const std::string& port = d->usb_port;
      return UsbDeviceView{port, bus_number(port), d->devnum, port.substr(port.find('-') + 1), p->vendor_id,
                           p->product_id, i, d->nodes[static_cast<std::size_t>(i)]};
    }
  }
  return std::nullopt;
}

std::string first_path(std::size_t index) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  sync(bus);
  return bus.devices.at(index)->first_path;
}

void unplug(std::size_t index) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  sync(bus);
  Device& d = *bus.devices.at(index);
  d.unplugged = true;
  remove_nodes(bus, d);
}

void set_faults(std::size_t index, bool fail_open, bool fail_write, bool fail_read) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  DeviceSetup& s = bus.devices.at(index)->setup;
  s.fail_open = fail_open;
  s.fail_write = fail_write;
  s.fail_read = fail_read;
}

void set_open_filter(std::size_t index, OpenFilter filter) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.devices.at(index)->open_filter = std::move(filter);
}

void set_write_filter(std::size_t index, WriteFilter filter) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.devices.at(index)->write_filter = std::move(filter);
}

void set_write_result_offset(std::size_t index, int offset) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.devices.at(index)->write_result_offset = offset;
}

void set_nonblocking_fails(std::size_t index, bool fails) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.devices.at(index)->nonblocking_fails = fails;
}

SimTime now() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.now();
}

void advance(SimTime by) {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.offset += by;
}

std::vector<WireRecord> wire() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.wire;
}

std::vector<WireRecord> writes() {
  std::vector<WireRecord> out;
  for (WireRecord& r : wire())
    if (r.host_to_device) out.push_back(std::move(r));
  return out;
}

void clear_wire() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.wire.clear();
}

int open_handles() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  return bus.open_handles;
}

}  // namespace cardsim::bus

using cardsim::Board;
using namespace cardsim::bus;

namespace {

// The device behind a handle, or nullptr when it is gone from the bus for good.
Device* device_of(Bus& bus, const hid_device& h) {
  if (h.generation != bus.generation || h.index >= bus.devices.size()) return nullptr;
  Device* d = bus.devices[h.index].get();
  return d->unplugged ? nullptr : d;
}

}  // namespace

extern "C" {

int hid_init(void) {
  auto& bus = the_bus();
  cardsim::SimTime delay{0};
  {
    std::lock_guard lock(bus.mutex);
    ++bus.init_calls;
    delay = bus.init_delay;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  bus.last_error.reset();
  return bus.init_fails ? -1 : 0;
}

int hid_exit(void) { return 0; }

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  auto& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  sync(bus);
  struct Listed {
    std::string key;
    const std::string* path;
    Device* device;
    Board::Presence presence;
    int iface;
    int usage;  // which top-level usage of the node
  };
  std::vector<Listed> listed;
  for (auto& d : bus.devices) {
    auto p = present(bus, *d);
    if (!p) continue;
    if (vendor_id && p->vendor_id != vendor_id) continue;
    if (product_id && p->product_id != product_id) continue;
    // hidapi's Linux back end lists a node once per top-level usage of its report descriptor
    // (get_next_hid_usage, linux/hid.c), each time under the same path: a mouse's (generic desktop
    // mouse, and the pointer inside it) twice, as Debian's hidapi does on the hidraw harness's
    // mouse descriptor. The boards declare one.
    const int usages = p->mode == cardsim::Mode::Unrelated && bus.rules->kind() == Personality::Linux ? 2 : 1;
    for (int i = 0; i < p->interfaces; ++i)
      for (int u = 0; u < usages; ++u)
        listed.push_back({bus.rules->sort_key(*d, i), &d->paths[static_cast<std::size_t>(i)], d.get(), *p, i, u});
  }
  std::stable_sort(listed.begin(), listed.end(),
                   [&](const Listed& a, const Listed& b) { return bus.rules->lists_before(a.key, b.key); });
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (const Listed& l : listed) {
    const Board::Presence& p = l.presence;
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(l.path->c_str());
    info->vendor_id = p.vendor_id;
    info->product_id = p.product_id;
    info->serial_number = wcsdup(L"");
    info->release_number = 0x0100;
    const bool card = p.vendor_id == cardsim::kCardVendorId;
    const bool other = p.mode == cardsim::Mode::Unrelated;
    info->manufacturer_string = wcsdup(other ? L"Other vendor" : card ? L"Simulated card" : L"Texas Instruments");
    info->product_string = wcsdup(other ? L"Keyboard" : card ? L"Card controller" : L"MSP430 USB BSL");
    info->usage_page = other ? 0x0001 : 0xFF00;
    info->usage = other ? (l.usage == 0 ? 0x0002 : 0x0001) : 0x0001;
    info->interface_number = bus.rules->interface_number(l.iface, p.interfaces);
    info->bus_type = HID_API_BUS_USB;
    *tail = info;
    tail = &info->next;
  }
  if (head) bus.last_error.reset();
  else if (vendor_id == 0 && product_id == 0) bus.last_error = L"No HID devices found in the system.";
  else bus.last_error = L"No HID devices with requested VID/PID found in the system.";
  return head;
}

void hid_free_enumeration(struct hid_device_info* devs) {
  while (devs) {
    hid_device_info* next = devs->next;
    std::free(devs->path);
    std::free(devs->serial_number);
    std::free(devs->manufacturer_string);
    std::free(devs->product_string);
    std::free(devs);
    devs = next;
  }
}

hid_device* hid_open_path(const char* path) {
  auto& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  if (!path) return nullptr;
  sync(bus);
  // Whatever device is listed under the path now: after a re-enumeration that may be another one.
  for (std::size_t index = 0; index < bus.devices.size(); ++index) {
    Device& d = *bus.devices[index];
    auto p = present(bus, d);
    if (!p) continue;
    for (int i = 0; i < p->interfaces; ++i) {
      const std::size_t at = static_cast<std::size_t>(i);
      if (!bus.rules->names(path, d.paths[at])) continue;
      auto* dev = new hid_device_;
      dev->generation = bus.generation;
      dev->index = index;
      dev->iface = i;
      dev->incarnation = p->incarnation;
      dev->node = d.nodes[at];
      dev->path = d.paths[at];
      const bool refused = d.setup.fail_open || (d.open_filter && !d.open_filter(p->mode)) ||
                           !bus.rules->grants_read_write(d, p->mode, bus.now() - d.listed_at);
      if (refused ? !bus.rules->open_refused(bus, *dev, path)
                  : d.board->open(p->incarnation, i, bus.now()) != Board::Io::Ok) {
        delete dev;
        return nullptr;
      }
      bus.rules->opened(bus, *dev);
      ++bus.open_handles;
      bus.last_error.reset();
      return dev;
    }
  }
  bus.rules->open_missing(bus, path);
  return nullptr;
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (!dev) return -1;
  auto& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  if (Device* d = device_of(bus, *dev); d && d->nonblocking_fails) {
    dev->error = L"Input/output error";
    return -1;
  }
  dev->nonblocking = nonblock != 0;
  return 0;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  if (!dev) return -1;
  auto& bus = the_bus();
  std::unique_lock lock(bus.mutex);
  return bus.rules->write(bus, *dev, device_of(bus, *dev), data, length, lock);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
  if (!dev) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  auto& bus = the_bus();
  for (;;) {
    {
      std::lock_guard lock(bus.mutex);
      const int n = bus.rules->read(bus, *dev, device_of(bus, *dev), data, length, milliseconds);
      if (n != 0) return n;
    }
    if (milliseconds == 0 || (milliseconds > 0 && std::chrono::steady_clock::now() >= deadline)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
  if (!dev) return -1;
  return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

const wchar_t* hid_error(hid_device* dev) {
  if (!dev) return the_bus().last_error.c_str();
  return dev->error.c_str();
}

void hid_close(hid_device* dev) {
  if (!dev) return;
  auto& bus = the_bus();
  {
    std::lock_guard lock(bus.mutex);
    if (dev->generation == bus.generation) {
      // What happened on the bus while the handle was open happened with it open: replay it
      // before the close (on Linux the handle holds its minor until then).
      sync(bus);
      --bus.open_handles;
      bus.rules->close(bus, *dev);
    }
  }
  delete dev;
}

}  // extern "C"
