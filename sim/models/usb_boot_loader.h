// TI's MSP430 USB boot loader (in ROM) and the RAM boot loader that the updater loads into it.
// Both list as vendor 0x2047, product 0x0200 and take one BSL core command per 64-byte report.
#pragma once

#include <deque>

#include "board.h"

namespace cardsim {

class UsbBootLoader : public Firmware {
 public:
  explicit UsbBootLoader(Board& board) : Firmware(board) {}
  std::uint16_t vendor_id() const override { return kBslVendorId; }
  std::uint16_t product_id() const override { return kBslProductId; }
  void on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) override;
  std::optional<Report> take_input(int iface, SimTime now) override;
  // Lets a test put a report in the boot loader's IN queue.
  void queue_input(Report report) { outbox_.push_back(std::move(report)); }

 protected:
  std::deque<Report> outbox_;
};

class RamBootLoader : public UsbBootLoader {
 public:
  using UsbBootLoader::UsbBootLoader;
};

}  // namespace cardsim
