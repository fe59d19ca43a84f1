#include "support/child_process.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nemra_test {
namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string temporaryFile(int& fd) {
  char path[] = "/tmp/nemra-child-XXXXXX";
  fd = ::mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  return path;
}

std::vector<std::string> childEnvironment(const ChildOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : options.env) {
      if (entry.starts_with(name + "=")) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
  return env;
}

}  // namespace

std::string ChildResult::describe() const {
  if (timed_out) return "timed out";
  if (exited) return "exit status " + std::to_string(exit_code);
  return "signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
}

ChildResult runChild(const ChildOptions& options) {
  int err_fd = -1;
  int out_fd = -1;
  std::string err_path;
  int pipe_fds[2] = {-1, -1};
  if (options.stderr_to == ChildOptions::Stderr::file) {
    err_path = temporaryFile(err_fd);
  } else {
    if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    ::close(pipe_fds[0]);  // the reader is gone before the child writes anything
    err_fd = pipe_fds[1];
  }
  const std::string out_path = temporaryFile(out_fd);

  std::vector<std::string> env = childEnvironment(options);
  std::vector<char*> argv_ptrs;
  for (const std::string& a : options.argv) argv_ptrs.push_back(const_cast<char*>(a.c_str()));
  argv_ptrs.push_back(nullptr);
  std::vector<char*> env_ptrs;
  for (const std::string& e : env) env_ptrs.push_back(const_cast<char*>(e.c_str()));
  env_ptrs.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.stack_limit) ::setrlimit(RLIMIT_STACK, &*options.stack_limit);
    int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    ::execve(options.program.c_str(), argv_ptrs.data(), env_ptrs.data());
    ::_exit(127);
  }
  ::close(err_fd);
  ::close(out_fd);

  ChildResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!result.timed_out) {
    result.exited = WIFEXITED(status);
    if (result.exited) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  if (!err_path.empty()) {
    result.err = readWhole(err_path);
    ::unlink(err_path.c_str());
  }
  result.out = readWhole(out_path);
  ::unlink(out_path.c_str());
  return result;
}

std::vector<std::pair<std::string, std::string>> letProgramHandleFaults() {
  const std::string hands_off = "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0";
  // The program's fault handler demangles names, which allocates; it does so knowingly (with a
  // watchdog), so the thread sanitizer is not to report the allocation in a signal handler.
  const std::pair<const char*, std::string> settings[] = {
      {"ASAN_OPTIONS", hands_off},
      {"TSAN_OPTIONS", hands_off + ":report_signal_unsafe=0"},
      {"UBSAN_OPTIONS", hands_off}};
  std::vector<std::pair<std::string, std::string>> env;
  for (const auto& [name, value] : settings) {
    const char* existing = std::getenv(name);
    env.emplace_back(name, existing != nullptr && *existing != '\0'
                               ? std::string(existing) + ":" + value
                               : value);
  }
  return env;
}

}  // namespace nemra_test
