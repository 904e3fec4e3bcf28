// The updater's Windows side (updater/platform/windows.cpp) where the program's runs under wine do
// not reach it: paths in the ANSI code page, the program's folder and the Big5 text for a console.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform.h"
#include "support/update_fixture.h"
#include "titxt_reader.h"
#include "update_sequence.h"

using namespace cardflash;

namespace {

// A folder whose name is not ASCII in the ANSI code page (1252 in wine's default prefix): "Preis-€",
// with the euro sign 0x80, which the C runtime's own conversion (used by std::filesystem) takes
// for U+0080 and so names another folder.
class AnsiFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetACP(), 1252u) << "the test's names are in code page 1252";
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    folder_ = std::string(temp) + "Preis-\x80-" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
  }
  void TearDown() override {
    for (const std::string& name : written_) DeleteFileA((folder_ + name).c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string write(const std::string& name, const std::string& content) {
    FILE* file = std::fopen((folder_ + name).c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file) {
      std::fwrite(content.data(), 1, content.size(), file);
      std::fclose(file);
    }
    written_.push_back(name);
    return folder_ + name;
  }
  std::string folder_;
  std::vector<std::string> written_;
};

TEST_F(AnsiFolder, FilesAreFoundAndReadByTheirAnsiPath) {
  const std::string image = write("RAM_BSL_00.08.08.39.txt", "@2500\r\n00 08 08 39 31 40\r\nq\r\n");
  EXPECT_TRUE(PathExists(image));
  EXPECT_TRUE(PathExists(folder_));
  EXPECT_FALSE(PathExists(folder_ + "missing.txt"));

  // The search for the RAM boot loader finds it in the folder and reads it.
  testsupport::RecordingLog log;
  testsupport::VirtualClock clock;
  UpdateRun run{nullptr, "", RamBslPlaces{{}, {folder_}}, log, clock};
  FirmwareImage read;
  EXPECT_TRUE(LoadRamBslImage(run, read)) << log.all;
  EXPECT_EQ(testsupport::log_lines_of(log.all),
            (std::vector<std::string>{"==Load RAM BSL==", image, "Load RAM_BSL_00.08.08.39.txt Complete"}));
  ASSERT_EQ(read.segment_count(), 1u);
  EXPECT_EQ(read.segment(0).bytes, (std::vector<std::uint8_t>{0x00, 0x08, 0x08, 0x39, 0x31, 0x40}));
}

// Binary mode: a byte 0x1A does not end the file (text mode would stop before it and find no end
// line). A folder is named as one, where Windows says "Permission denied".
TEST_F(AnsiFolder, FilesAreReadAsBytes) {
  std::string refusal;
  FirmwareImage image;
  EXPECT_FALSE(ReadTiTxtImage(write("eof.txt", "@F000\n01 \x1A\nq\n").c_str(), image, &refusal));
  EXPECT_EQ(refusal, "line 2: data field \"\\x1A\" is not two hexadecimal digits");
  EXPECT_FALSE(ReadTiTxtImage(folder_.c_str(), image, &refusal));
  EXPECT_EQ(refusal, "Is a directory");
}

TEST(WindowsPaths, ProgramFolderAndFullPaths) {
  char module[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::string program(module, n);
  const std::string folder = ExecutableDirectory();
  EXPECT_EQ(folder, program.substr(0, program.rfind('\\') + 1));
  EXPECT_EQ(RamBslFolders(), std::vector<std::string>{folder});
  EXPECT_EQ(DefaultRamBslPlaces().folders, std::vector<std::string>{folder});

  char current[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, current), 0u);
  std::string here = current;
  if (here.back() != '\\') here += '\\';
  EXPECT_EQ(FullPath("fw.txt"), here + "fw.txt");
  EXPECT_EQ(FullPath("Z:/a/b/../fw.txt"), "Z:\\a\\fw.txt");
  EXPECT_EQ(kFolderSeparator, '\\');
}

}  // namespace
