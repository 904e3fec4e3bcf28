// The TI-TXT reader: its rules, the refusals with their texts, and a cross-check on a generated corpus of tidy,
// untidy and damaged files against an independent reader, Debian's srec_cat.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/run_program.h"
#include "titxt_reader.h"

using namespace cardflash;
using namespace testsupport;

namespace {

// A file in the test's temporary folder, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    std::string pattern = ::testing::TempDir() + "titxt_XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp");
    path_ = name.data();
    if (!content.empty() && write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
      throw std::runtime_error("write");
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// An image as "F000: 01 02 | 10000: 03": segments in order, a count that disagrees with the buffer marked.
std::string render(const FirmwareImage& image) {
  std::string out;
  char buffer[16];
  for (const ImageSegment& s : image) {
    std::snprintf(buffer, sizeof buffer, "%s%04X:", out.empty() ? "" : " | ", static_cast<unsigned>(s.start_address));
    out += buffer;
    for (std::uint8_t b : s.bytes) {
      std::snprintf(buffer, sizeof buffer, " %02X", b);
      out += buffer;
    }
    if (s.byte_count != static_cast<std::int32_t>(s.bytes.size())) out += " (byte_count " + std::to_string(s.byte_count) + ")";
  }
  return out;
}

std::string read_ok(const std::string& content) {
  TempFile file(content);
  FirmwareImage image;
  std::string refusal;
  EXPECT_TRUE(ReadTiTxtImage(file.path(), image, &refusal)) << "file:\n" << content << "\nrefused: " << refusal;
  return render(image);
}

// A refused file: false, "line <n>: <reason>", and the caller's image as it was.
void expect_refused(const std::string& content, const std::string& refusal) {
  TempFile file(content);
  FirmwareImage image;
  image.append({0x1234, 2, {0xAB, 0xCD}});
  std::string got = "(none)";
  EXPECT_FALSE(ReadTiTxtImage(file.path(), image, &got)) << "file:\n" << content;
  EXPECT_EQ(got, refusal) << "file:\n" << content;
  EXPECT_EQ(render(image), "1234: AB CD") << "image changed";
}

const std::string kNoEnd = "file ends without the end line \"q\"";

std::string bad_field(int line, const std::string& quoted) {
  return "line " + std::to_string(line) + ": data field " + quoted + " is not one or two hexadecimal digits";
}
std::string bad_address(int line, const std::string& quoted) {
  return "line " + std::to_string(line) + ": address line " + quoted +
         " is not \"@\" and 4, 5 or 6 hexadecimal digits";
}

// ---------------------------------------------------------------------------------------------------------------

TEST(ParseHexText, StaysLenient) {
  const std::vector<std::pair<const char*, std::uint32_t>> table = {
      {"b0", 0xB0}, {"0x1f", 0x1F}, {"0X1F", 0x1F}, {"1G2", 0x1},  {"ZZ", 0},           {"", 0},
      {"0x", 0},    {"x1F", 0},     {"0x0x1", 0},   {" 1", 0},     {"aBcDeF", 0xABCDEF}, {"FFFFFFFF", 0xFFFFFFFF},
      {"123456789", 0x23456789},  // the top digit is pushed out
  };
  for (const auto& [text, value] : table) EXPECT_EQ(ParseHexText(text), value) << text;
  EXPECT_EQ(ParseHexText(nullptr), 0u);
}

TEST(TiTxtReader, DataLineTable) {
  // Each line is read between @F000 and an address line, so the segment keeps its exact length.
  const std::vector<std::pair<std::string, std::string>> table = {
      {"30 32 30 30  BB CC", "30 32 30 30 BB CC"},
      {" AA BB", "AA BB"},
      {"AA\tBB", "AA BB"},
      {"\t AA \t\t BB \t", "AA BB"},
      {"aa Bb bB", "AA BB BB"},
      {"A 0 f 7", "0A 00 0F 07"},
      {"AA BB\r", "AA BB"},
      {"", ""},
      {" \t ", ""},
  };
  for (const auto& [line, bytes] : table)
    EXPECT_EQ(read_ok("@F000\n" + line + "\n@F100\nq\n"), "F000:" + (bytes.empty() ? "" : " " + bytes) + " | F100:")
        << "data line [" << line << "]";
}

TEST(TiTxtReader, AddressLineTable) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"@f000", "F000"},      {"@0000", "0000"},   {" \t@F000 \t", "F000"}, {"@10000", "10000"},
      {"@010000", "10000"},   {"@0F000", "F000"},  {"@01a2b3", "1A2B3"},    {"@FFFFFF", "FFFFFF"},
  };
  for (const auto& [line, address] : table) EXPECT_EQ(read_ok(line + "\n01 02\nq\n"), address + ": 01 02") << line;
}

