// What a check uses to assert: expect, expectApproxEqAbs, skip, and the passing-on of a library
// error. Each raises a CheckFailure that the run loop turns into the check's outcome.
#ifndef SELFCHECK_CHECK_ASSERTIONS_HPP
#define SELFCHECK_CHECK_ASSERTIONS_HPP

#include <expected>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include <selfcheck/stack/stack_trace.hpp>

namespace selfcheck {

// Thrown out of a check. `error_name` is printed in the FAIL line ("TestUnexpectedResult",
// "TestExpectedApproxEqAbs", "SkipTest", or a library error such as "OutOfMemory"); `message` is
// printed before it (the values of a failed expectApproxEqAbs, else empty); `where` is the
// assertion that raised it (line 0 when no assertion did, as for a std::bad_alloc) and `trace`
// the frames it leaves through.
struct CheckFailure {
  std::string_view error_name;
  std::source_location where;
  StackTrace trace;
  std::string message;
};

inline constexpr std::string_view kSkipTest = "SkipTest";

// Raises a failure with the given error name (a string with static storage duration).
[[noreturn]] void fail(std::string_view error_name,
                       std::source_location where = std::source_location::current());

// Fails with "TestUnexpectedResult" unless `ok`.
void expect(bool ok, std::source_location where = std::source_location::current());

// true when expected == actual (equal infinities included); otherwise false when either is NaN;
// otherwise true when |expected - actual| <= tolerance.
bool approxEqAbs(double expected, double actual, double tolerance);
bool approxEqAbs(float expected, float actual, float tolerance);

// Fails with "TestExpectedApproxEqAbs", with the message
// "actual {}, not within absolute tolerance {} of expected {}\n", unless approxEqAbs holds.
// A negative or NaN tolerance is a programming error and a fatal error.
void expectApproxEqAbs(double expected, double actual, double tolerance,
                       std::source_location where = std::source_location::current());
void expectApproxEqAbs(float expected, float actual, float tolerance,
                       std::source_location where = std::source_location::current());

// Ends the check as skipped.
[[noreturn]] void skip(std::source_location where = std::source_location::current());

// Marks the running check as a fuzz target (counted in the summary).
void markFuzzTest();

// Unwraps a library result, or fails the check with the error's printed name, found by
// argument-dependent lookup as errorName(error).
template <class T, class E>
T tryValue(std::expected<T, E> result,
           std::source_location where = std::source_location::current()) {
  if (!result) fail(errorName(result.error()), where);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace selfcheck

#endif
