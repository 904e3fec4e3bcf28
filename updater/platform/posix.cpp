// The updater on Linux.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace cardflash {

namespace {

// True when `text` is well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    const unsigned char c = *p++;
    if (c < 0x80) continue;
    int more = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
    if (more < 0 || end - p < more) return false;
    // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
    const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (p[0] < low || p[0] > high) return false;
    for (int i = 1; i < more; ++i)
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    p += more;
  }
  return true;
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

const char kFolderSeparator = '/';

const char kRamBslFoldersHelp[] =
    "                   the program, in $XDG_DATA_HOME/cardlink/ (~/.local/share/cardlink/), or\n"
    "                   in cardlink/ of each $XDG_DATA_DIRS folder (/usr/local/share, /usr/share)\n";

const char kCardAccessHint[] =
    "Cardflash: the card was listed but could not be read; if its /dev/hidraw node is not readable\n"
    "and writable for you, install the udev rule and join the plugdev group (see Cardflash(1))\n";

std::string ExecutableDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(n));
      auto slash = path.rfind('/');
      return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> RamBslFolders() {
  std::vector<std::string> folders;
  if (std::string here = ExecutableDirectory(); !here.empty()) folders.push_back(here);
  // XDG base directories: unset or empty means the default; a relative path is to be ignored.
  const char* data_home = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (data_home && data_home[0] == '/')
    folders.push_back(WithSlash(data_home) + "cardlink/");
  else if (home && home[0] == '/')
    folders.push_back(WithSlash(home) + ".local/share/cardlink/");
  const char* data_dirs = std::getenv("XDG_DATA_DIRS");
  std::string dirs = data_dirs && *data_dirs ? data_dirs : "/usr/local/share/:/usr/share/";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') folders.push_back(WithSlash(dir) + "cardlink/");
    start = end + 1;
  }
  return folders;
}

std::string FullPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// A folder opens on Linux; its first read fails with EISDIR.
int OpenForReading(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

struct InterruptGuard::Saved {
  struct sigaction old[3];
};

namespace {
constexpr int kInterrupts[3] = {SIGINT, SIGTERM, SIGHUP};
void (*interrupt_handler)() = nullptr;  // what the signal handler calls; set while a guard lives
void OnInterruptSignal(int) { interrupt_handler(); }
}  // namespace

InterruptGuard::InterruptGuard(void (*handler)()) : saved_(std::make_unique<Saved>()) {
  interrupt_handler = handler;
  struct sigaction action {};
  action.sa_handler = OnInterruptSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the updater's reads and writes go on after the handler
  for (int i = 0; i < 3; ++i) sigaction(kInterrupts[i], &action, &saved_->old[i]);
}

InterruptGuard::~InterruptGuard() {
  for (int i = 0; i < 3; ++i) sigaction(kInterrupts[i], &saved_->old[i], nullptr);
}

std::int64_t MonotonicMs() {
  timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void WriteErrorAndExit(const char* text, std::size_t size, int status) {
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n <= 0) break;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
  _exit(status);
}

// The terminal's character set is the locale's: when that is UTF-8, a piece of the log that is not
// UTF-8 (the device-found line's Big5 full-width space) is converted from Big5. A piece that is
// UTF-8 already (a file's path) is left as it is.
struct ConsoleOutput::State {
  iconv_t big5_to_utf8 = reinterpret_cast<iconv_t>(-1);
};

ConsoleOutput::ConsoleOutput(bool standard_error)
    : state_(std::make_unique<State>()), shows_progress_(isatty(standard_error ? STDERR_FILENO : STDOUT_FILENO)) {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset && (!std::strcmp(codeset, "UTF-8") || !std::strcmp(codeset, "utf8")))
    state_->big5_to_utf8 = iconv_open("UTF-8", "BIG5");
}

ConsoleOutput::~ConsoleOutput() {
  if (state_->big5_to_utf8 != reinterpret_cast<iconv_t>(-1)) iconv_close(state_->big5_to_utf8);
}

std::string ConsoleOutput::FromBig5(const std::string& text) {
  iconv_t big5_to_utf8 = state_->big5_to_utf8;
  if (big5_to_utf8 == reinterpret_cast<iconv_t>(-1)) return text;
  if (IsUtf8(text)) return text;
  std::string in = text, out(text.size() * 4, '\0');
  char* src = in.data();
  char* dst = out.data();
  std::size_t src_left = in.size(), dst_left = out.size();
  iconv(big5_to_utf8, nullptr, nullptr, nullptr, nullptr);
  if (iconv(big5_to_utf8, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) return text;
  out.resize(out.size() - dst_left);
  return out;
}

}  // namespace cardflash
