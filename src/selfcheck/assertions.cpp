#include <atomic>
#include <cmath>
#include <selfcheck/assertions.hpp>
#include <selfcheck/float_format.hpp>
#include <selfcheck/log.hpp>
#include <selfcheck/panic.hpp>
#include <string>

namespace selfcheck {
namespace {

std::atomic<bool> g_is_fuzz_test{false};

template <class F>
bool approx(F expected, F actual, F tolerance) {
  if (expected == actual) return true;
  if (std::isnan(expected) || std::isnan(actual)) return false;
  return std::fabs(expected - actual) <= tolerance;
}

template <class F>
void expectApprox(F expected, F actual, F tolerance, std::source_location where) {
  if (std::isnan(tolerance) || tolerance < 0) {
    panic("expectApproxEqAbs: tolerance " + formatFloat(tolerance) +
          " is negative or NaN; it must be zero or positive");
  }
  if (approx(expected, actual, tolerance)) return;
  std::string line = "actual " + formatFloat(actual) + ", not within absolute tolerance " +
                     formatFloat(tolerance) + " of expected " + formatFloat(expected) + "\n";
  writeStderr(line);
  CheckFailure failure{"TestExpectedApproxEqAbs", where, captureStackTrace<32>(1)};
  throw failure;
}

}  // namespace

void fail(std::string_view error_name, std::source_location where) {
  CheckFailure failure{error_name, where, captureStackTrace<32>(0)};
  throw failure;
}

void expect(bool ok, std::source_location where) {
  if (ok) return;
  CheckFailure failure{"TestUnexpectedResult", where, captureStackTrace<32>(0)};
  throw failure;
}

bool approxEqAbs(double expected, double actual, double tolerance) {
  return approx(expected, actual, tolerance);
}
bool approxEqAbs(float expected, float actual, float tolerance) {
  return approx(expected, actual, tolerance);
}

void expectApproxEqAbs(double expected, double actual, double tolerance,
                       std::source_location where) {
  expectApprox(expected, actual, tolerance, where);
}
void expectApproxEqAbs(float expected, float actual, float tolerance,
                       std::source_location where) {
  expectApprox(expected, actual, tolerance, where);
}

void skip(std::source_location where) {
  CheckFailure failure{kSkipTest, where, captureStackTrace<32>(0)};
  throw failure;
}

void markFuzzTest() { g_is_fuzz_test.store(true); }
bool isFuzzTest() { return g_is_fuzz_test.load(); }
void setIsFuzzTest(bool value) { g_is_fuzz_test.store(value); }

}  // namespace selfcheck
