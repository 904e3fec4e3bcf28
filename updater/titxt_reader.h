// TI-TXT firmware image reader: FirmwareImage, ImageSegment, ReadTiTxtImage, ParseHexText.
//
// A file is "@ADDR" address lines, data lines of hexadecimal byte fields and an end line "q". The reader
// never drops, shifts, cuts or invents a byte: whatever it cannot read exactly refuses the whole file, so
// a damaged file is never flashed.
//
//   * Lines end at LF; one CR just before it (or before the end of the file) is ignored. Leading and trailing
//     blanks and tabs are ignored, and fields are separated by runs of blanks or tabs. A line with nothing
//     else is blank and carries no byte, wherever it is; every other line is meaningful.
//   * An address line is "@" and 4, 5 or 6 hexadecimal digits (either case) and nothing else, giving the full
//     address (@010000 and @10000 are 0x10000): addresses are 0x000000 to 0xFFFFFF. Any other line that
//     begins with "@" refuses the file.
//   * A data field is one or two hexadecimal digits (either case); any other field refuses the file.
//   * An end line is a line whose first character is "q"; the rest of it is ignored. It emits the pending
//     segment, padded with one 0xFF to an even length, but keeps it pending: lines after an end line read on
//     from there, and a later address or end line emits those bytes again.
//   * An address line emits the pending segment (if any) at its exact length and starts a new one. Segments
//     are never sorted or merged; overlaps are kept.
//   * The first meaningful line must be an address line. The last meaningful line must be an end line: a
//     file without one (an empty file too) is refused, because a truncated download must never be flashed.
//   * The reader prints nothing. A refusal is returned as "line <n>: <reason>" (n counted from 1; for a
//     missing end line, the line after the last), a file that cannot be opened or read as the system's
//     reason ("No such file or directory", "Is a directory"). Neither names the path: the caller does.
//   * On every false result the caller's image is left exactly as it was: the file is read into a local image
//     that replaces the caller's only when the whole file was accepted (the old segments are then released).
//
// The reader is reentrant and keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cardflash {

struct ImageSegment {
  std::uint32_t start_address = 0;   // address of the first byte in the controller's memory
  std::int32_t byte_count = 0;       // never negative; may be 0
  std::vector<std::uint8_t> bytes;   // exactly byte_count bytes, owned by the segment
};

// An ordered list of segments, in the order the reader emitted them: never sorted or merged, overlaps allowed.
class FirmwareImage {
 public:
  std::size_t segment_count() const { return segments_.size(); }
  bool empty() const { return segments_.empty(); }
  const ImageSegment& segment(std::size_t index) const { return segments_.at(index); }
  std::vector<ImageSegment>::const_iterator begin() const { return segments_.begin(); }
  std::vector<ImageSegment>::const_iterator end() const { return segments_.end(); }

  void append(ImageSegment segment) { segments_.push_back(std::move(segment)); }
  // Releases every segment's bytes and leaves the list empty.
  void clear() { std::vector<ImageSegment>().swap(segments_); }
  void swap(FirmwareImage& other) noexcept { segments_.swap(other.segments_); }

 private:
  std::vector<ImageSegment> segments_;
};

// Reads the TI-TXT file at `path` into `image`. True when the file was read and accepted (see above); false
// when it cannot be read or is refused, with the image untouched and the reason in `*refusal` when given.
bool ReadTiTxtImage(const char* path, FirmwareImage& image, std::string* refusal = nullptr);

// Hexadecimal value of a NUL-terminated text: upper-cased, an optional 0x/0X prefix skipped, then digits 0-9 A-F
// up to the first other character, in 32 bits (digits pushed out at the top are lost). Null or empty gives 0.
// Lenient on purpose; the reader does not use it, as it must refuse what this would silently cut.
std::uint32_t ParseHexText(const char* text);

}  // namespace cardflash
