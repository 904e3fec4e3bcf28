#include "titxt_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "platform.h"

namespace cardflash {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // same result as upper-casing a copy first
  return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Value of [begin, end) when every character is a hexadecimal digit; the caller bounds the length.
bool strict_hex(const char* begin, const char* end, std::uint32_t* value) {
  std::uint32_t v = 0;
  for (; begin != end; ++begin) {
    const int d = hex_digit(*begin);
    if (d < 0) return false;
    v = v * 16u + static_cast<std::uint32_t>(d);
  }
  *value = v;
  return true;
}

// The refused text as it goes into a refusal: a whole line can be megabytes and hold any byte, and the
// refusal ends up in a log line, so it is cut short and kept to printable ASCII.
std::string quoted(const char* begin, const char* end) {
  const std::size_t kShown = 40;
  std::string out = "\"";
  const char* stop = end - begin > static_cast<std::ptrdiff_t>(kShown) ? begin + kShown : end;
  for (const char* p = begin; p != stop; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += stop == end ? "\"" : "\"...";
  return out;
}

bool refuse(std::string* refusal, unsigned long line, const std::string& reason) {
  if (refusal) *refusal = "line " + std::to_string(line) + ": " + reason;
  return false;
}

bool system_refusal(std::string* refusal, int error) {
  if (refusal) *refusal = std::error_code(error, std::generic_category()).message();
  return false;
}

// The whole file: one read instead of a stream per line, and errno survives to name why it failed.
bool read_file(const char* path, std::string* text, std::string* refusal) {
  if (!path) return system_refusal(refusal, EINVAL);
  const int fd = OpenForReading(path);
  if (fd < 0) return system_refusal(refusal, errno);
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) text->reserve(static_cast<std::size_t>(info.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;  // a directory opens on Linux and fails here with EISDIR
      ::close(fd);
      return system_refusal(refusal, error);
    }
    text->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

void emit(FirmwareImage& image, std::uint32_t address, const std::vector<std::uint8_t>& bytes, bool pad_to_even) {
  ImageSegment segment;
  segment.start_address = address;
  segment.bytes = bytes;
  if (pad_to_even && segment.bytes.size() % 2 != 0) segment.bytes.push_back(0xFF);
  segment.byte_count = static_cast<std::int32_t>(segment.bytes.size());
  image.append(std::move(segment));
}

}  // namespace

std::uint32_t ParseHexText(const char* text) {
  if (!text) return 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  std::uint32_t value = 0;
  for (int d; (d = hex_digit(*text)) >= 0; ++text) value = value * 16u + static_cast<std::uint32_t>(d);
  return value;
}

bool ReadTiTxtImage(const char* path, FirmwareImage& image, std::string* refusal) {
  std::string text;
  if (!read_file(path, &text, refusal)) return false;

  FirmwareImage read;  // replaces the caller's image only when the whole file is accepted
  bool have_address = false;
  bool unterminated = false;  // a meaningful line came after the last end line
  std::uint32_t pending_address = 0;
  std::vector<std::uint8_t> pending;
  unsigned long number = 0;

  const char* next = text.data();
  const char* const file_end = next + text.size();
  while (next != file_end) {
    ++number;
    const char* begin = next;
    const char* end = static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(file_end - begin)));
    next = end ? end + 1 : file_end;
    if (!end) end = file_end;
    if (end != begin && end[-1] == '\r') --end;
    while (begin != end && is_blank(*begin)) ++begin;
    while (end != begin && is_blank(end[-1])) --end;
    if (begin == end) continue;  // blank lines carry no byte, wherever they are

    if (*begin == '@') {
      std::uint32_t address = 0;
      const std::ptrdiff_t digits = end - begin - 1;
      if (digits < 4 || digits > 6 || !strict_hex(begin + 1, end, &address))
        return refuse(refusal, number,
                      "address line " + quoted(begin, end) + " is not \"@\" and 4, 5 or 6 hexadecimal digits");
      if (have_address) emit(read, pending_address, pending, false);
      pending_address = address;
      pending.clear();
      have_address = true;
      unterminated = true;
      continue;
    }
    if (!have_address)
      return refuse(refusal, number,
                    *begin == 'q' ? "end line before the first address line" : "data before the first address line");
    if (*begin == 'q') {
      // The pending bytes stay: lines after an end line read on from here.
      emit(read, pending_address, pending, true);
      unterminated = false;
      continue;
    }
    unterminated = true;
    while (begin != end) {
      const char* field = begin;
      while (begin != end && !is_blank(*begin)) ++begin;
      std::uint32_t value = 0;
      // TI-TXT writes every byte as two digits: a field of one is a damaged file ("3" for "30"),
      // though srec_cat would read it as 0x03.
      if (begin - field != 2 || !strict_hex(field, begin, &value))
        return refuse(refusal, number, "data field " + quoted(field, begin) + " is not two hexadecimal digits");
      pending.push_back(static_cast<std::uint8_t>(value));
      while (begin != end && is_blank(*begin)) ++begin;
    }
  }

  if (!have_address || unterminated)
    return refuse(refusal, number + 1, "file ends without the end line \"q\"");
  image.swap(read);  // the old segments go with `read`
  return true;
}

}  // namespace cardflash
