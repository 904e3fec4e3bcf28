// The pty behind each node: opening it, the poll marker, the hang-up of a vanished device, and
// the testbed's /dev links that decide whether open() of the node reaches it.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "hidraw_state.h"

namespace cardsim::hidraw {

namespace {

// The poll marker must count as input at once: no line editing, no echo.
void make_raw(int master) {
  termios mode{};
  if (tcgetattr(master, &mode) == 0) {
    cfmakeraw(&mode);
    tcsetattr(master, TCSANOW, &mode);
  }
}

// Points `link` at `target` in one step, so that no program ever finds the node missing: umockdev
// would then open the machine's own /dev entry of that name.
void replace_link(const std::string& target, const std::string& link) {
  const std::string fresh = link + ".new";
  std::error_code ec;
  std::filesystem::remove(fresh, ec);
  std::filesystem::create_symlink(target, fresh, ec);
  std::filesystem::rename(fresh, link, ec);
}

}  // namespace

void HidrawBus::State::set_marker(Slot& s, bool on) {
  if (s.marked == on || s.master < 0 || s.slave < 0) return;
  char byte = 'R';
  if (on) {
    if (::write(s.master, &byte, 1) == 1) s.marked = true;
  } else {
    // The host's reads are answered by the handler and never reach the pty: take it back.
    while (::read(s.slave, &byte, 1) == 1) {
    }
    s.marked = false;
  }
}

void HidrawBus::State::open_pty(Slot& s) {
  s.master = umockdev_testbed_get_dev_fd(testbed, s.devnode.c_str());
  if (s.master >= 0) {
    // Forked programs must not keep the device alive after it is unplugged.
    fcntl(s.master, F_SETFD, fcntl(s.master, F_GETFD) | FD_CLOEXEC);
    make_raw(s.master);
    char pts[64];
    if (ptsname_r(s.master, pts, sizeof pts) == 0) {
      s.pts = pts;
      s.slave = ::open(pts, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
  }
  s.handler = umockdev_ioctl_base_new();
  g_signal_connect(s.handler, "handle-ioctl", G_CALLBACK(on_ioctl), &s);
  g_signal_connect(s.handler, "handle-read", G_CALLBACK(on_read), &s);
  g_signal_connect(s.handler, "handle-write", G_CALLBACK(on_write), &s);
  g_signal_connect(s.handler, "client-connected", G_CALLBACK(on_connected), &s);
  g_signal_connect(s.handler, "client-vanished", G_CALLBACK(on_vanished), &s);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, s.devnode.c_str(), s.handler, &error)) {
    std::fprintf(stderr, "hidraw bus: cannot attach %s: %s\n", s.devnode.c_str(), error ? error->message : "?");
    g_clear_error(&error);
  }
  s.in_testbed = true;
}

// Every descriptor that a program holds on the node now sees the hang-up of an unplugged device
// (poll reports POLLHUP, as on a vanished hidraw device); later opens get a working pty again.
void HidrawBus::State::hang_up(Slot& s) {
  if (s.slave >= 0 && ioctl(s.slave, TIOCVHANGUP) == 0) {
    ::close(s.slave);
    s.slave = ::open(s.pts.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    make_raw(s.master);  // the hang-up brings back the line discipline's defaults
    s.marked = true;     // whatever the hang-up left, the next pump takes it back
    return;
  }
  // Without the right to hang up a tty (CAP_SYS_ADMIN), close the pty for good: umockdev keeps
  // the master in its table, so put /dev/null in its place for umockdev's own close.
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0 && s.master >= 0) ::dup3(null_fd, s.master, O_CLOEXEC);
  if (null_fd >= 0) ::close(null_fd);
  if (s.slave >= 0) ::close(s.slave);
  s.slave = -1;
  s.retired = true;
  std::string name = s.pts;
  for (char& c : name) c = c == '/' ? '_' : c;
  // A later pty with this number would otherwise meet this node's mapping and make umockdev abort.
  std::remove((root + "/dev/.ptymap/" + name).c_str());
}

// The flag that the open preload asks for: set once the node serves its device, cleared before
// it stops to. umockdev makes the link of a new node when the device is added, before then. The
// flag comes before the link: wine's winebus watches /dev and opens a node as soon as it appears
// there (maybe_add_devnode on IN_MOVED_TO), and skips one that it cannot open or whose ioctls
// fail.
void HidrawBus::State::unblock(Slot& s) {
  std::FILE* flag = std::fopen((root + "/dev/.live/hidraw" + std::to_string(s.minor)).c_str(), "w");
  if (flag) std::fclose(flag);
  replace_link(s.pts, root + "/dev/hidraw" + std::to_string(s.minor));
}

// The kernel deletes a vanished node (hidraw_disconnect -> device_destroy), so open() fails with
// ENOENT. The entry is removed too, as devtmpfs removes it: wine's winebus, which watches /dev,
// learns that a device left only from that (maybe_remove_devnode on IN_DELETE). A missing entry
// cannot stay, though: umockdev would open the machine's own /dev entry of that name, and so it
// would for a dangling link. So a link to a directory takes its place at once, and the open
// preload (open_preload.c) fails an open of a node without its live flag (or without an entry)
// with ENOENT; one that passed the check just before meets the directory, which the preload
// makes ENODEV.
void HidrawBus::State::block(Slot& s) {
  const std::string entry = root + "/dev/hidraw" + std::to_string(s.minor);
  std::remove((root + "/dev/.live/hidraw" + std::to_string(s.minor)).c_str());
  std::remove(entry.c_str());
  replace_link(root + "/dev/.vanished", entry);
}

// A node that udev left to root with mode 0600 (no rule for the device): the preload fails its
// open with EACCES. The harness runs as root, so real permissions would not stop the program.
void HidrawBus::State::deny(Slot& s) {
  std::remove((root + "/dev/.live/hidraw" + std::to_string(s.minor)).c_str());
  replace_link(root + "/dev/.denied", root + "/dev/hidraw" + std::to_string(s.minor));
}

}  // namespace cardsim::hidraw
