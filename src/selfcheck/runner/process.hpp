// Process start-up of the self-check program: the stack size limit, the fatal-signal handlers and
// a harmless SIGPIPE.
#ifndef SELFCHECK_RUNNER_PROCESS_HPP
#define SELFCHECK_RUNNER_PROCESS_HPP

#include <cstddef>

namespace selfcheck {

inline constexpr std::size_t kWantedStackLimit = 16u << 20;  // 16 MiB

// Does everything below, once; runnerMain calls it before it reads the command line.
void startProcess();

// Raises the soft stack size limit to 16 MiB when it is lower, never above the hard limit. A
// failure is ignored. The main thread's stack grows on demand up to the soft limit in force at the
// time, so raising it at run time is enough.
void raiseStackLimit();

// Installs, for SIGSEGV, SIGILL, SIGBUS, SIGFPE and SIGTRAP, a handler that runs on an alternate
// stack (so that a stack overflow is reported too), clears the progress display, prints
//   "Segmentation fault at address 0x{x}\n"      (the faulting address)
//   "Illegal instruction at address 0x{x}\n"     (the instruction's address)
//   "Bus error at address 0x{x}\n"
//   "Arithmetic exception at address 0x{x}\n"
//   "Trace/breakpoint trap at address 0x{x}\n"   (a trap instruction, as __builtin_trap on aarch64)
// or "General protection exception (no address available)\n" for a segmentation fault the kernel
// could not attribute to an address (a non-canonical address), then the stack trace from the
// faulting instruction, and aborts with SIGABRT.
void installFatalSignalHandlers();

// The runner's one SIGPIPE policy: a handler that does nothing, so that a write to a closed pipe
// (standard error, the server's driver, a progress-report reader) fails with EPIPE instead of
// ending the process. A handler rather than SIG_IGN: a handler is not inherited by programs the
// process might execute.
void makeSigpipeHarmless();

}  // namespace selfcheck

#endif
