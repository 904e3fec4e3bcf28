// What the updater needs from the operating system, each in one place per platform: posix.cpp
// (Linux) and windows.cpp (Windows). Paths are 8-bit text as the platform's file functions take
// them: bytes on Linux, the ANSI code page on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cardflash {

// The separator that the platform puts between a folder and a name.
extern const char kFolderSeparator;

// Folder of the running executable, with the separator at its end; empty when it cannot be found.
std::string ExecutableDirectory();
// The folders searched for TI's RAM boot-loader image, in order, each with the separator at its
// end: beside the program first. Linux adds the XDG data folders, as a program installed in /usr/bin
// keeps its data elsewhere; on Windows the image sits beside the program.
std::vector<std::string> RamBslFolders();
// The lines of the usage text that tell where the image is looked for, after "by default
// RAM_BSL_00.08.08.39.txt beside".
extern const char kRamBslFoldersHelp[];
// What to try when a card is listed but cannot be opened or read (a line for standard error).
extern const char kCardAccessHint[];

// The absolute form of a path as given; the path itself when it cannot be made.
std::string FullPath(const std::string& path);
// True when something (a file or a folder) is there.
bool PathExists(const std::string& path);
// Opens a file to read its bytes unchanged (never text mode); a descriptor for read(2) and
// close(2), or -1 with errno set. A folder fails with EISDIR, here or at the first read.
int OpenForReading(const char* path);

// While it lives, Ctrl-C (Linux: SIGINT, SIGTERM and SIGHUP; Windows: the console's Ctrl-C and
// Ctrl-Break) calls `handler` instead of ending the program; the previous handling comes back at
// its end. The handler runs as a signal handler (Linux) or on a thread of its own (Windows): it
// may touch lock-free atomics and call the two functions below, nothing else.
class InterruptGuard {
 public:
  explicit InterruptGuard(void (*handler)());
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};
// Milliseconds of a monotonic clock.
std::int64_t MonotonicMs();
// Writes `size` bytes of `text` to standard error and ends the program with `status` at once.
[[noreturn]] void WriteErrorAndExit(const char* text, std::size_t size, int status);

// Standard output (or standard error) as the headless front end writes to it.
class ConsoleOutput {
 public:
  explicit ConsoleOutput(bool standard_error = false);
  ~ConsoleOutput();
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  // The log's 8-bit text, Big5 where it is not ASCII, as the output shows it; unchanged when the
  // output takes Big5 or cannot show the text.
  std::string FromBig5(const std::string& text);
  // True when the output is a terminal that can rewrite its last line ("\r", and "\033[K" to
  // erase it), so that a download shows its progress there.
  bool ShowsProgress() const { return shows_progress_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool shows_progress_ = false;
};

}  // namespace cardflash
