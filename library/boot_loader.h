// Boot-mode switch and boot-loader transport: the switch command to the first card,
// the search for the MSP430 USB boot loader (0x2047:0x0200) and the raw 64-byte reports to and
// from it over the context's one long-lived connection. The reports' content is the updater's business.
#pragma once

#include <cstdint>

#include "usb_port.h"

struct CardContext;

namespace cardlink {

constexpr std::uint16_t BSL_VENDOR_ID = 0x2047;
constexpr std::uint16_t BSL_PRODUCT_ID = 0x0200;

// Tav_SwitchToISPByRow (Tav_SwitchToISP: row 0): "2102040004ISPE\n" to the card in `row` in one
// device conversation. True when the command was sent; "Board %d Error Access!!\n" when the card
// cannot be opened; false without I/O for a row past the last.
bool switch_card_to_isp(CardContext& context, int row);

// Tav_EnumBootDev (`port` null) and Tav_EnumBootDevAtPort: records the first boot-loader device
// listed (whose path fits; at `port`, when given) and raises boot_count. A search that finds none
// forgets an earlier record and returns false.
bool find_boot_loader(CardContext& context, const char* port = nullptr);

// The number of boot-loader devices listed now.
int count_boot_loaders();
// Tav_ListBootDevs: the same number; the port of each of the first `capacity` into `ports` (empty
// for none known).
int list_boot_loaders(char (*ports)[kPortFieldSize], int capacity);

// Tav_BslConnect: opens the recorded boot-loader device in non-blocking mode. False when a
// connection is already open (it goes on unchanged), nothing is recorded, or the open fails.
bool connect_boot_loader(CardContext& context);

// Tav_BslWrite: hands 1 to 64 bytes unchanged to hid_write. The bytes written (all of them when
// the system took the whole report, as hidraw or Windows' HID class counts it), or -1 without a
// connection, for a length outside 1..64 (nothing sent) or when the write fails.
int write_boot_loader(CardContext& context, const unsigned char* data, int length);

// Tav_BslRead: one non-blocking hid_read of up to `length` bytes. False without a connection,
// for a length below 1 or on a read error (count untouched); else true with the count stored
// (0 when no report was waiting).
bool read_boot_loader(CardContext& context, unsigned char* buffer, int length, int* count);

// Tav_BslClose: closes the connection if one is open; the recorded device stays.
void close_boot_loader(CardContext& context);

}  // namespace cardlink
