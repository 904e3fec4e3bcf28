#include "boot_loader.h"

#include <hidapi.h>

#include <cstddef>

#include "card_context.h"
#include "card_protocol.h"
#include "lib_trace.h"
#include "library_channel.h"

namespace cardlink {

bool switch_first_card_to_isp(CardContext& context) {
  if (context.card_count == 0) return false;
  const CardEntry& first = context.cards[0];
  LibTrace("open %s\n", first.path);
  CardSession card = open_recorded_card(first, &context.last_failure);
  if (!card.is_open()) {
    print_board_access_error(first.card_id);
    return false;
  }
  int result = mcu_write_command(kLibraryChannel, card.device(), MCU_CMD_SWITCH_TO_ISP, nullptr);
  close_card(card);
  if (result < 0) context.last_failure = make_failure(FailureKind::Io, "the switch command could not be written");
  return result >= 0;
}

bool find_boot_loader(CardContext& context) {
  hid_device_info* devices = hid_enumerate(BSL_VENDOR_ID, BSL_PRODUCT_ID);
  CardEntry found = {};
  bool recorded = false;
  for (hid_device_info* d = devices; d && !recorded; d = d->next) {
    LibTrace("Device Found\n  type: %04hx %04hx\n  path: %s\n", d->vendor_id, d->product_id,
             d->path ? d->path : "");
    // A path that does not fit is skipped, never cut.
    if (!store_path(found, d->path)) continue;
    found.vendor_id = d->vendor_id;
    found.product_id = d->product_id;
    recorded = true;
  }
  hid_free_enumeration(devices);
  // A fresh search decides: when it finds nothing, the earlier device is forgotten so that a
  // connect does not try a path that is no longer listed. An open connection is not touched.
  context.boot_device = found;
  if (recorded) ++context.boot_count;
  return recorded;
}

int count_boot_loaders() {
  hid_device_info* devices = hid_enumerate(BSL_VENDOR_ID, BSL_PRODUCT_ID);
  int count = 0;
  for (hid_device_info* d = devices; d; d = d->next) ++count;
  hid_free_enumeration(devices);
  return count;
}

bool connect_boot_loader(CardContext& context) {
  if (context.bsl_device) return false;
  if (context.boot_device.path[0] == '\0') return false;  // nothing recorded
  if (!still_listed(context.boot_device)) return false;   // gone, or its node belongs to another device now
  hid_device* device = hid_open_path(context.boot_device.path);
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
