/* Cardlink: access to the card controllers (USB HID, vendor id 0x2933) and to the MSP430 USB
 * boot loader (0x2047:0x0200) that a controller turns into for a firmware update.
 *
 * Tav_Init finds the cards and returns a context; every other call takes that context and
 * returns at once, without I/O, when it is null. Release a context only with Tav_Close. A
 * context is used by one thread at a time; several threads may each use a context of their own
 * (Tav_InitAtPort gives each card of a server one). No card device stays open between calls; the
 * boot-loader connection (Tav_BslConnect .. Tav_BslClose) is the one handle that does. */
#ifndef CARDLINK_H
#define CARDLINK_H

#include <stdbool.h>
#include <stdint.h>

#include "cardlink_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CardContext CardContext;

/* Cards and the context. Booleans are one byte (0 false, 1 true). */

/* Lists the cards (vendor id 0x2933, at most 8) and reads each card id. Null when the HID layer
 * cannot be started ("hid_init failed error" on standard output) or no card is found. The HID
 * layer is started once per process and never shut down by the library. */
CARDLINK_API CardContext* Tav_Init(void);
CARDLINK_API int Tav_GetCardNum(CardContext* context); /* 0 for a null context */
/* Byte i: card id of card i; 0xFF past the last card. False (nothing written) for a null
 * table. */
CARDLINK_API bool Tav_GetCardIdTable(CardContext* context, int8_t table[8]);
/* Identity of the first card; each version buffer holds at least 5 bytes and receives 4
 * characters and a NUL. The three ids are written even when the version query then fails (false,
 * version buffers untouched); a null pointer among the five fails the call with nothing written.
 * A first card that cannot be opened: "Board %d Error Access!!" on standard output. */
CARDLINK_API bool Tav_GetFirstDevInfoToFlash(CardContext* context, uint16_t* vendor_id, uint16_t* product_id,
                                             uint8_t* card_id, char* fw_version, char* boot_version);
/* For a card left in its boot loader: like Tav_Init, but returns a context also when no card is
 * listed (null only when the HID layer cannot be started), so that the boot-loader calls below can
 * reach the boot loader. *boot_loader_count (when not null) receives the number of boot loaders
 * (0x2047:0x0200) listed now. */
CARDLINK_API CardContext* Tav_InitForRecovery(int* boot_loader_count);
/* Closes the boot-loader connection if one is open and releases the context. Always true. */
CARDLINK_API bool Tav_Close(CardContext* context);

/* Serial number of the card with this card id (the first such card). No card with this id:
 * "Card ID Error" on standard output and false. */

/* Sends the first `len` characters (0 to 32; a shorter text is refused). True only when the card
 * acknowledged the write. */
CARDLINK_API bool Tav_Write_SN(CardContext* context, int8_t card_id, const char* serial_number, int len);
/* Reads `len` characters (1 to 32) into `buffer` (at least len + 1 bytes) and closes them with
 * a NUL. False, buffer untouched, when the card sends no reply; false without I/O for a `len`
 * outside 1..32. */
CARDLINK_API bool Tav_Read_SN(CardContext* context, int8_t card_id, char* buffer, int len);

/* Boot-loader mode and the raw report transport to the boot loader (0x2047:0x0200). */

/* Sends the switch command to the first card ("Board %d Error Access!!" on standard output when
 * it cannot be opened). The card lists itself as the boot loader a while later. */
CARDLINK_API bool Tav_SwitchToISP(CardContext* context);
/* Records the first boot loader listed. A search that finds none returns false and forgets any
 * boot loader an earlier search recorded. */
CARDLINK_API bool Tav_EnumBootDev(CardContext* context);
/* Opens the recorded boot loader (non-blocking). False when already connected (that connection
 * goes on), when nothing is recorded, or when the open fails. After Tav_BslClose it reopens the
 * same device without a new search. */
CARDLINK_API bool Tav_BslConnect(CardContext* context);
/* Sends 1 to 64 bytes unchanged (the report id first). The bytes written (all of them once the
 * system has taken the whole report, whichever way it counts it), or -1 without a connection, for
 * any other length (nothing sent) or when the write fails. */
CARDLINK_API int Tav_BslWrite(CardContext* context, const unsigned char* data, int length);
/* Takes one report if one has arrived, without waiting. True with *count = bytes read (0 when
 * none waited); false without a connection or on a read error (*count untouched). */