TEST(TiTxtReader, SegmentsFollowTheAddressAndEndLines) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"@F000\n31 40 00 24 B0\n@FFFE\n00 F0 11\nq\n", "F000: 31 40 00 24 B0 | FFFE: 00 F0 11 FF"},
      // Only later address lines emit, empty or not; the first emits nothing.
      {"@1000\n01\n@2000\n@3000\n02 03\n@4000\nq\n", "1000: 01 | 2000: | 3000: 02 03 | 4000:"},
      {"@1C00\nq\n", "1C00:"},
      // One 0xFF pads the segment the end line closes, and only that one.
      {"@F000\n01 02 03\n@F100\nq\n", "F000: 01 02 03 | F100:"},
      {"@F000\n01 02 03 04\nq\n", "F000: 01 02 03 04"},
      // Lines after an end line read on from the bytes it left pending; a later address line emits them again.
      {"@F000\n11\nq\n22\nq\n", "F000: 11 FF | F000: 11 22"},
      {"@F000\n11\nq\n@E000\n33\nq\n", "F000: 11 FF | F000: 11 | E000: 33 FF"},
      // Never sorted or merged.
      {"@F002\n03 04\n@F000\n01 02\nq\n", "F002: 03 04 | F000: 01 02"},
      // An end line is any line whose first character after blanks is "q".
      {"@F000\n01\nquit here\n", "F000: 01 FF"},
      {"@F000\n01\n \tq\n", "F000: 01 FF"},
      // Blank lines are harmless anywhere, tabs and CRs included; CR LF reads as LF.
      {"\n \t\r\n\n@F000\r\n\n01\n\t\nq\n\n \r\n", "F000: 01 FF"},
      {"@4400\r\n44 30 31\r\n@010000\r\n01 02 03 \r\nq\r\n", "4400: 44 30 31 | 10000: 01 02 03 FF"},
      // Without the final line feed, CR or not.
      {"@F000\n01\nq", "F000: 01 FF"},
      {"@F000\r\n01\r\nq\r", "F000: 01 FF"},
  };
  for (const auto& [text, segments] : table) EXPECT_EQ(read_ok(text), segments) << text;
}

TEST(TiTxtReaderRefuses, DataFields) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"1A7", "\"1A7\""},   {"G7", "\"G7\""},      {"0x1F", "\"0x1F\""}, {"001", "\"001\""},   {"ZZ", "\"ZZ\""},
      {"AA,BB", "\"AA,BB\""}, {"Q", "\"Q\""},      {"01 02 q", "\"q\""}, {"AA\rBB", "\"AA\\x0DBB\""},
      {"AA\fBB", "\"AA\\x0CBB\""}, {"AA\vBB", "\"AA\\x0BBB\""}, {"01 @F100", "\"@F100\""},
      {"\"\\\xE4", "\"\\x22\\x5C\\xE4\""},
      {std::string(50, 'A'), "\"" + std::string(40, 'A') + "\"..."},
  };
  for (const auto& [line, quoted] : table)
    expect_refused("@F000\n01 02\n" + line + "\n03\nq\n", bad_field(3, quoted));
}

