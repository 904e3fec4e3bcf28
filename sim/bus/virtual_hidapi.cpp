// hidapi's C API over the virtual bus, behaving as Linux hidraw does with numbered reports:
// byte 0 of every write and read is the report id, a non-blocking read returns 0 when nothing
// waits, and a device that has left the bus fails reads and writes with -1.
#include <hidapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "virtual_bus.h"

namespace cardsim::bus {
namespace {

struct Device {
  DeviceSetup setup;
  std::unique_ptr<Board> board;
  // The nodes of the enumeration the bus shows now, by interface (empty while off the bus), and
  // the incarnation they belong to.
  std::vector<int> minors;
  std::vector<std::string> paths;
  std::uint64_t listed_incarnation = 0;
  bool unplugged = false;
  OpenFilter open_filter;
  WriteFilter write_filter;
  int write_result_offset = 0;
  bool nonblocking_fails = false;
};

// One /dev/hidrawN, numbered as the hidraw driver does (drivers/hid/hidraw.c): a device that
// appears takes the lowest free minor (hidraw_connect), and a minor is free again only when its
// device is gone and the last file opened on it is closed (drop_ref). So a handle left open across
// a re-enumeration keeps the old minor taken and the device comes back on another node.
struct Minor {
  bool listed = false;         // a device's interface is on it now
  std::size_t device = 0;
  int iface = 0;
  std::uint64_t incarnation = 0;
  int open_files = 0;          // handles opened on this node and not yet closed
  bool free() const { return !listed && open_files == 0; }
};

struct Bus {
  std::mutex mutex;
  std::vector<std::unique_ptr<Device>> devices;
  std::vector<Minor> minors;
  std::vector<WireRecord> wire;
  std::uint64_t generation = 1;
  int open_handles = 0;
  bool init_fails = false;
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
  std::wstring last_error = L"Success";

  SimTime now() const {
    const SimTime real = std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - epoch);
    return (real_time ? real : SimTime{0}) + offset;
  }
};

Bus& the_bus() {
  static Bus* bus = new Bus;  // never destroyed: hid_* may be called from static destructors
  return *bus;
}

int take_lowest_free_minor(Bus& bus) {
  for (std::size_t m = 0; m < bus.minors.size(); ++m)
    if (bus.minors[m].free()) return static_cast<int>(m);
  bus.minors.emplace_back();
  return static_cast<int>(bus.minors.size() - 1);
}

// The device's nodes go away at once (hidraw_disconnect); their minors stay taken while open.
void remove_nodes(Bus& bus, Device& d) {
  for (int m : d.minors) bus.minors[static_cast<std::size_t>(m)].listed = false;
  d.minors.clear();
  d.paths.clear();
  d.listed_incarnation = 0;
}

void add_nodes(Bus& bus, std::size_t index, Device& d, const Board::Presence& p) {
  for (int i = 0; i < p.interfaces; ++i) {
    if (!d.setup.path.empty()) {  // a path of the test's choosing stays as it is
      d.minors.push_back(-1);
      d.paths.push_back(i == 0 ? d.setup.path : d.setup.path + "." + std::to_string(i));
      continue;
    }
    int m = take_lowest_free_minor(bus);
    bus.minors[static_cast<std::size_t>(m)] = Minor{true, index, i, p.incarnation, 0};
    d.minors.push_back(m);
    d.paths.push_back("/dev/hidraw" + std::to_string(m));
  }
  // Custom paths hold no minor.
  d.minors.erase(std::remove(d.minors.begin(), d.minors.end(), -1), d.minors.end());
  d.listed_incarnation = p.incarnation;
}

// Brings one device's nodes in line with what its board lists at `at`.
void update_nodes(Bus& bus, std::size_t index, SimTime at) {
  Device& d = *bus.devices[index];
  std::optional<Board::Presence> p;
  if (!d.unplugged) p = d.board->presence(at);
  if (d.listed_incarnation != 0 && (!p || p->incarnation != d.listed_incarnation)) remove_nodes(bus, d);
  if (p && d.listed_incarnation == 0) add_nodes(bus, index, d, *p);
}

// Replays what happened on the bus since it was last looked at, in the order it happened, so that
// a device that appeared earlier took its minor before one that appeared later.
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
  d->board = std::make_unique<Board>(setup.board);
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
  for (const DeviceSetup& d : setup->devices) add_locked(bus, d);
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

}  // namespace