CARDLINK_API bool Tav_BslRead(CardContext* context, unsigned char* buffer, int length, int* count);
CARDLINK_API void Tav_BslClose(CardContext* context); /* nothing without a connection */

/* Several cards: each row of the card table (Tav_GetCardIdTable's order) by its index, 0 to
 * Tav_GetCardNum - 1, and each card's USB port. A port is where a card is plugged in, as the
 * kernel names its USB device ("3-1.4": bus 3, port 1 of the root hub, port 4 of the hub behind
 * it); it stays the same while the card re-enumerates (its boot loader, the RAM boot loader, its
 * reset), unlike its path. Ports are equal only when equal whole: "3-1" is neither "3-1.4" nor
 * "3-10". Linux reads them from udev; where there is no port (Windows, a system without sysfs)
 * the calls below say "no port": an empty text. A row past the last fails without I/O. */
#define TAV_PORT_SIZE 32 /* a port and its NUL */

/* The port of the card in `row` into `port` (NUL-terminated, cut to `size`; nothing written for a
 * null `port` or a `size` below 1). False, with an empty text, when the card has no port or there
 * is no such row. */
CARDLINK_API bool Tav_GetCardPort(CardContext* context, int row, char* port, int size);
/* Tav_GetFirstDevInfoToFlash for the card in `row`. */
CARDLINK_API bool Tav_GetDevInfoByRow(CardContext* context, int row, uint16_t* vendor_id, uint16_t* product_id,
                                      uint8_t* card_id, char* fw_version, char* boot_version);
/* Tav_SwitchToISP for the card in `row`. */
CARDLINK_API bool Tav_SwitchToISPByRow(CardContext* context, int row);
/* Tav_Write_SN and Tav_Read_SN for the card in `row` (cards may share a card id); no message. */
CARDLINK_API bool Tav_Write_SN_ByRow(CardContext* context, int row, const char* serial_number, int len);
CARDLINK_API bool Tav_Read_SN_ByRow(CardContext* context, int row, char* buffer, int len);
/* The boot loaders (0x2047:0x0200) listed now, in the order listed, each device once however many
 * collections the HID layer lists of it: their number (0 for a null context), and the port of each of the first `capacity` into `ports` (an empty text for one
 * without a port; nothing written for a null `ports`). */
CARDLINK_API int Tav_ListBootDevs(CardContext* context, char ports[][TAV_PORT_SIZE], int capacity);
/* Tav_Init limited to one port: a context whose table holds only the cards at `port` (one, unless
 * a card lists several devices there); a card at any other port is not opened, so a thread that
 * updates one card never talks to the card another thread updates. Null for a null or empty
 * `port`, where there are no ports, or when no card is listed there. */
CARDLINK_API CardContext* Tav_InitAtPort(const char* port);
/* The cards listed now as Tav_Init would list them, without opening any: the number of rows its
 * card table would have (at most 8), and the port of each of the first `capacity` rows into
 * `ports` (an empty text for one without a port; nothing written for a null `ports`). -1 when the
 * HID layer cannot be started ("hid_init failed error" on standard output). With Tav_InitAtPort,
 * each card of a server can be opened by a thread of its own. */
CARDLINK_API int Tav_ListCardPorts(char ports[][TAV_PORT_SIZE], int capacity);
/* Tav_EnumBootDev limited to one port: records the first boot loader listed at `port` only. A
 * boot loader at any other port is never recorded, so never connected to. False, forgetting an
 * earlier record, when none is listed there or `port` is null or empty. */
CARDLINK_API bool Tav_EnumBootDevAtPort(CardContext* context, const char* port);

/* Why the last card conversation on this context that failed did (a card's identity, the
 * switch): stored, never printed. Returns its kind and writes a text of hidapi's or the library's
 * into `text` (NUL-terminated, cut to `size`; nothing written for a null `text` or a `size` below
 * 1). TAV_FAILURE_NONE when none failed, and for a null context. */
#define TAV_FAILURE_NONE 0
#define TAV_FAILURE_NO_ACCESS 1 /* the device is there but this user may not open it */
#define TAV_FAILURE_GONE 2      /* the device is no longer listed */
#define TAV_FAILURE_NO_ANSWER 3 /* the card did not answer */
#define TAV_FAILURE_IO 4        /* a write failed, or the device could not be used */
#define TAV_FAILURE_OTHER 5
CARDLINK_API int Tav_GetLastFailure(CardContext* context, char* text, int size);

#ifdef __cplusplus
}
#endif

#endif /* CARDLINK_H */
