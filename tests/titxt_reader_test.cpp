// The TI-TXT reader: its rules, the refusals with their texts, and a cross-check on a generated corpus of tidy,
// untidy and damaged files against an independent reader, Debian's srec_cat.
#include <gtest/gtest.h>

#include <unistd.h>

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

struct Seg {
  std::uint32_t address;
  Bytes bytes;
};
using Segs = std::vector<Seg>;

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

Segs segments_of(const FirmwareImage& image) {
  Segs out;
  for (const ImageSegment& s : image) {
    EXPECT_EQ(s.byte_count, static_cast<std::int32_t>(s.bytes.size())) << "segment at " << s.start_address;
    out.push_back({s.start_address, s.bytes});
  }
  return out;
}

std::string describe(const Segs& segs) {
  std::ostringstream out;
  char a[16];
  for (const Seg& s : segs) {
    std::snprintf(a, sizeof a, "0x%06X", static_cast<unsigned>(s.address));
    out << "\n  " << a << " (" << s.bytes.size() << " bytes): " << hex(s.bytes);
  }
  return segs.empty() ? "\n  (no segment)" : out.str();
}

::testing::AssertionResult SameSegments(const char*, const char*, const Segs& expected, const Segs& actual) {
  bool same = expected.size() == actual.size();
  for (std::size_t i = 0; same && i < expected.size(); ++i)
    same = expected[i].address == actual[i].address && expected[i].bytes == actual[i].bytes;
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected:" << describe(expected) << "\nread:" << describe(actual);
}
#define EXPECT_SEGMENTS(expected, actual) EXPECT_PRED_FORMAT2(SameSegments, expected, actual)

// Reads `content` as a file; false with the refusal in `refusal`.
bool read_text(const std::string& content, FirmwareImage& image, std::string* refusal = nullptr) {
  TempFile file(content);
  return ReadTiTxtImage(file.path(), image, refusal);
}

Segs read_ok(const std::string& content) {
  FirmwareImage image;
  std::string refusal;
  EXPECT_TRUE(read_text(content, image, &refusal)) << "file:\n" << content << "\nrefused: " << refusal;
  return segments_of(image);
}

// A refused file: false, "line <n>: <reason>", and the caller's image as it was.
void expect_refused(const std::string& content, const std::string& refusal) {
  FirmwareImage image;
  image.append({0x1234, 2, {0xAB, 0xCD}});
  std::string got = "(none)";
  EXPECT_FALSE(read_text(content, image, &got)) << "file:\n" << content;
  EXPECT_EQ(got, refusal) << "file:\n" << content;
  EXPECT_SEGMENTS((Segs{{0x1234, {0xAB, 0xCD}}}), segments_of(image)) << "image changed";
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
      {"b0", 0xB0},      {"0x1f", 0x1F},   {"0X1F", 0x1F},         {"1G2", 0x1},     {"ZZ", 0},
      {"", 0},           {"0x", 0},        {"x1F", 0},             {"0x0x1", 0},     {"aBcDeF", 0xABCDEF},
      {" 1", 0},         {"FFFFFFFF", 0xFFFFFFFF}, {"123456789", 0x23456789},  // the top digit is pushed out
  };
  for (const auto& [text, value] : table) EXPECT_EQ(ParseHexText(text), value) << text;
  EXPECT_EQ(ParseHexText(nullptr), 0u);
}

TEST(TiTxtReader, WorkedExample) {
  EXPECT_SEGMENTS((Segs{{0xF000, {0x31, 0x40, 0x00, 0x24, 0xB0}}, {0xFFFE, {0x00, 0xF0, 0x11, 0xFF}}}),
                  read_ok("@F000\n31 40 00 24 B0\n@FFFE\n00 F0 11\nq\n"));
}

TEST(TiTxtReader, DataLineTable) {
  // Each line is read between @F000 and an address line, so the segment keeps its exact length.
  const std::vector<std::pair<std::string, Bytes>> table = {
      {"30 32 30 30  BB CC", {0x30, 0x32, 0x30, 0x30, 0xBB, 0xCC}},
      {" AA BB", {0xAA, 0xBB}},
      {"AA\tBB", {0xAA, 0xBB}},
      {"\t AA \t\t BB \t", {0xAA, 0xBB}},
      {"aa Bb bB", {0xAA, 0xBB, 0xBB}},
      {"A 0 f 7", {0x0A, 0x00, 0x0F, 0x07}},
      {"AA BB\r", {0xAA, 0xBB}},
      {"", {}},
      {" \t ", {}},
  };
  for (const auto& [line, bytes] : table)
    EXPECT_SEGMENTS((Segs{{0xF000, bytes}, {0xF100, {}}}), read_ok("@F000\n" + line + "\n@F100\nq\n"))
        << "data line [" << line << "]";
}

