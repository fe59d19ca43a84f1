#include <atomic>
#include <csignal>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

#include <selfcheck/check/panic.hpp>
#include <selfcheck/check/signals.hpp>
#include <selfcheck/stack/stack_trace.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {
namespace {

std::atomic<bool> g_panicking{false};
thread_local bool t_in_panic = false;

}  // namespace

long currentThreadNumber() { return static_cast<long>(::syscall(SYS_gettid)); }

void abortProcess() {
  (void)installSignalHandler(SIGABRT, SIG_DFL, 0, Unblock::yes);
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
  StackTrace trace = captureStackTrace(1);  // from the caller of panic
  startFatalReport();                       // nothing else prints before the abort
  writeStderrRaw("thread ");
  writeStderrRaw(decimalDigits(currentThreadNumber()).view());
  writeStderrRaw(" panic: ");
  writeStderrRaw(message);
  writeStderrRaw("\n");
  renderFrames(trace.frames.data(), trace.count, writeLine, nullptr);
  abortProcess();
}

}  // namespace selfcheck
