// The TI-TXT reader: accepted files with their images, refused files with their refusal line, and a
// cross-check on a generated corpus of tidy, untidy and damaged files against an independent
// reader, Debian's srec_cat.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "program_run.h"
#include "titxt_reader.h"

using namespace cardflash;
using namespace testsupport;

namespace {

// A file in the test's temporary folder, removed at the end of its scope.
class TempFile {
 public:
  explicit TempFile(const std::string& content)
      : path_(::testing::TempDir() + "titxt_" + std::to_string(::getpid()) + "_" + std::to_string(count_++)) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  static inline int count_ = 0;
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

// The image of an accepted file, or its refusal; a refused file leaves the caller's image as it was.
std::string read(const std::string& content) {
  TempFile file(content);
  FirmwareImage image;
  image.append({0x1234, 2, {0xAB, 0xCD}});
  std::string refusal;
  ::testing::internal::CaptureStdout();
  const bool ok = ReadTiTxtImage(file.path(), image, &refusal);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "the reader prints nothing";
  if (ok) return render(image);
  EXPECT_EQ(render(image), "1234: AB CD") << "image changed";
  return "refused: " + refusal;
}

TEST(TiTxtReader, AcceptedFiles) {
  const std::vector<std::pair<std::string, std::string>> table = {
      // One 0xFF pads the odd segment the end line closes, and only that one.
      {"@F000\n31 40 00 24 B0\n@FFFE\n00 F0 11\nq\n", "F000: 31 40 00 24 B0 | FFFE: 00 F0 11 FF"},
      // Data lines: blanks and tabs anywhere, any case, empty lines.
      {"@F000\n30 32  BB\t CC \n \taa Bb\n\n0A 00 0f 07\n \t \n@F100\nq\n", "F000: 30 32 BB CC AA BB 0A 00 0F 07 | F100:"},
      // Address lines: 4, 5 or 6 digits, any case, blanks around.
      {" \t@f000 \t\n01\n@010000\n02\n@0F000\n03\n@01a2b3\n04\n@FFFFFF\n05\n@0000\nq\n",
       "F000: 01 | 10000: 02 | F000: 03 | 1A2B3: 04 | FFFFFF: 05 | 0000:"},
      // Only later address lines emit, empty or not; the first emits nothing.
      {"@1000\n01\n@2000\n@3000\n02 03\n@4000\nq\n", "1000: 01 | 2000: | 3000: 02 03 | 4000:"},
      {"@1C00\nq\n", "1C00:"},
      // Lines after an end line read on from the bytes it left pending; a later address line emits them again.
      {"@F000\n11\nq\n22\nq\n", "F000: 11 FF | F000: 11 22"},
      {"@F000\n11\nq\n@E000\n33\nq\n", "F000: 11 FF | F000: 11 | E000: 33 FF"},
      // Never sorted or merged.
      {"@F002\n03 04\n@F000\n01 02\nq\n", "F002: 03 04 | F000: 01 02"},
      // An end line is any line whose first character after blanks is "q".
      {"@F000\n01\n \tquit here\n", "F000: 01 FF"},
      // CR LF reads as LF; blank lines anywhere; the last line feed may be missing.
      {"\n \t\r\n\n@4400\r\n44 30 31\r\n\t\n@010000\r\n01 02 03 \r\nq\r\n\n \r\n", "4400: 44 30 31 | 10000: 01 02 03 FF"},
      {"@F000\n01\nq", "F000: 01 FF"},
      {"@F000\r\n01\r\nq\r", "F000: 01 FF"},
  };
  for (const auto& [text, segments] : table) EXPECT_EQ(read(text), segments) << text;
}

TEST(TiTxtReader, RefusedFiles) {
  const std::string no_end = "file ends without the end line \"q\"";
  auto field = [](const std::string& quoted) {
    return "line 3: data field " + quoted + " is not two hexadecimal digits";
  };
  auto address = [](int line, const std::string& quoted) {
    return "line " + std::to_string(line) + ": address line " + quoted + " is not \"@\" and 4, 5 or 6 hexadecimal digits";
  };
  std::vector<std::pair<std::string, std::string>> table = {
      {"01 02\n@F000\n03\nq\n", "line 1: data before the first address line"},
      {"\n\t\n ZZ\n@F000\nq\n", "line 3: data before the first address line"},
      {"q\n@F000\n01\nq\n", "line 1: end line before the first address line"},
      {"", "line 1: " + no_end},
      {"@F000\n01 02\n03", "line 4: " + no_end},  // a truncated download
      {"@F000\n01 02\n", "line 3: " + no_end},
      {"@F000\n01\nq\n@F100\n02\n", "line 6: " + no_end},  // the last segment is never closed
      {"@F000\n01\nq\n\t02\n\n", "line 6: " + no_end},     // bytes after the end line
  };
  for (const auto& [line, quoted] : std::vector<std::pair<std::string, std::string>>{
           {"1A7", "\"1A7\""}, {"G7", "\"G7\""}, {"3", "\"3\""}, {"30 3", "\"3\""}, {"0x1F", "\"0x1F\""}, {"001", "\"001\""}, {"AA,BB", "\"AA,BB\""},
           {"Q", "\"Q\""}, {"01 02 q", "\"q\""}, {"AA\rBB", "\"AA\\x0DBB\""}, {"AA\fBB", "\"AA\\x0CBB\""},
           {"AA\vBB", "\"AA\\x0BBB\""}, {"01 @F100", "\"@F100\""}, {"\"\\\xE4", "\"\\x22\\x5C\\xE4\""},
           {std::string(50, 'A'), "\"" + std::string(40, 'A') + "\"..."}})
    table.push_back({"@F000\n01 02\n" + line + "\n03\nq\n", field(quoted)});
  for (const std::string line : {"@F0G0", "@F00", "@1000000", "@", "@0x1000", "@ F000", "@F000 01 02"}) {
    table.push_back({line + "\n01\nq\n", address(1, "\"" + line + "\"")});
    table.push_back({"@F000\n01\n" + line + "\n02\nq\n", address(3, "\"" + line + "\"")});
  }
  table.push_back({"@F000\r\r\n01\nq\n", address(1, "\"@F000\\x0D\"")});
  for (const auto& [text, refusal] : table) EXPECT_EQ(read(text), "refused: " + refusal) << text;
}

TEST(TiTxtReader, FilesThatCannotBeReadLeaveTheImage) {
  FirmwareImage image;
  image.append({0x1234, 3, {1, 2, 3}});
  for (const auto& [path, reason] : std::vector<std::pair<std::string, std::string>>{
           {::testing::TempDir() + "no_such_folder/fw.txt", "No such file or directory"},
           {::testing::TempDir(), "Is a directory"}}) {
    std::string refusal;
    EXPECT_FALSE(ReadTiTxtImage(path.c_str(), image, &refusal)) << path;
    EXPECT_EQ(refusal, reason) << path;
  }
  EXPECT_FALSE(ReadTiTxtImage(nullptr, image));
  EXPECT_EQ(render(image), "1234: 01 02 03");
}

// ---------------------------------------------------------------------------------------------------------------
// Cross-check against Debian's srec_cat

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

// What each generated file does to a tidy one, and so what both readers make of it. What srec_cat reads and we
// refuse ("001", "@F00", "@F000 01", no end line, "Q", a form feed, ...) is left to TiTxtReader.RefusedFiles.
enum class Damage { kNone, kBadDigit, kLongField, kBadAddressDigit, kBareAt, kReadOn, kOverlap, kOneDigit, kCount };

struct Expectation {
  const char* name;
  bool srec_cat_reads;
  const char* refusal;  // what our refusal names; null when we read the file
  bool by_design;       // the readers disagree on purpose
};

const Expectation kExpected[] = {
    {"none", true, nullptr, false},
    {"bad digit", false, "data field", false},
    {"field worth 256 or more", false, "data field", false},
    {"bad address digit", false, "address line", false},
    {"bare @ before the end line", false, "address line", false},
    {"data and a second end line after the end line (srec_cat stops at the first)", true, nullptr, true},
    {"overlapping segments (srec_cat refuses differing bytes)", false, nullptr, true},
    {"a one-digit field (srec_cat reads it as a byte)", true, "data field", true},
};
static_assert(std::size(kExpected) == static_cast<std::size_t>(Damage::kCount));

struct Seg {
  std::uint32_t address;
  Bytes bytes;
};

enum Kind { kBlank, kAddress, kData, kEnd };
struct Line {
  std::string text;
  Kind kind;
};

struct Generated {
  std::vector<Line> lines;
  Damage damage = Damage::kNone;
  int damaged_line = 0;  // 1-based, in the final text; 0 when the damage has no line of its own
  std::string eol = "\n";
  bool final_eol = true;
  std::vector<Seg> segments;  // as written, ascending and apart, before any damage
  std::string text() const {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) out += lines[i].text + (i + 1 < lines.size() || final_eol ? eol : "");
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
  Line blank() { return {chance(2) ? "" : blanks(2), kBlank}; }