TEST(TiTxtReader, AddressLineTable) {
  const std::vector<std::pair<std::string, std::uint32_t>> table = {
      {"@f000", 0xF000},    {"@0000", 0},          {" \t@F000 \t", 0xF000}, {"@10000", 0x10000},
      {"@010000", 0x10000}, {"@0F000", 0xF000},    {"@01a2b3", 0x1A2B3},    {"@FFFFFF", 0xFFFFFF},
  };
  for (const auto& [line, address] : table)
    EXPECT_SEGMENTS((Segs{{address, {0x01, 0x02}}}), read_ok(line + "\n01 02\nq\n")) << line;
}

TEST(TiTxtReader, SegmentsFollowTheAddressAndEndLines) {
  const std::vector<std::pair<std::string, Segs>> table = {
      // Only later address lines emit, empty or not; the first emits nothing.
      {"@1000\n01\n@2000\n@3000\n02 03\n@4000\nq\n", {{0x1000, {0x01}}, {0x2000, {}}, {0x3000, {2, 3}}, {0x4000, {}}}},
      {"@1C00\nq\n", {{0x1C00, {}}}},
      // One 0xFF pads the segment the end line closes, and only that one.
      {"@F000\n01 02 03\nq\n", {{0xF000, {1, 2, 3, 0xFF}}}},
      {"@F000\n01 02 03\n@F100\nq\n", {{0xF000, {1, 2, 3}}, {0xF100, {}}}},
      {"@F000\n01 02 03 04\nq\n", {{0xF000, {1, 2, 3, 4}}}},
      // Lines after an end line read on from the bytes it left pending; a later address line emits them again.
      {"@F000\n11\nq\n22\nq\n", {{0xF000, {0x11, 0xFF}}, {0xF000, {0x11, 0x22}}}},
      {"@F000\n11\nq\n@E000\n33\nq\n", {{0xF000, {0x11, 0xFF}}, {0xF000, {0x11}}, {0xE000, {0x33, 0xFF}}}},
      // Never sorted or merged.
      {"@F002\n03 04\n@F000\n01 02\nq\n", {{0xF002, {3, 4}}, {0xF000, {1, 2}}}},
      // An end line is any line whose first character after blanks is "q".
      {"@F000\n01\nquit here\n", {{0xF000, {0x01, 0xFF}}}},
      {"@F000\n01\n \tq\n", {{0xF000, {0x01, 0xFF}}}},
      // Blank lines are harmless anywhere, tabs and CRs included.
      {"\n \t\r\n\n@F000\n\n01\n\t\nq\n\n \r\n", {{0xF000, {0x01, 0xFF}}}},
      // Without the final line feed, CR or not.
      {"@F000\n01\nq", {{0xF000, {0x01, 0xFF}}}},
      {"@F000\r\n01\r\nq\r", {{0xF000, {0x01, 0xFF}}}},
  };
  for (const auto& [text, segs] : table) EXPECT_SEGMENTS(segs, read_ok(text)) << text;
}

TEST(TiTxtReader, CrLfReadsLikeLf) {
  const std::string lf =
      "@4400\n44 30 31 30 32 aa bb\n10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\n"
      "@010000\n01 02 03 \n@FFFE\n00 44\nq\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  Segs a = read_ok(lf);
  EXPECT_EQ(a.size(), 3u);
  EXPECT_SEGMENTS(a, read_ok(crlf));
}

TEST(TiTxtReaderRefuses, DataFields) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"1A7", "\"1A7\""},   {"G7", "\"G7\""},    {"0x1F", "\"0x1F\""}, {"001", "\"001\""},   {"ZZ", "\"ZZ\""},
      {"AA,BB", "\"AA,BB\""}, {"Q", "\"Q\""},    {"01 02 q", "\"q\""}, {"AA\rBB", "\"AA\\x0DBB\""},
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
  EXPECT_SEGMENTS((Segs{{0x1234, {1, 2, 3}}}), segments_of(image));
}

