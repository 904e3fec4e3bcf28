// The TI-TXT reader on arbitrary file contents. The reader takes a path, so each input is
// written to a memory file and read through /proc/self/fd. Besides the sanitizers, the reader's
// own promises are checked: a refused file leaves the caller's image untouched and says which line
// and why; an accepted file has every byte accounted for, as a plain tokenizer here reads it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "titxt_reader.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

// What an accepted file holds, read line by line with the standard library: its address lines in order,
// its end-line count, and its data bytes in order with the address line each follows.
struct Tokens {
  std::vector<std::uint32_t> addresses;
  int end_lines = 0;
  std::vector<std::uint8_t> data;
  std::size_t data_after_last_address = 0;
};

Tokens tokenize(const std::string& text) {
  const char* const hex = "0123456789abcdefABCDEF";
  Tokens t;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    if (line[first] == 'q') {
      ++t.end_lines;
      continue;
    }
    if (line[first] == '@') {
      const std::string address = line.substr(first, line.find_last_not_of(" \t") + 1 - first);
      require(address.size() >= 5 && address.size() <= 7 && address.find_first_not_of(hex, 1) == std::string::npos,
              "accepted an address line that is not \"@\" and 4, 5 or 6 hexadecimal digits");
      t.addresses.push_back(static_cast<std::uint32_t>(std::strtoul(address.c_str() + 1, nullptr, 16)));
      t.data_after_last_address = 0;
      continue;
    }
    for (std::size_t at = first; at != std::string::npos; at = line.find_first_not_of(" \t", at)) {
      const std::string field = line.substr(at, line.find_first_of(" \t", at) - at);
      require(field.size() <= 2 && field.find_first_not_of(hex) == std::string::npos,
              "accepted a data field that is not one or two hexadecimal digits");
      t.data.push_back(static_cast<std::uint8_t>(std::strtoul(field.c_str(), nullptr, 16)));
      ++t.data_after_last_address;
      at += field.size();
    }
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int memory_file = memfd_create("titxt", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(memory_file);
  if (memory_file < 0 || ftruncate(memory_file, 0) != 0 ||
      pwrite(memory_file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  cardflash::FirmwareImage image;
  image.append({0x1234, 2, {0xAB, 0xCD}});  // what the caller held before
  std::string refusal;
  const bool accepted = cardflash::ReadTiTxtImage(path.c_str(), image, &refusal);
  if (!accepted) {
    require(image.segment_count() == 1 && image.segment(0).start_address == 0x1234 &&
            image.segment(0).bytes == std::vector<std::uint8_t>{0xAB, 0xCD}, "a refused file changed the caller's image");
    unsigned long line = 0;
    int consumed = 0;
    require(std::sscanf(refusal.c_str(), "line %lu: %n", &line, &consumed) == 1 && consumed > 0 && line >= 1,
            "a refusal that does not name its line");
    for (char c : refusal) require(c >= 0x20 && c <= 0x7E, "a refusal with a byte unfit for a log line");
    return 0;
  }

  const Tokens t = tokenize(std::string(reinterpret_cast<const char*>(data), size));
  require(!t.addresses.empty() && t.end_lines >= 1, "accepted a file without an address or end line");
  require(image.segment_count() == t.addresses.size() - 1 + static_cast<std::size_t>(t.end_lines),
          "not one segment per later address line and per end line");
  std::vector<std::uint8_t> joined;
  for (const cardflash::ImageSegment& s : image) {
    require(s.byte_count >= 0 && static_cast<std::size_t>(s.byte_count) == s.bytes.size(),
            "segment byte count differs from its buffer");
    require(s.start_address <= 0xFFFFFF, "address beyond 24 bits");
    joined.insert(joined.end(), s.bytes.begin(), s.bytes.end());
  }
  // With a single end line every data byte is emitted exactly once, in file order, and only the
  // segment that end line closes may gain the one pad byte.
  if (t.end_lines == 1) {
    if (t.data_after_last_address % 2 != 0) {
      require(!joined.empty() && joined.back() == 0xFF, "odd last segment not padded with 0xFF");
      joined.pop_back();
    }
    require(joined == t.data, "data bytes dropped, moved or invented");
    for (std::size_t i = 0; i < t.addresses.size(); ++i)
      require(image.segment(i).start_address == t.addresses[i], "segment address differs from its address line");
  }
  return 0;
}
