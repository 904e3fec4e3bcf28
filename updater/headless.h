// Cardflash without its window, for scripts, factory lines and servers:
//   Cardflash --scan                          the scan's lines
//   Cardflash --update FILE [--no-verify]     scan, then the whole update
//   Cardflash --recover FILE [--no-verify]    flash a controller left in its boot loader
//   Cardflash ... --ram-bsl FILE              the RAM boot-loader image to use
//   Cardflash --help | --version
#pragma once

#include <string>

#include "clock.h"
#include "stop_request.h"

namespace cardflash {

// Exit statuses, by where the card is: untouched (1), in its boot loader or perhaps on its way
// there (4: --recover brings it back), reset but not answering as a card (5).
enum HeadlessExit {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitBoardCount = 3,
  kExitInBootLoader = 4,
  kExitAfterReset = 5,
  kExitInterrupted = 130,  // Ctrl-C, as a shell reports a program that SIGINT ended
};

struct UpdateRun;
// The exit status of a run that ended, `done` or not, by where it left the card.
int ExitStatusOf(const UpdateRun& run, bool done);

// True when the arguments ask for the headless front end: anything but Qt's own options.
bool WantsHeadless(int argc, char** argv);
// True when the window has no display to open on: no DISPLAY, no WAYLAND_DISPLAY, and no platform
// chosen for Qt (QT_QPA_PLATFORM or -platform).
bool NoDisplayForTheWindow(int argc, char** argv);
// Says how to go on without a display (`why` there is none, when it is not that none is set); the
// exit status.
int RefuseWindowWithoutDisplay(const std::string& why = {});

// Runs the options. Ctrl-C asks `stop` to end an update at its next safe point; `clock` should cut
// its pauses short for it (SystemClock does when made with the same StopRequest).
int RunHeadless(int argc, char** argv, Clock& clock, StopRequest& stop);

}  // namespace cardflash
