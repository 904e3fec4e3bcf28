/* Test-only preload, placed before umockdev's in LD_PRELOAD, for two things umockdev's own
 * open() does unlike the kernel:
 *  - umockdev backs an emulated /dev/hidrawN with a pty, and hidapi opens the node without
 *    O_NOCTTY, so a program that leads its session would take the pty as its controlling terminal
 *    and die of SIGHUP when the device is unplugged. A real hidraw node is never a terminal: every
 *    open gets O_NOCTTY.
 *  - The kernel deletes a hidraw node when its device leaves (hidraw_disconnect ->
 *    device_destroy), so open() fails with ENOENT. umockdev opens the machine's own /dev entry
 *    when the testbed has none (a dangling link counts as none), and the harness marks a
 *    vanished node with a link to $UMOCKDEV_DIR/dev/.vanished, which the open would meet as a
 *    directory. The harness flags a node that serves a device with $UMOCKDEV_DIR/dev/.live/NAME;
 *    an open of a /dev/hidrawN without that flag fails with ENOENT. One that meets the mark
 *    because the device left after this check fails with ENODEV, as hidraw_open does when the
 *    device is gone by the time it looks.
 *  - A node marked with a link to $UMOCKDEV_DIR/dev/.denied (a device listed with fault=open)
 *    fails with EACCES, as a node that no udev rule opened to the user does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static mode_t mode_argument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

static int is_hidraw_node(const char* path) {
  if (!path || strncmp(path, "/dev/hidraw", 11) != 0 || !path[11]) return 0;
  for (const char* c = path + 11; *c; ++c)
    if (*c < '0' || *c > '9') return 0;
  return 1;
}

/* The error an open of `path` must fail with: EACCES for a denied node, ENOENT when the testbed
 * has no live node there, else 0. */
static int refusal(const char* path) {
  const char* root = getenv("UMOCKDEV_DIR");
  if (!root || !is_hidraw_node(path)) return 0;
  char entry[4096], target[4096], flag[4096];
  if (snprintf(entry, sizeof entry, "%s%s", root, path) >= (int)sizeof entry ||
      snprintf(flag, sizeof flag, "%s/dev/.live/%s", root, path + 5) >= (int)sizeof flag)
    return 0;
  ssize_t n = readlink(entry, target, sizeof target - 1);
  if (n < 0) return ENOENT;
  target[n] = '\0';
  const char* slash = strrchr(target, '/');
  if (slash && !strcmp(slash, "/.denied")) return EACCES;
  return access(flag, F_OK) == 0 ? 0 : ENOENT;
}

static int finish(const char* path, int fd) {
  if (fd < 0 && errno == EISDIR && is_hidraw_node(path)) errno = ENODEV;
  return fd;
}

/* The mode argument, the refusal and the call of the next definition, shared by both forms. */
#define OPEN_BODY(next_type, name, ...)                                    \
  static next_type next;                                                   \
  va_list args;                                                            \
  va_start(args, flags);                                                   \
  mode_t mode = mode_argument(flags, args);                                \
  va_end(args);                                                            \
  int refused = refusal(path);                                             \
  if (refused) {                                                           \
    errno = refused;                                                       \
    return -1;                                                             \
  }                                                                        \
  if (!next) next = (next_type)dlsym(RTLD_NEXT, #name);                    \
  return finish(path, next(__VA_ARGS__, flags | O_NOCTTY, mode));

#define FORWARD_OPEN(name) \
  int name(const char* path, int flags, ...) { OPEN_BODY(open_fn, name, path) }
#define FORWARD_OPENAT(name) \
  int name(int dir, const char* path, int flags, ...) { OPEN_BODY(openat_fn, name, dir, path) }

FORWARD_OPEN(open)
FORWARD_OPEN(open64)
FORWARD_OPENAT(openat)
FORWARD_OPENAT(openat64)

/* What open() with a flags value unknown at compile time becomes under _FORTIFY_SOURCE. */
#define FORWARD_OPEN_2(name)                                        \
  int name(const char* path, int flags) {                           \
    static int (*next)(const char*, int);                           \
    int refused = refusal(path);                                    \
    if (refused) {                                                  \
      errno = refused;                                              \
      return -1;                                                    \
    }                                                               \
    if (!next) next = (int (*)(const char*, int))dlsym(RTLD_NEXT, #name); \
    return finish(path, next(path, flags | O_NOCTTY));              \
  }

FORWARD_OPEN_2(__open_2)
FORWARD_OPEN_2(__open64_2)
