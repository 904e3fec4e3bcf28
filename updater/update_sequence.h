// One firmware update of the card's controller, from the two TI-TXT images through the switch
// into the boot loader, erase, RAM boot loader, programming and reset to the identity read
// afterwards; and the recovery of a controller left in its boot loader, which joins the same
// sequence at the boot-loader search. Every step writes its log line; every ending goes through
// the same closing steps, which always release the boot-loader connection, both images and the
// context.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "bsl_client.h"
#include "cardlink.h"
#include "clock.h"
#include "context_holder.h"
#include "flash_image.h"
#include "log_sink.h"
#include "stop_request.h"
#include "titxt_reader.h"

namespace cardflash {

constexpr const char* kRamBslName = "RAM_BSL_00.08.08.39";
constexpr const char* kRamBslExtension = "txt";
constexpr std::uint32_t kResetAddress = 0x0120;
constexpr int kSwitchPauseMs = 10000;
constexpr int kRamBslStartPauseMs = 3000;
constexpr int kResetPauseMs = 3000;
constexpr int kCrcReplyWaitMs = 1000;

// Where the RAM boot-loader image is: `file` when one was named, else RAM_BSL_00.08.08.39.txt in
// the first of `folders` that has it.
struct RamBslPlaces {
  std::string file;
  std::vector<std::string> folders;
};
// The platform's folders (RamBslFolders in platform/): beside the program first; on Linux then
// $XDG_DATA_HOME/cardlink (~/.local/share/cardlink) and cardlink/ in each folder of $XDG_DATA_DIRS
// (/usr/local/share and /usr/share): TI's image is not shipped, and an installed program's folder
// is no place for data.
RamBslPlaces DefaultRamBslPlaces();

// Where a run has left the card, from the card's own point of view.
enum class CardState {
  kUntouched,     // nothing that changes the card has been sent
  kSwitching,     // told to switch to its boot loader: there now, on its way, or still a card
  kInBootLoader,  // in its boot loader, its flash perhaps erased: a recovery brings it back
  kReset,         // reset into the new firmware, not yet seen answering as a card
  kUpdated,       // runs the new firmware and answered as a card
};

// The line that tells where a failed or stopped run left the card and what brings it back, with
// the firmware file in the command, and the card's USB port when several cards are in play
// (without "\r\n").
std::string StateLine(CardState state, const std::string& firmware_path, const std::string& port = {});

// What one run takes from the front end that starts it, and what it tells back.
struct UpdateRun {
  ContextHolder context;            // handed over by the front end; closed when the run ends
  std::string firmware_path;        // the TI-TXT file to flash
  RamBslPlaces ram_bsl;
  LogSink& log;
  Clock& clock;
  bool verify = true;               // CRC CHECK of every segment before the reset
  int row = 0;                      // RunUpdate: the card's row in the context's table
  std::string boot_loader_port{};   // RunRecovery: the boot loader's USB port; empty: none known
  DownloadProgress* progress = nullptr;
  StopRequest* stop = nullptr;      // asked for: the run ends at its next safe point
  // Where the card is as the run goes; a signal handler may read it.
  std::atomic<CardState> state{CardState::kUntouched};
  bool stopped = false;             // the run ended because a stop was asked for
  std::string new_fw_version{};     // the version the card reported after its reset
  std::string port_in_advice{};     // the port the state line's commands name (--card PORT)
};

// Directory of the running executable, with the separator at its end; empty when it cannot be
// found (platform/: /proc/self/exe on Linux, GetModuleFileNameA on Windows).
std::string ExecutableDirectory();

bool LoadRamBslImage(const UpdateRun& run, FirmwareImage& image);

// Runs the whole update on the card in the context's row `run.row`. True when the update
// completed and the card answered as a card afterwards; the log says what happened in every case
// and, after a failure or a stop once the card was touched, ends with the state line.
//
// Every card's boot loader lists the same ids. When the card has a USB port, its boot loader, the
// RAM boot loader and the card after its reset are looked for at that port only; a boot loader at
// another port is never opened. Without a port (Windows, no sysfs), nothing tells one boot loader
// from another: the update goes on only when no boot loader is listed before the switch.
bool RunUpdate(UpdateRun& run);

// For a controller left in its boot loader: from the boot-loader search on, as the update goes,
// skipping the RAM boot loader's download and start when the RAM boot loader already runs. The
// boot loader, the RAM boot loader and the card after the reset are looked for at
// `run.boot_loader_port` when it is given, else the first listed is taken.
bool RunRecovery(UpdateRun& run);

}  // namespace cardflash
