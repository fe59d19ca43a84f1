// Integers as text in a small fixed buffer: no allocation, no locale, nothing a signal handler
// may not call, so fault reports and leak reports can use the same digits as everything else.
#ifndef SELFCHECK_WRITER_NUMBER_TEXT_HPP
#define SELFCHECK_WRITER_NUMBER_TEXT_HPP

#include <algorithm>
#include <array>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace selfcheck {

// Room for any 64-bit integer: 20 decimal digits and a sign, or 16 hexadecimal digits.
struct NumberText {
  std::array<char, 24> chars{};
  std::size_t size = 0;

  [[nodiscard]] std::string_view view() const noexcept { return {chars.data(), size}; }
};

// Lowercase hexadecimal without a prefix, padded with zeros to at least `min_digits` (at most 16).
[[nodiscard]] inline NumberText hexDigits(std::uint64_t value,
                                          std::size_t min_digits = 1) noexcept {
  std::array<char, 16> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16).ptr;
  const auto count = static_cast<std::size_t>(end - digits.data());
  NumberText text;
  const std::size_t pad = min_digits > count ? std::min<std::size_t>(min_digits, 16) - count : 0;
  for (std::size_t i = 0; i < pad; ++i) text.chars[text.size++] = '0';
  for (std::size_t i = 0; i < count; ++i) text.chars[text.size++] = digits[i];
  return text;
}

// Decimal, with a minus sign for a negative value.
template <std::integral T>
[[nodiscard]] NumberText decimalDigits(T value) noexcept {
  NumberText text;
  text.size = static_cast<std::size_t>(
      std::to_chars(text.chars.data(), text.chars.data() + text.chars.size(), value).ptr -
      text.chars.data());
  return text;
}

}  // namespace selfcheck

#endif
