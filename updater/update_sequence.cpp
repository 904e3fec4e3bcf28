#include "update_sequence.h"

#include <unistd.h>

#include <cstring>
#include <vector>

#include "bsl_client.h"

namespace cardflash {

namespace {

constexpr std::uint8_t kResetBytes[2] = {0xA5, 0x06};

struct Identity {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[12] = {};
  char boot_version[12] = {};
};

// Steps 3 to 13 of a run, once both images are in memory. Returns at the first failure, after
// its log line; true only when the identity was read at the end.
bool SwitchEraseAndProgram(UpdateRun& run, CardContext* context, const FirmwareImage& ram_bsl,
                           const FirmwareImage& firmware) {
  LogSink& log = run.log;
  AppendLog(log, "Load Msp430 FW Complete\r\n");
  if (!Tav_SwitchToISP(context)) {
    AppendLog(log, "Switch to ISP mode fail\r\n");
    return false;
  }
  AppendLog(log, "Switch to ISP mode \r\n");
  run.clock.Pause(kSwitchPauseMs);
  if (!Tav_EnumBootDev(context)) {
    AppendLog(log, "Fail To Find ISP mode device\r\n");
    return false;
  }
  // The separator is a full-width space in the Big5 code page, passed on as it is.
  AppendLog(log, "Device 0x2047 0x0200 ISP\xA1\x40mode device found\r\n");
  if (!Tav_BslConnect(context)) {
    AppendLog(log, "Fail To Connect ISP mode device\r\n");
    return false;
  }
  AppendLog(log, "Device Connected\r\n");
  AppendLog(log, "Mass Erase\r\n");
  BslMassErase(context, run.clock);
  AppendLog(log, "Download full BSL...\r\n");
  BslDownloadImage(context, ram_bsl);
  if (!BslLoadPc(context, kRamBslStart)) {
    AppendLog(log, "Bsl Load PC Fail\r\n");
    return false;
  }
  run.clock.Pause(kRamBslStartPauseMs);
  AppendLog(log, "Wait for BSL\r\n");
  // The RAM boot loader lists itself anew; a failed reconnect shows up at the reset write.
  Tav_BslClose(context);
  (void)Tav_BslConnect(context);
  AppendLog(log, "==========================\r\n");
  AppendLog(log, "program_file\r\n");
  BslDownloadImage(context, firmware);
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
  if (!Tav_GetFirstDevInfoToFlash(context, &id.vendor_id, &id.product_id, &id.card_id, id.fw_version,
                                  id.boot_version)) {
    AppendLog(log, "Fail to Get Device information!!\r\n");
    return false;
  }
  AppendLog(log, "VID: 0x%04x PID:%x CardId: %d\r\n", static_cast<unsigned>(id.vendor_id),
            static_cast<unsigned>(id.product_id), static_cast<unsigned>(id.card_id));
  AppendLog(log, "FW Ver =%s,Boot Ver=%s\r\n", id.fw_version, id.boot_version);
  return true;
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
  std::string refusal;
  if (!ReadTiTxtImage(path.c_str(), image, &refusal)) {
    AppendLog(run.log, "open file fail,file maybe is not exist or bad.\r\n");
    AppendLog(run.log, "%s: %s\r\n", path.c_str(), refusal.c_str());
    return false;
  }
  AppendLog(run.log, "Load %s.txt Complete\r\n", kRamBslName);
  return true;
}

bool RunUpdate(UpdateRun& run) {
  CardContext* context = *run.context;
  FirmwareImage ram_bsl, firmware;
  auto read_firmware = [&run, &firmware] {
    std::string refusal;
    if (ReadTiTxtImage(run.firmware_path.c_str(), firmware, &refusal)) return true;
    AppendLog(run.log, "open file fail,file maybe is not exist or bad.\r\n");
    AppendLog(run.log, "%s: %s\r\n", run.firmware_path.c_str(), refusal.c_str());
    return false;
  };
  bool updated =
      LoadRamBslImage(run, ram_bsl) && read_firmware() && SwitchEraseAndProgram(run, context, ram_bsl, firmware);
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
