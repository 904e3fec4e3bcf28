#include "board.h"

#include "card_controller.h"
#include "usb_boot_loader.h"

namespace cardsim {

Board::Board(BoardSettings settings)
    : settings_(std::move(settings)), app_version_(settings_.fw_version), mode_(settings_.start_mode) {
  for (std::size_t i = 0; i < settings_.serial.size() && 0x12C + i < storage_.size(); ++i)
    storage_[0x12C + i] = static_cast<std::uint8_t>(settings_.serial[i]);
  firmware_ = make_firmware(mode_);
}

Board::~Board() = default;

std::unique_ptr<Firmware> Board::make_firmware(Mode mode) {
  switch (mode) {
    case Mode::Application: return std::make_unique<CardController>(*this);
    case Mode::UsbBootLoader: return std::make_unique<UsbBootLoader>(*this);
    case Mode::RamBootLoader: return std::make_unique<RamBootLoader>(*this);
    case Mode::Off:
    case Mode::Hung: break;
  }
  return nullptr;
}

void Board::restart(Mode next, SimTime now, SimTime delay) {
  mode_ = Mode::Off;
  firmware_.reset();
  ++incarnation_;
  pending_ = std::make_pair(now + delay, next);
  settle(now);
}

void Board::settle(SimTime now) {
  if (!pending_ || now < pending_->first) return;
  mode_ = pending_->second;
  pending_.reset();
  ++incarnation_;
  firmware_ = make_firmware(mode_);
}

std::optional<Board::Presence> Board::presence(SimTime now) {
  settle(now);
  if (!firmware_) return std::nullopt;
  return Presence{firmware_->vendor_id(), firmware_->product_id(), firmware_->interfaces(), incarnation_, mode_};
}

Board::Io Board::open(std::uint64_t incarnation, int iface, SimTime now) {
  settle(now);
  if (!firmware_ || incarnation != incarnation_) return Io::Gone;
  firmware_->on_open(iface, now);
  return Io::Ok;
}

Board::Io Board::write(std::uint64_t incarnation, int iface, const std::uint8_t* data, std::size_t size, SimTime now) {
  settle(now);
  if (!firmware_ || incarnation != incarnation_) return Io::Gone;
  firmware_->on_report(iface, data, size, now);
  return Io::Ok;
}

Board::Io Board::read(std::uint64_t incarnation, int iface, SimTime now, Report& out) {
  settle(now);
  if (!firmware_ || incarnation != incarnation_) return Io::Gone;
  std::optional<Report> r = firmware_->take_input(iface, now);
  if (!r) return Io::Nothing;
  out = std::move(*r);
  return Io::Ok;
}

}  // namespace cardsim
