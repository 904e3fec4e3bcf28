// The flash as a firmware image leaves it: the checks made before the card is touched, and the
// ranges and CRCs against which the written flash is verified. Segments may overlap; where they
// do, the flash holds the byte of the later segment, as the download writes them in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "titxt_reader.h"

namespace cardflash {

constexpr std::uint32_t kResetVectorAddress = 0xFFFE;

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, not reflected), the CRC of the
// boot loader's CRC CHECK: "123456789" gives 0x29B1.
std::uint16_t Crc16Ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0xFFFF);

// Why the image must not be flashed, or "" when it may: it holds no data byte, or its reset vector
// (0xFFFE..0xFFFF) is missing or erased, so that the controller could never start it and erasing
// the card for it would only lose the firmware the card has.
std::string ImageProblem(const FirmwareImage& image);

// One CRC CHECK: a range of at most 0xFFFF bytes (what the command's length can name) and the
// CRC of the bytes the flash holds there after the download.
struct VerifyRange {
  std::uint32_t address;
  std::uint16_t length;
  std::uint16_t crc;
};
// Every segment, in image order, cut into ranges CRC CHECK can name.
std::vector<VerifyRange> VerifyRanges(const FirmwareImage& image);

}  // namespace cardflash
