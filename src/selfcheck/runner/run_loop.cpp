#include <algorithm>
#include <exception>
#include <new>
#include <string>

#include <selfcheck/check/check_context.hpp>
#include <selfcheck/check/panic.hpp>
#include <selfcheck/runner/run_loop.hpp>

namespace selfcheck {
namespace {

constexpr std::string_view kOutOfMemory = "OutOfMemory";

// Cuts the runner's frames off the end of a failure's trace. A trace that does not end with
// them (a deep check whose trace was cut short) is left whole.
void trimRunnerFrames(StackTrace& trace, const StackTrace& runner_stack) {
  if (runner_stack.count == 0) return;
  const std::size_t below = runner_stack.count - 1;  // the frames below callCheck
  if (trace.count < below + 1) return;
  const auto* trace_end = trace.frames.data() + trace.count;
  if (!std::equal(trace_end - below, trace_end, runner_stack.frames.data() + 1)) return;
  trace.count -= below + 1;
}

// Calls the check and returns whether it raised a failure (then in `failure`). It first records
// the stack it is called on: a failure's trace ends with these same frames (this function's own
// at another call site), and dropping them leaves the frames the failure left through inside the
// check. The call sits inside a try block, so it is never made a tail call that would take this
// function's frame off the stack.
[[gnu::noinline]] bool callCheck(const Check& check, CheckFailure& failure) {
  const StackTrace runner_stack = captureStackTrace(0);
  try {
    check.run();
    return false;
  } catch (const CheckFailure& raised) {
    failure = raised;
    trimRunnerFrames(failure.trace, runner_stack);
    return true;
  } catch (const std::bad_alloc&) {
    // The check ran out of memory: its own error, not the run's. No assertion raised it, so the
    // failure has no place and no trace.
    failure = CheckFailure{kOutOfMemory, {}, {}, {}};
    return true;
  } catch (const std::exception& e) {
    panic("check \"" + std::string(check.name) + "\" threw an exception: " + e.what());
  } catch (...) {
    panic("check \"" + std::string(check.name) + "\" threw an exception");
  }
}

}  // namespace

CheckOutcome runCheck(std::size_t index, const Check& check, Reporter& reporter) {
  CheckContext context;
  reporter.checkStarted(index, check);

  CheckOutcome outcome;
  CheckFailure failure;
  const bool raised = callCheck(check, failure);
  if (raised) {
    outcome.error_name = failure.error_name;
    outcome.result = failure.error_name == kSkipTest ? CheckOutcome::Result::skipped
                                                     : CheckOutcome::Result::failed;
  }
  outcome.fuzz = context.isFuzzTest();
  reporter.checkEnded(index, check, outcome, raised ? &failure : nullptr);

  outcome.leaked = context.closeAllocator();
  outcome.log_err_count = context.logErrCount();
  reporter.checkFinished(index, check, outcome);
  return outcome;
}

RunSummary runAll(CheckTable table, Reporter& reporter) {
  RunSummary summary;
  summary.total = table.size();
  reporter.runStarted(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    CheckOutcome outcome = runCheck(i, table[i], reporter);
    switch (outcome.result) {
      case CheckOutcome::Result::passed:
        ++summary.passed;
        break;
      case CheckOutcome::Result::skipped:
        ++summary.skipped;
        break;
      case CheckOutcome::Result::failed:
        ++summary.failed;
        break;
    }
    if (outcome.fuzz) ++summary.fuzz;
    if (outcome.leaked) ++summary.leaked;
    summary.log_err_count = saturatingAdd(summary.log_err_count, outcome.log_err_count);
  }
  // Errors logged outside any check count too.
  summary.log_err_count = saturatingAdd(summary.log_err_count, checkContext().logErrCount());
  reporter.runEnded(summary);
  return summary;
}

}  // namespace selfcheck