void reset() {
  Bus& bus = the_bus();
  std::lock_guard lock(bus.mutex);
  bus.env_loaded = true;  // a test that resets describes its own devices
  bus.devices.clear();
  bus.wire.clear();
  ++bus.generation;
  bus.minors.clear();
  bus.open_handles = 0;
  bus.init_fails = false;
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

struct hid_device_ {
  std::uint64_t generation;
  std::size_t index;
  int iface;
  std::uint64_t incarnation;
  int minor;  // the node opened, -1 for a path of the test's choosing
  std::string path;
  bool nonblocking = false;
  std::wstring error = L"Success";
  // Input reports collected since the open, as the hidraw driver keeps them per open file: the
  // kernel polls the device as long as the node is open, whether or not the program reads.
  std::deque<cardsim::Report> queue;
};

namespace {

// The device behind a handle, or nullptr when it is gone from the bus.
cardsim::bus::Device* device_of(cardsim::bus::Bus& bus, hid_device* dev) {
  if (dev->generation != bus.generation || dev->index >= bus.devices.size()) return nullptr;
  cardsim::bus::Device* d = bus.devices[dev->index].get();
  return d->unplugged ? nullptr : d;
}

// Takes the reports the board has sent into the handle's queue (bus mutex held).
void collect(cardsim::bus::Bus& bus, cardsim::bus::Device& d, hid_device* dev) {
  cardsim::Report r;
  while (dev->queue.size() < 64 && d.board->read(dev->incarnation, dev->iface, bus.now(), r) == Board::Io::Ok)
    dev->queue.push_back(std::move(r));
}

}  // namespace

extern "C" {

int hid_init(void) {
  auto& bus = cardsim::bus::the_bus();
  cardsim::SimTime delay{0};
  {
    std::lock_guard lock(bus.mutex);
    ++bus.init_calls;
    delay = bus.init_delay;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  return bus.init_fails ? -1 : 0;
}

int hid_exit(void) { return 0; }

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  auto& bus = cardsim::bus::the_bus();
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  sync(bus);
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (auto& d : bus.devices) {
    auto p = present(bus, *d);
    if (!p) continue;
    if (vendor_id && p->vendor_id != vendor_id) continue;
    if (product_id && p->product_id != product_id) continue;
    for (int i = 0; i < p->interfaces; ++i) {
      auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
      info->path = strdup(d->paths[static_cast<std::size_t>(i)].c_str());
      info->vendor_id = p->vendor_id;
      info->product_id = p->product_id;
      info->serial_number = wcsdup(L"");
      info->release_number = 0x0100;
      const bool card = p->vendor_id == cardsim::kCardVendorId;
      const bool other = p->mode == cardsim::Mode::Unrelated;
      info->manufacturer_string = wcsdup(other ? L"Other vendor" : card ? L"Simulated card" : L"Texas Instruments");
      info->product_string = wcsdup(other ? L"Keyboard" : card ? L"Card controller" : L"MSP430 USB BSL");
      info->usage_page = 0xFF00;
      info->usage = 0x0001;
      info->interface_number = i;
      info->bus_type = HID_API_BUS_USB;
      *tail = info;
      tail = &info->next;
    }
  }
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
  auto& bus = cardsim::bus::the_bus();
  std::lock_guard lock(bus.mutex);
  load_environment(bus);
  if (!path) return nullptr;
  sync(bus);
  // Whatever device is listed under the path now: after a re-enumeration that may be another one.
  for (std::size_t index = 0; index < bus.devices.size(); ++index) {
    auto& d = *bus.devices[index];
    auto p = present(bus, d);
    if (!p) continue;
    for (int i = 0; i < p->interfaces; ++i) {
      if (d.paths[static_cast<std::size_t>(i)] != path) continue;
      if (d.setup.fail_open || (d.open_filter && !d.open_filter(p->mode)) ||
          d.board->open(p->incarnation, i, bus.now()) != Board::Io::Ok) {
        bus.last_error = L"Permission denied";
        return nullptr;
      }
      const int minor = d.setup.path.empty() ? d.minors[static_cast<std::size_t>(i)] : -1;
      if (minor >= 0) ++bus.minors[static_cast<std::size_t>(minor)].open_files;
      auto* dev = new hid_device_{bus.generation, index, i, p->incarnation, minor, path, false, L"Success", {}};
      ++bus.open_handles;
      bus.last_error = L"Success";
      return dev;
    }
  }
  // The kernel removes a vanished device's node at once.
  bus.last_error = L"No such file or directory";
  return nullptr;
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (!dev) return -1;
  auto& bus = cardsim::bus::the_bus();
  std::lock_guard lock(bus.mutex);
  if (auto* d = device_of(bus, dev); d && d->nonblocking_fails) {
    dev->error = L"Input/output error";
    return -1;
  }
  dev->nonblocking = nonblock != 0;
  return 0;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  if (!dev || !data) return -1;
  auto& bus = cardsim::bus::the_bus();
  std::lock_guard lock(bus.mutex);
  auto* d = device_of(bus, dev);
  if (d) collect(bus, *d, dev);
  // hidraw refuses a write shorter than a report id and one byte.
  const bool bad_length = length < 2 || length > cardsim::kReportSize + 1;
  bool ok = d && !d->setup.fail_write && !bad_length &&
            (!d->write_filter || d->write_filter(d->board->mode(), data, length)) &&
            d->board->write(dev->incarnation, dev->iface, data, length, bus.now()) == Board::Io::Ok;
  record(bus, dev->path, true, data, length, ok);
  if (!ok) {
    dev->error = !d ? L"No such device" : bad_length ? L"Invalid argument" : L"Input/output error";
    return -1;
  }
  dev->error = L"Success";
  return static_cast<int>(length) + d->write_result_offset;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
  if (!dev || !data) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  auto& bus = cardsim::bus::the_bus();
  for (;;) {
    {
      std::lock_guard lock(bus.mutex);
      auto* d = device_of(bus, dev);
      cardsim::Report r;
      Board::Io io = Board::Io::Gone;
      if (d && !d->setup.fail_read) {
        collect(bus, *d, dev);
        if (!dev->queue.empty()) {
          r = std::move(dev->queue.front());
          dev->queue.pop_front();
          io = Board::Io::Ok;
        } else {
          io = d->board->read(dev->incarnation, dev->iface, bus.now(), r);
        }
      }
      if (io == Board::Io::Gone) {
        dev->error = !d ? L"No such device" : L"Input/output error";
        return -1;
      }
      if (io == Board::Io::Ok) {
        std::size_t n = std::min(length, r.size());
        if (n) std::memcpy(data, r.data(), n);
        record(bus, dev->path, false, data, n, true);
        dev->error = L"Success";
        return static_cast<int>(n);
      }
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
  if (!dev) return cardsim::bus::the_bus().last_error.c_str();
  return dev->error.c_str();
}

void hid_close(hid_device* dev) {
  if (!dev) return;
  auto& bus = cardsim::bus::the_bus();
  {
    std::lock_guard lock(bus.mutex);
    if (dev->generation == bus.generation) {
      // What happened on the bus while the handle was open happened with its minor taken: replay
      // it before the close frees the minor.
      sync(bus);
      --bus.open_handles;
      // The last close of a vanished device's node frees its minor (drop_ref).
      if (dev->minor >= 0) --bus.minors[static_cast<std::size_t>(dev->minor)].open_files;
    }
  }
  delete dev;
}

}  // extern "C"
