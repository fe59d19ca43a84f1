#include <pthread.h>

#include <selfcheck/check/signals.hpp>

namespace selfcheck {
namespace {

bool install(int signal, struct sigaction& action, Unblock unblock) noexcept {
  sigemptyset(&action.sa_mask);
  if (::sigaction(signal, &action, nullptr) != 0) return false;
  if (unblock == Unblock::yes) {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  }
  return true;
}

}  // namespace

bool installSignalHandler(int signal, void (*handler)(int), int flags, Unblock unblock) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  return install(signal, action, unblock);
}

bool installSignalHandler(int signal, void (*handler)(int, siginfo_t*, void*), int flags,
                          Unblock unblock) noexcept {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = flags | SA_SIGINFO;
  return install(signal, action, unblock);
}

}  // namespace selfcheck
