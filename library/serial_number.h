// Serial-number access: the card's serial number, a short ASCII text at address
// 0x12C of the controller's serial-number storage, written and read by card id or by row.
#pragma once

#include <cstdint>

struct CardContext;

namespace cardlink {

struct CardEntry;

constexpr const char* SN_ADDRESS = "12c";
constexpr int SN_MAX_LEN = 32;

// The two-digit length text: n (taken modulo 256) as two lower-case hex digits, high nibble
// first, each digit formatted on its own ("%1x"): 13 gives "0d", 35 gives "23".
void format_length_text(int n, char text[3]);

// Tav_Write_SN: sends the first `len` characters of `serial_number` (0 to 32 of them; a text
// with fewer characters than `len` is refused without I/O) to the card with this card id. True
// only when the card acknowledged the write. No row with this card id: "Card ID Error\n".
bool write_serial_number(const CardContext& context, std::int8_t card_id, const char* serial_number, int len);

// Tav_Read_SN: reads `len` characters (1 to 32; otherwise false without I/O) into `buffer`
// followed by a NUL. True only when the data read got a reply; the buffer is untouched
// otherwise. No row with this card id: "Card ID Error\n".
bool read_serial_number(const CardContext& context, std::int8_t card_id, char* buffer, int len);

// Tav_Write_SN_ByRow and Tav_Read_SN_ByRow: the same for the card in `row`; false without I/O (and
// without a message) for a row past the last.
bool write_serial_number_at(const CardContext& context, int row, const char* serial_number, int len);
bool read_serial_number_at(const CardContext& context, int row, char* buffer, int len);

// The write and the read themselves, to one card of the table.
bool write_serial_number_to(const CardEntry& card, const char* serial_number, int len);
bool read_serial_number_from(const CardEntry& card, char* buffer, int len);

}  // namespace cardlink