  // A tidy or untidy file: case, blanks and tabs, blank lines, CR LF, odd lengths, 4, 5 and 6 digit addresses.
  Generated tidy() {
    Generated g;
    untidy_ = chance(2);
    if (untidy_ && chance(3)) g.eol = "\r\n";
    g.final_eol = !untidy_ || !chance(4);
    while (untidy_ && chance(3)) g.lines.push_back(blank());
    std::uint32_t address = static_cast<std::uint32_t>(chance(4) ? pick(0, 0xFFF) : pick(0x1000, 0x8000));
    const int count = pick(1, 6);
    char buffer[16];
    for (int s = 0; s < count && address < 0xFF0000; ++s) {
      Seg seg{address, {}};
      const int length = chance(5) ? pick(1, 3) : pick(1, 300);
      for (int i = 0; i < length; ++i) seg.bytes.push_back(static_cast<std::uint8_t>(pick(0, 255)));
      const bool lower = untidy_ && chance(2);
      const int width = std::max(address > 0xFFFFF ? 6 : address > 0xFFFF ? 5 : 4, pick(4, 6));
      std::snprintf(buffer, sizeof buffer, lower ? "@%0*x" : "@%0*X", width, static_cast<unsigned>(address));
      g.lines.push_back({pad(buffer), kAddress});
      const int per_line = chance(3) ? pick(1, 40) : 16;
      std::string line;
      for (int i = 0; i < length; ++i) {
        const unsigned value = seg.bytes[static_cast<std::size_t>(i)];
        std::snprintf(buffer, sizeof buffer, lower ? "%02x" : "%02X", value);
        line += (line.empty() ? "" : untidy_ ? blanks(3) : " ") + std::string(buffer);
        if ((i + 1) % per_line == 0 || i + 1 == length) {
          g.lines.push_back({pad(line), kData});
          line.clear();
          if (untidy_ && chance(8)) g.lines.push_back(blank());
        }
      }
      g.segments.push_back(seg);
      address += static_cast<std::uint32_t>(length) + static_cast<std::uint32_t>(chance(3) ? pick(2, 64) : pick(2, 0x6000));
      if (chance(5)) address += 0x10000;  // across the 64 KB boundary
    }
    g.lines.push_back({pad(untidy_ && chance(4) ? "quit" : "q"), kEnd});
    while (untidy_ && chance(4)) g.lines.push_back(blank());
    return g;
  }

