#include "scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "titxt_reader.h"

namespace testsupport {

std::string Placeholders::operator()(std::string text) const {
  const std::map<std::string, std::string> values = {
      {"@DATA@", data}, {"@RAMBSL@", ram_bsl}, {"@EXEDIR@", exe_dir}, {"@TMP@", tmp}};
  for (const auto& [key, value] : values)
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
      const bool slash = at + key.size() < text.size() && text[at + key.size()] == '/';
      text.replace(at, key.size() + slash, slash ? value + separator : value);
    }
  return text;
}

std::vector<std::string> Placeholders::operator()(std::vector<std::string> texts) const {
  for (std::string& t : texts) t = (*this)(t);
  return texts;
}

std::vector<std::string> arguments(const Scenario& s, const Step& step, const Placeholders& p) {
  std::vector<std::string> args = p(step.args);
  auto given = [&](const char* option) { return std::find(args.begin(), args.end(), option) != args.end(); };
  if (s.program == Program::kCardflash && (given("--update") || given("--recover")) && !given("--ram-bsl"))
    args.insert(args.begin(), {"--ram-bsl", p.ram_bsl});
  return args;
}

std::string test_name(const Scenario& s, std::size_t index) {
  std::string name;
  for (char c : s.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name + "_" + std::to_string(index);
}

int call_main(const std::string& name, std::vector<std::string> args, const std::function<int(int, char**)>& main) {
  args.insert(args.begin(), name);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return main(static_cast<int>(args.size()), argv.data()) & 0xFF;
}

std::string without_cr(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

std::string wine_path(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

void write_files(const Scenario& s, const Placeholders& p) {
  std::filesystem::create_directories(p.tmp);
  for (const auto& [name, content] : s.files) std::ofstream(p.tmp + "/" + name, std::ios::binary) << content;
}

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void expect_flashed(cardsim::Board& board) {
  cardflash::FirmwareImage image;
  ASSERT_TRUE(cardflash::ReadTiTxtImage(SAMPLE_DATA_DIR "/firmware_0200.txt", image));
  for (const cardflash::ImageSegment& segment : image)
    for (std::int32_t i = 0; i < segment.byte_count; ++i) {
      const std::uint32_t address = segment.start_address + static_cast<std::uint32_t>(i);
      ASSERT_EQ(board.memory().read(address), segment.bytes[static_cast<std::size_t>(i)]) << "flash at 0x" << std::hex
                                                                                          << address;
    }
}

// The BSL command codes a board received, in hex, a run of one code written once with its count.
std::string bsl_codes(const cardsim::Board& board) {
  std::string out;
  const auto& commands = board.bsl_commands();
  for (std::size_t i = 0; i < commands.size();) {
    std::size_t run = 1;
    while (i + run < commands.size() && commands[i + run].code == commands[i].code) ++run;
    char code[8];
    std::snprintf(code, sizeof code, "%02X", commands[i].code);
    out += (out.empty() ? "" : " ") + std::string(code) + (run > 1 ? "*" + std::to_string(run) : "");
    i += run;
  }
  return out;
}

}  // namespace

void check_step(const Step& step, const Outcome& got, const Placeholders& p, const BoardAt& board) {
  EXPECT_EQ(got.status, step.status) << got.out << got.err;
  if (step.out) {
    EXPECT_EQ(got.out, p(*step.out));
  }
  for (const std::string& part : p(step.out_has))
    EXPECT_NE(got.out.find(part), std::string::npos) << "missing:\n" << part << "\nin:\n" << got.out;
  for (const std::string& part : p(step.out_lacks))
    EXPECT_EQ(got.out.find(part), std::string::npos) << "unexpected:\n" << part << "\nin:\n" << got.out;
  EXPECT_TRUE(ends_with(got.out, p(step.out_ends))) << "expected the end:\n" << p(step.out_ends) << "\nof:\n"
                                                    << got.out;
  if (step.err) {
    EXPECT_EQ(got.err, p(*step.err));
  }
  EXPECT_NE(got.err.find(p(step.err_has)), std::string::npos) << got.err;
  for (const auto& [index, commands] : step.commands) EXPECT_EQ(board(index).commands(), commands) << "board " << index;
  for (const auto& [index, codes] : step.bsl) EXPECT_EQ(bsl_codes(board(index)), codes) << "board " << index;
  for (const CardState& card : step.cards) {
    cardsim::Board& b = board(card.board);
    EXPECT_EQ(b.mode(), card.mode) << "board " << card.board;
    EXPECT_EQ(b.application_version(), card.version) << "board " << card.board;
    if (card.flashed) expect_flashed(b);
  }
}

void check_end(const Scenario& s, std::size_t boards, const BoardAt& board,
               const std::function<std::string(std::size_t)>& path) {
  for (std::size_t i = 0; i < boards; ++i) {
    EXPECT_EQ(board(i).faults(), std::vector<std::string>{}) << "board " << i;
    if (board(i).mode() == cardsim::Mode::Unrelated) {
      EXPECT_EQ(board(i).commands(), std::vector<std::string>{}) << "board " << i;
    }
  }
  for (const auto& [index, node] : s.paths) EXPECT_EQ(path(index), node) << "device " << index;
}

}  // namespace testsupport
