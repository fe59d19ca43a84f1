#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include <selfcheck/check/panic.hpp>
#include <selfcheck/check/signals.hpp>
#include <selfcheck/runner/process.hpp>
#include <selfcheck/stack/stack_trace.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {
namespace {

// Room for symbolising on it: reading debug information for the first time happens there when
// the first trace of the process is a fault's.
constexpr std::size_t kAlternateStackSize = 1024 * 1024;
constexpr std::size_t kFaultTraceFrames = 64;

std::atomic<bool> g_handling_fault{false};

std::uintptr_t instructionPointer(void* context) {
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#elif defined(__riscv)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.__gregs[0]);
#elif defined(__s390x__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.psw.addr);
#else
  (void)context;
  return 0;
#endif
}

// What the first line of the report names: the kind of fault, and the address when there is one
// (none for a general protection fault).
struct FaultDescription {
  std::string_view what;
  std::uintptr_t address = 0;
  bool has_address = true;
};

FaultDescription describeFault(int signal, const siginfo_t* info, std::uintptr_t ip) {
  switch (signal) {
    case SIGSEGV:
#if defined(__x86_64__)
      // The CPU gives no address for a general protection fault (a non-canonical address, a
      // privileged instruction).
      if (info->si_code == SI_KERNEL) return {"General protection exception", 0, false};
#endif
      return {"Segmentation fault", reinterpret_cast<std::uintptr_t>(info->si_addr)};
    case SIGILL:
      return {"Illegal instruction", ip};
    case SIGBUS:
      return {"Bus error", reinterpret_cast<std::uintptr_t>(info->si_addr)};
    case SIGFPE:
      return {"Arithmetic exception", ip};
    case SIGTRAP:  // a trap instruction: __builtin_trap on aarch64 and riscv64
      return {"Trace/breakpoint trap", ip};
    default:
      return {"Fatal signal", ip};
  }
}

void writeFaultLine(const FaultDescription& fault) {
  writeStderrRaw(fault.what);
  if (!fault.has_address) {
    writeStderrRaw(" (no address available)\n");
    return;
  }
  writeStderrRaw(" at address 0x");
  writeStderrRaw(hexDigits(fault.address).view());
  writeStderrRaw("\n");
}

void abandonTrace(int) {
  writeStderrRaw("(stack trace abandoned: rendering it blocked)\n");
  abortProcess();
}

// Ends the process by SIGABRT if the fault report has not finished within ten seconds.
void armWatchdog() {
  (void)installSignalHandler(SIGALRM, abandonTrace, 0, Unblock::yes);
  ::alarm(10);
}

void handleFatalSignal(int signal, siginfo_t* info, void* context) {
  if (g_handling_fault.exchange(true)) {
    // Another thread is reporting its fault and will end the process.
    for (;;) ::pause();
  }
  const std::uintptr_t ip = instructionPointer(context);
  startFatalReport();  // the lock is kept until the abort
  writeFaultLine(describeFault(signal, info, ip));

  // The trace starts at the handler; the frames above the interrupted instruction are the
  // handler's own and the kernel's signal frame.
  void* frames[kFaultTraceFrames];
  std::size_t count = captureFrames(frames, kFaultTraceFrames, 0);
  std::size_t first = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (reinterpret_cast<std::uintptr_t>(frames[i]) == ip) {
      first = i;
      break;
    }
  }
  // Demangling allocates. A fault inside the C library may have left its allocator locked, so
  // names are then printed as the symbol table has them; and should rendering block all the
  // same, a watchdog ends the process.
  Dl_info where{};
  const bool in_c_library = ::dladdr(reinterpret_cast<void*>(ip), &where) != 0 &&
                            where.dli_fname != nullptr &&
                            std::strstr(where.dli_fname, "libc.so") != nullptr;
  armWatchdog();
  renderFrames(frames + first, count - first, writeLine, nullptr,
               in_c_library ? Demangle::no : Demangle::yes);
  abortProcess();
}

// A plain abort() inside a check (a failed assert, std::terminate) prints no report of the
// program's own. On a terminal, where the display stands in for the check lines, the running
// check's line is printed (the display cleared first), as the line output shows it on a file; the
// process then dies by SIGABRT, as an abort does. The program's own reports end in abortProcess,
// which restores the default action first and so never comes here.
void handleAbort(int) {
  if (!g_handling_fault.exchange(true)) startFatalReport();
  abortProcess();
}

void doNothing(int) {}

}  // namespace

void raiseStackLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) != 0) return;
  const rlim_t wanted = kWantedStackLimit;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  (void)::setrlimit(RLIMIT_STACK, &limit);
}

void installFatalSignalHandlers() {
  initStackTraces();

  void* stack = ::mmap(nullptr, kAlternateStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack != MAP_FAILED) {
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = kAlternateStackSize;
    (void)::sigaltstack(&alternate, nullptr);
  }

  // SA_RESETHAND: a fault inside the handler ends the process by the default action instead of
  // looping.
  for (int signal : {SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP}) {
    (void)installSignalHandler(signal, handleFatalSignal,
                               static_cast<int>(SA_ONSTACK | SA_RESETHAND));
  }
  (void)installSignalHandler(SIGABRT, handleAbort, static_cast<int>(SA_ONSTACK | SA_RESETHAND));
}

void makeSigpipeHarmless() { (void)installSignalHandler(SIGPIPE, doNothing, SA_RESTART); }

void startProcess() {
  static std::atomic<bool> started{false};
  if (started.exchange(true)) return;
  raiseStackLimit();
  installFatalSignalHandlers();
  makeSigpipeHarmless();
}

}  // namespace selfcheck
