// run_program on Windows (the tests of the Windows build, under wine): CreateProcessA with the
// merged environment, standard output and error through pipes, and TerminateProcess when the
// program overruns its time.
#include <windows.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "program_run.h"

extern char** environ;

namespace cardsim {

namespace {

// One argument as the C runtime splits a command line: quotes around it when it has a blank or a
// quote, backslashes doubled before a quote.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

void read_all(HANDLE pipe, std::string* sink) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) sink->append(buffer, got);
}

}  // namespace

ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const ProgramOptions& options) {
  // Windows keeps environment names without regard to case.
  std::map<std::string, std::string> merged;
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return s;
  };
  std::map<std::string, std::string> names;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e + 1, '=');  // a name may start with '=' ("=C:")
    if (!eq) continue;
    std::string name(*e, static_cast<std::size_t>(eq - *e));
    names[upper(name)] = name;
    merged[upper(name)] = eq + 1;
  }
  for (const auto& [k, v] : options.env) {
    names[upper(k)] = k;
    merged[upper(k)] = v;
  }
  std::string block;
  for (const auto& [k, v] : merged) block += names[k] + "=" + v + '\0';
  block += '\0';
  std::string command = quoted(program);
  for (const std::string& a : args) command += " " + quoted(a);

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) throw std::runtime_error("pipe");
  if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
    CloseHandle(out_read);
    CloseHandle(out_write);
    throw std::runtime_error("pipe");
  }
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  const auto start = std::chrono::steady_clock::now();
  BOOL created;
  DWORD create_error;
  {
    std::unique_lock<std::mutex> guard;
    if (options.spawn_guard) guard = std::unique_lock(*options.spawn_guard);
    created = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr,
                             &startup, &process);
    create_error = GetLastError();
    if (created && options.started) options.started(static_cast<pid_t>(process.dwProcessId));
  }
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (!created) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    throw std::runtime_error("cannot start " + program + ": error " + std::to_string(create_error));
  }
  ProgramRun result;
  std::thread out_reader(read_all, out_read, &result.out), err_reader(read_all, err_read, &result.err);
  const auto limit = static_cast<DWORD>(options.limit.count());
  if (WaitForSingleObject(process.hProcess, limit) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    result.signal = 9;  // as SIGKILL on Linux: ended for overrunning its time
  }
  out_reader.join();
  err_reader.join();
  CloseHandle(out_read);
  CloseHandle(err_read);
  if (options.ended) options.ended(static_cast<pid_t>(process.dwProcessId));
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exit_status = result.signal ? -1 : static_cast<int>(code);
  return result;
}

}  // namespace cardsim