TEST(TiTxtReaderRefuses, AddressLines) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"@F0G0", "\"@F0G0\""},       {"@F00", "\"@F00\""},         {"@1000000", "\"@1000000\""},
      {"@", "\"@\""},               {"@0x1000", "\"@0x1000\""},   {"@ F000", "\"@ F000\""},
      {"@F000 01 02", "\"@F000 01 02\""}, {"@F000\r\r", "\"@F000\\x0D\""},
  };
  for (const auto& [line, quoted] : table) {
    expect_refused(line + "\n01\nq\n", bad_address(1, quoted));
    expect_refused("@F000\n01\n" + line + "\n02\nq\n", bad_address(3, quoted));
  }
}

TEST(TiTxtReaderRefuses, FileStructure) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"01 02\n@F000\n03\nq\n", "line 1: data before the first address line"},
      {"\n\t\n ZZ\n@F000\nq\n", "line 3: data before the first address line"},
      {"q\n@F000\n01\nq\n", "line 1: end line before the first address line"},
      {"", "line 1: " + kNoEnd},
      {"\n\n", "line 3: " + kNoEnd},
      {"@F000\n01 02\n03", "line 4: " + kNoEnd},  // a truncated download
      {"@F000\n01 02\n", "line 3: " + kNoEnd},
      {"@F000\n", "line 2: " + kNoEnd},
      {"@F000\n01\nq\n@F100\n02\n", "line 6: " + kNoEnd},  // the last segment is never closed
      {"@F000\n01\nq\n\t02\n\n", "line 6: " + kNoEnd},     // bytes after the end line
  };
  for (const auto& [text, refusal] : table) expect_refused(text, refusal);
}

TEST(TiTxtReaderRefuses, FilesThatCannotBeRead) {
  FirmwareImage image;
  image.append({0x1234, 3, {1, 2, 3}});
  const std::vector<std::pair<std::string, std::string>> table = {
      {::testing::TempDir() + "no_such_file.txt", "No such file or directory"},
      {::testing::TempDir(), "Is a directory"},
      {::testing::TempDir() + "no_such_folder/fw.txt", "No such file or directory"},
  };
  for (const auto& [path, reason] : table) {
    std::string refusal;
    EXPECT_FALSE(ReadTiTxtImage(path.c_str(), image, &refusal)) << path;
    EXPECT_EQ(refusal, reason) << path;
  }
  EXPECT_FALSE(ReadTiTxtImage(nullptr, image));
  EXPECT_EQ(render(image), "1234: 01 02 03");
}

TEST(TiTxtReader, SuccessReplacesTheOldSegmentsAndNothingIsPrinted) {
  TempFile good("@F000\n01 02\nq\n"), bad("@F000\n1A7\nq\n");
  FirmwareImage image;
  image.append({0x1234, 3, {1, 2, 3}});
  image.append({0x5678, 1, {4}});
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadTiTxtImage(good.path(), image));
  EXPECT_FALSE(ReadTiTxtImage(bad.path(), image));
  EXPECT_FALSE(ReadTiTxtImage("/no/such/file", image));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(render(image), "F000: 01 02");
}

// ---------------------------------------------------------------------------------------------------------------
// Cross-check against Debian's srec_cat

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

using Memory = std::map<std::uint32_t, std::uint8_t>;

// Bytes by address from srec_cat's "-vmem 8" output: "@ADDRESS BYTE BYTE ..." records and a comment.
Memory parse_vmem(const std::string& text) {
  Memory memory;
  std::istringstream words(text);
  std::string word;
  std::uint32_t address = 0;
  while (words >> word) {
    if (word == "/*") {
      while (words >> word && word != "*/") continue;
    } else if (word[0] == '@') {
      address = static_cast<std::uint32_t>(std::stoul(word.substr(1), nullptr, 16));
    } else {
      EXPECT_EQ(word.size(), 2u) << word;
      memory[address++] = static_cast<std::uint8_t>(std::stoul(word, nullptr, 16));
    }
  }
  return memory;
}

