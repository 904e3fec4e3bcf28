/* A C program that uses Cardlink through its exports only, as a customer's program would. The
 * hidraw end-to-end tests run it against emulated devices and compare what it prints.
 *
 *   identity              Tav_Init, the card count and id table, the first card's identity
 *   serial ID TEXT        write TEXT as the serial number of card ID, read it back
 *   isp                   switch the first card to its boot loader, search for the boot loader
 *                         until it lists itself, connect, send one report, read, close
 *   unplugged             the first-card identity and the switch, for a card that leaves the bus
 *
 * After every step it prints how many emulated device nodes the process holds open. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cardlink.h"

/* Descriptors of this process that lead to a device node. umockdev backs /dev/hidrawN with a
 * pty, so those are counted too. */
static int open_devices(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    char link[300], target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (!strncmp(target, "/dev/hidraw", 11) || !strncmp(target, "/dev/pts/", 9)) ++count;
  }
  closedir(dir);
  return count;
}

static void pause_ms(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static void print_identity(CardContext* context) {
  uint16_t vendor_id = 0, product_id = 0;
  uint8_t card_id = 0;
  char fw[8] = "-", boot[12] = "-";
  bool ok = Tav_GetFirstDevInfoToFlash(context, &vendor_id, &product_id, &card_id, fw, boot);
  printf("first card: %s vendor=%04x product=%04x id=%d fw=%s boot=%s\n", ok ? "ok" : "failed", vendor_id,
         product_id, card_id, fw, boot);
}

static int identity(void) {
  CardContext* context = Tav_Init();
  if (!context) {
    printf("no context; open=%d\n", open_devices());
    return 0;
  }
  int8_t table[8];
  Tav_GetCardIdTable(context, table);
  printf("cards=%d ids=", Tav_GetCardNum(context));
  for (int i = 0; i < 8; ++i) printf(i ? " %d" : "%d", table[i]);
  printf("\n");
  print_identity(context);
  printf("open=%d\n", open_devices());
  Tav_Close(context);
  return 0;
}

static int serial(int8_t card_id, const char* text) {
  CardContext* context = Tav_Init();
  if (!context) return 1;
  int len = (int)strlen(text);
  printf("write=%d\n", Tav_Write_SN(context, card_id, text, len));
  char buffer[40];
  memset(buffer, '#', sizeof buffer);
  bool ok = Tav_Read_SN(context, card_id, buffer, len);
  printf("read=%d \"%s\"\n", ok, buffer);
  printf("open=%d\n", open_devices());
  Tav_Close(context);
  return 0;
}

static int isp(void) {
  CardContext* context = Tav_Init();
  if (!context) return 1;
  printf("switch=%d\n", Tav_SwitchToISP(context));
  /* The card is gone as a card at once; its boot loader lists itself a moment later. */
  print_identity(context);
  bool found = false;
  for (int tries = 0; tries < 50 && !found; ++tries) {
    found = Tav_EnumBootDev(context);
    if (!found) pause_ms(100);
  }
  printf("boot loader found=%d\n", found);
  printf("connect=%d\n", Tav_BslConnect(context));
  printf("connect again=%d\n", Tav_BslConnect(context));
  printf("open while connected=%d\n", open_devices());
  /* RX DATA BLOCK FAST of two bytes to 0x2500: the locked boot loader drops it and never answers. */
  unsigned char report[64];
  memset(report, 0xAC, sizeof report);
  const unsigned char head[] = {0x3F, 0x06, 0x1B, 0x00, 0x25, 0x00, 0x12, 0x34};
  memcpy(report, head, sizeof head);
  printf("write 65=%d\n", Tav_BslWrite(context, report, 65));
  printf("write 1=%d\n", Tav_BslWrite(context, report, 1)); /* the report id alone */
  printf("write=%d\n", Tav_BslWrite(context, report, 64));
  pause_ms(50);
  unsigned char in[64];
  int count = -1;
  bool ok = Tav_BslRead(context, in, sizeof in, &count);
  printf("read=%d count=%d\n", ok, count);
  Tav_BslClose(context);
  printf("open=%d\n", open_devices());
  Tav_Close(context);
  return 0;
}

static int unplugged(void) {
  CardContext* context = Tav_Init();
  if (!context) return 1;
  print_identity(context);
  printf("open=%d\n", open_devices());
  printf("switch=%d\n", Tav_SwitchToISP(context));
  printf("open=%d\n", open_devices());
  Tav_Close(context);
  return 0;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0); /* the library prints too: keep the order of the lines */
  if (argc >= 2 && !strcmp(argv[1], "identity")) return identity();
  if (argc >= 4 && !strcmp(argv[1], "serial")) return serial((int8_t)atoi(argv[2]), argv[3]);
  if (argc >= 2 && !strcmp(argv[1], "isp")) return isp();
  if (argc >= 2 && !strcmp(argv[1], "unplugged")) return unplugged();
  fprintf(stderr, "usage: %s identity | serial ID TEXT | isp | unplugged\n", argv[0]);
  return 2;
}
