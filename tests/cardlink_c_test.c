/* A C translation unit that includes cardlink.h and links libCardlink.so: the header is plain C
 * and the exports are reachable under their undecorated names. Run against the virtual bus with
 * CARDSIM_DEVICES="card id=3 fw=0102 boot=0005 usb_pid=0042; card id=A" (tests/cmake/cardlink.cmake). */
#include "cardlink.h"

#include <stdio.h>
#include <string.h>

_Static_assert(sizeof(bool) == 1, "the exports' booleans are one byte");

static int failures = 0;

#define CHECK(condition)                                             \
  do {                                                               \
    if (!(condition)) {                                              \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

int main(void) {
  /* Every export by address: each one links. */
  void (*exports[])(void) = {
      (void (*)(void))Tav_Init,        (void (*)(void))Tav_GetCardNum,  (void (*)(void))Tav_GetCardIdTable,
      (void (*)(void))Tav_GetFirstDevInfoToFlash, (void (*)(void))Tav_Close, (void (*)(void))Tav_Write_SN,
      (void (*)(void))Tav_Read_SN,     (void (*)(void))Tav_SwitchToISP, (void (*)(void))Tav_EnumBootDev,
      (void (*)(void))Tav_BslConnect,  (void (*)(void))Tav_BslWrite,    (void (*)(void))Tav_BslRead,
      (void (*)(void))Tav_BslClose};
  for (size_t i = 0; i < sizeof exports / sizeof exports[0]; ++i) CHECK(exports[i] != NULL);

  CHECK(Tav_GetCardNum(NULL) == 0);
  CHECK(Tav_Close(NULL) == true);

  CardContext* context = Tav_Init();
  CHECK(context != NULL);
  if (!context) return 1;
  CHECK(Tav_GetCardNum(context) == 2);

  int8_t table[8];
  CHECK(Tav_GetCardIdTable(context, table));
  const int8_t expected[8] = {3, 17, -1, -1, -1, -1, -1, -1};
  CHECK(memcmp(table, expected, sizeof table) == 0);

  uint16_t vendor_id = 0, product_id = 0;
  uint8_t card_id = 0;
  char fw_version[8] = "", boot_version[12] = "";
  CHECK(Tav_GetFirstDevInfoToFlash(context, &vendor_id, &product_id, &card_id, fw_version, boot_version));
  CHECK(vendor_id == 0x2933);
  CHECK(product_id == 0x0042);
  CHECK(card_id == 3);
  CHECK(strcmp(fw_version, "0102") == 0);
  CHECK(strcmp(boot_version, "0005") == 0);

  CHECK(Tav_Write_SN(context, 17, "C-SERIAL", 8));
  char serial[33] = "";
  CHECK(Tav_Read_SN(context, 17, serial, 8));
  CHECK(strcmp(serial, "C-SERIAL") == 0);

  CHECK(Tav_EnumBootDev(context) == false);
  CHECK(Tav_BslConnect(context) == false);
  unsigned char report[64] = {0x3F};
  int count = 0;
  CHECK(Tav_BslWrite(context, report, 64) == -1);
  CHECK(Tav_BslRead(context, report, 64, &count) == false);
  Tav_BslClose(context);
  CHECK(Tav_Close(context));

  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  else printf("cardlink from C: all checks passed\n");
  return failures ? 1 : 0;
}
