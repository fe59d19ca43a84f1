// The progress display of the terminal mode, drawn on standard error by a second thread when
// standard error is a terminal:
//
//   Test [17/36]
//   └─ nemra_ecs.test.ECS: ArchetypeId validity
//
// a root item "Test" with the checks done and the table's length, and one child item with the
// running check's name. It first appears 200 ms after the run starts, is redrawn every 80 ms, and
// is cleared before anything else is written to standard error (through the before-write hook of
// the standard-error writer) and at the end of the run. A run whose checks are all fast finishes
// before the first drawing, so nothing is ever drawn.
#ifndef SELFCHECK_RUNNER_PROGRESS_HPP
#define SELFCHECK_RUNNER_PROGRESS_HPP

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>

#include <selfcheck/runner/reporter.hpp>

namespace selfcheck {

inline constexpr std::size_t kProgressBufferSize = 4096;

// What one frame shows, and the terminal it must fit.
struct ProgressFrameInput {
  std::size_t completed = 0;
  std::size_t total = 0;
  std::string_view name;  // the running check
  int columns = 80;
  int rows = 24;
};

// Writes into `out` the bytes that erase the `previous_lines` lines of the last frame (0 for
// none) and draw the next one. Every line is cut to at most columns - 1 cells, so that no line
// reaches the last column and wraps; a terminal of one row shows only the root line. The cursor
// ends at the end of the last line drawn. Returns the bytes written and sets `lines` to the number
// of lines drawn.
std::size_t renderProgressFrame(std::span<char> out, int previous_lines,
                                const ProgressFrameInput& input, int& lines);

// The bytes that erase a frame of `lines` lines and leave the cursor at the start of its first
// line. Empty for 0 lines.
std::string_view progressClearSequence(std::span<char> out, int lines);

// Cells a UTF-8 string takes on a terminal (wide East Asian characters count two, combining marks
// none).
std::size_t terminalCells(std::string_view text);

struct ProgressTiming {
  std::chrono::milliseconds initial_delay{200};
  std::chrono::milliseconds refresh{80};
};

class ProgressDisplay final : public Reporter {
 public:
  // Draws on standard error when it is a terminal whose TERM is not "dumb"; otherwise it draws
  // nothing. At most one display is active at a time.
  explicit ProgressDisplay(ProgressTiming timing = {}) : timing_(timing) {}
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;
  ~ProgressDisplay() override;

  void runStarted(std::size_t total) override;
  void checkStarted(std::size_t index, const Check& check) override;
  void checkEnded(std::size_t index, const Check& check, const CheckOutcome& outcome,
                  const CheckFailure* failure) override;
  void runEnded(const RunSummary& summary) override;

 private:
  void threadMain();
  void drawLocked();
  void clearLocked();
  static void clearActive();

  ProgressTiming timing_;
  std::thread thread_;

  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by wake_mutex_

  std::atomic<std::size_t> total_{0};
  std::atomic<std::size_t> completed_{0};
  std::atomic<const Check*> running_{nullptr};

  // Guarded by the standard-error lock.
  int drawn_lines_ = 0;
  char buffer_[kProgressBufferSize];

  static std::atomic<ProgressDisplay*> active_;
};

}  // namespace selfcheck

#endif
