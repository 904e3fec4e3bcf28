#include "boot_loader.h"

#include <hidapi.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "card_context.h"
#include "card_protocol.h"
#include "hidapi_global.h"
#include "lib_trace.h"
#include "library_channel.h"

namespace cardlink {

bool switch_card_to_isp(CardContext& context, int row) {
  const CardEntry* entry = row_at(context, row);
  if (!entry) return false;
  LibTrace("open %s\n", entry->path);
  CardSession card = open_recorded_card(*entry, &context.last_failure);
  if (!card.is_open()) {
    print_board_access_error(entry->card_id);
    return false;
  }
  int result = mcu_write_command(kLibraryChannel, card.device(), MCU_CMD_SWITCH_TO_ISP, nullptr);
  close_card(card);
  if (result < 0) context.last_failure = make_failure(FailureKind::Io, "the switch command could not be written");
  return result >= 0;
}

bool find_boot_loader(CardContext& context, const char* port) {
  hid_device_info* devices = list_hid_devices(BSL_VENDOR_ID, BSL_PRODUCT_ID);
  CardEntry found = {};
  bool recorded = false;
  for (hid_device_info* d = devices; d && !recorded; d = d->next) {
    LibTrace("Device Found\n  type: %04hx %04hx\n  path: %s\n", d->vendor_id, d->product_id,
             d->path ? d->path : "");
    // A path that does not fit is skipped, never cut.
    if (!store_path(found, d->path)) continue;
    (void)usb_port_of(found.path, found.port);
    // Every card's boot loader lists the same ids: only its port tells whose it is.
    if (port && !same_port(found.port, port)) continue;
    found.vendor_id = d->vendor_id;
    found.product_id = d->product_id;
    recorded = true;
  }
  if (!recorded) found = {};
  hid_free_enumeration(devices);
  // A fresh search decides: when it finds nothing, the earlier device is forgotten so that a
  // connect does not try a path that is no longer listed. An open connection is not touched.
  context.boot_device = found;
  if (recorded) ++context.boot_count;
  return recorded;
}

int count_boot_loaders() { return list_boot_loaders(nullptr, 0); }

int list_boot_loaders(char (*ports)[kPortFieldSize], int capacity) {
  hid_device_info* devices = list_hid_devices(BSL_VENDOR_ID, BSL_PRODUCT_ID);
  int count = 0;
  // hidapi lists a device once per top-level collection of its report descriptor (a keyboard with
  // a consumer-control collection, say), each time with the same path: one device, one entry.
  std::vector<std::string> paths;
  for (hid_device_info* d = devices; d; d = d->next) {
    const std::string path = d->path ? d->path : "";
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) continue;
    paths.push_back(path);
    const int at = count++;
    if (!ports || at >= capacity) continue;
    if (!usb_port_of(d->path, ports[at])) ports[at][0] = '\0';
  }
  hid_free_enumeration(devices);
  return count;
}

bool connect_boot_loader(CardContext& context) {
  if (context.bsl_device) return false;
  if (context.boot_device.path[0] == '\0') return false;  // nothing recorded
  // Gone, or its node belongs to another device now; a new node may need a moment to open.
  hid_device* device = open_listed(context.boot_device, nullptr);
  if (!device) return false;
  // Reads on this connection never wait. No priming read: the boot loader does not speak the
  // card command protocol.
  if (hid_set_nonblocking(device, 1) != 0) {
    hid_close(device);
    return false;
  }
  context.bsl_device = device;
  LibTrace("open %s\n", context.boot_device.path);
  return true;
}

// hidapi gives the count of the system below it. Linux's hidraw counts the bytes handed to it.
// Windows' HID class counts a report without its report id, after hidapi has padded the report to
// the collection's output length: 63 for any of ours (hidclass's WriteFile, as wine's conformance
// tests record it on Windows, and wine's hidclass). Either count is the whole report.
int write_boot_loader(CardContext& context, const unsigned char* data, int length) {
  if (!context.bsl_device || !data || length < 1 || length > kReportSize) return -1;
  int written = hid_write(context.bsl_device, data, static_cast<std::size_t>(length));
  if (written < 0) return -1;
  return written == length || (data[0] != 0 && written == kReportSize - 1) ? length : written;
}

bool read_boot_loader(CardContext& context, unsigned char* buffer, int length, int* count) {
  if (!context.bsl_device || !buffer || !count || length < 1) return false;
  int received = hid_read(context.bsl_device, buffer, static_cast<std::size_t>(length));
  if (received < 0) return false;
  *count = received;
  return true;
}

void close_boot_loader(CardContext& context) {
  if (!context.bsl_device) return;
  hid_close(context.bsl_device);
  context.bsl_device = nullptr;
}

}  // namespace cardlink
