// Cardflash without its window, for scripts and factory lines:
//   Cardflash --scan          the scan's lines
//   Cardflash --update FILE   scan, then the whole update, its log lines on standard output
//   Cardflash --help
#pragma once

namespace cardflash {

enum HeadlessExit { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// True when the arguments ask for the headless front end (anything at all was given).
bool WantsHeadless(int argc, char** argv);
int RunHeadless(int argc, char** argv);

}  // namespace cardflash