TEST(TiTxtReader, SuccessReplacesTheOldSegmentsAndPrintsNothing) {
  FirmwareImage image;
  image.append({0x1234, 3, {1, 2, 3}});
  image.append({0x5678, 1, {4}});
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(read_text("@F000\n01 02\nq\n", image));
  EXPECT_FALSE(read_text("@F000\n1A7\nq\n", image));
  EXPECT_FALSE(ReadTiTxtImage("/no/such/file", image));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_SEGMENTS((Segs{{0xF000, {1, 2}}}), segments_of(image));
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

// Bytes by address from srec_cat's Intel HEX output; false when a record does not parse or its checksum is wrong.
bool parse_intel_hex(const std::string& text, Memory* memory, std::string* error) {
  std::stringstream lines(text);
  std::string line;
  std::uint32_t base = 0;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
      *error = "bad record: " + line;
      return false;
    }
    Bytes rec;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2)
      rec.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    std::uint8_t sum = 0;
    for (std::uint8_t b : rec) sum = static_cast<std::uint8_t>(sum + b);
    if (sum != 0 || rec.size() != static_cast<std::size_t>(rec[0]) + 5) {
      *error = "bad checksum or length: " + line;
      return false;
    }
    std::uint32_t offset = (static_cast<std::uint32_t>(rec[1]) << 8) | rec[2];
    switch (rec[3]) {
      case 0x00:
        for (std::size_t i = 0; i < rec[0]; ++i) (*memory)[base + offset + static_cast<std::uint32_t>(i)] = rec[4 + i];
        break;
      case 0x01: return true;
      case 0x02: base = ((static_cast<std::uint32_t>(rec[4]) << 8) | rec[5]) << 4; break;
      case 0x04: base = ((static_cast<std::uint32_t>(rec[4]) << 8) | rec[5]) << 16; break;
      case 0x03:
      case 0x05: break;  // start addresses
      default: *error = "unknown record type: " + line; return false;
    }
  }
  *error = "no end-of-file record";
  return false;
}

// What each generated file does to a tidy one, and so what both readers must make of it.
enum class Damage {
  kNone,             // untidy at most: both read the same bytes
  kBadDigit,         // a field with a character that is no hexadecimal digit: both refuse
  kLongField,        // a field of 3 or 4 digits worth 256 or more: both refuse
  kBadAddressDigit,  // an address with a non-digit: both refuse
  kBareAt,           // "@" alone before the end line: both refuse
  kBareAtBeforeData, // by design: "@" alone in place of an address line; srec_cat takes the next field as the address
  kLongSmallField,   // by design: a field of 3 digits worth less than 256 ("0AB"), srec_cat reads it
  kAddressWidth,     // by design: the same address in 3 or 7 digits, srec_cat reads it
  kAddressWithData,  // by design: the next data line on the address line, srec_cat reads it
  kNoEnd,            // by design: no end line (cut after a data line), srec_cat reads what is there
  kDataAfterEnd,     // by design: data after the end line, then no end line; srec_cat stops at the first "q"
  kEndInDataLine,    // by design: " q" after the fields of a data line; srec_cat ends there
  kUpperCaseEnd,     // by design: the end line is "Q"; srec_cat ends there
  kOtherSpace,       // by design: a form feed or a lone CR between two fields; srec_cat skips it as space
  kReadOn,           // by design: data and a second end line after the first; srec_cat stops at the first
  kOverlap,          // by design: a later segment rewrites an earlier byte; the reader keeps both, srec_cat refuses
  kCount
};

const char* const kDamageNames[] = {
    "none", "bad digit", "field worth 256 or more", "bad address digit", "bare @", "bare @ before data",
    "3-digit field under 256",
    "address of 3 or 7 digits", "data on the address line", "no end line", "data after the end line",
    "q in a data line", "end line Q", "form feed or lone CR", "data and a second end line after the end line",
    "overlapping segments"};

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
    std::size_t at = 0;
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
    g.damaged_line = static_cast<int>(at) + 1;
    return g;
  }

 private:
  std::mt19937 rng_;
  bool untidy_ = false;
};

// Lines of a text as the reader counts them: a last line without its line feed counts too.
int line_count(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n + (!text.empty() && text.back() != '\n');
}

