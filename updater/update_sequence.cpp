#include "update_sequence.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "card_protocol.h"
#include "flash_image.h"
#include "platform.h"

namespace cardflash {

namespace {

constexpr std::uint8_t kResetBytes[2] = {0xA5, 0x06};
using cardlink::kCardVendorId;

struct Identity {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[12] = {};
  char boot_version[12] = {};
};

bool IsVersionText(const char* text) {
  if (std::strlen(text) != 4) return false;
  return std::all_of(text, text + 4, [](char c) { return c >= 0x20 && c < 0x7F; });
}

// The card after its reset: it has listed itself anew, perhaps on another node and perhaps behind
// other devices, so it is found in a fresh listing. At its port when it has one, where no other
// card is even opened (they may be in the middle of their own update); else by the card id that
// the scan recorded (any card after a recovery, which had none), as the first card listed. Only a
// card that answers as a card counts: its vendor id, and four printable characters in each version.
bool ReadIdentityAnew(std::optional<std::int8_t> card_id, const std::string& port, Identity& id) {
  CardContext* fresh = port.empty() ? Tav_Init() : Tav_InitAtPort(port.c_str());
  if (!fresh) return false;
  std::int8_t card_ids[cardlink::kCardTableCapacity] = {};
  const bool found = Tav_GetCardIdTable(fresh, card_ids) && (!card_id || card_ids[0] == *card_id) &&
                     Tav_GetDevInfoByRow(fresh, 0, &id.vendor_id, &id.product_id, &id.card_id, id.fw_version,
                                         id.boot_version);
  Tav_Close(fresh);
  return found && id.vendor_id == kCardVendorId && IsVersionText(id.fw_version) && IsVersionText(id.boot_version);
}

// False, and the run marked stopped, once a stop has been asked for: called at each safe point,
// where no packet is half sent and nothing waits to be finished on the card.
bool GoOn(UpdateRun& run) {
  if (!run.stop || !run.stop->Requested()) return true;
  run.stopped = true;
  return false;
}

// Finds the boot loader that lists itself now, at `port` when one is given, and connects to it.
bool FindAndConnectBootLoader(CardContext* context, LogSink& log, bool announce, const std::string& port) {
  if (!(port.empty() ? Tav_EnumBootDev(context) : Tav_EnumBootDevAtPort(context, port.c_str()))) {
    AppendLog(log, "Fail To Find ISP mode device\r\n");
    return false;
  }
  // The separator is a full-width space in the Big5 code page, passed on as it is.
  if (announce) AppendLog(log, "Device 0x2047 0x0200 ISP\xA1\x40mode device found\r\n");
  if (!Tav_BslConnect(context)) {
    AppendLog(log, "Fail To Connect ISP mode device\r\n");
    return false;
  }
  if (announce) AppendLog(log, "Device Connected\r\n");
  return true;
}

// Reads one image and checks it for its use, before the card is touched; a refusal reaches the log
// with the file and the reason.
bool ReadImage(LogSink& log, const std::string& path, FirmwareImage& image,
               std::string (*problem_of)(const FirmwareImage&)) {
  std::string refusal;
  if (ReadTiTxtImage(path.c_str(), image, &refusal) && (refusal = problem_of(image)).empty()) return true;
  AppendLog(log, "open file fail,file maybe is not exist or bad.\r\n");
  AppendLog(log, "%s: %s\r\n", path.c_str(), refusal.c_str());
  return false;
}

bool ReadFirmware(const UpdateRun& run, FirmwareImage& firmware) {
  if (!ReadImage(run.log, run.firmware_path, firmware, ImageProblem)) return false;
  AppendLog(run.log, "Load Msp430 FW Complete\r\n");
  return true;
}

// The answer to the erased device's password. A refusal stops the run before a single block is
// sent: locked, the boot loader would drop every block without a word. No answer at all lets the
// run go on: the boot loader in flash may not send its replies over USB.
bool Unlocked(LogSink& log, BslMessage answer) {
  if (!answer || *answer == kBslMessageOk) return true;
  AppendLog(log, "Unlock Fail: BSL message 0x%02X\r\n", static_cast<unsigned>(*answer));
  return false;
}

// The boot loader that listed itself after LOAD PC 0x2504 must be the RAM boot loader: one that
// failed to start leaves the boot loader in flash under the same ids, which offers no TX BSL
// VERSION. The RAM boot loader may start locked: the erased device's password unlocks it.
bool ConfirmRamBootLoader(UpdateRun& run, CardContext* context) {
  if (!BslAskVersion(context, run.clock)) {
    AppendLog(run.log, "RAM BSL did not start\r\n");
    return false;
  }
  return Unlocked(run.log, BslUnlock(context, run.clock));
}

// From the USB boot loader in the controller's flash to the RAM boot loader, connected, answering
// and unlocked.
bool StartRamBootLoader(UpdateRun& run, CardContext* context, const FirmwareImage& ram_bsl, const std::string& port) {
  LogSink& log = run.log;
  AppendLog(log, "Download full BSL...\r\n");
  if (auto failed = BslDownloadImage(context, ram_bsl, run.progress, run.stop)) {
    if (GoOn(run)) AppendLog(log, "Download RAM BSL Fail at 0x%05X\r\n", static_cast<unsigned>(*failed));
    return false;
  }
  if (!BslLoadPc(context, kRamBslStart)) {
    AppendLog(log, "Bsl Load PC Fail\r\n");
    return false;
  }
  run.clock.Pause(kRamBslStartPauseMs);
  if (!GoOn(run)) return false;
  AppendLog(log, "Wait for BSL\r\n");
  // The RAM boot loader has listed itself anew, on a node of its own: the old one stayed taken
  // while the connection to it was open. Search again rather than reopen the old path.
  Tav_BslClose(context);
  return FindAndConnectBootLoader(context, log, false, port) && ConfirmRamBootLoader(run, context);
}

// CRC CHECK of every segment as the flash holds it now, before the controller is reset into it.
bool VerifyFlash(UpdateRun& run, CardContext* context, const FirmwareImage& firmware) {
  long bytes = 0;
  for (const VerifyRange& range : VerifyRanges(firmware)) {
    if (!GoOn(run)) return false;
    auto crc = BslCrcCheck(context, run.clock, range.address, range.length, kCrcReplyWaitMs);
    if (!crc) {
      AppendLog(run.log, "Verify Fail at 0x%05X: no CRC reply, expected CRC 0x%04X\r\n",
                static_cast<unsigned>(range.address), static_cast<unsigned>(range.crc));
      return false;
    }
    if (*crc != range.crc) {
      AppendLog(run.log, "Verify Fail at 0x%05X: CRC 0x%04X, expected 0x%04X\r\n",
                static_cast<unsigned>(range.address), static_cast<unsigned>(*crc), static_cast<unsigned>(range.crc));
      return false;
    }
    bytes += range.length;
  }
  AppendLog(run.log, "Verify Complete: %zu segments, %ld bytes\r\n", firmware.segment_count(), bytes);
  return true;
}

// The reset write, LOAD PC, and the card's identity once it has restarted.
bool ResetAndReadIdentity(UpdateRun& run, CardContext* context, std::optional<std::int8_t> card_id,
                          const std::string& port) {
  LogSink& log = run.log;
  if (!BslWriteBlock(context, kResetAddress, kResetBytes, 2)) {
    AppendLog(log, "Write 0xa5 0x06  Fail\r\n");
    return false;
  }

  // The reset write puts a wrong password into PMMCTL0: the controller may reset at that very
  // write, and then the LOAD PC finds it gone. Whether it came back decides the identity read.
  if (!BslLoadPc(context, kRamBslStart) && !BslDeviceLeft(context)) {
    AppendLog(log, "Bsl Load PC Fail\r\n");
    return false;
  }
  run.state = CardState::kReset;
  AppendLog(log, "Device Reset  Complete\r\n");
  run.clock.Pause(kResetPauseMs);
  Identity id;
  if (!ReadIdentityAnew(card_id, port, id)) {
    AppendLog(log, "Fail to Get Device information!!\r\n");
    return false;
  }
  run.state = CardState::kUpdated;
  run.new_fw_version = id.fw_version;
  AppendLog(log, "VID: 0x%04x PID:%x CardId: %d\r\n", static_cast<unsigned>(id.vendor_id),
            static_cast<unsigned>(id.product_id), static_cast<unsigned>(id.card_id));
  AppendLog(log, "FW Ver =%s,Boot Ver=%s\r\n", id.fw_version, id.boot_version);
  return true;
}

// From the connected RAM boot loader to the card with its new firmware: programming, the check
// unless it was turned off, the reset, and the card's identity afterwards.
bool ProgramAndReset(UpdateRun& run, CardContext* context, const FirmwareImage& firmware,
                     std::optional<std::int8_t> card_id, const std::string& port) {
  LogSink& log = run.log;
  AppendLog(log, "==========================\r\n");
  AppendLog(log, "program_file\r\n");
  if (auto failed = BslDownloadImage(context, firmware, run.progress, run.stop)) {
    // The controller is not reset into half-written firmware: it stays in its boot loader.
    if (GoOn(run)) AppendLog(log, "Download Msp430 FW Fail at 0x%05X\r\n", static_cast<unsigned>(*failed));
    return false;
  }
  if (run.verify && !VerifyFlash(run, context, firmware)) return false;
  // The last safe point: from the reset write on, the card is only safe once it answers as a card.
  if (!GoOn(run)) return false;
  if (run.stop) run.stop->Hold();
  const bool answered = ResetAndReadIdentity(run, context, card_id, port);
  if (run.stop) run.stop->Release();
  (void)GoOn(run);  // a stop asked for meanwhile is told, whatever the card said
  return answered;
}

// The update from the switch on, once both images are in memory.
bool SwitchEraseAndProgram(UpdateRun& run, CardContext* context, const FirmwareImage& ram_bsl,
                           const FirmwareImage& firmware) {
  LogSink& log = run.log;
  std::int8_t card_ids[cardlink::kCardTableCapacity] = {};
  (void)Tav_GetCardIdTable(context, card_ids);
  char at[TAV_PORT_SIZE] = {};
  const std::string port = Tav_GetCardPort(context, run.row, at, sizeof at) ? at : "";
  // Without a port the boot loader that lists itself after the switch is taken for this card's:
  // one that is there already could be another card's, which must not be written to.
  if (port.empty() && Tav_ListBootDevs(context, nullptr, 0) > 0) {
    AppendLog(log, "Not switched: a controller is already in its boot loader; cannot tell which is this card's\r\n");
    return false;
  }
  if (!GoOn(run)) return false;
  // Set before the command goes out: a second Ctrl-C may end the program while it does.
  run.state = CardState::kSwitching;
  if (!Tav_SwitchToISPByRow(context, run.row)) {
    run.state = CardState::kUntouched;
    AppendLog(log, "Switch to ISP mode fail\r\n");
    return false;
  }
  AppendLog(log, "Switch to ISP mode \r\n");
  run.clock.Pause(kSwitchPauseMs);
  if (!GoOn(run) || !FindAndConnectBootLoader(context, log, true, port)) return false;
  run.state = CardState::kInBootLoader;
  if (!GoOn(run)) return false;
  AppendLog(log, "Mass Erase\r\n");
  const std::int8_t card_id = run.row >= 0 && run.row < cardlink::kCardTableCapacity ? card_ids[run.row] : 0;
  return Unlocked(log, BslMassErase(context, run.clock)) && GoOn(run) &&
         StartRamBootLoader(run, context, ram_bsl, port) && GoOn(run) &&
         ProgramAndReset(run, context, firmware, card_id, port);
}

// The recovery from the boot-loader search on. The RAM boot loader answers TX BSL VERSION; the
// boot loader in flash does not. A RAM boot loader that runs already is not loaded again: the
// download would overwrite its own code under it.
bool RecoverFromBootLoader(UpdateRun& run, CardContext* context, FirmwareImage& ram_bsl,
                           const FirmwareImage& firmware) {
  LogSink& log = run.log;
  run.state = CardState::kInBootLoader;
  const std::string& port = run.boot_loader_port;
  if (!FindAndConnectBootLoader(context, log, true, port)) return false;
  const bool ram_bsl_runs = BslAskVersion(context, run.clock).has_value();
  if (!ram_bsl_runs && !LoadRamBslImage(run, ram_bsl)) return false;
  if (!GoOn(run)) return false;
  AppendLog(log, "Mass Erase\r\n");
  if (!Unlocked(log, BslMassErase(context, run.clock)) || !GoOn(run)) return false;
  if (ram_bsl_runs) {
    AppendLog(log, "RAM BSL already running: its download and start are skipped\r\n");
  } else if (!StartRamBootLoader(run, context, ram_bsl, port) || !GoOn(run)) {
    return false;
  }
  return ProgramAndReset(run, context, firmware, std::nullopt, port);
}

// The closing steps, after every ending: the connection, both images, the context. Then, when
// the run failed or was stopped with the card touched (or stopped at all), where the card is.
void Close(UpdateRun& run, FirmwareImage& ram_bsl, FirmwareImage& firmware, bool done) {
  Tav_BslClose(run.context.get());
  ram_bsl.clear();
  firmware.clear();
  run.context.reset();
  if (run.stopped) AppendLog(run.log, "Stopped on request\r\n");
  const CardState state = run.state;
  if (done && !run.stopped) return;
  if (state == CardState::kUntouched && !run.stopped) return;
  AppendLog(run.log, "%s\r\n", StateLine(state, run.firmware_path, run.port_in_advice).c_str());
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != kFolderSeparator) folder += kFolderSeparator;
  return folder;
}

std::string RamBslFileName() { return std::string(kRamBslName) + "." + kRamBslExtension; }

}  // namespace

