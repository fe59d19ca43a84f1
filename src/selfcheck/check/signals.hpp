// Installing signal handlers, the one way the runner does it.
#ifndef SELFCHECK_CHECK_SIGNALS_HPP
#define SELFCHECK_CHECK_SIGNALS_HPP

#include <csignal>

namespace selfcheck {

// Whether installSignalHandler also unblocks the signal in the calling thread, for a handler that
// must run even where the signal was blocked (an abort, a watchdog).
enum class Unblock : bool { no, yes };

// Installs `handler` (or SIG_DFL, SIG_IGN) for `signal` with an empty mask and `flags`. Returns
// whether sigaction accepted it. Async-signal-safe.
bool installSignalHandler(int signal, void (*handler)(int), int flags = 0,
                          Unblock unblock = Unblock::no) noexcept;
// The same for a handler that takes the signal's details; SA_SIGINFO is added to `flags`.
bool installSignalHandler(int signal, void (*handler)(int, siginfo_t*, void*), int flags = 0,
                          Unblock unblock = Unblock::no) noexcept;

}  // namespace selfcheck

#endif
