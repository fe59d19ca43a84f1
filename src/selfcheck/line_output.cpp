#include <selfcheck/line_output.hpp>
#include <selfcheck/log.hpp>

namespace selfcheck {

std::string summaryText(const RunSummary& s) {
  std::string out;
  if (s.passed == s.total) {
    out += "All " + std::to_string(s.passed) + " tests passed.\n";
  } else {
    out += std::to_string(s.passed) + " passed; " + std::to_string(s.skipped) + " skipped; " +
           std::to_string(s.failed) + " failed.\n";
  }
  if (s.log_err_count != 0) out += std::to_string(s.log_err_count) + " errors were logged.\n";
  if (s.leaked != 0) out += std::to_string(s.leaked) + " tests leaked memory.\n";
  if (s.fuzz != 0) out += std::to_string(s.fuzz) + " fuzz tests found.\n";
  return out;
}

std::string errorReturnTrace(const CheckFailure& failure) {
  std::string out = "error: ";
  out += failure.error_name;
  out += "\n    at ";
  out += failure.where.file_name();
  out += ':';
  out += std::to_string(failure.where.line());
  out += " in ";
  out += failure.where.function_name();
  out += '\n';
  out += render(failure.trace);
  return out;
}

void LineOutput::runStarted(std::size_t total) { total_ = total; }

void LineOutput::checkStarted(std::size_t index, const Check& check) {
  writeStderr(std::to_string(index + 1) + "/" + std::to_string(total_) + " " +
              std::string(check.name) + "...");
}

void LineOutput::checkEnded(std::size_t, const Check&, const CheckOutcome& outcome,
                            const CheckFailure* failure) {
  switch (outcome.result) {
    case CheckOutcome::Result::passed: writeStderr("OK\n"); break;
    case CheckOutcome::Result::skipped: writeStderr("SKIP\n"); break;
    case CheckOutcome::Result::failed:
      writeStderr("FAIL (" + std::string(outcome.error_name) + ")\n");
      if (failure != nullptr) writeStderr(errorReturnTrace(*failure));
      break;
  }
}

void LineOutput::runEnded(const RunSummary& summary) { writeStderr(summaryText(summary)); }

}  // namespace selfcheck
