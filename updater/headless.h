// Cardflash without its window, for scripts, factory lines and servers:
//   Cardflash --scan                          the scan's lines
//   Cardflash --update FILE [--verify]        scan, then the whole update
//   Cardflash --recover FILE [--verify]       flash a controller left in its boot loader
//   Cardflash ... --ram-bsl FILE              the RAM boot-loader image to use
//   Cardflash --help
#pragma once

#include "clock.h"

namespace cardflash {

enum HeadlessExit { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitBoardCount = 3 };

// True when the arguments ask for the headless front end: anything but Qt's own options.
bool WantsHeadless(int argc, char** argv);
// True when the window has no display to open on: no DISPLAY, no WAYLAND_DISPLAY, and no platform
// chosen for Qt (QT_QPA_PLATFORM or -platform).
bool NoDisplayForTheWindow(int argc, char** argv);
// Says how to go on without a display; the exit status.
int RefuseWindowWithoutDisplay();

int RunHeadless(int argc, char** argv, Clock& clock);

}  // namespace cardflash
