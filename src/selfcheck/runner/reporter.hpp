// The events of a run, as the outputs (line output, progress display, progress reports, the
// server) see them. The run loop knows only this interface.
#ifndef SELFCHECK_RUNNER_REPORTER_HPP
#define SELFCHECK_RUNNER_REPORTER_HPP

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <selfcheck/check/assertions.hpp>
#include <selfcheck/check/check.hpp>

namespace selfcheck {

struct CheckOutcome {
  enum class Result : std::uint8_t { passed, skipped, failed };
  Result result = Result::passed;
  std::string_view error_name;  // for failed and skipped
  bool fuzz = false;
  // Known only once the check's allocator is closed (checkFinished): whether blocks leaked, and
  // the err-level messages of the check, its leak reports included.
  bool leaked = false;
  std::uint64_t log_err_count = 0;
};

struct RunSummary {
  std::uint64_t total = 0;
  std::uint64_t passed = 0;
  std::uint64_t skipped = 0;
  std::uint64_t failed = 0;
  std::uint64_t fuzz = 0;
  std::uint64_t leaked = 0;
  std::uint64_t log_err_count = 0;

  // Exit status: 1 when anything failed, leaked or logged an error; skips alone do not count.
  int exitStatus() const { return (failed != 0 || leaked != 0 || log_err_count != 0) ? 1 : 0; }
};

class Reporter {
 public:
  virtual ~Reporter() = default;
  // Called once before the first check with the table's length.
  virtual void runStarted(std::size_t total) = 0;
  // Called before check `index` (zero-based) runs; `check` stays valid for the whole run.
  virtual void checkStarted(std::size_t index, const Check& check) = 0;
  // Called when the check has returned, before its allocator is closed (so before any leak
  // report). `failure` is the raised failure for skipped and failed checks, else nullptr; its
  // message belongs just before the result word, and its trace holds only the frames the failure
  // left through inside the check. It is only valid during the call.
  virtual void checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                          const CheckFailure* failure) = 0;
  // Called after the check's allocator is closed, with the whole outcome.
  virtual void checkFinished(std::size_t index, const Check& check, const CheckOutcome& outcome) {
    (void)index, (void)check, (void)outcome;
  }
  // Called once after the last check.
  virtual void runEnded(const RunSummary& summary) = 0;
};

// Hands every event to several reporters, in the order given.
class ReporterList final : public Reporter {
 public:
  // Adds `reporter` after those added before; it must outlive the list.
  void add(Reporter& reporter) { reporters_.push_back(&reporter); }

  void runStarted(std::size_t total) override {
    for (Reporter* r : reporters_) r->runStarted(total);
  }
  void checkStarted(std::size_t index, const Check& check) override {
    for (Reporter* r : reporters_) r->checkStarted(index, check);
  }
  void checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                  const CheckFailure* failure) override {
    for (Reporter* r : reporters_) r->checkEnded(index, check, outcome, failure);
  }
  void checkFinished(std::size_t index, const Check& check, const CheckOutcome& outcome) override {
    for (Reporter* r : reporters_) r->checkFinished(index, check, outcome);
  }
  void runEnded(const RunSummary& summary) override {
    for (Reporter* r : reporters_) r->runEnded(summary);
  }

 private:
  std::vector<Reporter*> reporters_;
};

}  // namespace selfcheck

#endif
