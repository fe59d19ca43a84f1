#include <atomic>
#include <cmath>
#include <string>

#include <selfcheck/assertions.hpp>
#include <selfcheck/float_format.hpp>
#include <selfcheck/log.hpp>
#include <selfcheck/panic.hpp>
#include <selfcheck/stack_trace.hpp>

namespace selfcheck {
namespace {

std::atomic<bool> g_is_fuzz_test{false};

template <class F>
bool approx(F expected, F actual, F tolerance) {
  if (expected == actual) return true;
  if (std::isnan(expected) || std::isnan(actual)) return false;
  return std::fabs(expected - actual) <= tolerance;
}

// Checks the tolerance and the values; prints the failure line and returns false when they are
// not close enough.
template <class F>
bool checkApprox(F expected, F actual, F tolerance) {
  if (std::isnan(tolerance) || tolerance < 0) {
    panic("expectApproxEqAbs: tolerance " + formatFloat(tolerance) +
          " is negative or NaN; it must be zero or positive");
  }
  if (approx(expected, actual, tolerance)) return true;
  writeStderr("actual " + formatFloat(actual) + ", not within absolute tolerance " +
              formatFloat(tolerance) + " of expected " + formatFloat(expected) + "\n");
  return false;
}

[[noreturn]] void raise(std::string_view error_name, std::source_location where,
                        const StackTrace& trace) {
  throw CheckFailure{error_name, where, trace};
}

}  // namespace

// Each public assertion captures the trace itself, skipping its own frame, so the trace begins
// with the function that called the assertion whatever the optimiser inlined.

void fail(std::string_view error_name, std::source_location where) {
  raise(error_name, where, captureStackTrace<32>(1));
}

void expect(bool ok, std::source_location where) {
  if (!ok) raise("TestUnexpectedResult", where, captureStackTrace<32>(1));
}

bool approxEqAbs(double expected, double actual, double tolerance) {
  return approx(expected, actual, tolerance);
}
bool approxEqAbs(float expected, float actual, float tolerance) {
  return approx(expected, actual, tolerance);
}

void expectApproxEqAbs(double expected, double actual, double tolerance,
                       std::source_location where) {
  if (!checkApprox(expected, actual, tolerance)) {
    raise("TestExpectedApproxEqAbs", where, captureStackTrace<32>(1));
  }
}
void expectApproxEqAbs(float expected, float actual, float tolerance, std::source_location where) {
  if (!checkApprox(expected, actual, tolerance)) {
    raise("TestExpectedApproxEqAbs", where, captureStackTrace<32>(1));
  }
}

void skip(std::source_location where) { raise(kSkipTest, where, captureStackTrace<32>(1)); }

void markFuzzTest() { g_is_fuzz_test.store(true); }
bool isFuzzTest() { return g_is_fuzz_test.load(); }
void setIsFuzzTest(bool value) { g_is_fuzz_test.store(value); }

}  // namespace selfcheck
