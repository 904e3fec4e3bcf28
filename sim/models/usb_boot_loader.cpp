#include "usb_boot_loader.h"

#include <cstdio>

namespace cardsim {

void UsbBootLoader::on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime) {
  if (iface != 0) return;
  std::string hex;
  char byte[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
    hex += byte;
  }
  board_.record_command(hex);
}

std::optional<Report> UsbBootLoader::take_input(int iface, SimTime) {
  if (iface != 0 || outbox_.empty()) return std::nullopt;
  Report r = std::move(outbox_.front());
  outbox_.pop_front();
  return r;
}

}  // namespace cardsim
