// Runs checks: one at a time on the calling thread, each under a fresh leak-checking allocator.
#ifndef SELFCHECK_RUN_LOOP_HPP
#define SELFCHECK_RUN_LOOP_HPP

#include <selfcheck/check.hpp>
#include <selfcheck/reporter.hpp>

namespace selfcheck {

// Runs one check: resets the allocator, log level and fuzz flag, calls the check, tells
// `reporter` (if any) of the end, then closes the allocator and reports leaks through the log.
CheckOutcome runCheck(std::size_t index, const Check& check, Reporter* reporter);

// Runs the whole table in order and returns the counters.
RunSummary runAll(CheckTable table, Reporter& reporter);

}  // namespace selfcheck

#endif
