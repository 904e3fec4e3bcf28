#include "device_scan.h"

#include <cstdint>

namespace cardflash {

bool ScanForCard(ContextHolder& context, LogSink& log) {
  return OpenCardContext(context, log) && LogCardIdentity(context.get(), log, 0);
}

bool OpenCardContext(ContextHolder& context, LogSink& log) {
  // A context from an earlier scan that read no identity is closed before the new one opens.
  context.reset();
  context.reset(Tav_Init());
  if (!context) {
    AppendLog(log, "Error Can find Msp430 Device\r\n");
    return false;
  }
  AppendLog(log, "Total %d Msp430 find\r\n", Tav_GetCardNum(context.get()));
  return true;
}

bool LogCardIdentity(CardContext* context, LogSink& log, int row, std::string* fw_version_read) {
  std::uint16_t vendor_id = 0, product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[12] = {}, boot_version[12] = {};
  if (!Tav_GetDevInfoByRow(context, row, &vendor_id, &product_id, &card_id, fw_version, boot_version)) {
    AppendLog(log, "Fail to Get Flash Device information!!\r\n");
    return false;
  }
  AppendLog(log, "Flash Msp430 Information:\r\n");
  AppendLog(log, "VID: 0x%04x PID:%x CardId: %d\r\n", static_cast<unsigned>(vendor_id),
            static_cast<unsigned>(product_id), static_cast<unsigned>(card_id));
  AppendLog(log, "FW Ver =%s,Boot Ver=%s\r\n", fw_version, boot_version);
  if (fw_version_read) *fw_version_read = fw_version;
  return true;
}

}  // namespace cardflash
