// The per-check lines and the summary of the terminal mode.
//
// Plain form (standard error not a terminal): "{i}/{n} {name}..." when a check starts, then
// "OK\n", "SKIP\n" or "FAIL ({error})\n" when it ends.
// Terminal form (the progress display shows the running check): nothing for a passing check,
// "{i}/{n} {name}...SKIP\n" and "{i}/{n} {name}...FAIL ({error})\n" as whole lines.
// Either form prints a failure's message (the values of a failed expectApproxEqAbs) just before
// the FAIL, the error return trace after it, and the summary at the end. In the terminal form a
// fatal report during a check starts with "{i}/{n} {name}..." (log.hpp, setRunningCheckLine).
#ifndef SELFCHECK_RUNNER_LINE_OUTPUT_HPP
#define SELFCHECK_RUNNER_LINE_OUTPUT_HPP

#include <string>

#include <selfcheck/runner/reporter.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {

// The summary lines for a finished run.
std::string summaryText(const RunSummary& summary);

// The error return trace of a failed check, one line for the assertion's place
// ("    at {file}:{line}:{column} in {function}") and one for each frame the failure left through
// inside the check.
std::string errorReturnTrace(const CheckFailure& failure);

class LineOutput final : public Reporter {
 public:
  enum class Form : std::uint8_t { plain, terminal };

  explicit LineOutput(Form form = Form::plain) : form_(form) {}

  void runStarted(std::size_t total) override;
  void checkStarted(std::size_t index, const Check& check) override;
  void checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                  const CheckFailure* failure) override;
  void runEnded(const RunSummary& summary) override;

 private:
  std::string checkHead(std::size_t index, const Check& check) const;

  Form form_;
  std::size_t total_ = 0;
};

}  // namespace selfcheck

#endif