// The reader's image as bytes by address, without the pad byte of an odd segment closed by the end line.
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
    const std::string text = g.text();
    TempFile file(text);
    SCOPED_TRACE("file " + std::to_string(n) + " of seed " + std::to_string(seed) + ", damage: " +
                 kDamageNames[static_cast<int>(g.damage)] + ", line " + std::to_string(g.damaged_line) +
                 "\n" + text);
    const ProgramResult r = run_program(srec_cat, {file.path(), "-ti-txt", "-o", "-", "-intel"});
    FirmwareImage image;
    std::string refusal;
    const bool ours = ReadTiTxtImage(file.path(), image, &refusal);
    const bool theirs = r.exit_status == 0;

    // srec_cat's own refusals of a field or an address are never read by us, and never later than its line.
    const bool their_field_or_address = r.err.find("illegal character") != std::string::npos ||
                                        r.err.find("byte value") != std::string::npos ||
                                        r.err.find("must be followed by an address") != std::string::npos;
    if (their_field_or_address) {
      ASSERT_FALSE(ours) << r.err;
      const std::string at = std::string(file.path()) + ": ";
      const unsigned long their_line = std::strtoul(r.err.c_str() + r.err.find(at) + at.size(), nullptr, 10);
      EXPECT_LE(std::strtoul(refusal.c_str() + 5, nullptr, 10), their_line) << refusal << "\n" << r.err;
    }

    Memory their_memory;
    if (theirs) {
      std::string error;
      ASSERT_TRUE(parse_intel_hex(r.out, &their_memory, &error)) << error;
    }
    const std::string line = "line " + std::to_string(g.damaged_line) + ": ";
    switch (g.damage) {
      case Damage::kNone:
        ASSERT_TRUE(ours) << refusal;
        ASSERT_TRUE(theirs) << r.err;
        ASSERT_EQ(image.segment_count(), g.segments.size());
        EXPECT_EQ(memory_of(image, g.segments, g.segments.size()), their_memory);
        ++both_read;
        break;
      case Damage::kBadDigit:
      case Damage::kLongField:
      case Damage::kBadAddressDigit:
      case Damage::kBareAt:
        EXPECT_FALSE(theirs) << "srec_cat read it";
        EXPECT_TRUE(their_field_or_address) << r.err;
        ASSERT_FALSE(ours);
        EXPECT_EQ(refusal.rfind(line, 0), 0u) << refusal;
        EXPECT_NE(refusal.find(g.damage == Damage::kBadDigit || g.damage == Damage::kLongField ? "data field"
                                                                                              : "address line"),
                  std::string::npos)
            << refusal;
        ++both_refused;
        break;
      case Damage::kBareAtBeforeData:
        EXPECT_EQ(r.err.find("must be followed by an address"), std::string::npos) << r.err;
        ASSERT_FALSE(ours);
        EXPECT_EQ(refusal, bad_address(g.damaged_line, "\"@\""));
        ++by_design[g.damage];
        break;
      case Damage::kLongSmallField:
      case Damage::kAddressWidth:
      case Damage::kAddressWithData:
      case Damage::kEndInDataLine:
      case Damage::kUpperCaseEnd:
      case Damage::kOtherSpace:
        EXPECT_TRUE(theirs) << r.err;
        ASSERT_FALSE(ours);
        EXPECT_EQ(refusal.rfind(line, 0), 0u) << refusal;
        EXPECT_NE(refusal.find(g.damage == Damage::kAddressWidth || g.damage == Damage::kAddressWithData
                                   ? "address line"
                                   : "data field"),
                  std::string::npos)
            << refusal;
        ++by_design[g.damage];
        break;
      case Damage::kNoEnd:
      case Damage::kDataAfterEnd:
        EXPECT_TRUE(theirs) << r.err;
        EXPECT_FALSE(ours);
        EXPECT_EQ(refusal, "line " + std::to_string(line_count(text) + 1) + ": " + kNoEnd);
        ++by_design[g.damage];
        break;
      case Damage::kReadOn:
        // The first end line closes the same bytes for both; the reader goes on and emits the last segment again.
        ASSERT_TRUE(ours) << refusal;
        ASSERT_TRUE(theirs) << r.err;
        ASSERT_EQ(image.segment_count(), g.segments.size() + 1);
        EXPECT_EQ(memory_of(image, g.segments, g.segments.size()), their_memory);
        EXPECT_EQ(image.segment(g.segments.size()).bytes.size(), (g.segments.back().bytes.size() + 3 + 1) / 2 * 2);
        ++by_design[g.damage];
        break;
      case Damage::kOverlap:
        ASSERT_TRUE(ours) << refusal;
        EXPECT_FALSE(theirs);
        EXPECT_NE(r.err.find("multiple"), std::string::npos) << r.err;
        ASSERT_EQ(image.segment_count(), g.segments.size() + 1);
        EXPECT_EQ(image.segment(g.segments.size()).start_address, g.segments.front().address);
        ++by_design[g.damage];
        break;
      case Damage::kCount: break;
    }
  }

  int differ = 0;
  std::string why;
  for (const auto& [damage, count] : by_design) {
    differ += count;
    why += std::string(why.empty() ? "" : ", ") + kDamageNames[static_cast<int>(damage)] + " " + std::to_string(count);
  }
  std::printf("srec_cat cross-check: %d files (seed %u), %d read by both with the same bytes, %d refused by both, "
              "%d differ by design (%s)\n",
              corpus, seed, both_read, both_refused, differ, why.c_str());
  EXPECT_EQ(both_read + both_refused + differ, corpus);
}

}  // namespace
