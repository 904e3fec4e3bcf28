// One firmware update of the card's controller, from the two TI-TXT images through the switch
// into the boot loader, erase, RAM boot loader, programming and reset to the identity read
// afterwards. Every step writes its log line; every ending goes through the same closing steps,
// which always release the boot-loader connection, both images and the context.
#pragma once

#include <string>

#include "cardlink.h"
#include "clock.h"
#include "log_sink.h"
#include "titxt_reader.h"

namespace cardflash {

constexpr const char* kRamBslName = "RAM_BSL_00.08.08.39";
constexpr const char* kRamBslExtension = "txt";
constexpr std::uint32_t kRamBslStart = 0x2504;
constexpr std::uint32_t kResetAddress = 0x0120;
constexpr int kSwitchPauseMs = 10000;
constexpr int kRamBslStartPauseMs = 3000;
constexpr int kResetPauseMs = 3000;

// What one run takes from the front end that starts it.
struct UpdateRun {
  CardContext** context;          // the front end's handle: closed and cleared when the run ends
  std::string firmware_path;      // the TI-TXT file to flash
  std::string ram_bsl_directory;  // where RAM_BSL_00.08.08.39.txt lies (the program's own folder)
  LogSink& log;
  Clock& clock;
};

// Directory of the running executable (from /proc/self/exe), with a trailing '/'; empty when it
// cannot be found.
std::string ExecutableDirectory();

bool LoadRamBslImage(const UpdateRun& run, FirmwareImage& image);

// Runs the whole sequence. True when the update completed and the card reported its identity
// afterwards; the log says what happened in every case.
bool RunUpdate(UpdateRun& run);

}  // namespace cardflash
