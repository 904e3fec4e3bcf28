// TI-TXT firmware image reader: FirmwareImage, ImageSegment, ReadTiTxtImage, ParseHexText.
//
// The format's rules hold as the updater has always read it (single-space split, the empty field that ends a data line, padding only at
// the end line, lines after the end line read on from the state the end line left, CR LF read as LF), with the
// open questions of the format settled so that a damaged file is never flashed:
//
//   * Address lines are "@" followed by 4, 5 or 6 characters. Four characters keep the classic rule (two pairs,
//     each read with ParseHexText and cut to 8 bits, so @F0G0 is 0xF000). Five or six characters must all be
//     hexadecimal digits and give the full address (@010000 and @10000 are 0x10000), as real tools write
//     addresses above 0xFFFF. Any other line that begins with "@" refuses the file: under the literal rule it
//     would become a data byte 0x00 and the firmware would land at the wrong place.
//   * A line is blank when it is empty or holds only space characters (under the data-line rule such a line yields
//     no byte); every other line is meaningful. Blank lines before the first address line are skipped: they are
//     harmless and do not make the first address line emit a segment. The first meaningful line must be an
//     address line, otherwise the file is refused (bytes or an end line with no address).
//   * The last meaningful line must be an end line ("q..."): a file that ends without one (an empty file too)
//     is refused, because a truncated download must never be flashed. Blank lines after it are harmless.
//   * A refused file reports like a file that cannot be opened: the result is false and the line
//     "open file fail,file maybe is not exist or bad.\r\n" goes to standard output, followed by one line
//     "<path>: line <n>: <reason>\r\n" that names the file line that is wrong (counted from 1; for a missing
//     end line, the line after the last one).
//   * On every false result the caller's image is left exactly as it was: the file is read into a local image
//     that replaces the caller's only when the whole file was accepted (the old segments are then released).
//
// Addresses are therefore 0x000000 to 0xFFFFFF (24 bits). The reader is reentrant and keeps no state.
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

// Reads the TI-TXT file at `path` into `image`. True when the file was opened and accepted (see above); false
// when it cannot be opened or is refused, with the image untouched.
bool ReadTiTxtImage(const char* path, FirmwareImage& image, std::string* refusal = nullptr);

// Hexadecimal value of a NUL-terminated text: upper-cased, an optional 0x/0X prefix skipped, then digits 0-9 A-F
// up to the first other character, in 32 bits (digits pushed out at the top are lost). Null or empty gives 0.
std::uint32_t ParseHexText(const char* text);

}  // namespace cardflash
