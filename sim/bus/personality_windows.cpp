// The bus as hidapi 0.13.1's Windows back end (windows/hid.c) shows it over the Windows HID class
// driver; README.md lists each rule, where it comes from and what could not be checked here.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "bus_state.h"

namespace cardsim::bus {
namespace {

// The boards' one top-level collection: report id 0x3F and 63 bytes each way, so that the HID
// class gives caps.OutputReportByteLength and InputReportByteLength of 64.
constexpr std::size_t kReportLength = kReportSize;
constexpr unsigned char kReportId = 0x3F;
// hid_write waits for its overlapped WriteFile with WaitForSingleObject(..., 1000).
constexpr SimTime kWriteWait = std::chrono::milliseconds(1000);

// The Win32 errors that hidapi meets here, with the text FormatMessageW gives for each.
enum Win32Error : unsigned {
  kFileNotFound = 0x2,
  kAccessDenied = 0x5,
  kGenFailure = 0x1F,
  kInvalidParameter = 0x57,
  kIoPending = 0x3E5,
  kDeviceNotConnected = 0x48F,
  kInvalidUserBuffer = 0x6F8,
};
const char* message_of(unsigned code) {
  switch (code) {
    case kFileNotFound: return "The system cannot find the file specified.";
    case kAccessDenied: return "Access is denied.";
    case kGenFailure: return "A device attached to the system is not functioning.";
    case kInvalidParameter: return "The parameter is incorrect.";
    case kIoPending: return "Overlapped I/O operation is in progress.";
    case kDeviceNotConnected: return "The device is not connected.";
    case kInvalidUserBuffer: return "The supplied user buffer is not valid for the requested operation.";
  }
  return "";
}
// register_winapi_error: "OPERATION: (0xCODE) MESSAGE".
std::wstring winapi_error(const char* operation, unsigned code) {
  char text[160];
  std::snprintf(text, sizeof text, "%s: (0x%08X) %s", operation, code, message_of(code));
  return wide(text);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The device interface path of one top-level collection, as CM_Get_Device_Interface_ListW gives
// it for GUID_DEVINTERFACE_HID: the collection's hardware ids (with &mi_NN for an interface of a
// composite device), its instance id, the class GUID. A device without a serial number gets an
// instance id that Windows derives from where it is plugged in: the same port and the same ids
// give the same path again. The instance id here is made up from the port, scrambled as Windows'
// are, so that devices of the same ids list in an order unrelated to their ports.
std::string interface_path(std::uint16_t vid, std::uint16_t pid, int port, int iface, int interfaces) {
  std::uint32_t hash = 2166136261u;  // FNV-1a of "port.interface"
  for (char c : std::to_string(port) + "." + std::to_string(iface)) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char text[128];
  char mi[16] = "";
  if (interfaces > 1) std::snprintf(mi, sizeof mi, "&mi_%02x", static_cast<unsigned>(iface) & 0xFFu);
  std::snprintf(text, sizeof text, "\\\\?\\hid#vid_%04x&pid_%04x%s#7&%x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                vid, pid, mi, hash);
  return text;
}

class WindowsRules : public Rules {
 public:
  Personality kind() const override { return Personality::Windows; }

  void list(Bus&, std::size_t, Device& d, const Board::Presence& p) override {
    for (int i = 0; i < p.interfaces; ++i) {
      d.paths.push_back(interface_path(p.vendor_id, p.product_id, d.port, i, p.interfaces));
      d.nodes.push_back(-1);
    }
  }
  void unlist(Bus&, Device&) override {}
  // hid_enumerate keeps the order of the interface list, which comes sorted by path.
  std::string sort_key(const Device& d, int iface) const override { return d.paths[static_cast<std::size_t>(iface)]; }
  bool lists_before(const std::string& a, const std::string& b) const override { return lower(a) < lower(b); }
  // hid_internal_get_interface_number: only a composite device's hardware ids carry &MI_.
  int interface_number(int iface, int interfaces) const override { return interfaces > 1 ? iface : -1; }
  // Object names are not case-sensitive.
  bool names(const std::string& path, const std::string& listed) const override { return lower(path) == lower(listed); }
  // hid_open_path: open_device fails; both of its tries report the same.
  void open_missing(Bus& bus, const char*) override { bus.last_error = winapi_error("open_device", kFileNotFound); }
  // hid_open_path: "System devices, such as keyboards and mice, cannot be opened in read-write
  // mode, because the system takes exclusive control over them."
  bool grants_read_write(const Device&, Mode mode, SimTime) const override { return mode != Mode::Unrelated; }
  // ... and then opens the device without read and write access, which the system allows for a
  // device that another program holds too: the handle is given, its reads and writes fail.
  bool open_refused(Bus&, hid_device& h, const char*) override {
    h.no_access = true;
    return true;
  }
  void opened(Bus&, hid_device&) override {}
  void close(Bus&, hid_device&) override {}

  int write(Bus& bus, hid_device& h, Device* d, const unsigned char* data, std::size_t length,
            std::unique_lock<std::mutex>& lock) override {
    if (!data || length == 0) return fail(h, L"Zero buffer/length");
    const auto p = alive(bus, h, d);
    if (p) collect(bus, *d, h);
    // Shorter writes are padded with zeros to the output report length.
    Report report(data, data + length);
    if (report.size() < kReportLength) report.resize(kReportLength, 0);
    unsigned failure = 0;
    if (h.no_access) {
      failure = kAccessDenied;
      if (p && p->mode == Mode::Unrelated) d->board->record_fault("a report written to a device the system holds");
    } else if (!p) {
      failure = kDeviceNotConnected;
    } else if (report.size() != kReportLength) {
      failure = kInvalidUserBuffer;  // the HID class takes exactly OutputReportByteLength bytes
    } else if (report[0] != kReportId) {
      failure = kInvalidParameter;   // a report id the collection does not declare
    } else if (p->mode == Mode::Hung) {
      // The write stays pending; hid_write gives up after its wait and leaves it so.
      record(bus, h.path, true, report.data(), report.size(), false);
      block_for(bus, kWriteWait, lock);
      h.error = winapi_error("hid_write/WaitForSingleObject", kIoPending);
      return -1;
    } else if (d->setup.fail_write || !deliver(bus, *d, h, report.data(), report.size())) {
      record(bus, h.path, true, report.data(), report.size(), false);
      h.error = winapi_error("hid_write/GetOverlappedResult", kGenFailure);
      return -1;
    }
    record(bus, h.path, true, report.data(), report.size(), failure == 0);
    if (failure) {
      h.error = winapi_error("WriteFile", failure);
      return -1;
    }
    h.error = L"Success";
    // The HID class counts the report without its report id: one less than hidapi handed it.
    return static_cast<int>(report.size()) - 1 + d->write_result_offset;
  }

  int read(Bus& bus, hid_device& h, Device* d, unsigned char* data, std::size_t length, int) override {
    if (!data || length == 0) return fail(h, L"Zero buffer/length");
    if (h.no_access) return fail(h, winapi_error("ReadFile", kAccessDenied));
    const auto p = alive(bus, h, d);
    // A read left pending by an earlier call completes with the error; a new ReadFile fails at once.
    const char* operation = h.read_pending ? "hid_read_timeout/GetOverlappedResult" : "ReadFile";
    if (!p || d->setup.fail_read) {
      h.read_pending = false;
      return fail(h, winapi_error(operation, !p ? kDeviceNotConnected : kGenFailure));
    }
    collect(bus, *d, h);
    // The HID class drops an input report shorter than its declared length.
    while (!h.queue.empty() && h.queue.front().size() < kReportLength) h.queue.pop_front();
    if (h.queue.empty()) {
      h.read_pending = true;  // hid_read_timeout returns 0 and leaves its overlapped read running
      return 0;
    }
    h.read_pending = false;
    Report r = std::move(h.queue.front());
    h.queue.pop_front();
    // ReadFile gives InputReportByteLength bytes; hidapi drops a report id 0, which Windows puts
    // before the data of a device without report ids.
    const std::size_t skip = r[0] == 0 ? 1 : 0;
    const std::size_t n = std::min(length, r.size() - skip);
    std::memcpy(data, r.data() + skip, n);
    record(bus, h.path, false, data, n, true);
    h.error = L"Success";
    return static_cast<int>(n);
  }

 private:
  static int fail(hid_device& h, std::wstring error) {
    h.error = std::move(error);
    return -1;
  }
};

}  // namespace

std::unique_ptr<Rules> windows_rules() { return std::make_unique<WindowsRules>(); }

}  // namespace cardsim::bus
