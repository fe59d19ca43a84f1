#include "support/pty_run.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace nemra_test {

std::string PtyResult::all() const {
  std::string text;
  for (const PtyChunk& chunk : chunks) text += chunk.bytes;
  return text;
}

PtyResult runOnPty(const std::string& program, const std::vector<std::string>& argv, int columns,
                   int rows, const std::vector<std::pair<std::string, std::string>>& env,
                   std::chrono::seconds timeout) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = static_cast<unsigned short>(rows);
  std::vector<char*> argv_ptrs;
  for (const std::string& a : argv) argv_ptrs.push_back(const_cast<char*>(a.c_str()));
  argv_ptrs.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(program.c_str(), argv_ptrs.data());
    ::_exit(127);
  }

  PtyResult result;
  char buffer[4096];
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now - start > timeout) {
      ::kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    pollfd readable{master, POLLIN, 0};
    const int ready = ::poll(&readable, 1, 50);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) {
      result.chunks.push_back({std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start),
                               std::string(buffer, static_cast<std::size_t>(n))});
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EIO: every holder of the terminal's other side has closed it
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!result.timed_out) {
    result.exited = WIFEXITED(status);
    if (result.exited) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace nemra_test
