// The virtual bus's CARDSIM_DEVICES parser on arbitrary text, and the bus it describes: a text
// that parses is loaded into the bus, whose devices are then listed, opened and read as a
// program linked to the drop-in hidapi would do.
#include <hidapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "virtual_bus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto parsed = cardsim::parse_bus_setup(text, &error);
  if (!parsed) {
    if (error.empty()) {
      std::fprintf(stderr, "refused without a reason\n");
      std::abort();
    }
    return 0;
  }
  // Building boards is the costly part; a few are enough to reach every path.
  if (parsed->devices.size() > 8) return 0;

  cardsim::bus::reset();
  if (!cardsim::bus::configure(text, &error)) std::abort();  // parsed once, must parse again
  if (hid_init() != 0) return 0;
  hid_device_info* devices = hid_enumerate(0, 0);
  for (hid_device_info* d = devices; d; d = d->next) {
    hid_device* handle = hid_open_path(d->path);
    if (!handle) continue;
    hid_set_nonblocking(handle, 1);
    unsigned char report[64] = {0x3F, 10, 'a', '1', '0', '0', '0', '1', '0', '0', '0', '8'};
    hid_write(handle, report, sizeof report);
    (void)hid_read(handle, report, sizeof report);
    hid_close(handle);
  }
  hid_free_enumeration(devices);
  return 0;
}
