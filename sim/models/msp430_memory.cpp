#include "msp430_memory.h"

#include <cstdio>

namespace cardsim {

std::uint16_t crc16_ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc) {
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

Msp430Memory::Msp430Memory() : bytes_(kSize, 0x00) {
  for (std::uint32_t a = 0; a < kSize; ++a)
    if (is_flash(a)) bytes_[a] = 0xFF;
}

bool Msp430Memory::write(std::uint32_t address, std::uint8_t value, std::string* fault) {
  address %= kSize;
  if (is_flash(address)) {
    std::uint8_t& cell = bytes_[address];
    // Flash bits only go from 1 to 0; a second programming of a byte mixes old and new.
    if (cell != 0xFF) {
      if (fault) {
        char text[96];
        std::snprintf(text, sizeof text, "flash 0x%05X programmed twice (0x%02X then 0x%02X)",
                      static_cast<unsigned>(address), cell, value);
        *fault = text;
      }
      cell &= value;
      return false;
    }
    cell = address == weak_address_ ? static_cast<std::uint8_t>(value | weak_mask_) : value;
    return true;
  }
  if (is_ram(address) || address < kUsbRamStart) {
    bytes_[address] = value;
    return true;
  }
  if (fault) {
    char text[64];
    std::snprintf(text, sizeof text, "write to unmapped address 0x%05X", static_cast<unsigned>(address));
    *fault = text;
  }
  return false;
}

void Msp430Memory::mass_erase_main_flash() {
  for (std::uint32_t a = kMainFlashStart; a < kMainFlashEnd; ++a) bytes_[a] = 0xFF;
}

bool Msp430Memory::erase_segment(std::uint32_t address) {
  address %= kSize;
  if (!is_flash(address)) return false;
  std::uint32_t size = is_main_flash(address) ? kMainSegmentSize : kInfoSegmentSize;
  std::uint32_t start = address - (address - (is_main_flash(address) ? kMainFlashStart : kInfoStart)) % size;
  for (std::uint32_t a = start; a < start + size; ++a) bytes_[a] = 0xFF;
  return true;
}

std::uint16_t Msp430Memory::crc16(std::uint32_t address, std::uint32_t length) const {
  std::uint16_t crc = 0xFFFF;
  for (std::uint32_t i = 0; i < length; ++i) {
    std::uint8_t b = read(address + i);
    crc = crc16_ccitt(&b, 1, crc);
  }
  return crc;
}

void Msp430Memory::load_raw(std::uint32_t address, const std::vector<std::uint8_t>& data) {
  for (std::size_t i = 0; i < data.size(); ++i) bytes_[(address + i) % kSize] = data[i];
}

}  // namespace cardsim
