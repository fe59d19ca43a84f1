// Private to the kernel's sources (not installed): a double in the shortest decimal form that
// reads back to the same value, for the printing operators.
#ifndef NEMRA_KERNEL_SHORTEST_DOUBLE_INL
#define NEMRA_KERNEL_SHORTEST_DOUBLE_INL

#include <charconv>
#include <string_view>

namespace nemra_kernel::detail {

// Holds the characters of one double: std::to_chars without a format gives the shortest digits
// that std::from_chars reads back to the same bits ("-0", "1e+300", "inf", "-nan").
struct ShortestDouble {
  char text[32];
  std::size_t size;

  explicit ShortestDouble(double value) noexcept {
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    size = static_cast<std::size_t>(r.ptr - text);
  }

  std::string_view view() const noexcept { return {text, size}; }
};

}  // namespace nemra_kernel::detail

#endif
