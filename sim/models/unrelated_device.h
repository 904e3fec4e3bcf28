// Another HID device on the same bus, neither a card nor a boot loader: what a server's BMC lists
// as its virtual keyboard and mouse, or what someone plugs in during an update. The host software
// must never write to it; every report that reaches it is recorded as a fault.
#pragma once

#include "board.h"

namespace cardsim {

class UnrelatedDevice : public Firmware {
 public:
  explicit UnrelatedDevice(Board& board) : Firmware(board) {}
  std::uint16_t vendor_id() const override { return board_.settings().unrelated_vendor_id; }
  std::uint16_t product_id() const override { return board_.settings().unrelated_product_id; }
  void on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) override;
  std::optional<Report> take_input(int, SimTime) override { return std::nullopt; }
};

}  // namespace cardsim
