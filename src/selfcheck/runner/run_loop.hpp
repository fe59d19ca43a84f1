// Runs checks: one at a time on the calling thread, each under a fresh leak-checking allocator.
#ifndef SELFCHECK_RUNNER_RUN_LOOP_HPP
#define SELFCHECK_RUNNER_RUN_LOOP_HPP

#include <selfcheck/check/check.hpp>
#include <selfcheck/runner/reporter.hpp>

namespace selfcheck {

// Runs one check in a fresh CheckContext (leak-checking allocator, log level warn, no errors, no
// fuzz mark): tells `reporter` of the start, calls the check, tells `reporter` of the outcome,
// closes the allocator (which reports leaks through the log) and tells `reporter` of the whole
// outcome. A std::bad_alloc out of the check fails it with "OutOfMemory"; any other exception
// but a CheckFailure is a fatal error.
CheckOutcome runCheck(std::size_t index, const Check& check, Reporter& reporter);

// Runs the whole table in order and returns the counters (log_err_count: the checks' errors and
// those logged outside any check).
RunSummary runAll(CheckTable table, Reporter& reporter);

}  // namespace selfcheck

#endif
