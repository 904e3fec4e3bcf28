// The TI-TXT reader on arbitrary file contents. The reader takes a path, so each input is
// written to a memory file and read through /proc/self/fd. Besides the sanitizers, the reader's
// own promises are checked: a refused file leaves the caller's image untouched and says which line
// and why; an accepted file has every byte accounted for, as a plain tokenizer here reads it.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "titxt_reader.h"

namespace {

int memory_file = -1;
char memory_path[64];

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

// What an accepted file holds, read line by line with the C library: its address lines in order,
// its end-line count, and its data bytes in order with the address line each follows.
struct Tokens {
  std::vector<std::uint32_t> addresses;
  int end_lines = 0;
  std::vector<std::uint8_t> data;
  std::size_t data_after_last_address = 0;
};

Tokens tokenize(const std::string& text) {
  Tokens t;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    if (line[first] == 'q') {
      ++t.end_lines;
      continue;
    }
    std::size_t at = first;
    while (at < line.size()) {
      std::size_t stop = line.find_first_of(" \t", at);
      if (stop == std::string::npos) stop = line.size();
      const bool first_field = at == first;
      std::string token = line.substr(at, stop - at);
      at = line.find_first_not_of(" \t", stop);
      if (at == std::string::npos) at = line.size();
      if (token[0] == '@') {
        require(token.size() >= 5 && token.size() <= 7 && first_field && at == line.size(), "accepted an address line of another form");
        for (std::size_t i = 1; i < token.size(); ++i)
          require(std::isxdigit(static_cast<unsigned char>(token[i])), "accepted an address with a non-digit");
        t.addresses.push_back(static_cast<std::uint32_t>(std::strtoul(token.c_str() + 1, nullptr, 16)));
        t.data_after_last_address = 0;
        continue;
      }
      require(token.size() <= 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
                  (token.size() == 1 || std::isxdigit(static_cast<unsigned char>(token[1]))),
              "accepted a data field that is not one or two hexadecimal digits");
      t.data.push_back(static_cast<std::uint8_t>(std::strtoul(token.c_str(), nullptr, 16)));
      ++t.data_after_last_address;
    }
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memory_file = memfd_create("titxt", 0);
  if (memory_file < 0) std::abort();
  std::snprintf(memory_path, sizeof memory_path, "/proc/self/fd/%d", memory_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (ftruncate(memory_file, 0) != 0 || pwrite(memory_file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  cardflash::FirmwareImage image;
  image.append({0x1234, 2, {0xAB, 0xCD}});  // what the caller held before
  std::string refusal;
  bool accepted = cardflash::ReadTiTxtImage(memory_path, image, &refusal);
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
