// selfcheck_fixture: the runner of nemra-selfcheck over small check tables made for the black-box
// tests. The environment variable NEMRA_FIXTURE names the table (the command line belongs to the
// runner and takes no such option).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <expected>
#include <memory_resource>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <selfcheck/check/assertions.hpp>
#include <selfcheck/check/log.hpp>
#include <selfcheck/check/test_allocator.hpp>
#include <selfcheck/runner/runner.hpp>

namespace {

using selfcheck::Check;
using selfcheck::expect;

void passes() { expect(1 + 1 == 2); }

void approxFails() { selfcheck::expectApproxEqAbs(2.0, 1.0, 1e-10); }

void approxFailsFloat() { selfcheck::expectApproxEqAbs(0.5f, 0.25f, 0.125f); }

void expectFails() { expect(false); }

// The failure passes through two functions of the check's own on its way out.
[[gnu::noinline]] void innerHelper(int value) { expect(value == 3); }
[[gnu::noinline]] void outerHelper(int value) { innerHelper(value + 1); }
void nestedFails() { outerHelper(1); }

enum class FixtureError : unsigned char { OutOfMemory };
std::string_view errorName(FixtureError) { return "OutOfMemory"; }
std::expected<int, FixtureError> runsOutOfMemory() {
  return std::unexpected(FixtureError::OutOfMemory);
}
void libraryErrorFails() { (void)selfcheck::tryValue(runsOutOfMemory()); }

void skips() { selfcheck::skip(); }

void marksFuzz() {
  selfcheck::markFuzzTest();
  expect(true);
}

void leaksOneBlock() {
  void* p = selfcheck::testAllocator()->allocate(48, 16);
  expect(p != nullptr);
}

void freesTwice() {
  std::pmr::memory_resource* allocator = selfcheck::testAllocator();
  void* p = allocator->allocate(32, 8);
  allocator->deallocate(p, 32, 8);
  allocator->deallocate(p, 32, 8);
}

void freesWithWrongSize() {
  std::pmr::memory_resource* allocator = selfcheck::testAllocator();
  void* p = allocator->allocate(16, 8);
  allocator->deallocate(p, 24, 8);
}

void freesWithWrongAlignment() {
  std::pmr::memory_resource* allocator = selfcheck::testAllocator();
  void* p = allocator->allocate(16, 8);
  allocator->deallocate(p, 16, 16);
}

void logsWarningAndInfo() {
  selfcheck::log("fixture", selfcheck::LogLevel::warn, "a warning is printed");
  selfcheck::log("fixture", selfcheck::LogLevel::info, "info is below the level");
}

void throwsBadAlloc() { throw std::bad_alloc(); }

void sleepsPastTheDelay() { std::this_thread::sleep_for(std::chrono::milliseconds(900)); }

void negativeTolerancePanics() { selfcheck::expectApproxEqAbs(1.0, 1.0, -1.0); }

void sleepsThenPanics() {
  sleepsPastTheDelay();
  negativeTolerancePanics();
}

void throwsForeignException() { throw std::runtime_error("not a check failure"); }

[[noreturn]] void aborts() { std::abort(); }

// The faults below are made where the sanitizers cannot see them coming, so that every build
// reaches the program's own fault handler.
int* volatile g_null = nullptr;
volatile bool g_stop_recursing = false;

[[gnu::noinline]] __attribute__((no_sanitize("address", "undefined", "thread"))) void
dereferencesNull() {
  *g_null = 1;
}

[[gnu::noinline]] __attribute__((no_sanitize("address", "undefined", "thread"))) int recurses(
    int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (g_stop_recursing) return 0;
  return recurses(depth + 1) + frame[0];
}
void recursesWithoutEnd() { (void)recurses(0); }

// An instruction the processor does not have. __builtin_trap is one on x86-64 (ud2) and s390x;
// on aarch64 and riscv64 it is a breakpoint, which traps instead.
[[gnu::noinline]] void executesIllegalInstruction() {
#if defined(__aarch64__)
  asm volatile(".inst 0x00000000");  // udf #0
#elif defined(__riscv)
  asm volatile(".4byte 0x00000000");  // defined to be illegal
#else
  __builtin_trap();
#endif
}

// A breakpoint instruction: SIGTRAP.
[[gnu::noinline]] void executesBreakpoint() {
#if defined(__x86_64__)
  asm volatile("int3");
#elif defined(__s390x__)
  asm volatile(".long 0x00010000");   // the breakpoint opcode a debugger plants (0x0001)
#else
  __builtin_trap();
#endif
}

#if defined(__x86_64__)
// Integer division by zero traps on x86-64 only; aarch64 and riscv64 give 0 instead.
[[gnu::noinline]] void dividesByZero() {
  int zero = 0;
  int quotient = 0;
  asm volatile("cltd\n\tidivl %2" : "=a"(quotient) : "a"(1), "r"(zero) : "edx");
  (void)quotient;
}
#endif

[[gnu::noinline]] __attribute__((no_sanitize("address", "undefined", "thread"))) void
touchesNonCanonicalAddress() {
  *reinterpret_cast<volatile int*>(0xaaaaaaaaaaaaaaaaull) = 1;
}

[[gnu::noinline]] __attribute__((no_sanitize("address", "undefined", "thread"))) void
readsPastEndOfFile() {
  const long page = ::sysconf(_SC_PAGESIZE);
  int fd = ::memfd_create("fixture", 0);
  if (fd < 0 || ::ftruncate(fd, page) != 0) return;
  void* p = ::mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return;
  volatile const char* past_end = static_cast<const char*>(p) + page;
  (void)*past_end;
}

// Passes when the soft stack limit is the one in EXPECT_STACK_LIMIT ("unlimited" or bytes).
void stackLimitIsAsExpected() {
  rlimit limit{};
  expect(::getrlimit(RLIMIT_STACK, &limit) == 0);
  const char* expected = std::getenv("EXPECT_STACK_LIMIT");
  expect(expected != nullptr);
  if (std::strcmp(expected, "unlimited") == 0) {
    expect(limit.rlim_cur == RLIM_INFINITY);
  } else {
    expect(limit.rlim_cur == std::strtoull(expected, nullptr, 10));
  }
}

// The names of a table live as long as the program; these hold the ones made up at start.
std::deque<std::string>& madeNames() {
  static std::deque<std::string> names;
  return names;
}

// A table of `total` checks that pass, with `special` at `position` (one-based).
std::vector<Check> paddedTable(std::size_t total, std::size_t position, Check special) {
  std::deque<std::string>& names = madeNames();
  std::vector<Check> table;
  for (std::size_t i = 1; i <= total; ++i) {
    if (i == position) {
      table.push_back(special);
    } else {
      names.push_back("fixture.test.passes " + std::to_string(i));
      table.push_back({names.back(), passes});
    }
  }
  return table;
}

std::vector<Check> tableNamed(std::string_view name) {
  if (name == "pass3") {
    return {{"fixture.test.first passes", passes},
            {"fixture.test.second passes", passes},
            {"fixture.test.third passes", passes}};
  }
  if (name == "fail_approx36") {
    return paddedTable(36, 5, {"fixture.test.approx fails", approxFails});
  }
  if (name == "skip36") return paddedTable(36, 7, {"fixture.test.skips", skips});
  if (name == "leak36") return paddedTable(36, 3, {"fixture.test.leaks one block", leaksOneBlock});
  if (name == "failures") {
    return {{"fixture.test.expect fails", expectFails},
            {"fixture.test.nested failure", nestedFails},
            {"fixture.test.library error", libraryErrorFails},
            {"fixture.test.float approx fails", approxFailsFloat},
            {"fixture.test.passes", passes}};
  }
  if (name == "misuse") {
    return {{"fixture.test.frees twice", freesTwice},
            {"fixture.test.frees with the wrong size", freesWithWrongSize},
            {"fixture.test.frees with the wrong alignment", freesWithWrongAlignment},
            {"fixture.test.passes", passes}};
  }
  if (name == "out_of_memory") {
    return {{"fixture.test.throws bad_alloc", throwsBadAlloc}, {"fixture.test.passes", passes}};
  }
  if (name == "fuzz") {
    return {{"fixture.test.marks itself a fuzz test", marksFuzz}, {"fixture.test.passes", passes}};
  }
  if (name == "log") {
    return {{"fixture.test.logs a warning and info", logsWarningAndInfo}};
  }
  if (name == "terminal_forms") {
    return {{"fixture.test.first passes", passes},
            {"fixture.test.skips", skips},
            {"fixture.test.expect fails", expectFails},
            {"fixture.test.approx fails", approxFails},
            {"fixture.test.last passes", passes}};
  }
  if (name == "slow") {
    return {{"fixture.test.first passes", passes},
            {"fixture.test.sleeps past the display's delay", sleepsPastTheDelay},
            {"fixture.test.last passes", passes}};
  }
  if (name == "slow_then_fail") {
    return {{"fixture.test.sleeps past the display's delay", sleepsPastTheDelay},
            {"fixture.test.approx fails", approxFails},
            {"fixture.test.leaks one block", leaksOneBlock},
            {"fixture.test.sleeps again", sleepsPastTheDelay}};
  }
  if (name == "slow_long_name") {
    return {
        {"fixture.test.a check whose name is much longer than a narrow terminal is wide, "
         "with non-ASCII letters: S³ Π² ε → ≈ Aᵀ, and on and on until it has to be cut",
         sleepsPastTheDelay}};
  }
  if (name == "null") {
    return {{"fixture.test.dereferences null", dereferencesNull},
            {"fixture.test.never runs", passes}};
  }
  if (name == "recursion") return {{"fixture.test.recurses without end", recursesWithoutEnd}};
  if (name == "sigill") return {{"fixture.test.illegal instruction", executesIllegalInstruction}};
#if defined(__x86_64__)
  if (name == "sigfpe") return {{"fixture.test.divides by zero", dividesByZero}};
#endif
  if (name == "sigtrap") return {{"fixture.test.breakpoint", executesBreakpoint}};
  if (name == "sigbus") return {{"fixture.test.reads past the end of a file", readsPastEndOfFile}};
  if (name == "gp") return {{"fixture.test.non-canonical address", touchesNonCanonicalAddress}};
  if (name == "panic") {
    return {{"fixture.test.negative tolerance", negativeTolerancePanics},
            {"fixture.test.never runs", passes}};
  }
  if (name == "slow_then_panic") {
    return {{"fixture.test.first passes", passes},
            {"fixture.test.sleeps, then panics", sleepsThenPanics},
            {"fixture.test.never runs", passes}};
  }
  if (name == "abort")
    return {{"fixture.test.first passes", passes}, {"fixture.test.aborts", aborts}};
  if (name == "throws") return {{"fixture.test.throws", throwsForeignException}};
  if (name == "stack_limit") {
    return {{"fixture.test.stack limit is as expected", stackLimitIsAsExpected}};
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = std::getenv("NEMRA_FIXTURE");
  const std::vector<Check> table = tableNamed(name != nullptr ? name : "pass3");
  if (table.empty()) {
    std::fprintf(stderr, "selfcheck_fixture: no table named \"%s\"\n", name);
    return 2;
  }
  return selfcheck::runnerMain(argc, argv, table);
}
