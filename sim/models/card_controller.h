// The card's application firmware: answers the ASCII command texts carried in 64-byte reports.
#pragma once

#include "board.h"

namespace cardsim {

class CardController : public Firmware {
 public:
  explicit CardController(Board& board) : Firmware(board) {}

  std::uint16_t vendor_id() const override { return kCardVendorId; }
  std::uint16_t product_id() const override { return board_.settings().usb_product_id; }
  int interfaces() const override { return board_.settings().interfaces; }
  void on_open(int iface, SimTime now) override;
  void on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) override;
  std::optional<Report> take_input(int iface, SimTime now) override;

 private:
  void handle(const std::string& text, SimTime now);
  void reply(const std::string& text, const std::string& data, SimTime now);

  // The firmware keeps one IN report buffer: while a report waits there uncollected, a new
  // reply is dropped (the send finds the endpoint busy). A reply left over from an earlier
  // conversation therefore answers the next request; the priming read takes it away.
  std::optional<Report> pending_;
  SimTime ready_at_{};
  std::uint16_t read_address_ = 0;
  std::uint8_t read_count_ = 32;
};

}  // namespace cardsim
