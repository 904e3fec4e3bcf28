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
// Where LOAD PC starts the RAM boot loader: its code follows its four version bytes at 0x2500.
constexpr std::uint32_t kRamBslStart = 0x2504;

// The controller's memory as an update writes it (an MSP430F552x USB part): the firmware goes
// into information memory and main flash, the RAM boot loader into RAM (USB RAM included).
struct MemoryRange {
  std::uint32_t first, last;
};
constexpr MemoryRange kInfoMemory{0x1800, 0x19FF};
constexpr MemoryRange kMainFlash{0x4400, 0x243FF};
constexpr MemoryRange kRam{0x1C00, 0x43FF};

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, not reflected), the CRC of the
// boot loader's CRC CHECK: "123456789" gives 0x29B1.
std::uint16_t Crc16Ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0xFFFF);

// Why the image must not be flashed, or "" when it may: it holds no data byte; two of its segments
// give one address different bytes; it puts data outside the flash (the boot loader would write a
// peripheral or RAM); or its reset vector (0xFFFE..0xFFFF) is missing or erased, so that the
// controller could never start it. Erasing the card for it would only lose the firmware it has.
std::string ImageProblem(const FirmwareImage& image);
// Why the image cannot be the RAM boot loader, or "": its data must lie in RAM and hold the entry
// point that LOAD PC starts; firmware named in its place would be written over the running boot
// loader after the erase.
std::string RamBslImageProblem(const FirmwareImage& image);

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
