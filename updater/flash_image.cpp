#include "flash_image.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <unordered_map>

namespace cardflash {

namespace {

using Contents = std::unordered_map<std::uint32_t, std::uint8_t>;

// Address -> byte as the memory holds it once every segment has been written in order; the first
// address that two segments give different bytes, if any.
Contents MemoryContents(const FirmwareImage& image, std::optional<std::uint32_t>* conflict = nullptr) {
  Contents contents;
  for (const ImageSegment& segment : image)
    for (std::int32_t i = 0; i < segment.byte_count; ++i) {
      const std::uint32_t address = (segment.start_address + static_cast<std::uint32_t>(i)) & 0xFFFFFFu;
      const std::uint8_t byte = segment.bytes[static_cast<std::size_t>(i)];
      const auto [at, added] = contents.emplace(address, byte);
      if (!added && at->second != byte && conflict && !*conflict) *conflict = address;
      at->second = byte;
    }
  return contents;
}

std::string Hex5(const char* format, std::uint32_t address) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(address));
  return text;
}

// The lowest address of `contents` outside every range, if any.
std::optional<std::uint32_t> Outside(const Contents& contents, std::initializer_list<MemoryRange> ranges) {
  std::optional<std::uint32_t> lowest;
  for (const auto& [address, byte] : contents) {
    const bool inside = std::any_of(ranges.begin(), ranges.end(),
                                    [a = address](const MemoryRange& r) { return a >= r.first && a <= r.last; });
    if (!inside && (!lowest || address < *lowest)) lowest = address;
  }
  return lowest;
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
  std::optional<std::uint32_t> conflict;
  const auto contents = MemoryContents(image, &conflict);
  if (contents.empty()) return "the image holds no data byte";
  if (conflict) return Hex5("segments overlap at 0x%05X with different bytes", *conflict);
  if (auto outside = Outside(contents, {kInfoMemory, kMainFlash}))
    return Hex5("the image puts data at 0x%05X, outside the controller's flash (information memory "
                "0x1800-0x19FF, main flash 0x4400-0x243FF)",
                *outside);
  const auto low = contents.find(kResetVectorAddress), high = contents.find(kResetVectorAddress + 1);
  if (low == contents.end() || high == contents.end()) return "the image has no reset vector at 0xFFFE";
  if (low->second == 0xFF && high->second == 0xFF) return "the image's reset vector at 0xFFFE is erased (0xFFFF)";
  return {};
}

std::string RamBslImageProblem(const FirmwareImage& image) {
  std::optional<std::uint32_t> conflict;
  const auto contents = MemoryContents(image, &conflict);
  if (conflict) return Hex5("not a RAM boot loader: segments overlap at 0x%05X with different bytes", *conflict);
  if (auto outside = Outside(contents, {kRam}))
    return Hex5("not a RAM boot loader: data at 0x%05X lies outside RAM 0x1C00-0x43FF", *outside);
  if (!contents.count(kRamBslStart)) return "not a RAM boot loader: nothing at its entry point 0x2504";
  return {};
}

std::vector<VerifyRange> VerifyRanges(const FirmwareImage& image) {
  constexpr std::int32_t kLargestRange = 0xFFFF;
  const auto contents = MemoryContents(image);
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
