#include <selfcheck/runner/line_output.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

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
  if (failure.where.line() == 0) return "    at the check's entry: no assertion raised it\n";
  std::string out = "    at ";
  out += failure.where.file_name();
  out += ':';
  out += std::to_string(failure.where.line());
  out += ':';
  out += std::to_string(failure.where.column());
  out += " in ";
  out += failure.where.function_name();
  out += '\n';
  out += render(failure.trace);
  return out;
}

std::string LineOutput::checkHead(std::size_t index, const Check& check) const {
  return std::to_string(index + 1) + "/" + std::to_string(total_) + " " + std::string(check.name) +
         "...";
}

void LineOutput::runStarted(std::size_t total) { total_ = total; }

void LineOutput::checkStarted(std::size_t index, const Check& check) {
  // On a terminal the display shows the running check; a fatal report names it with the head.
  if (form_ == Form::plain) {
    writeStderr(checkHead(index, check));
  } else {
    setRunningCheckLine(checkHead(index, check));
  }
}

void LineOutput::checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                            const CheckFailure* failure) {
  if (form_ == Form::terminal) setRunningCheckLine({});
  // A failure's message comes first. In the terminal form the head starts the result line; in
  // the plain form it is already out.
  std::string line = failure != nullptr ? failure->message : std::string();
  if (form_ == Form::terminal) line += checkHead(index, check);
  switch (outcome.result) {
    case CheckOutcome::Result::passed:
      if (form_ == Form::plain) writeStderr("OK\n");
      return;
    case CheckOutcome::Result::skipped:
      writeStderr(line + "SKIP\n");
      return;
    case CheckOutcome::Result::failed:
      line += "FAIL (" + std::string(outcome.error_name) + ")\n";
      if (failure != nullptr) line += errorReturnTrace(*failure);
      writeStderr(line);  // the result line and its trace under one hold of the lock
      return;
  }
}

void LineOutput::runEnded(const RunSummary& summary) { writeStderr(summaryText(summary)); }

}  // namespace selfcheck
