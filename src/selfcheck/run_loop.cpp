#include <selfcheck/leak_resource.hpp>
#include <selfcheck/log.hpp>
#include <selfcheck/run_loop.hpp>
#include <selfcheck/test_allocator.hpp>

namespace selfcheck {

CheckOutcome runCheck(std::size_t index, const Check& check, Reporter* reporter) {
  LeakCheckingResource resource;
  setTestAllocator(&resource);
  setLogLevel(LogLevel::warn);
  setIsFuzzTest(false);
  if (reporter != nullptr) reporter->checkStarted(index, check);

  CheckOutcome outcome;
  const CheckFailure* raised = nullptr;
  CheckFailure failure;
  try {
    check.run();
  } catch (const CheckFailure& f) {
    failure = f;
    raised = &failure;
    outcome.error_name = f.error_name;
    outcome.result = f.error_name == kSkipTest ? CheckOutcome::Result::skipped
                                               : CheckOutcome::Result::failed;
  }
  outcome.fuzz = isFuzzTest();
  if (reporter != nullptr) reporter->checkEnded(index, check, outcome, raised);

  outcome.leaked = resource.close();
  setTestAllocator(nullptr);
  return outcome;
}

RunSummary runAll(CheckTable table, Reporter& reporter) {
  RunSummary summary;
  summary.total = table.size();
  reporter.runStarted(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    CheckOutcome outcome = runCheck(i, table[i], &reporter);
    switch (outcome.result) {
      case CheckOutcome::Result::passed: ++summary.passed; break;
      case CheckOutcome::Result::skipped: ++summary.skipped; break;
      case CheckOutcome::Result::failed: ++summary.failed; break;
    }
    if (outcome.fuzz) ++summary.fuzz;
    if (outcome.leaked) ++summary.leaked;
  }
  summary.log_err_count = logErrCount();
  reporter.runEnded(summary);
  return summary;
}

}  // namespace selfcheck
