#include "cardflash_logic.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "card_protocol.h"
#include "device_scan.h"
#include "log_sink.h"
#include "platform.h"

namespace cardflash {

std::string RamBslOption(int argc, char** argv) {
  const std::string name = "--ram-bsl";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == name && i + 1 < argc) return FullPath(argv[i + 1]);
    if (arg.rfind(name + "=", 0) == 0) return FullPath(arg.substr(name.size() + 1));
  }
  return {};
}

RamBslPlaces WindowRamBslPlaces(const std::string& file, std::vector<std::string> folders) {
  RamBslPlaces places = folders.empty() ? DefaultRamBslPlaces() : RamBslPlaces{{}, std::move(folders)};
  places.file = file;
  return places;
}

// The engine's log sink for the window: every piece goes to the view's log.
class CCardflashLogic::ViewLog : public LogSink {
 public:
  explicit ViewLog(CCardflashView& view) : view_(view) {}
  void Append(const std::string& text) override { view_.AppendPiece(text); }

 private:
  CCardflashView& view_;
};

CCardflashLogic::CCardflashLogic(CCardflashView& view, Clock& clock, RamBslPlaces ram_bsl_places)
    : m_view(view), m_clock(clock), m_ramBslPlaces(std::move(ram_bsl_places)) {}

void CCardflashLogic::OnInitDialog() {
  m_view.EnableButton(DialogButton::kFwUpdate, false);
  m_view.EnableButton(DialogButton::kDeviceScan, true);
}

void CCardflashLogic::OnBnClickedDeviceScan() {
  m_view.ClearLog();
  ViewLog log(m_view);
  // ScanForCard closes a context that an earlier scan left open before it opens the new one.
  if (!ScanForCard(m_hContext, log)) return;
  m_view.EnableButton(DialogButton::kFwUpdate, true);
  m_view.EnableButton(DialogButton::kDeviceScan, false);
}

void CCardflashLogic::OnBnClickedFwUpdate() {
  std::optional<std::string> chosen = m_view.ChooseFirmwareFile();
  if (!chosen) {
    AppendLog("Fail To Load Msp430 FW\r\n");
    return;
  }
  m_strFirmwarePath = std::move(*chosen);
  AppendLog("Load Msp430 FW\r\n");
  AppendLog("%s\r\n", m_strFirmwarePath.c_str());
  m_view.EnableButton(DialogButton::kFwUpdate, false);
  // The run takes the context over; the window keeps an empty holder, and the next update needs
  // a new scan. A worker that cannot start leaves the run to close the context here.
  ViewLog log(m_view);
  UpdateRun run{std::move(m_hContext), m_strFirmwarePath, m_ramBslPlaces, log, m_clock};
  if (m_view.StartWorker([&run] { RunUpdate(run); })) {
    m_bUpdateRunning = true;
    while (!m_view.WaitStep()) {
    }
    m_bUpdateRunning = false;
  }
  // "FW Update" stays disabled: the worker closed the context, the next update needs a scan.
  m_view.EnableButton(DialogButton::kDeviceScan, true);
}

void CCardflashLogic::OnBnClickedTest() {
  CardContext* context = Tav_Init();
  if (!context) {
    std::fputs("Device Init Error\r\n", stdout);
    std::fflush(stdout);
    return;
  }
  std::int8_t card_ids[cardlink::kCardTableCapacity] = {};
  std::uint16_t vendor_id = 0, product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[8] = {}, boot_version[8] = {};
  (void)Tav_GetCardNum(context);
  (void)Tav_GetCardIdTable(context, card_ids);
  (void)Tav_GetFirstDevInfoToFlash(context, &vendor_id, &product_id, &card_id, fw_version, boot_version);
  Tav_Close(context);
}

bool CCardflashLogic::MayClose() {
  if (!m_bUpdateRunning) return true;
  AppendLog("%s", kCloseRefusedLine);
  return false;
}

void CCardflashLogic::OnDestroy() { m_hContext.reset(); }

void CCardflashLogic::AppendLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string piece = FormatLogV(format, args);
  va_end(args);
  m_view.AppendPiece(piece);
}

}  // namespace cardflash