// What each generated file does to a tidy one, and so what both readers make of it.
enum class Damage {
  kNone, kBadDigit, kLongField, kBadAddressDigit, kBareAt, kBareAtBeforeData, kLongSmallField, kAddressWidth,
  kAddressWithData, kNoEnd, kDataAfterEnd, kEndInDataLine, kUpperCaseEnd, kOtherSpace, kReadOn, kOverlap, kCount
};

struct Expectation {
  const char* name;
  int srec_cat_reads;   // 1 or 0; -1 when it depends on the rest of the file
  const char* refusal;  // what our refusal names; null when we read the file
  bool by_design;       // the readers disagree on purpose
};

const Expectation kExpected[] = {
    {"none", 1, nullptr, false},
    {"bad digit", 0, "data field", false},
    {"field worth 256 or more", 0, "data field", false},
    {"bad address digit", 0, "address line", false},
    {"bare @ before the end line", 0, "address line", false},
    {"bare @ before data (srec_cat takes the next field as the address)", -1, "address line", true},
    {"3-digit field under 256", 1, "data field", true},
    {"address of 3 or 7 digits", 1, "address line", true},
    {"data on the address line", 1, "address line", true},
    {"no end line", 1, "file ends without", true},
    {"data after the end line, no second end line", 1, "file ends without", true},
    {"q after the fields of a data line", 1, "data field", true},
    {"end line Q", 1, "data field", true},
    {"form feed or lone CR between fields", 1, "data field", true},
    {"data and a second end line after the end line (srec_cat stops at the first)", 1, nullptr, true},
    {"overlapping segments (srec_cat refuses differing bytes)", 0, nullptr, true},
};
static_assert(std::size(kExpected) == static_cast<std::size_t>(Damage::kCount));

struct Seg {
  std::uint32_t address;
  Bytes bytes;
};
using Segs = std::vector<Seg>;

struct Line {
  std::string text;
  enum Kind { kBlank, kAddress, kData, kEnd } kind;
};

