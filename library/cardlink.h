/* Cardlink: access to the card controllers (USB HID, vendor id 0x2933) and to the MSP430 USB
 * boot loader (0x2047:0x0200) that a controller turns into for a firmware update.
 *
 * Tav_Init finds the cards and returns a context; every other call takes that context and
 * returns at once, without I/O, when it is null. Release a context only with Tav_Close. A
 * context is used by one thread at a time. No card device stays open between calls; the
 * boot-loader connection (Tav_BslConnect .. Tav_BslClose) is the one handle that does. */
#ifndef CARDLINK_H
#define CARDLINK_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define CARDLINK_API __declspec(dllexport)
#else
#define CARDLINK_API __attribute__((visibility("default")))
#endif

typedef struct CardContext CardContext;

/* Cards and the context. */
CARDLINK_API CardContext* Tav_Init(void); /* null: HID layer failed, or no card */
CARDLINK_API int Tav_GetCardNum(CardContext* context);
/* Byte i: card id of card i; 0xFF past the last card. */
CARDLINK_API bool Tav_GetCardIdTable(CardContext* context, int8_t table[8]);
/* Identity of the first card; each version buffer holds at least 5 bytes. */
CARDLINK_API bool Tav_GetFirstDevInfoToFlash(CardContext* context, uint16_t* vendor_id, uint16_t* product_id,
                                             uint8_t* card_id, char* fw_version, char* boot_version);
CARDLINK_API bool Tav_Close(CardContext* context);

/* Serial number of the card with this card id; at most 32 characters. */
CARDLINK_API bool Tav_Write_SN(CardContext* context, int8_t card_id, const char* serial_number, int len);
CARDLINK_API bool Tav_Read_SN(CardContext* context, int8_t card_id, char* buffer, int len);

/* Boot-loader mode and the raw report transport to the boot loader. */
CARDLINK_API bool Tav_SwitchToISP(CardContext* context);
CARDLINK_API bool Tav_EnumBootDev(CardContext* context);
CARDLINK_API bool Tav_BslConnect(CardContext* context);
CARDLINK_API int Tav_BslWrite(CardContext* context, const unsigned char* data, int length); /* 1..64 bytes */
CARDLINK_API bool Tav_BslRead(CardContext* context, unsigned char* buffer, int length, int* count);
CARDLINK_API void Tav_BslClose(CardContext* context);

#ifdef __cplusplus
}
#endif

#endif /* CARDLINK_H */
