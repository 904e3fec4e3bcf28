// The updater on Windows. Paths are in the ANSI code page, as the narrow Win32 and C runtime calls
// take them; files are read in binary mode, since text mode drops CRs and ends at a 0x1A byte.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "platform.h"

namespace cardflash {

namespace {

constexpr UINT kBig5CodePage = 950;

// "Folder\" from "Folder\Name": the separator stays. Windows takes '/' as well.
std::string FolderOf(const std::string& path) {
  const std::size_t at = path.find_last_of("\\/");
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

}  // namespace

const char kFolderSeparator = '\\';

const char kRamBslFoldersHelp[] = "                   the program\n";

const char kCardAccessHint[] =
    "Cardflash: the card was listed but could not be read; close any other program that uses it,\n"
    "or unplug the card and plug it in again\n";

std::string ExecutableDirectory() {
  // MAX_PATH first; a longer path (a folder made with the \\?\ prefix) gets a larger buffer.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return FolderOf(path.substr(0, n));
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

std::vector<std::string> RamBslFolders() {
  std::vector<std::string> folders;
  if (std::string here = ExecutableDirectory(); !here.empty()) folders.push_back(here);
  return folders;
}

std::string FullPath(const std::string& path) {
  char* full = _fullpath(nullptr, path.c_str(), 0);
  if (!full) return path;
  std::string result(full);
  std::free(full);
  return result;
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int OpenForReading(const char* path) {
  const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  // Windows refuses to open a folder as a file with EACCES: say what it is instead.
  if (fd < 0 && errno == EACCES) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) errno = EISDIR;
  }
  return fd;
}

struct InterruptGuard::Saved {};

namespace {
void (*interrupt_handler)() = nullptr;  // what the console's handler calls; set while a guard lives
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing, logoff: as before
  interrupt_handler();
  return TRUE;
}
}  // namespace

InterruptGuard::InterruptGuard(void (*handler)()) : saved_(std::make_unique<Saved>()) {
  interrupt_handler = handler;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptGuard::~InterruptGuard() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

std::int64_t MonotonicMs() { return static_cast<std::int64_t>(GetTickCount64()); }

void WriteErrorAndExit(const char* text, std::size_t size, int status) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(size), &written, nullptr);
  ExitProcess(static_cast<UINT>(status));
}

// The console shows its output code page; redirected output is taken to be in the ANSI code page,
// as Windows programs read text files. The console's mode is restored when the program ends.
struct ConsoleOutput::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD saved_mode = 0;
  bool mode_changed = false;
  UINT code_page = CP_ACP;
};

ConsoleOutput::ConsoleOutput(bool standard_error) : state_(std::make_unique<State>()) {
  state_->handle = GetStdHandle(standard_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  const bool console = state_->handle != INVALID_HANDLE_VALUE && state_->handle && GetConsoleMode(state_->handle, &mode);
  state_->code_page = console ? GetConsoleOutputCP() : GetACP();
  if (!console) return;
  // "\r" and "\033[K" need the console's virtual-terminal mode (Windows 10 and later); without it
  // no progress line is shown, as in a pipe.
  const DWORD wanted = mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
  if (wanted == mode) {
    shows_progress_ = true;
  } else if (SetConsoleMode(state_->handle, wanted)) {
    state_->saved_mode = mode;
    state_->mode_changed = true;
    shows_progress_ = true;
  }
}

ConsoleOutput::~ConsoleOutput() {
  if (state_->mode_changed) SetConsoleMode(state_->handle, state_->saved_mode);
}

std::string ConsoleOutput::FromBig5(const std::string& text) {
  if (state_->code_page == kBig5CodePage) return text;
  const int length = static_cast<int>(text.size());
  // A piece that reads in the ANSI code page (a path, as the file functions take it) is that
  // text, printed as it is, as the window shows it; only the others are read as Big5.
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0) > 0 || text.empty())
    return text;
  const int wide_length = MultiByteToWideChar(kBig5CodePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide_length <= 0) return text;
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(kBig5CodePage, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), wide_length);
  // A character the output's code page lacks would become '?': the bytes are passed on instead.
  // (UTF-8 and UTF-7 take no "default character used" flag, and lack no character.)
  const UINT to = state_->code_page;
  const bool utf = to == CP_UTF8 || to == CP_UTF7;
  BOOL lossy = FALSE;
  const int out_length =
      WideCharToMultiByte(to, utf ? 0 : WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, nullptr, 0, nullptr, utf ? nullptr : &lossy);
  if (out_length <= 0 || lossy) return text;
  std::string out(static_cast<std::size_t>(out_length), '\0');
  WideCharToMultiByte(to, utf ? 0 : WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, out.data(), out_length, nullptr, nullptr);
  return out;
}

}  // namespace cardflash
