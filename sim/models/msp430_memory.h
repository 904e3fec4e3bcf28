// The controller's address space as the boot loaders see it: 1 MB (20-bit MSP430X addresses),
// RAM that takes any write, and flash that can only be programmed from the erased state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

class Msp430Memory {
 public:
  static constexpr std::uint32_t kSize = 0x100000;
  static constexpr std::uint32_t kInfoStart = 0x1800, kInfoEnd = 0x1A00;
  static constexpr std::uint32_t kUsbRamStart = 0x1C00;
  static constexpr std::uint32_t kRamStart = 0x2400, kRamEnd = 0x4400;
  static constexpr std::uint32_t kMainFlashStart = 0x4400, kMainFlashEnd = 0x24400;
  static constexpr std::uint32_t kVectorsStart = 0xFFE0;  // 32 bytes, also the BSL password

  Msp430Memory();

  std::uint8_t read(std::uint32_t address) const { return bytes_[address % kSize]; }
  // Writes one byte as the controller would. Returns false and leaves a description in
  // `fault` when the write is not something the hardware does cleanly.
  bool write(std::uint32_t address, std::uint8_t value, std::string* fault = nullptr);
  void mass_erase_main_flash();
  void load_raw(std::uint32_t address, const std::vector<std::uint8_t>& data);  // set up a board

  static bool is_main_flash(std::uint32_t a) { return a >= kMainFlashStart && a < kMainFlashEnd; }
  static bool is_flash(std::uint32_t a) { return is_main_flash(a) || (a >= kInfoStart && a < kInfoEnd); }
  static bool is_ram(std::uint32_t a) { return a >= kUsbRamStart && a < kRamEnd; }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace cardsim