struct Generated {
  std::vector<Line> lines;
  Damage damage = Damage::kNone;
  int damaged_line = 0;  // 1-based, in the final text; 0 when the damage has no line of its own
  std::string eol = "\n";
  bool final_eol = true;
  Segs segments;  // as written, ascending and apart, before any damage
  std::string text() const {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
      out += lines[i].text + (i + 1 < lines.size() || final_eol ? eol : "");
    return out;
  }
};

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int one_in) { return pick(1, one_in) == 1; }

  std::string blanks(int max) {
    std::string out;
    for (int n = pick(1, max); n > 0; --n) out += chance(3) ? '\t' : ' ';
    return out;
  }
  std::string pad(std::string s) {
    if (untidy_ && chance(4)) s = blanks(3) + s;
    if (untidy_ && chance(4)) s += blanks(3);
    return s;
  }

  // A tidy or untidy file: case, blanks and tabs, blank lines, CR LF, odd lengths, 4, 5 and 6 digit addresses.
  Generated tidy() {
    Generated g;
    untidy_ = chance(2);
    if (untidy_ && chance(3)) g.eol = "\r\n";
    g.final_eol = !untidy_ || !chance(4);
    while (untidy_ && chance(3)) g.lines.push_back({chance(2) ? "" : blanks(2), Line::kBlank});
    std::uint32_t address = static_cast<std::uint32_t>(chance(4) ? pick(0, 0xFFF) : pick(0x1000, 0x8000));
    const int count = pick(1, 6);
    for (int s = 0; s < count && address < 0xFF0000; ++s) {
      Seg seg{address, {}};
      const int length = chance(5) ? pick(1, 3) : pick(1, 300);
      for (int i = 0; i < length; ++i) seg.bytes.push_back(static_cast<std::uint8_t>(pick(0, 255)));
      const bool lower = untidy_ && chance(2);
      const int width = std::max(address > 0xFFFFF ? 6 : address > 0xFFFF ? 5 : 4, pick(4, 6));
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, lower ? "@%0*x" : "@%0*X", width, static_cast<unsigned>(address));
      g.lines.push_back({pad(buffer), Line::kAddress});
      const int per_line = chance(3) ? pick(1, 40) : 16;
      std::string line;
      for (int i = 0; i < length; ++i) {
        const unsigned value = seg.bytes[static_cast<std::size_t>(i)];
        std::snprintf(buffer, sizeof buffer, untidy_ && value < 16 && chance(3) ? "%X" : lower ? "%02x" : "%02X",
                      value);
        line += (line.empty() ? "" : untidy_ ? blanks(3) : " ") + std::string(buffer);
        if ((i + 1) % per_line == 0 || i + 1 == length) {
          g.lines.push_back({pad(line), Line::kData});
          line.clear();
          if (untidy_ && chance(8)) g.lines.push_back({chance(2) ? "" : blanks(2), Line::kBlank});
        }
      }
      g.segments.push_back(seg);
      address += static_cast<std::uint32_t>(length) + static_cast<std::uint32_t>(chance(3) ? pick(2, 64) : pick(2, 0x6000));
      if (chance(5)) address += 0x10000;  // across the 64 KB boundary
    }
    g.lines.push_back({pad(untidy_ && chance(4) ? "quit" : "q"), Line::kEnd});
    while (untidy_ && chance(4)) g.lines.push_back({chance(2) ? "" : blanks(2), Line::kBlank});
    return g;
  }

  // Index of a random line of `kind`.
  std::size_t any(const Generated& g, Line::Kind kind) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < g.lines.size(); ++i)
      if (g.lines[i].kind == kind) found.push_back(i);
    return found[static_cast<std::size_t>(pick(0, static_cast<int>(found.size()) - 1))];
  }
  std::size_t end_line(const Generated& g) {
    for (std::size_t i = 0; i < g.lines.size(); ++i)
      if (g.lines[i].kind == Line::kEnd) return i;
    return g.lines.size();
  }
  // Replaces the `which`th field of a data line (the last when beyond).
  void replace_field(Line& line, int which, const std::string& field) {
    std::size_t at = line.text.find_first_not_of(" \t");
    for (int n = 0; n < which; ++n) {
      std::size_t next = line.text.find_first_of(" \t", at);
      if (next == std::string::npos || line.text.find_first_not_of(" \t", next) == std::string::npos) break;
      at = line.text.find_first_not_of(" \t", next);
    }
    std::size_t stop = line.text.find_first_of(" \t", at);
    line.text.replace(at, stop == std::string::npos ? std::string::npos : stop - at, field);
  }

  Generated damaged() {
    Generated g = tidy();
    g.damage = chance(2) ? Damage::kNone : static_cast<Damage>(pick(1, static_cast<int>(Damage::kCount) - 1));
    const std::string hexdigits = "0123456789ABCDEF";
    auto digit = [&] { return std::string(1, hexdigits[static_cast<std::size_t>(pick(0, 15))]); };
    const std::size_t kNoLine = std::string::npos;  // the damage is where the file ends
    std::size_t at = kNoLine;
    switch (g.damage) {
      case Damage::kNone: break;
      case Damage::kBadDigit: {
        const std::string bad = "GgZz.,-+x#;$_*h";
        std::string field = digit() + bad[static_cast<std::size_t>(pick(0, static_cast<int>(bad.size()) - 1))];
        if (chance(2)) std::swap(field[0], field[1]);
        replace_field(g.lines[at = any(g, Line::kData)], pick(0, 40), field);
        break;
      }
      case Damage::kLongField:
        replace_field(g.lines[at = any(g, Line::kData)], pick(0, 40),
                      std::to_string(pick(1, 9)) + digit() + digit() + (chance(2) ? digit() : ""));
        break;
      case Damage::kLongSmallField:
        replace_field(g.lines[at = any(g, Line::kData)], pick(0, 40), "0" + digit() + digit());
        break;
      case Damage::kBadAddressDigit: {
        Line& line = g.lines[at = any(g, Line::kAddress)];
        std::size_t d = line.text.find('@') + 1 + static_cast<std::size_t>(pick(0, 3));
        line.text[d] = "GZxg"[pick(0, 3)];
        break;
      }
      case Damage::kBareAt:
        g.lines.insert(g.lines.begin() + static_cast<std::ptrdiff_t>(at = end_line(g)), {"@", Line::kAddress});
        break;
      case Damage::kBareAtBeforeData: g.lines[at = any(g, Line::kAddress)].text = "@"; break;
      case Damage::kAddressWidth: {
        at = any(g, Line::kAddress);
        std::size_t which = 0;
        for (std::size_t i = 0; i < at; ++i) which += g.lines[i].kind == Line::kAddress;
        const unsigned address = g.segments[which].address;
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, address <= 0xFFF && chance(2) ? "@%03X" : "@%07X", address);
        g.lines[at].text = buffer;
        break;
      }
      case Damage::kAddressWithData:
        at = any(g, Line::kAddress);  // a data line always follows it
        g.lines[at].text += " " + g.lines[at + 1].text;
        g.lines.erase(g.lines.begin() + static_cast<std::ptrdiff_t>(at) + 1);
        break;
      case Damage::kNoEnd:
        g.lines.resize(any(g, Line::kData) + 1 + (chance(2) ? 0 : 1));  // a data line, or the line after it
        if (g.lines.back().kind == Line::kEnd) g.lines.pop_back();
        g.final_eol = chance(2);
        break;
      case Damage::kDataAfterEnd:
        g.lines.push_back({"01 02", Line::kData});
        if (chance(2)) g.lines.push_back({"", Line::kBlank});
        break;
      case Damage::kEndInDataLine: g.lines[at = any(g, Line::kData)].text += " q"; break;
      case Damage::kUpperCaseEnd: g.lines[at = end_line(g)].text = "Q"; break;
      case Damage::kOtherSpace: {
        std::string& text = g.lines[at = any(g, Line::kData)].text;
        const std::size_t first = text.find_first_not_of(" \t");
        const std::size_t stop = std::min(text.find_first_of(" \t", first), text.size());
        text.insert(stop, chance(2) ? "\f00" : "\r00");
        break;
      }
      case Damage::kReadOn:
        g.lines.insert(g.lines.begin() + static_cast<std::ptrdiff_t>(end_line(g)) + 1,
                       {{"A5 5A 01", Line::kData}, {"q", Line::kEnd}});
        break;
      case Damage::kOverlap: {
        char buffer[32];
        const Seg& first = g.segments.front();
        std::snprintf(buffer, sizeof buffer, "@%06X", static_cast<unsigned>(first.address));
        std::snprintf(buffer + 8, sizeof buffer - 8, "%02X", static_cast<unsigned>(first.bytes[0] ^ 0x5A));
        const auto end = g.lines.begin() + static_cast<std::ptrdiff_t>(end_line(g));
        g.lines.insert(end, {{buffer, Line::kAddress}, {buffer + 8, Line::kData}});
        break;
      }
      case Damage::kCount: break;
    }
    g.damaged_line = at == kNoLine ? 0 : static_cast<int>(at) + 1;
    return g;
  }

 private:
  std::mt19937 rng_;
  bool untidy_ = false;
};