  // Index of a random line of `kind`.
  std::size_t any(const Generated& g, Kind kind) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < g.lines.size(); ++i)
      if (g.lines[i].kind == kind) found.push_back(i);
    return found[static_cast<std::size_t>(pick(0, static_cast<int>(found.size()) - 1))];
  }
  // Replaces a random field of a random data line; gives the line.
  std::size_t replace_field(Generated& g, const std::string& field) {
    const std::size_t index = any(g, kData);
    std::string& text = g.lines[index].text;
    std::vector<std::size_t> starts;
    for (std::size_t at = text.find_first_not_of(" \t"); at != std::string::npos;
         at = text.find_first_not_of(" \t", text.find_first_of(" \t", at)))
      starts.push_back(at);
    const std::size_t at = starts[static_cast<std::size_t>(pick(0, static_cast<int>(starts.size()) - 1))];
    text.replace(at, text.find_first_of(" \t", at) - at, field);
    return index;
  }

  Generated damaged() {
    Generated g = tidy();
    g.damage = chance(2) ? Damage::kNone : static_cast<Damage>(pick(1, static_cast<int>(Damage::kCount) - 1));
    auto digit = [&] { return std::string(1, "0123456789ABCDEF"[pick(0, 15)]); };
    auto insert = [&g](std::size_t at, std::initializer_list<Line> lines) {
      g.lines.insert(g.lines.begin() + static_cast<std::ptrdiff_t>(at), lines);
    };
    std::size_t at = std::string::npos;  // the damaged line, if the damage has one
    switch (g.damage) {
      case Damage::kNone: case Damage::kCount: break;
      case Damage::kBadDigit: {
        std::string field = digit() + "GgZz.,-+x#;$_*h"[pick(0, 14)];
        if (chance(2)) std::swap(field[0], field[1]);
        at = replace_field(g, field);
        break;
      }
      case Damage::kLongField:
        at = replace_field(g, std::to_string(pick(1, 9)) + digit() + digit() + (chance(2) ? digit() : ""));
        break;
      case Damage::kBadAddressDigit: {
        Line& line = g.lines[at = any(g, kAddress)];
        line.text[line.text.find('@') + 1 + static_cast<std::size_t>(pick(0, 3))] = "GZxg"[pick(0, 3)];
        break;
      }
      case Damage::kBareAt: insert(at = any(g, kEnd), {{"@", kAddress}}); break;
      case Damage::kOneDigit: at = replace_field(g, digit()); break;
      case Damage::kReadOn: insert(any(g, kEnd) + 1, {{"A5 5A 01", kData}, {"q", kEnd}}); break;
      case Damage::kOverlap: {  // the first segment's address again, with another first byte
        char address[16], byte[4];
        std::snprintf(address, sizeof address, "@%06X", static_cast<unsigned>(g.segments[0].address));
        std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(g.segments[0].bytes[0] ^ 0x5A));
        insert(any(g, kEnd), {{address, kAddress}, {byte, kData}});
        break;
      }
    }
    g.damaged_line = at == std::string::npos ? 0 : static_cast<int>(at) + 1;
    return g;
  }

 private:
  std::mt19937 rng_;
  bool untidy_ = false;
};

