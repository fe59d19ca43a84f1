// Runs checks: one at a time on the calling thread, each under a fresh leak-checking allocator.
#ifndef SELFCHECK_RUN_LOOP_HPP
#define SELFCHECK_RUN_LOOP_HPP

#include <selfcheck/check.hpp>
#include <selfcheck/reporter.hpp>

namespace selfcheck {

// Runs one check: installs a fresh leak-checking allocator, sets the log level to warn and
// clears the fuzz flag; tells `reporter` (if any) of the start; calls the check; tells
// `reporter` of the outcome; then closes the allocator, which reports leaks through the log.
// A check that throws anything but a CheckFailure is a fatal error.
CheckOutcome runCheck(std::size_t index, const Check& check, Reporter* reporter);

// Runs the whole table in order and returns the counters (log_err_count as it stands after the
// last check).
RunSummary runAll(CheckTable table, Reporter& reporter);

}  // namespace selfcheck

#endif
