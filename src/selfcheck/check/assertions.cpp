#include <cmath>
#include <string>
#include <utility>

#include <selfcheck/check/assertions.hpp>
#include <selfcheck/check/check_context.hpp>
#include <selfcheck/check/float_format.hpp>
#include <selfcheck/check/panic.hpp>
#include <selfcheck/stack/stack_trace.hpp>

namespace selfcheck {
namespace {

template <class F>
bool approx(F expected, F actual, F tolerance) {
  if (expected == actual) return true;
  if (std::isnan(expected) || std::isnan(actual)) return false;
  return std::fabs(expected - actual) <= tolerance;
}

// Checks the tolerance, then the values: the failure's message when they are not close enough,
// else nothing.
template <class F>
std::string approxFailure(F expected, F actual, F tolerance) {
  if (std::isnan(tolerance) || tolerance < 0) {
    panic("expectApproxEqAbs: tolerance " + formatFloat(tolerance) +
          " is negative or NaN; it must be zero or positive");
  }
  if (approx(expected, actual, tolerance)) return {};
  return "actual " + formatFloat(actual) + ", not within absolute tolerance " +
         formatFloat(tolerance) + " of expected " + formatFloat(expected) + "\n";
}

[[noreturn]] void raise(std::string_view error_name, std::source_location where,
                        const StackTrace& trace, std::string message = {}) {
  throw CheckFailure{error_name, where, trace, std::move(message)};
}

}  // namespace

// Each public assertion captures the trace itself, skipping its own frame, so the trace begins
// with the function that called the assertion whatever the optimiser inlined.

void fail(std::string_view error_name, std::source_location where) {
  raise(error_name, where, captureStackTrace(1));
}

void expect(bool ok, std::source_location where) {
  if (!ok) raise("TestUnexpectedResult", where, captureStackTrace(1));
}

bool approxEqAbs(double expected, double actual, double tolerance) {
  return approx(expected, actual, tolerance);
}
bool approxEqAbs(float expected, float actual, float tolerance) {
  return approx(expected, actual, tolerance);
}

void expectApproxEqAbs(double expected, double actual, double tolerance,
                       std::source_location where) {
  std::string message = approxFailure(expected, actual, tolerance);
  if (!message.empty()) {
    raise("TestExpectedApproxEqAbs", where, captureStackTrace(1), std::move(message));
  }
}
void expectApproxEqAbs(float expected, float actual, float tolerance, std::source_location where) {
  std::string message = approxFailure(expected, actual, tolerance);
  if (!message.empty()) {
    raise("TestExpectedApproxEqAbs", where, captureStackTrace(1), std::move(message));
  }
}

void skip(std::source_location where) { raise(kSkipTest, where, captureStackTrace(1)); }

void markFuzzTest() { checkContext().markFuzzTest(); }

}  // namespace selfcheck
