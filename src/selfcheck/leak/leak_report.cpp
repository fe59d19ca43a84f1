#include <algorithm>

#include <selfcheck/leak/leak_report.hpp>
#include <selfcheck/stack/stack_trace.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck::detail {

LeakReport::LeakReport() : lock_(stderrMutex()) { text("[gpa] (err): "); }

LeakReport::~LeakReport() {
  text("\n");
  flush();
}

LeakReport& LeakReport::text(std::string_view text) noexcept {
  while (!text.empty()) {
    if (size_ == sizeof buffer_) flush();
    const std::size_t n = std::min(text.size(), sizeof buffer_ - size_);
    std::copy_n(text.data(), n, buffer_ + size_);
    size_ += n;
    text.remove_prefix(n);
  }
  return *this;
}

LeakReport& LeakReport::address(std::uintptr_t address) noexcept {
  return text("0x").text(hexDigits(address).view());
}

LeakReport& LeakReport::decimal(std::size_t value) noexcept {
  return text(decimalDigits(value).view());
}

LeakReport& LeakReport::stack(void* const* frames, std::size_t count) {
  if (count == 0) return text("\n    (no frames recorded)\n");
  text("\n");
  renderFrames(
      frames, count,
      [](void* report, std::string_view line) {
        static_cast<LeakReport*>(report)->text(line).text("\n");
      },
      this);
  return *this;
}

void LeakReport::flush() noexcept {
  writeStderrLocked(std::string_view(buffer_, size_));
  size_ = 0;
}

}  // namespace selfcheck::detail
