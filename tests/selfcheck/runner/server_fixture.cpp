// A check table with one check for each outcome the server reports, plus checks that try to
// reach the driver's channel through standard output and standard input.
#include <cstdio>
#include <iostream>
#include <new>
#include <unistd.h>

#include <selfcheck/check/assertions.hpp>
#include <selfcheck/check/log.hpp>
#include <selfcheck/check/test_allocator.hpp>
#include <selfcheck/runner/runner.hpp>

namespace {

using selfcheck::expect;

void passes() { expect(1 + 1 == 2); }

void fails() { expect(false); }

void failsApprox() { selfcheck::expectApproxEqAbs(2.0, 1.0, 1e-10); }

// Two blocks never released: two leak reports, so two err-level messages.
void leaks() {
  std::pmr::memory_resource* allocator = selfcheck::testAllocator();
  (void)allocator->allocate(24, 8);
  (void)allocator->allocate(40, 16);
}

void skips() { selfcheck::skip(); }

void marksFuzz() {
  selfcheck::markFuzzTest();
  expect(true);
}

void logsErrors() {
  selfcheck::log("fixture", selfcheck::LogLevel::err, "first error");
  selfcheck::log("fixture", selfcheck::LogLevel::warn, "a warning is not counted");
  selfcheck::log("fixture", selfcheck::LogLevel::err, "second error");
}

// Leaks one block and then fails with a library error.
void leaksThenFails() {
  (void)selfcheck::testAllocator()->allocate(8, 8);
  selfcheck::fail("OutOfMemory");
}

// Everything a careless check might print to standard output; none of it may reach the driver.
void printsToStdout() {
  std::printf("printf to stdout\n");
  std::fflush(stdout);
  std::cout << "std::cout to stdout" << std::endl;
  const char text[] = "write(1) to stdout\n";
  expect(::write(STDOUT_FILENO, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1));
}

// A check reading standard input must not see (or wait for) the driver's requests.
void readsStdin() {
  char buffer[64];
  expect(::read(STDIN_FILENO, buffer, sizeof buffer) <= 0);
}

// An out-of-memory error that escapes as an exception fails the check, like a returned one.
void throwsBadAlloc() {
  (void)selfcheck::testAllocator()->allocate(16, 8);
  throw std::bad_alloc();
}

void skipsAsFuzz() {
  selfcheck::markFuzzTest();
  selfcheck::skip();
}

constexpr selfcheck::Check kTable[] = {
    {"fixture.test.passes", passes},
    {"fixture.test.fails", fails},
    {"fixture.test.fails approx", failsApprox},
    {"fixture.test.leaks two blocks", leaks},
    {"fixture.test.skips", skips},
    {"fixture.test.marks fuzz", marksFuzz},
    {"fixture.test.logs two errors", logsErrors},
    {"fixture.test.leaks then fails", leaksThenFails},
    {"fixture.test.prints to stdout", printsToStdout},
    {"fixture.test.reads stdin", readsStdin},
    {"fixture.test.skips as fuzz: Π² = Π → ✓", skipsAsFuzz},
    {"fixture.test.throws bad_alloc", throwsBadAlloc},
};

}  // namespace

int main(int argc, char** argv) { return selfcheck::runnerMain(argc, argv, kTable); }
