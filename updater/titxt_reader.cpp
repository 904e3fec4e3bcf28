#include "titxt_reader.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/range/iterator_range.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace cardflash {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // same result as upper-casing a copy first
  return -1;
}

// ParseHexText over [begin, end): the upper-casing is folded into hex_digit.
std::uint32_t parse_hex(const char* begin, const char* end) {
  if (end - begin >= 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) begin += 2;
  std::uint32_t value = 0;
  for (; begin != end; ++begin) {
    int d = hex_digit(*begin);
    if (d < 0) break;
    value = value * 16u + static_cast<std::uint32_t>(d);
  }
  return value;
}

bool is_blank(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' '; });
}

bool all_hex(const char* begin, const char* end) {
  return std::all_of(begin, end, [](char c) { return hex_digit(c) >= 0; });
}

// Address of an address line, or false when a line that begins with "@" is not one the reader accepts.
bool address_of(const std::string& line, std::uint32_t* address) {
  const char* digits = line.data() + 1;
  const char* end = line.data() + line.size();
  if (line.size() == 5) {  // the classic rule: two pairs, each cut to 8 bits
    *address = ((parse_hex(digits, digits + 2) & 0xFFu) << 8) | (parse_hex(digits + 2, digits + 4) & 0xFFu);
    return true;
  }
  if ((line.size() == 6 || line.size() == 7) && all_hex(digits, end)) {
    *address = parse_hex(digits, end);
    return true;
  }
  return false;
}

struct Refusal {
  unsigned long line = 0;
  const char* reason = nullptr;
};

bool refuse(std::string* refusal, const Refusal& r) {
  if (refusal) *refusal = "line " + std::to_string(r.line) + ": " + r.reason;
  return false;
}

void emit(FirmwareImage& image, std::uint32_t address, const std::vector<std::uint8_t>& bytes, bool pad_to_even) {
  ImageSegment segment;
  segment.start_address = address;
  std::size_t n = bytes.size();
  if (pad_to_even && n % 2 != 0) ++n;
  segment.bytes.assign(n, 0xFF);
  std::copy(bytes.begin(), bytes.end(), segment.bytes.begin());
  segment.byte_count = static_cast<std::int32_t>(n);
  image.append(std::move(segment));
}

}  // namespace

std::uint32_t ParseHexText(const char* text) {
  if (!text) return 0;
  return parse_hex(text, text + std::strlen(text));
}

bool ReadTiTxtImage(const char* path, FirmwareImage& image, std::string* refusal) {
  if (!path) {
    if (refusal) *refusal = std::strerror(ENOENT);
    return false;
  }
  // Binary mode with the CR of a CR LF removed below: the same lines as a text-mode read on every platform.
  std::ifstream file(path, std::ios::in | std::ios::binary);
  std::error_code error;
  const int open_error = errno;
  if (!file.is_open() || std::filesystem::is_directory(path, error)) {  // a folder opens on Linux, not for reading
    if (refusal) *refusal = std::strerror(file.is_open() ? EISDIR : open_error);
    return false;
  }

  FirmwareImage read;  // replaces the caller's image only when the whole file is accepted
  bool have_address = false;
  bool unterminated = false;  // a meaningful line came after the last end line
  std::uint32_t pending_address = 0;
  std::vector<std::uint8_t> pending;
  std::vector<boost::iterator_range<std::string::const_iterator>> fields;
  std::string line;
  unsigned long line_number = 0;

  while (std::getline(file, line)) {
    ++line_number;
    const bool ended_by_lf = !file.eof();
    if (ended_by_lf && !line.empty() && line.back() == '\r') line.pop_back();

    if (!have_address && is_blank(line)) continue;  // harmless blank lines before the first address line

    if (!line.empty() && line[0] == '@') {
      std::uint32_t address = 0;
      if (!address_of(line, &address))
        return refuse(refusal, {line_number, "address line is not \"@\" and 4, 5 or 6 hexadecimal digits"});
      if (have_address) emit(read, pending_address, pending, false);
      pending_address = address;
      pending.clear();
      have_address = true;
      unterminated = true;
      continue;
    }
    if (!have_address)
      return refuse(refusal, {line_number, line[0] == 'q' ? "end line before the first address line"
                                                       : "data before the first address line"});
    if (line[0] == 'q') {  // line is not empty here: blank lines before the first address were skipped
      emit(read, pending_address, pending, true);
      unterminated = false;
      continue;
    }
    // Data line: fields at every single space; the first empty field ends the line.
    if (!is_blank(line)) unterminated = true;
    boost::algorithm::split(fields, line, boost::algorithm::is_any_of(" "));
    for (const auto& field : fields) {
      if (field.empty()) break;
      const char* begin = &*field.begin();
      pending.push_back(static_cast<std::uint8_t>(parse_hex(begin, begin + field.size())));
    }
  }

  if (!have_address || unterminated)
    return refuse(refusal, {line_number + 1, "file ends without the end line \"q\""});
  image.swap(read);  // the old segments go with `read`
  return true;
}

}  // namespace cardflash