// Lines of a text as the reader counts them: a last line without its line feed counts too.
int line_count(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + (!text.empty() && text.back() != '\n');
}

// The first `segments` of the reader's image as bytes by address, without the pad byte of the last one.
Memory memory_of(const FirmwareImage& image, const Segs& written, std::size_t segments) {
  Memory out;
  for (std::size_t s = 0; s < segments; ++s) {
    const ImageSegment& seg = image.segment(s);
    std::size_t length = seg.bytes.size();
    if (s + 1 == segments && written.back().bytes.size() % 2 != 0) {
      EXPECT_EQ(length, written.back().bytes.size() + 1);
      EXPECT_EQ(seg.bytes.back(), 0xFF) << "pad byte";
      --length;
    }
    for (std::size_t i = 0; i < length; ++i) out[seg.start_address + static_cast<std::uint32_t>(i)] = seg.bytes[i];
  }
  return out;
}

TEST(TiTxtReaderCrossCheck, AgainstSrecCat) {
  const std::string srec_cat = find_program("srec_cat");
  if (srec_cat.empty()) GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  const unsigned seed = 20240601;
  const int corpus = 400;
  Generator generator(seed);
  int both_read = 0, both_refused = 0;
  std::map<Damage, int> by_design;

  for (int n = 0; n < corpus; ++n) {
    const Generated g = generator.damaged();
    const Expectation& expected = kExpected[static_cast<int>(g.damage)];
    const std::string text = g.text();
    TempFile file(text);
    SCOPED_TRACE("file " + std::to_string(n) + " of seed " + std::to_string(seed) + ", damage: " + expected.name +
                 ", line " + std::to_string(g.damaged_line) + "\n" + text);
    const ProgramResult r = run_program(srec_cat, {file.path(), "-ti-txt", "-o", "-", "-vmem", "8"});
    FirmwareImage image;
    std::string refusal;
    const bool ours = ReadTiTxtImage(file.path(), image, &refusal);
    const bool theirs = r.exit_status == 0;

    // Whatever the damage: a field or an address srec_cat refuses, we refuse too, and never on a later line.
    const bool their_field_or_address = r.err.find("illegal character") != std::string::npos ||
                                        r.err.find("byte value") != std::string::npos ||
                                        r.err.find("must be followed by an address") != std::string::npos;
    if (their_field_or_address) {
      ASSERT_FALSE(ours) << r.err;
      const std::string at = std::string(file.path()) + ": ";
      const unsigned long their_line = std::strtoul(r.err.c_str() + r.err.find(at) + at.size(), nullptr, 10);
      EXPECT_LE(std::strtoul(refusal.c_str() + 5, nullptr, 10), their_line) << refusal << "\n" << r.err;
    }
    EXPECT_EQ(their_field_or_address, expected.srec_cat_reads == 0 && expected.refusal) << r.err;
    if (expected.srec_cat_reads >= 0) {
      EXPECT_EQ(theirs, expected.srec_cat_reads == 1) << r.err;
    }
    if (expected.refusal) {
      ASSERT_FALSE(ours) << render(image);
      const int line = g.damaged_line ? g.damaged_line : line_count(text) + 1;
      EXPECT_EQ(refusal.rfind("line " + std::to_string(line) + ": ", 0), 0u) << refusal;
      EXPECT_NE(refusal.find(expected.refusal), std::string::npos) << refusal;
    } else {
      ASSERT_TRUE(ours) << refusal;
    }

    // The bytes, where both read: the same, apart from our pad byte.
    const std::size_t written = g.segments.size();
    if (g.damage == Damage::kNone) {
      ASSERT_EQ(image.segment_count(), written);
      EXPECT_EQ(memory_of(image, g.segments, written), parse_vmem(r.out));
    } else if (g.damage == Damage::kReadOn) {
      // The first end line closes the same bytes for both; we read on and emit the last segment again, longer.
      ASSERT_EQ(image.segment_count(), written + 1);
      EXPECT_EQ(memory_of(image, g.segments, written), parse_vmem(r.out));
      EXPECT_EQ(image.segment(written).bytes.size(), (g.segments.back().bytes.size() + 4) / 2 * 2);
    } else if (g.damage == Damage::kOverlap) {
      EXPECT_NE(r.err.find("multiple"), std::string::npos) << r.err;
      ASSERT_EQ(image.segment_count(), written + 1);
      EXPECT_EQ(image.segment(written).start_address, g.segments.front().address);
    }
    if (expected.by_design) ++by_design[g.damage];
    else if (ours) ++both_read;
    else ++both_refused;
  }

  int differ = 0;
  std::string why;
  for (const auto& [damage, count] : by_design) {
    differ += count;
    why += std::string(why.empty() ? "" : ", ") + kExpected[static_cast<int>(damage)].name + " " + std::to_string(count);
  }
  std::printf("srec_cat cross-check: %d files (seed %u), %d read by both with the same bytes, %d refused by both, "
              "%d differ by design (%s)\n",
              corpus, seed, both_read, both_refused, differ, why.c_str());
}

}  // namespace
