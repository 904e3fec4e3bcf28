#include "serial_number.h"

#include <cstdio>
#include <cstring>

#include "card_context.h"
#include "lib_trace.h"
#include "library_channel.h"

namespace cardlink {

namespace {

// The first row whose card id equals `card_id`, or nullptr after printing "Card ID Error\n".
const CardEntry* select_card(const CardContext& context, std::int8_t card_id) {
  for (int i = 0; i < context.card_count && i < kCardTableCapacity; ++i) {
    const CardEntry& row = context.cards[i];
    if (row.card_id != card_id) continue;
    LibTrace("cardid=%d path=%s\n", card_id, row.path);
    return &row;
  }
  std::printf("Card ID Error\n");
  return nullptr;
}

}  // namespace

void format_length_text(int n, char text[3]) {
  unsigned value = static_cast<unsigned>(n) & 0xFFu;
  std::snprintf(text, 2, "%1x", value >> 4);
  std::snprintf(text + 1, 2, "%1x", value & 0xFu);
}

bool write_serial_number(const CardContext& context, std::int8_t card_id, const char* serial_number, int len) {
  if (!serial_number) return false;
  const CardEntry* card = select_card(context, card_id);
  return card && write_serial_number_to(*card, serial_number, len);
}

bool write_serial_number_at(const CardContext& context, int row, const char* serial_number, int len) {
  const CardEntry* card = row_at(context, row);
  return card && serial_number && write_serial_number_to(*card, serial_number, len);
}

bool read_serial_number(const CardContext& context, std::int8_t card_id, char* buffer, int len) {
  if (!buffer) return false;
  const CardEntry* card = select_card(context, card_id);
  return card && read_serial_number_from(*card, buffer, len);
}

bool read_serial_number_at(const CardContext& context, int row, char* buffer, int len) {
  const CardEntry* card = row_at(context, row);
  return card && buffer && read_serial_number_from(*card, buffer, len);
}

bool write_serial_number_to(const CardEntry& entry, const char* serial_number, int len) {
  const CardEntry* card = &entry;
  // The length text counts exactly the characters sent: a longer text is sent up to `len`, a
  // shorter one would announce characters that are not there.
  if (len < 0 || len > SN_MAX_LEN || strnlen(serial_number, static_cast<std::size_t>(len)) < static_cast<std::size_t>(len))
    return false;
  char length_text[3];
  format_length_text(len + 3, length_text);
  char data[SN_MAX_LEN + 1] = {};
  std::memcpy(data, serial_number, static_cast<std::size_t>(len));

  CardSession session = open_recorded_card(*card);
  if (!session.is_open()) return false;
  LibTrace("======lenbuf=%s\n", length_text);
  int result = mcu_write_data(kLibraryChannel, session.device(), SN_ADDRESS, length_text, data);
  if (result >= 0) {
    LibTrace("Address =0x%s\n", SN_ADDRESS);
    LibTrace("Wrtie Data =%s\n", data);
  }
  close_card(session);
  return result > 0;  // acknowledged
}

bool read_serial_number_from(const CardEntry& entry, char* buffer, int len) {
  const CardEntry* card = &entry;
  // The reply carries a 32-byte block: any other length would read past it.
  if (len < 1 || len > SN_MAX_LEN) return false;
  char length_text[3];
  format_length_text(len, length_text);

  CardSession session = open_recorded_card(*card);
  if (!session.is_open()) return false;
  hid_device* device = session.device();
  char address_text[8];
  std::snprintf(address_text, sizeof address_text, "05%s%s", SN_ADDRESS, length_text);
  int outcome = mcu_write_command(kLibraryChannel, device, MCU_CMD_SET_READ_ADDRESS, address_text);
  if (outcome >= 0) {
    unsigned char reply[kReportSize] = {};
    outcome = mcu_read_command(kLibraryChannel, device, MCU_CMD_READ_DATA, reply);
    // Without a reply the buffer is left alone: the reply buffer holds no serial-number data.
    if (outcome > 0) {
      std::memcpy(buffer, reply + 6, static_cast<std::size_t>(len));
      buffer[len] = '\0';
      LibTrace("Address =0x%s\n", SN_ADDRESS);
      LibTrace("Read Data =%s\n", buffer);
    }
  }
  close_card(session);
  return outcome > 0;
}

}  // namespace cardlink
