#include "flash_image.h"

#include <algorithm>
#include <unordered_map>

namespace cardflash {

namespace {

// Address -> byte as the flash holds it once every segment has been written in order.
std::unordered_map<std::uint32_t, std::uint8_t> FlashContents(const FirmwareImage& image) {
  std::unordered_map<std::uint32_t, std::uint8_t> contents;
  for (const ImageSegment& segment : image)
    for (std::int32_t i = 0; i < segment.byte_count; ++i)
      contents[(segment.start_address + static_cast<std::uint32_t>(i)) & 0xFFFFFFu] =
          segment.bytes[static_cast<std::size_t>(i)];
  return contents;
}

}  // namespace

std::uint16_t Crc16Ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc) {
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::string ImageProblem(const FirmwareImage& image) {
  const auto contents = FlashContents(image);
  if (contents.empty()) return "the image holds no data byte";
  const auto low = contents.find(kResetVectorAddress), high = contents.find(kResetVectorAddress + 1);
  if (low == contents.end() || high == contents.end()) return "the image has no reset vector at 0xFFFE";
  if (low->second == 0xFF && high->second == 0xFF) return "the image's reset vector at 0xFFFE is erased (0xFFFF)";
  return {};
}

std::vector<VerifyRange> VerifyRanges(const FirmwareImage& image) {
  constexpr std::int32_t kLargestRange = 0xFFFF;
  const auto contents = FlashContents(image);
  std::vector<VerifyRange> ranges;
  for (const ImageSegment& segment : image) {
    for (std::int32_t offset = 0; offset < segment.byte_count; offset += kLargestRange) {
      const std::int32_t length = std::min(kLargestRange, segment.byte_count - offset);
      const std::uint32_t address = segment.start_address + static_cast<std::uint32_t>(offset);
      std::uint16_t crc = 0xFFFF;
      for (std::int32_t i = 0; i < length; ++i) {
        const std::uint8_t byte = contents.at((address + static_cast<std::uint32_t>(i)) & 0xFFFFFFu);
        crc = Crc16Ccitt(&byte, 1, crc);
      }
      ranges.push_back({address, static_cast<std::uint16_t>(length), crc});
    }
  }
  return ranges;
}

}  // namespace cardflash
