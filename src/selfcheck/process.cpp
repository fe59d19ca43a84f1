#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include <selfcheck/log.hpp>
#include <selfcheck/panic.hpp>
#include <selfcheck/process.hpp>
#include <selfcheck/stack_trace.hpp>

namespace selfcheck {
namespace {

// Room for symbolising on it: reading debug information for the first time happens there when
// the first trace of the process is a fault's.
constexpr std::size_t kAlternateStackSize = 1024 * 1024;
constexpr std::size_t kFaultTraceFrames = 64;

std::atomic<bool> g_handling_fault{false};

void writeLine(void*, std::string_view line) {
  writeStderrRaw(line);
  writeStderrRaw("\n");
}

std::uintptr_t instructionPointer(void* context) {
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#else
  (void)context;
  return 0;
#endif
}

// The first line of the report, without the lock or the heap.
std::string_view describeFault(int signal, const siginfo_t* info, std::uintptr_t ip, char* out,
                               std::size_t size) {
  const char* what = nullptr;
  std::uintptr_t address = 0;
  switch (signal) {
    case SIGSEGV:
#if defined(__x86_64__)
      if (info->si_code == SI_KERNEL) {
        // The CPU gives no address for a general protection fault (a non-canonical address, a
        // privileged instruction).
        return "General protection exception (no address available)\n";
      }
#endif
      what = "Segmentation fault";
      address = reinterpret_cast<std::uintptr_t>(info->si_addr);
      break;
    case SIGILL:
      what = "Illegal instruction";
      address = ip;
      break;
    case SIGBUS:
      what = "Bus error";
      address = reinterpret_cast<std::uintptr_t>(info->si_addr);
      break;
    case SIGFPE:
      what = "Arithmetic exception";
      address = ip;
      break;
    default:
      what = "Fatal signal";
      address = ip;
      break;
  }
  int n =
      std::snprintf(out, size, "%s at address 0x%lx\n", what, static_cast<unsigned long>(address));
  return {out, static_cast<std::size_t>(std::max(n, 0))};
}

void abandonTrace(int) {
  writeStderrRaw("(stack trace abandoned: rendering it blocked)\n");
  abortProcess();
}

// Ends the process by SIGABRT if the fault report has not finished within ten seconds.
void armWatchdog() {
  struct sigaction action {};
  action.sa_handler = abandonTrace;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  ::pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
  ::alarm(10);
}

void handleFatalSignal(int signal, siginfo_t* info, void* context) {
  if (g_handling_fault.exchange(true)) {
    // Another thread is reporting its fault and will end the process.
    for (;;) ::pause();
  }
  const std::uintptr_t ip = instructionPointer(context);
  char head[128];
  std::string_view line = describeFault(signal, info, ip, head, sizeof head);

  (void)lockStderrForFatalError();  // kept until the abort
  writeStderrLocked({});            // runs the hook: clears the progress display
  writeStderrRaw(line);

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

  struct sigaction action {};
  action.sa_sigaction = handleFatalSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: a fault inside the handler ends the process by the default action instead of
  // looping.
  action.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_RESETHAND);
  for (int signal : {SIGSEGV, SIGILL, SIGBUS, SIGFPE}) (void)::sigaction(signal, &action, nullptr);
}

void makeSigpipeHarmless() {
  struct sigaction action {};
  action.sa_handler = doNothing;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)::sigaction(SIGPIPE, &action, nullptr);
}

void startProcess() {
  static std::atomic<bool> started{false};
  if (started.exchange(true)) return;
  raiseStackLimit();
  installFatalSignalHandlers();
  makeSigpipeHarmless();
}

}  // namespace selfcheck