std::string StateLine(CardState state, const std::string& firmware_path, const std::string& port) {
  // The file as a shell or cmd.exe takes it back.
  const std::string file =
      (firmware_path.find_first_of(" \t") == std::string::npos ? firmware_path : "\"" + firmware_path + "\"") +
      (port.empty() ? "" : " --card " + port);
  switch (state) {
    case CardState::kUntouched: return "The card is untouched: it runs its firmware as before";
    case CardState::kSwitching:
      return "The card may be in its boot loader: Cardflash --scan tells; if it lists one: Cardflash --recover " + file;
    case CardState::kInBootLoader: return "The card is in its boot loader; to bring it back: Cardflash --recover " + file;
    case CardState::kReset:
      return "The card was reset into its new firmware but did not answer as a card; if a boot loader is listed: "
             "Cardflash --recover " + file;
    case CardState::kUpdated: return "The card runs its new firmware";
  }
  return {};
}

RamBslPlaces DefaultRamBslPlaces() { return RamBslPlaces{{}, RamBslFolders()}; }

bool LoadRamBslImage(const UpdateRun& run, FirmwareImage& image) {
  std::string path = run.ram_bsl.file;
  bool found = !path.empty();
  for (std::size_t i = 0; !found && i < run.ram_bsl.folders.size(); ++i) {
    path = WithSlash(run.ram_bsl.folders[i]) + RamBslFileName();
    found = PathExists(path);
  }
  if (!found) {
    if (run.ram_bsl.folders.empty()) return false;
    path = WithSlash(run.ram_bsl.folders.front()) + RamBslFileName();  // where it was looked for first
  }
  AppendLog(run.log, "==Load RAM BSL==\r\n");
  AppendLog(run.log, "%s\r\n", path.c_str());
  if (!ReadImage(run.log, path, image, RamBslImageProblem)) {
    if (!found) {
      std::string searched;
      for (const std::string& folder : run.ram_bsl.folders) searched += (searched.empty() ? "" : ", ") + folder;
      AppendLog(run.log, "%s is TI's RAM boot loader and not shipped; looked for it in: %s\r\n",
                RamBslFileName().c_str(), searched.c_str());
    }
    return false;
  }
  AppendLog(run.log, "Load %s.txt Complete\r\n", kRamBslName);
  return true;
}

bool RunUpdate(UpdateRun& run) {
  FirmwareImage ram_bsl, firmware;
  const bool updated = LoadRamBslImage(run, ram_bsl) && ReadFirmware(run, firmware) &&
                       SwitchEraseAndProgram(run, run.context.get(), ram_bsl, firmware);
  Close(run, ram_bsl, firmware, updated);
  return updated;
}

bool RunRecovery(UpdateRun& run) {
  FirmwareImage ram_bsl, firmware;
  const bool recovered =
      ReadFirmware(run, firmware) && RecoverFromBootLoader(run, run.context.get(), ram_bsl, firmware);
  Close(run, ram_bsl, firmware, recovered);
  return recovered;
}

}  // namespace cardflash
