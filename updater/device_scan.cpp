#include "device_scan.h"

#include <cstdint>

namespace cardflash {

bool ScanForCard(CardContext** context, LogSink& log) {
  if (*context) {
    // A context from an earlier scan that read no identity: never leak it.
    Tav_Close(*context);
    *context = nullptr;
  }
  *context = Tav_Init();
  if (!*context) {
    AppendLog(log, "Error Can find Msp430 Device\r\n");
    return false;
  }
  AppendLog(log, "Total %d Msp430 find\r\n", Tav_GetCardNum(*context));
  std::uint16_t vendor_id = 0, product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[12] = {}, boot_version[12] = {};
  if (!Tav_GetFirstDevInfoToFlash(*context, &vendor_id, &product_id, &card_id, fw_version, boot_version)) {
    AppendLog(log, "Fail to Get Flash Device information!!\r\n");
    return false;
  }
  AppendLog(log, "Flash Msp430 Information:\r\n");
  AppendLog(log, "VID: 0x%04x PID:%x CardId: %d\r\n", static_cast<unsigned>(vendor_id),
            static_cast<unsigned>(product_id), static_cast<unsigned>(card_id));
  AppendLog(log, "FW Ver =%s,Boot Ver=%s\r\n", fw_version, boot_version);
  return true;
}

}  // namespace cardflash
