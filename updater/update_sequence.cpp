#include "update_sequence.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bsl_client.h"

namespace cardflash {

namespace {

constexpr std::uint8_t kResetBytes[2] = {0xA5, 0x06};
constexpr std::uint16_t kCardVendorId = 0x2933;

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
// other devices, so it is found in a fresh listing by the card id that the scan recorded. Only a
// card that answers as a card counts: its vendor id and four printable characters per version.
bool ReadIdentityAnew(std::int8_t card_id, Identity& id) {
  CardContext* fresh = Tav_Init();
  if (!fresh) return false;
  std::int8_t card_ids[8] = {};
  // The exports read the versions of the first card only: the card must be listed first again.
  const bool found = Tav_GetCardIdTable(fresh, card_ids) && card_ids[0] == card_id &&
                     Tav_GetFirstDevInfoToFlash(fresh, &id.vendor_id, &id.product_id, &id.card_id, id.fw_version,
                                                id.boot_version);
  Tav_Close(fresh);
  return found && id.vendor_id == kCardVendorId && IsVersionText(id.fw_version) && IsVersionText(id.boot_version);
}

// Finds the boot loader that lists itself now and connects to it; the log lines of a failure.
bool FindAndConnectBootLoader(CardContext* context, LogSink& log, bool announce) {
  if (!Tav_EnumBootDev(context)) {
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

// Steps 3 to 13 of a run, once both images are in memory. Returns at the first failure, after
// its log line; true only when the identity was read at the end.
bool SwitchEraseAndProgram(UpdateRun& run, CardContext* context, const FirmwareImage& ram_bsl,
                           const FirmwareImage& firmware) {
  LogSink& log = run.log;
  AppendLog(log, "Load Msp430 FW Complete\r\n");
  std::int8_t card_ids[8] = {};
  (void)Tav_GetCardIdTable(context, card_ids);
  if (!Tav_SwitchToISP(context)) {
    AppendLog(log, "Switch to ISP mode fail\r\n");
    return false;
  }
  AppendLog(log, "Switch to ISP mode \r\n");
  run.clock.Pause(kSwitchPauseMs);
  if (!FindAndConnectBootLoader(context, log, true)) return false;
  AppendLog(log, "Mass Erase\r\n");
  BslMassErase(context, run.clock);
  AppendLog(log, "Download full BSL...\r\n");
  if (auto failed = BslDownloadImage(context, ram_bsl)) {
    AppendLog(log, "Download RAM BSL Fail at 0x%05X\r\n", static_cast<unsigned>(*failed));
    return false;
  }
  if (!BslLoadPc(context, kRamBslStart)) {
    AppendLog(log, "Bsl Load PC Fail\r\n");
    return false;
  }
  run.clock.Pause(kRamBslStartPauseMs);
  AppendLog(log, "Wait for BSL\r\n");
  // The RAM boot loader has listed itself anew, on a node of its own: the old one stayed taken
  // while the connection to it was open. Search again rather than reopen the old path.
  Tav_BslClose(context);
  if (!FindAndConnectBootLoader(context, log, false)) return false;
  AppendLog(log, "==========================\r\n");
  AppendLog(log, "program_file\r\n");
  if (auto failed = BslDownloadImage(context, firmware)) {
    // The controller is not reset into half-written firmware: it stays in its boot loader.
    AppendLog(log, "Download Msp430 FW Fail at 0x%05X\r\n", static_cast<unsigned>(*failed));
    return false;
  }
  if (!BslWriteBlock(context, kResetAddress, kResetBytes, 2)) {
    AppendLog(log, "Write 0xa5 0x06  Fail\r\n");
    return false;
  }
  if (!BslLoadPc(context, kRamBslStart)) {
    AppendLog(log, "Bsl Load PC Fail\r\n");
    return false;
  }
  AppendLog(log, "Device Reset  Complete\r\n");
  run.clock.Pause(kResetPauseMs);
  Identity id;
  if (!ReadIdentityAnew(card_ids[0], id)) {
    AppendLog(log, "Fail to Get Device information!!\r\n");
    return false;
  }
  AppendLog(log, "VID: 0x%04x PID:%x CardId: %d\r\n", static_cast<unsigned>(id.vendor_id),
            static_cast<unsigned>(id.product_id), static_cast<unsigned>(id.card_id));
  AppendLog(log, "FW Ver =%s,Boot Ver=%s\r\n", id.fw_version, id.boot_version);
  return true;
}

// Reads one image; a refusal reaches the log with the file and the reason.
bool ReadImage(LogSink& log, const std::string& path, FirmwareImage& image) {
  std::string refusal;
  if (ReadTiTxtImage(path.c_str(), image, &refusal)) return true;
  AppendLog(log, "open file fail,file maybe is not exist or bad.\r\n");
  AppendLog(log, "%s: %s\r\n", path.c_str(), refusal.c_str());
  return false;
}

}  // namespace

std::string ExecutableDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(n));
      auto slash = path.rfind('/');
      return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool LoadRamBslImage(const UpdateRun& run, FirmwareImage& image) {
  if (run.ram_bsl_directory.empty()) return false;
  std::string path = run.ram_bsl_directory;
  if (path.back() != '/') path += '/';
  path += std::string(kRamBslName) + "." + kRamBslExtension;
  AppendLog(run.log, "==Load RAM BSL==\r\n");
  AppendLog(run.log, "%s\r\n", path.c_str());
  if (!ReadImage(run.log, path, image)) return false;
  AppendLog(run.log, "Load %s.txt Complete\r\n", kRamBslName);
  return true;
}

bool RunUpdate(UpdateRun& run) {
  CardContext* context = *run.context;
  FirmwareImage ram_bsl, firmware;
  bool updated = LoadRamBslImage(run, ram_bsl) && ReadImage(run.log, run.firmware_path, firmware) &&
                 SwitchEraseAndProgram(run, context, ram_bsl, firmware);
  // Closing, after every ending.
  Tav_BslClose(context);
  ram_bsl.clear();
  firmware.clear();
  if (*run.context) {
    Tav_Close(*run.context);
    *run.context = nullptr;
  }
  return updated;
}

}  // namespace cardflash
