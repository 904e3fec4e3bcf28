#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace cardsim {

ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const ProgramOptions& options) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) merged[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : options.env) merged[k] = v;
  std::vector<std::string> env_text, argv_text{program};
  for (const auto& [k, v] : merged) env_text.push_back(k + "=" + v);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> envp, argv;
  for (auto& s : env_text) envp.push_back(s.data());
  for (auto& s : argv_text) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc;
  {
    std::unique_lock<std::mutex> guard;
    if (options.spawn_guard) guard = std::unique_lock(*options.spawn_guard);
    rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    if (rc == 0 && options.started) options.started(pid);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  ProgramRun result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = start + options.limit;
  bool killed = false;
  for (int open_fds = 2; open_fds > 0;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    // A child it left behind may keep the pipes open: give up on them a moment after the kill.
    const int wait_ms = killed ? 1000 : static_cast<int>(std::min<long long>(left.count(), 1000));
    const int ready = poll(fds, 2, wait_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && killed) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  for (pollfd& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  // Ended but not reaped: its id stays its own until waitpid.
  siginfo_t exited{};
  while (waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  if (options.ended) options.ended(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace cardsim
