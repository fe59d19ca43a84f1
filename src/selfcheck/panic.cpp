#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

#include <selfcheck/log.hpp>
#include <selfcheck/panic.hpp>
#include <selfcheck/stack_trace.hpp>

namespace selfcheck {
namespace {

std::atomic<bool> g_panicking{false};
thread_local bool t_in_panic = false;

void writeLine(void*, std::string_view line) {
  writeStderrRaw(line);
  writeStderrRaw("\n");
}

}  // namespace

long currentThreadNumber() { return static_cast<long>(::syscall(SYS_gettid)); }

void abortProcess() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGABRT, &action, nullptr);
  sigset_t abort_only;
  sigemptyset(&abort_only);
  sigaddset(&abort_only, SIGABRT);
  ::pthread_sigmask(SIG_UNBLOCK, &abort_only, nullptr);
  ::raise(SIGABRT);
  std::abort();
}

void panic(std::string_view message) {
  if (t_in_panic) {
    writeStderrRaw("panicked during a panic; aborting\n");
    abortProcess();
  }
  t_in_panic = true;
  if (g_panicking.exchange(true)) {
    // Another thread is already reporting a fatal error and will end the process.
    for (;;) ::pause();
  }
  StackTrace trace = captureStackTrace<32>(1);  // from the caller of panic
  // The lock, when it could be had, stays taken: nothing else prints before the abort.
  (void)lockStderrForFatalError();
  char head[64];
  int n = std::snprintf(head, sizeof head, "thread %ld panic: ", currentThreadNumber());
  // An empty locked write runs the before-write hook, which clears the progress display.
  writeStderrLocked({});
  writeStderrRaw(std::string_view(head, static_cast<std::size_t>(n)));
  writeStderrRaw(message);
  writeStderrRaw("\n");
  renderFrames(trace.frames.data(), trace.count, writeLine, nullptr);
  abortProcess();
}

}  // namespace selfcheck
