// The in-process scenario runs under wine: RunHeadless as Cardflash.com runs it, finding the RAM
// boot-loader image beside the program, which is the test program here. The build puts the
// stand-in beside it, and runs the scenarios of Cardflash as built from a copy in a folder of its
// own (tests/windows/windows_tests.cmake). Folders are named in Windows' form.
#include <gtest/gtest.h>
#include <process.h>

#include "headless.h"
#include "platform.h"
#include "scenario_host.h"

namespace testsupport {

bool runs_here(const Scenario& s) { return s.program != Program::kCardtool && !s.terminal; }

Placeholders prepare_run(Program program) {
  std::string folder = cardflash::ExecutableDirectory();
  folder.pop_back();  // its separator
  const std::string image = folder + "\\RAM_BSL_00.08.08.39.txt";
  EXPECT_EQ(cardflash::PathExists(image), program == Program::kCardflash)
      << "Cardflash as built runs from a folder without the image beside it, the others beside it: " << folder;
  Placeholders p{image, folder, folder + "\\scenario-files-" + std::to_string(_getpid())};
  p.data = "Z:" + p.data;  // wine's drive Z: is the root folder
  for (char& c : p.data)
    if (c == '/') c = '\\';
  p.separator = '\\';
  return p;
}

Outcome run_in_process(const Scenario&, const std::vector<std::string>& args, cardflash::Clock& clock) {
  std::vector<std::string> texts = {"Cardflash"};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Outcome got{cardflash::RunHeadless(static_cast<int>(texts.size()), argv.data(), clock) & 0xFF, "", ""};
  // Text mode ends lines with CR LF (Cardflash.com's own test checks them); read as on Linux.
  for (auto [stream, text] : {std::pair{&got.out, ::testing::internal::GetCapturedStdout()},
                              std::pair{&got.err, ::testing::internal::GetCapturedStderr()}})
    for (std::size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) *stream += text[i];
  return got;
}

}  // namespace testsupport
