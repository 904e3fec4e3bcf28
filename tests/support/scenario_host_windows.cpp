// The in-process scenario runs under wine: RunHeadless as Cardflash.com runs it. It looks for TI's
// RAM boot-loader image beside the program, the test program here, where there is none; the
// stand-in is named on the command line. Folders are named in Windows' form.
#include <gtest/gtest.h>
#include <process.h>

#include "headless.h"
#include "platform.h"
#include "scenario.h"

namespace testsupport {

// Not here either: a path in a UTF-8 locale (Windows names files in its ANSI code page), and
// Ctrl-C raised as SIGINT (Windows delivers it through the console's handler).
bool runs_here(const Scenario& s) {
  for (const Step& step : s.steps)
    if (step.interrupt_at_pause.value_or(-1) >= 0) return false;
  return s.program != Program::kCardtool && !s.terminal && !s.utf8;
}

// TI's image is never beside the test program; the stand-in is named on the command line.
Placeholders prepare_run(const Scenario&) {
  std::string folder = cardflash::ExecutableDirectory();
  folder.pop_back();  // its separator
  EXPECT_FALSE(cardflash::PathExists(folder + "\\RAM_BSL_00.08.08.39.txt")) << folder;
  Placeholders p{wine_path(SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt"), folder,
                 folder + "\\scenario-files-" + std::to_string(_getpid())};
  p.data = wine_path(p.data);
  p.separator = '\\';
  return p;
}

Outcome run_in_process(const Scenario&, const std::vector<std::string>& args, cardflash::Clock& clock,
                       cardflash::StopRequest& stop) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status =
      call_main("Cardflash", args, [&](int argc, char** argv) { return cardflash::RunHeadless(argc, argv, clock, stop); });
  // Text mode ends lines with CR LF (Cardflash.com's own test checks them); read as on Linux.
  const std::string out = without_cr(::testing::internal::GetCapturedStdout());
  return Outcome{status, out, without_cr(::testing::internal::GetCapturedStderr())};
}

}  // namespace testsupport