// The segments of the reader's image that match those `written`, as bytes by address, without the pad byte.
Memory memory_of(const FirmwareImage& image, const std::vector<Seg>& written) {
  Memory out;
  for (std::size_t s = 0, count = written.size(); s < count; ++s) {
    const ImageSegment& seg = image.segment(s);
    std::size_t length = seg.bytes.size();
    if (s + 1 == count && written.back().bytes.size() % 2 != 0) {
      EXPECT_EQ(length, written.back().bytes.size() + 1);
      EXPECT_EQ(seg.bytes.back(), 0xFF) << "pad byte";
      --length;
    }
    for (std::size_t i = 0; i < length; ++i) out[seg.start_address + static_cast<std::uint32_t>(i)] = seg.bytes[i];
  }
  return out;
}

TEST(TiTxtReaderCrossCheck, AgainstSrecCat) {
  const std::string srec_cat = "/usr/bin/srec_cat";
  if (access(srec_cat.c_str(), X_OK) != 0) GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
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
    const cardsim::ProgramRun r = cardsim::run_program(srec_cat, {file.path(), "-ti-txt", "-o", "-", "-vmem", "8"});
    FirmwareImage image;
    std::string refusal;
    const bool ours = ReadTiTxtImage(file.path(), image, &refusal);

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
    EXPECT_EQ(their_field_or_address, !expected.srec_cat_reads && expected.refusal) << r.err;
    EXPECT_EQ(r.exit_status == 0, expected.srec_cat_reads) << r.err;
    if (expected.refusal) {
      ASSERT_FALSE(ours) << render(image);
      EXPECT_EQ(refusal.rfind("line " + std::to_string(g.damaged_line) + ": ", 0), 0u) << refusal;
      EXPECT_NE(refusal.find(expected.refusal), std::string::npos) << refusal;
    } else {
      ASSERT_TRUE(ours) << refusal;
    }

    // The bytes, where both read: the same, apart from our pad byte.
    const std::size_t written = g.segments.size();
    if (g.damage == Damage::kNone || g.damage == Damage::kReadOn) {
      // The first end line closes the same bytes for both; after it we read on and emit the last segment again.
      const bool read_on = g.damage == Damage::kReadOn;
      ASSERT_EQ(image.segment_count(), written + (read_on ? 1 : 0));
      EXPECT_EQ(memory_of(image, g.segments), parse_vmem(r.out));
      if (read_on) {
        EXPECT_EQ(image.segment(written).bytes.size(), (g.segments.back().bytes.size() + 4) / 2 * 2);
      }
    } else if (g.damage == Damage::kOverlap) {
      EXPECT_NE(r.err.find("multiple"), std::string::npos) << r.err;
      ASSERT_EQ(image.segment_count(), written + 1);
      EXPECT_EQ(image.segment(written).start_address, g.segments.front().address);
    }
    if (expected.by_design) ++by_design[g.damage];
    else if (ours) ++both_read;
    else ++both_refused;
  }

  std::string why;
  for (const auto& [damage, count] : by_design)
    why += std::string(why.empty() ? "" : ", ") + kExpected[static_cast<int>(damage)].name + " " + std::to_string(count);
  std::printf("srec_cat cross-check: %d files (seed %u), %d read by both with the same bytes, %d refused by both, "
              "%d differ by design (%s)\n",
              corpus, seed, both_read, both_refused, corpus - both_read - both_refused, why.c_str());
}

}  // namespace
