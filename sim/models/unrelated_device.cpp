#include "unrelated_device.h"

#include <cstdio>

namespace cardsim {

void UnrelatedDevice::on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime) {
  char text[96];
  std::snprintf(text, sizeof text, "unrelated device %04x:%04x (interface %d) received a %zu-byte report, first byte 0x%02X",
                vendor_id(), product_id(), iface, size, size ? data[0] : 0);
  board_.record_fault(text);
}

}  // namespace cardsim
