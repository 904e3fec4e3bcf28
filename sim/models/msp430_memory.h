// The controller's address space as the boot loaders see it: 1 MB (20-bit MSP430X addresses),
// RAM that takes any write, and flash that can only be programmed from the erased state.
// The map follows an MSP430F552x USB part: peripherals below 0x1000, the boot-loader memory
// 0x1000..0x17FF, information memory 0x1800..0x19FF (segments D, C, B, A of 128 bytes), USB RAM
// 0x1C00..0x23FF, RAM 0x2400..0x43FF and main flash 0x4400..0x243FF in segments of 512 bytes,
// with the interrupt vectors (and the BSL password) at 0xFFE0..0xFFFF and the reset vector at 0xFFFE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, not reflected), as the boot
// loader's CRC CHECK computes it; "123456789" gives 0x29B1.
std::uint16_t crc16_ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0xFFFF);

class Msp430Memory {
 public:
  static constexpr std::uint32_t kSize = 0x100000;
  static constexpr std::uint32_t kInfoStart = 0x1800, kInfoEnd = 0x1A00;
  static constexpr std::uint32_t kInfoAStart = 0x1980;  // segment A, lockable
  static constexpr std::uint32_t kUsbRamStart = 0x1C00;
  static constexpr std::uint32_t kRamStart = 0x2400, kRamEnd = 0x4400;
  static constexpr std::uint32_t kMainFlashStart = 0x4400, kMainFlashEnd = 0x24400;
  static constexpr std::uint32_t kVectorsStart = 0xFFE0;  // 32 bytes, also the BSL password
  static constexpr std::uint32_t kResetVector = 0xFFFE;
  static constexpr std::uint32_t kMainSegmentSize = 512, kInfoSegmentSize = 128;

  Msp430Memory();

  std::uint8_t read(std::uint32_t address) const { return bytes_[address % kSize]; }
  std::uint16_t read_word(std::uint32_t address) const {
    return static_cast<std::uint16_t>(read(address) | (read(address + 1) << 8));
  }
  // Writes one byte as the controller would. Returns false and leaves a description in
  // `fault` when the write is not something the hardware does cleanly.
  bool write(std::uint32_t address, std::uint8_t value, std::string* fault = nullptr);
  void mass_erase_main_flash();
  // Erases the flash segment that holds `address`; false (and nothing erased) when it is not flash.
  bool erase_segment(std::uint32_t address);
  void load_raw(std::uint32_t address, const std::vector<std::uint8_t>& data);  // set up a board
  std::uint16_t crc16(std::uint32_t address, std::uint32_t length) const;
  // A weak flash cell: the bits of `mask` at `address` stay 1 whatever is programmed there.
  void set_weak(std::uint32_t address, std::uint8_t mask) {
    weak_address_ = address % kSize;
    weak_mask_ = mask;
  }

  static bool is_main_flash(std::uint32_t a) { return a >= kMainFlashStart && a < kMainFlashEnd; }
  static bool is_flash(std::uint32_t a) { return is_main_flash(a) || (a >= kInfoStart && a < kInfoEnd); }
  static bool is_ram(std::uint32_t a) { return a >= kUsbRamStart && a < kRamEnd; }
  // True when the reset vector holds no address (0xFFFF): the controller then starts its boot loader.
  bool reset_vector_erased() const { return read_word(kResetVector) == 0xFFFF; }

  // The whole address space, for byte-for-byte comparisons.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint32_t weak_address_ = 0;
  std::uint8_t weak_mask_ = 0;
};

}  // namespace cardsim
