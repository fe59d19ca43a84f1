// Progress reports for a parent process (a build driver, a dashboard): when the environment
// variable NEMRA_PROGRESS_FD holds the number of a descriptor open for writing, the terminal mode
// writes one JSON object per line to it, each line with one write:
//
//   {"event":"start","total":36}
//   {"event":"check","index":1,"name":"..."}
//   {"event":"result","index":1,"name":"...","outcome":"pass","error":null,"leaked":false,
//    "errors":0,"fuzz":false,"ms":0.012}
//   {"event":"end","passed":36,"skipped":0,"failed":0,"leaked":0,"errors":0,"fuzz":0,"status":0}
//
// docs/progress.md describes them for the reader. A write that fails (EPIPE when the reader has
// gone) ends the reports; the run goes on unchanged.
#ifndef SELFCHECK_RUNNER_PROGRESS_REPORTS_HPP
#define SELFCHECK_RUNNER_PROGRESS_REPORTS_HPP

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <selfcheck/runner/reporter.hpp>

namespace selfcheck {

inline constexpr char kProgressFdVariable[] = "NEMRA_PROGRESS_FD";

// The descriptor NEMRA_PROGRESS_FD names. None when the variable is unset or empty, and when its
// value is unusable (not a decimal number, a descriptor that is not open or not open for
// writing, or standard error), which is then reported once as a warn-level log line.
std::optional<int> progressFdFromEnvironment();

// `text` as a JSON string, quotes included: '"', '\' and control characters escaped, UTF-8 kept
// as it is, and every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD.
std::string jsonString(std::string_view text);

class ProgressReports final : public Reporter {
 public:
  explicit ProgressReports(int fd) : fd_(fd) {}

  void runStarted(std::size_t total) override;
  void checkStarted(std::size_t index, const Check& check) override;
  void checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                  const CheckFailure* failure) override;
  void checkFinished(std::size_t index, const Check& check, const CheckOutcome& outcome) override;
  void runEnded(const RunSummary& summary) override;

 private:
  void send(std::string line);

  int fd_;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point check_start_;
  std::chrono::steady_clock::duration check_time_{};
};

}  // namespace selfcheck

#endif
