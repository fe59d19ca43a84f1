// Everything one run of one check owns: its leak-checking resource, the log level, the count of
// error-level messages and the fuzz mark.
//
// The run loop (and the server, through it) builds a CheckContext for each check. While it lives
// it is the current context: the functions a check calls (testAllocator, log, markFuzzTest) act
// on it, and the runner reads the results from it. Outside any check the process's own context is
// current; its allocator is std::pmr::new_delete_resource() and it checks nothing for leaks.
#ifndef SELFCHECK_CHECK_CHECK_CONTEXT_HPP
#define SELFCHECK_CHECK_CHECK_CONTEXT_HPP

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <string_view>

#include <selfcheck/leak/leak_resource.hpp>

namespace selfcheck {

// How much a check's log prints: messages at the context's level and the more severe ones.
enum class LogLevel : std::uint8_t { err = 0, warn = 1, info = 2, debug = 3 };

// "err", "warn", "info", "debug".
std::string_view levelName(LogLevel level);

// a + b, or the largest value when the sum does not fit.
[[nodiscard]] constexpr std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) noexcept {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

class CheckContext {
 public:
  // A fresh context (an empty leak-checking resource, log level warn, no errors, no fuzz mark),
  // current from now until it is destroyed, when the one current before comes back.
  CheckContext();
  CheckContext(const CheckContext&) = delete;
  CheckContext& operator=(const CheckContext&) = delete;
  // Closes the allocator first (see closeAllocator), so a leak is reported and counted here.
  ~CheckContext();

  [[nodiscard]] std::pmr::memory_resource* allocator() noexcept;
  // Reports every block still allocated (each an err-level message, counted in this context),
  // releases the resource's memory and returns whether anything leaked. False for the process's
  // own context, which has nothing to close.
  bool closeAllocator();

  [[nodiscard]] LogLevel logLevel() const noexcept { return log_level_.load(); }
  void setLogLevel(LogLevel level) noexcept { log_level_.store(level); }

  // Err-level messages logged while this context was current, its allocator's reports
  // included; saturates instead of wrapping.
  [[nodiscard]] std::uint64_t logErrCount() const noexcept {
    return saturatingAdd(log_err_count_.load(), owns_resource_ ? resource_.reportCount() : 0);
  }
  void countError() noexcept;

  [[nodiscard]] bool isFuzzTest() const noexcept { return is_fuzz_test_.load(); }
  void markFuzzTest() noexcept { is_fuzz_test_.store(true); }

 private:
  struct ProcessTag {};
  explicit CheckContext(ProcessTag) noexcept;
  friend CheckContext& checkContext() noexcept;

  LeakCheckingResource resource_;
  bool owns_resource_ = true;
  std::atomic<LogLevel> log_level_{LogLevel::warn};
  std::atomic<std::uint64_t> log_err_count_{0};
  std::atomic<bool> is_fuzz_test_{false};
  CheckContext* previous_ = nullptr;
};

// The current context: the running check's, or the process's own outside any check. The one
// accessor through which everything per-check is reached; safe from any thread.
[[nodiscard]] CheckContext& checkContext() noexcept;

}  // namespace selfcheck

#endif
