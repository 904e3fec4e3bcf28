/* A program of someone else's: built against the installed cardlink.h and libCardlink.so only
 * (through pkg-config or find_package), it lists the cards and prints the first one's identity,
 * then where the dynamic linker found libCardlink, so that the test can tell the installed
 * library from the one in the build tree. */
#include <cardlink.h>

#include <dlfcn.h>
#include <stdio.h>

int main(void) {
  CardContext* context = Tav_Init();
  if (!context) {
    printf("no card\n");
    return 1;
  }
  printf("cards %d\n", Tav_GetCardNum(context));
  uint16_t vendor_id = 0, product_id = 0;
  uint8_t card_id = 0;
  char fw_version[5] = "", boot_version[5] = "";
  if (Tav_GetFirstDevInfoToFlash(context, &vendor_id, &product_id, &card_id, fw_version, boot_version))
    printf("first card %04x:%04x id %u firmware %s boot loader %s\n", vendor_id, product_id, card_id, fw_version,
           boot_version);
  else
    printf("first card unreadable\n");
  Tav_Close(context);

  Dl_info info;
  if (dladdr((void*)Tav_Init, &info) && info.dli_fname) printf("library %s\n", info.dli_fname);
  return 0;
}
