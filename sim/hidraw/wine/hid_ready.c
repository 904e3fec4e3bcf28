/* hid_ready VVVV:PPPP...: waits until hidapi lists each of these devices (one named twice, twice),
 * at most 30 s; exits with 0 once it does, with 1 if it does not. The harness runs it under wine
 * before the program under test (HidrawBus::run_wine): after wine starts, winebus finds the nodes
 * and hidclass registers their interfaces asynchronously, so a program started at once may list
 * none of them, where Windows lists a device that was plugged in before the program started. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "hidapi.h"

static int all_listed(int count, char** wanted) {
  struct hid_device_info* list = hid_enumerate(0, 0);
  int all = 1;
  for (int i = 0; i < count; ++i) {
    unsigned vid = 0, pid = 0;
    int times = 0, seen = 0;
    sscanf(wanted[i], "%x:%x", &vid, &pid);
    for (int j = 0; j < count; ++j) times += strcmp(wanted[i], wanted[j]) == 0;
    for (struct hid_device_info* d = list; d; d = d->next) seen += d->vendor_id == vid && d->product_id == pid;
    all = all && seen >= times;
  }
  hid_free_enumeration(list);
  return all;
}

int main(int argc, char** argv) {
  for (ULONGLONG until = GetTickCount64() + 30000; GetTickCount64() < until; Sleep(20))
    if (all_listed(argc - 1, argv + 1)) return hid_exit(), 0;
  fprintf(stderr, "hid_ready: not all listed within 30 s\n");
  return 1;
}
