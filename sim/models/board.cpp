#include "board.h"

#include <algorithm>

#include "card_controller.h"
#include "unrelated_device.h"
#include "usb_boot_loader.h"

namespace cardsim {

Board::Board(BoardSettings settings)
    : settings_(std::move(settings)),
      app_version_(settings_.fw_version),
      mode_(settings_.start_mode),
      unlock_refusal_pending_(settings_.refuse_unlock_once),
      drop_pending_(settings_.drop_write_at.has_value()),
      replug_pending_(settings_.replug_at > SimTime::zero()) {
  for (std::size_t i = 0; i < settings_.serial.size() && 0x12C + i < storage_.size(); ++i)
    storage_[0x12C + i] = static_cast<std::uint8_t>(settings_.serial[i]);
  install_factory_firmware();
  if (settings_.flash_erased) memory_.mass_erase_main_flash();
  if (settings_.weak_bits) memory_.set_weak(settings_.weak_cell, settings_.weak_bits);
  // A RAM boot loader that still runs after a failed update: its image is in RAM.
  if (settings_.start_mode == Mode::RamBootLoader) load_ram_bsl_stand_in(memory_);
  if (settings_.plugged_at > SimTime::zero()) {
    mode_ = Mode::Off;
    pending_ = std::make_pair(settings_.plugged_at, settings_.start_mode);
    return;
  }
  firmware_ = make_firmware(mode_);
}

Board::~Board() = default;

namespace {

std::vector<std::uint8_t> version_bytes(const std::string& version) {
  std::vector<std::uint8_t> out(4, ' ');
  for (std::size_t i = 0; i < out.size() && i < version.size(); ++i) out[i] = static_cast<std::uint8_t>(version[i]);
  return out;
}

}  // namespace

// A stand-in for the firmware a card leaves the factory with (made up for the simulator): the
// version, a few instructions from the entry point 0x4404, an interrupt stub at 0x4480 and the
// vector table 0xFF80..0xFFFF.
void Board::install_factory_firmware() {
  memory_.load_raw(kFirmwareVersionAddress, version_bytes(settings_.fw_version));
  const std::vector<std::uint8_t> code = {
      0x31, 0x40, 0x00, 0x44,              // mov #0x4400, SP
      0xB2, 0x40, 0x80, 0x5A, 0x5C, 0x01,  // mov #0x5A80, &WDTCTL
      0xB0, 0x12, 0x80, 0x44,              // call #0x4480
      0xFF, 0x3F};                         // jmp $
  memory_.load_raw(kFirmwareVersionAddress + 4, code);
  const std::string text = "CARDSIM FACTORY FIRMWARE " + settings_.fw_version;
  memory_.load_raw(kFirmwareVersionAddress + 4 + static_cast<std::uint32_t>(code.size()),
                   std::vector<std::uint8_t>(text.begin(), text.end()));
  memory_.load_raw(0x4480, {0x00, 0x13});  // reti
  std::vector<std::uint8_t> vectors;
  for (std::uint32_t a = 0xFF80; a < 0x10000; a += 2) {
    std::uint16_t target = a == Msp430Memory::kResetVector ? 0x4404 : 0x4480;
    vectors.push_back(static_cast<std::uint8_t>(target & 0xFF));
    vectors.push_back(static_cast<std::uint8_t>(target >> 8));
  }
  memory_.load_raw(0xFF80, vectors);
}

std::unique_ptr<Firmware> Board::make_firmware(Mode mode) {
  switch (mode) {
    case Mode::Application: return std::make_unique<CardController>(*this);
    case Mode::UsbBootLoader:
    // A controller that hangs has run into nothing from its boot loader's LOAD PC: the host still
    // sees the boot loader's enumeration.
    case Mode::Hung: return std::make_unique<UsbBootLoader>(*this);
    case Mode::RamBootLoader: return std::make_unique<RamBootLoader>(*this);
    case Mode::Unrelated: return std::make_unique<UnrelatedDevice>(*this);
    case Mode::Off: break;
  }
  return nullptr;
}

void Board::restart(Mode next, SimTime now, SimTime delay) {
  mode_ = Mode::Off;
  // Usually called from inside the running firmware's own on_report: keep it alive until then.
  if (firmware_) retired_.push_back(std::move(firmware_));
  ++incarnation_;
  pending_ = std::make_pair(listed_after(now, delay), next);
  settle(now);
}

// The delay already holds one enumeration: its last min(enumeration_time, delay) is the time at
// address 0. A board alone on its bus is listed after exactly `delay`; one whose hold would
// overlap another board's on the same bus waits for the first free stretch.
SimTime Board::listed_after(SimTime now, SimTime delay) {
  if (!settings_.address_zero) return now + delay;
  const SimTime hold = std::min(settings_.enumeration_time, delay);
  return settings_.address_zero->reserve(now + delay - hold, hold) + hold;
}

void Board::reset_controller(SimTime now) {
  if (settings_.stays_off_after_reset) {
    pull_out();
    return;
  }
  restart(memory_.reset_vector_erased() ? Mode::UsbBootLoader : Mode::Application, now, settings_.restart_delay);
}

void Board::crash(std::string fault) {
  record_fault(std::move(fault));
  pull_out();
}

void Board::pull_out() {
  mode_ = Mode::Off;
  // Usually called from inside the running firmware's own on_report: keep it alive until then.
  if (firmware_) retired_.push_back(std::move(firmware_));
  ++incarnation_;
  pending_.reset();
}

void Board::hang(std::string fault) {
  record_fault(std::move(fault));
  pending_.reset();
  mode_ = Mode::Hung;  // the firmware object stays for what the device lists; it gets no report any more
}

std::optional<bool> Board::boot_loader_locked() const {
  if (mode_ != Mode::UsbBootLoader && mode_ != Mode::RamBootLoader) return std::nullopt;
  const auto* bsl = dynamic_cast<const UsbBootLoader*>(firmware_.get());
  if (!bsl) return std::nullopt;
  return bsl->locked();
}

bool Board::take_dropped_write(std::uint32_t address, std::size_t size) {
  if (!drop_pending_ || *settings_.drop_write_at < address || *settings_.drop_write_at >= address + size) return false;
  drop_pending_ = false;
  return true;
}

std::string Board::version_in_flash() const {
  std::string v;
  for (std::uint32_t i = 0; i < 4; ++i) v.push_back(static_cast<char>(memory_.read(kFirmwareVersionAddress + i)));
  return v;
}

void Board::set_application_version(std::string v) {
  memory_.load_raw(kFirmwareVersionAddress, version_bytes(v));
  app_version_ = std::move(v);
}

void Board::begin_call(SimTime now) {
  retired_.clear();  // no firmware call is running while the bus asks the board something
  settle(now);
}

void Board::settle(SimTime now) {
  for (;;) {
    const bool change_due = pending_ && now >= pending_->first;
    const bool replug_due = replug_pending_ && now >= settings_.replug_at;
    if (replug_due && (!change_due || settings_.replug_at < pending_->first)) {
      // Pulled out and plugged in again: what ran comes back as it was, on a new enumeration. A
      // board that is off the bus then (restarting) is not there to pull.
      replug_pending_ = false;
      if (mode_ == Mode::Off) continue;
      const Mode back = mode_;
      mode_ = Mode::Off;
      if (firmware_) retired_.push_back(std::move(firmware_));
      ++incarnation_;
      pending_ = std::make_pair(listed_after(settings_.replug_at, settings_.restart_delay), back);
      continue;
    }
    if (!change_due) return;
    mode_ = pending_->second;
    pending_.reset();
    ++incarnation_;
    if (mode_ == Mode::Application) app_version_ = version_in_flash();
    firmware_ = make_firmware(mode_);
  }
}

std::optional<Board::Presence> Board::presence(SimTime now) {
  begin_call(now);
  if (!firmware_) return std::nullopt;
  return Presence{firmware_->vendor_id(), firmware_->product_id(), firmware_->interfaces(), incarnation_, mode_};
}

Board::Io Board::open(std::uint64_t incarnation, int iface, SimTime now) {
  begin_call(now);
  if (!firmware_ || incarnation != incarnation_) return Io::Gone;
  if (mode_ != Mode::Hung) firmware_->on_open(iface, now);
  return Io::Ok;
}

Board::Io Board::write(std::uint64_t incarnation, int iface, const std::uint8_t* data, std::size_t size, SimTime now) {
  begin_call(now);
  if (!firmware_ || incarnation != incarnation_) return Io::Gone;
  if (mode_ != Mode::Hung) firmware_->on_report(iface, data, size, now);
  return Io::Ok;
}

Board::Io Board::read(std::uint64_t incarnation, int iface, SimTime now, Report& out) {
  begin_call(now);
  if (!firmware_ || incarnation != incarnation_) return Io::Gone;
  if (mode_ == Mode::Hung) return Io::Nothing;
  std::optional<Report> r = firmware_->take_input(iface, now);
  if (!r) return Io::Nothing;
  out = std::move(*r);
  return Io::Ok;
}

}  // namespace cardsim
