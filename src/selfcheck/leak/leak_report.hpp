// One err-level report of the leak-checking allocator: "[gpa] (err): ", its text, a newline.
// Private to the allocator.
#ifndef SELFCHECK_LEAK_LEAK_REPORT_HPP
#define SELFCHECK_LEAK_LEAK_REPORT_HPP

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace selfcheck::detail {

// Written to standard error as it is built, through a fixed buffer: a report needs no heap, so
// it can be made when memory or mappings have run out, and it holds the standard-error lock from
// start to end, so that reports from several threads do not interleave. Rendering a stack may
// still allocate to demangle names, as every stack trace does.
class LeakReport {
 public:
  LeakReport();
  LeakReport(const LeakReport&) = delete;
  LeakReport& operator=(const LeakReport&) = delete;
  // Ends the report with a newline and writes what is left.
  ~LeakReport();

  LeakReport& text(std::string_view text) noexcept;
  // "0x" and lowercase hexadecimal digits.
  LeakReport& address(std::uintptr_t address) noexcept;
  LeakReport& decimal(std::size_t value) noexcept;
  // A recorded call stack on the lines after the text before it: a newline, then one line per
  // frame, each ending with a newline ("    (no frames recorded)" when there is none).
  LeakReport& stack(void* const* frames, std::size_t count);

 private:
  void flush() noexcept;

  std::unique_lock<std::recursive_mutex> lock_;
  std::size_t size_ = 0;
  char buffer_[1024];
};

}  // namespace selfcheck::detail

#endif
