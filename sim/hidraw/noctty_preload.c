/* Test-only preload, placed before umockdev's in LD_PRELOAD: opens every file with O_NOCTTY.
 * umockdev backs an emulated /dev/hidrawN with a pty, and hidapi opens the node without
 * O_NOCTTY, so a program that leads its session would take the pty as its controlling terminal
 * and die of SIGHUP when the device is unplugged. A real hidraw node is never a terminal. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/types.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static mode_t mode_argument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

#define FORWARD_OPEN(name)                                          \
  int name(const char* path, int flags, ...) {                      \
    static open_fn next;                                            \
    va_list args;                                                   \
    va_start(args, flags);                                          \
    mode_t mode = mode_argument(flags, args);                       \
    va_end(args);                                                   \
    if (!next) next = (open_fn)dlsym(RTLD_NEXT, #name);             \
    return next(path, flags | O_NOCTTY, mode);                      \
  }

#define FORWARD_OPENAT(name)                                        \
  int name(int dir, const char* path, int flags, ...) {             \
    static openat_fn next;                                          \
    va_list args;                                                   \
    va_start(args, flags);                                          \
    mode_t mode = mode_argument(flags, args);                       \
    va_end(args);                                                   \
    if (!next) next = (openat_fn)dlsym(RTLD_NEXT, #name);           \
    return next(dir, path, flags | O_NOCTTY, mode);                 \
  }

FORWARD_OPEN(open)
FORWARD_OPEN(open64)
FORWARD_OPENAT(openat)
FORWARD_OPENAT(openat64)
