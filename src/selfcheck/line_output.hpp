// Output of a run when standard error is not a terminal: "{i}/{n} {name}..." then the result word,
// and the summary.
#ifndef SELFCHECK_LINE_OUTPUT_HPP
#define SELFCHECK_LINE_OUTPUT_HPP

#include <selfcheck/reporter.hpp>
#include <string>

namespace selfcheck {

// The summary lines for a finished run.
std::string summaryText(const RunSummary& summary);

// The error return trace of a failed check: the assertion's place and the frames it left through.
std::string errorReturnTrace(const CheckFailure& failure);

class LineOutput final : public Reporter {
 public:
  void runStarted(std::size_t total) override;
  void checkStarted(std::size_t index, const Check& check) override;
  void checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                  const CheckFailure* failure) override;
  void runEnded(const RunSummary& summary) override;

 private:
  std::size_t total_ = 0;
};

}  // namespace selfcheck

#endif
