// The bus as hidapi 0.13.1's Linux back end (linux/hid.c) shows it over the kernel's hidraw driver
// (drivers/hid/hidraw.c) and usbhid (drivers/hid/usbhid/hid-core.c); README.md lists each rule.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "bus_state.h"

namespace cardsim::bus {
namespace {

// hidraw_send_report's bounds: a report id and one byte at least, HID_MAX_BUFFER_SIZE at most.
constexpr std::size_t kLargestWrite = 16384;
// usbhid sends an output report with usb_interrupt_msg (a SET_REPORT control request where the
// interface has no interrupt OUT endpoint), both with USB_CTRL_SET_TIMEOUT: a device that takes
// nothing fails the write with ETIMEDOUT after it.
constexpr SimTime kUsbTimeout = std::chrono::seconds(5);

// One /dev/hidrawN. hidraw_connect gives a device that appears the lowest free minor; drop_ref
// frees it only when the device is gone and the last file opened on it is closed, so a handle
// left open across a re-enumeration keeps the old minor and the device comes back on another.
struct Minor {
  bool listed = false;
  int open_files = 0;
  bool free() const { return !listed && open_files == 0; }
};

class LinuxRules : public Rules {
 public:
  Personality kind() const override { return Personality::Linux; }

  void list(Bus&, std::size_t, Device& d, const Board::Presence& p) override {
    for (int i = 0; i < p.interfaces; ++i) {
      const int m = take_lowest_free_minor();
      minors_[static_cast<std::size_t>(m)].listed = true;
      d.nodes.push_back(m);
      d.paths.push_back("/dev/hidraw" + std::to_string(m));
    }
  }
  // The nodes go at once (hidraw_disconnect); their minors stay taken while open.
  void unlist(Bus&, Device& d) override {
    for (int m : d.nodes)
      if (m >= 0) minors_[static_cast<std::size_t>(m)].listed = false;
  }
  // hid_enumerate takes udev's list of the hidraw subsystem, which libudev sorts by sysfs path
  // (device_compare with path_compare, systemd's sd-device/device-enumerator.c and
  // basic/path-util.c): one directory level at a time, bytewise, a shorter name first when one is
  // the start of the other. The levels that differ between two devices are the USB ones, so
  // 3-1.4 lists before 3-1 (its "3-1:1.0"), which lists before 3-10.
  std::string sort_key(const Device& d, int iface) const override {
    return usb_device_syspath(d.usb_port) + "/" + d.usb_port + ":1." + std::to_string(iface);
  }
  bool lists_before(const std::string& a, const std::string& b) const override {
    std::size_t i = 0, j = 0;
    for (;;) {
      const std::size_t ea = std::min(a.find('/', i), a.size()), eb = std::min(b.find('/', j), b.size());
      if (i >= a.size() || j >= b.size()) return i >= a.size() && j < b.size();
      const std::string_view ca(a.data() + i, ea - i), cb(b.data() + j, eb - j);
      const int c = std::memcmp(ca.data(), cb.data(), std::min(ca.size(), cb.size()));
      if (c != 0) return c < 0;
      if (ca.size() != cb.size()) return ca.size() < cb.size();
      i = ea + 1;
      j = eb + 1;
    }
  }
  int interface_number(int iface, int) const override { return iface; }
  bool names(const std::string& path, const std::string& listed) const override { return path == listed; }
  // hid_open_path: "Failed to open a device with path '%s': %s" with open()'s errno.
  void open_missing(Bus& bus, const char* path) override {
    bus.last_error = wide(std::string("Failed to open a device with path '") + path + "': No such file or directory");
  }
  // A new node is root-only (mode 0600, devtmpfs) until udev has applied the rules that give it
  // to the user, which takes a while on a busy system.
  bool grants_read_write(const Device& d, Mode, SimTime since) const override { return since >= d.setup.acl_delay; }
  bool open_refused(Bus& bus, hid_device&, const char* path) override {
    bus.last_error = wide(std::string("Failed to open a device with path '") + path + "': Permission denied");
    return false;
  }
  void opened(Bus&, hid_device& h) override {
    if (h.node >= 0) ++minors_[static_cast<std::size_t>(h.node)].open_files;
  }
  void close(Bus&, hid_device& h) override {
    if (h.node >= 0) --minors_[static_cast<std::size_t>(h.node)].open_files;
  }

  int write(Bus& bus, hid_device& h, Device* d, const unsigned char* data, std::size_t length,
            std::unique_lock<std::mutex>& lock) override {
    if (!data || length == 0) return fail(h, L"Invalid argument");  // hid_write's own check
    const auto p = alive(bus, h, d);
    if (p) collect(bus, *d, h);
    const wchar_t* failure = nullptr;
    if (!p) {
      failure = L"No such device";  // hidraw_write: ENODEV once the device has left
    } else if (length < 2 || length > kLargestWrite) {
      failure = L"Invalid argument";
    } else if (p->mode == Mode::Hung) {
      record(bus, h.path, true, data, length, false);
      block_for(bus, kUsbTimeout, lock);
      return fail(h, L"Connection timed out");
    } else if (d->setup.fail_write || !deliver(bus, *d, h, data, length)) {
      failure = L"Input/output error";
    }
    record(bus, h.path, true, data, length, !failure);
    if (failure) return fail(h, failure);
    h.error = L"Success";
    return static_cast<int>(length) + d->write_result_offset;
  }

  int read(Bus& bus, hid_device& h, Device* d, unsigned char* data, std::size_t length, int milliseconds) override {
    if (!data) return fail(h, L"Bad address");
    const auto p = alive(bus, h, d);
    // hid_read_timeout polls first unless it may wait for ever, and fails on a hang-up:
    // hidraw_poll reports POLLHUP | POLLERR once the device has left, whatever its queue holds.
    if (milliseconds >= 0 && !p) return fail(h, L"hid_read_timeout: unexpected poll error (device disconnected)");
    if (p && d->setup.fail_read) return fail(h, L"Input/output error");
    if (p) collect(bus, *d, h);
    if (h.queue.empty()) return p ? 0 : fail(h, L"Input/output error");  // hidraw_read: EIO when gone
    const Report r = std::move(h.queue.front());
    h.queue.pop_front();
    const std::size_t n = std::min(length, r.size());  // hidraw_read cuts the report to the buffer
    if (n) std::memcpy(data, r.data(), n);
    record(bus, h.path, false, data, n, true);
    h.error = L"Success";
    return static_cast<int>(n);
  }

 private:
  static int fail(hid_device& h, const wchar_t* error) {
    h.error = error;
    return -1;
  }
  int take_lowest_free_minor() {
    for (std::size_t m = 0; m < minors_.size(); ++m)
      if (minors_[m].free()) return static_cast<int>(m);
    minors_.emplace_back();
    return static_cast<int>(minors_.size() - 1);
  }

  std::vector<Minor> minors_;
};

}  // namespace

std::unique_ptr<Rules> linux_rules() { return std::make_unique<LinuxRules>(); }

}  // namespace cardsim::bus
