#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <selfcheck/log.hpp>
#include <selfcheck/panic.hpp>
#include <selfcheck/stack_trace.hpp>
#include <string>

namespace selfcheck {

void panic(std::string_view message) {
  std::string text = "thread " + std::to_string(static_cast<long>(::syscall(SYS_gettid))) +
                     " panic: ";
  text += message;
  text += '\n';
  text += render(captureStackTrace<32>(0));
  writeStderr(text);
  // Abort by SIGABRT even if a handler was installed for it.
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

}  // namespace selfcheck
