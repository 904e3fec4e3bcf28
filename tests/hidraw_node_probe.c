/* Opens, reads and closes /dev/hidrawN nodes with plain system calls, one step per argument, and
 * prints what each step saw, so that the tests can check the node rules from a program's side:
 *   open:N    open /dev/hidrawN (kept open when it works)     close:N   close it
 *   switch:N  write the card's switch-to-boot-loader report on the kept descriptor
 *   read:N    read the kept descriptor until it fails (a device that left: EIO)
 *   listed:N  open /dev/hidrawN until it works (10 s at most), print its ids, close it again */
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static int held[16];

static const char* error_name(int e) {
  switch (e) {
    case ENOENT: return "ENOENT";
    case ENODEV: return "ENODEV";
    case EIO: return "EIO";
    case EISDIR: return "EISDIR";
    default: return strerror(e);
  }
}

static void pause_ms(int ms) {
  struct timespec t = {0, ms * 1000000L};
  nanosleep(&t, NULL);
}

static int open_node(int n) {
  char path[32];
  snprintf(path, sizeof path, "/dev/hidraw%d", n);
  return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  for (int i = 1; i < argc; ++i) {
    char step[16];
    int n = -1;
    if (sscanf(argv[i], "%15[a-z]:%d", step, &n) != 2 || n < 0 || n >= 16) {
      fprintf(stderr, "bad step %s\n", argv[i]);
      return 2;
    }
    if (!strcmp(step, "open")) {
      int fd = open_node(n);
      printf("open hidraw%d: %s\n", n, fd >= 0 ? "ok" : error_name(errno));
      if (fd >= 0) held[n] = fd;
    } else if (!strcmp(step, "close")) {
      close(held[n]);
    } else if (!strcmp(step, "switch")) {
      unsigned char report[64] = {0x3F, 15};
      memcpy(report + 2, "2102040004ISPE\n", 15);
      printf("switch hidraw%d: %zd\n", n, write(held[n], report, sizeof report));
    } else if (!strcmp(step, "read")) {
      unsigned char in[64];
      int tries = 0;
      while (read(held[n], in, sizeof in) >= 0 || errno == EAGAIN) {
        if (++tries == 1000) break;
        pause_ms(10);
      }
      printf("read hidraw%d: %s\n", n, tries == 1000 ? "still there" : error_name(errno));
    } else if (!strcmp(step, "listed")) {
      int fd = -1;
      for (int tries = 0; tries < 1000 && (fd = open_node(n)) < 0; ++tries) pause_ms(10);
      struct hidraw_devinfo info = {0};
      if (fd < 0 || ioctl(fd, HIDIOCGRAWINFO, &info) < 0) {
        printf("hidraw%d listed: no\n", n);
      } else {
        printf("hidraw%d listed: %04x:%04x\n", n, (unsigned)(unsigned short)info.vendor,
               (unsigned)(unsigned short)info.product);
      }
      if (fd >= 0) close(fd);
    } else {
      fprintf(stderr, "bad step %s\n", argv[i]);
      return 2;
    }
  }
  return 0;
}
