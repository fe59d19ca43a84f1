// The printing operators of the kernel's types: every double in the shortest form that reads back
// to the same value.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>

#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_kernel {

namespace {

// Holds the characters of one double: std::to_chars without a format gives the shortest digits
// that std::from_chars reads back to the same bits ("-0", "1e+300", "inf"). Every NaN is "nan":
// its sign and payload are not the same on every machine (0/0 is a negative NaN on x86-64, a
// positive one elsewhere), so printing them would make the same results read differently.
struct ShortestDouble {
  char text[32];
  std::size_t size;

  explicit ShortestDouble(double value) noexcept {
    if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    size = static_cast<std::size_t>(r.ptr - text);
  }

  std::string_view view() const noexcept { return {text, size}; }
};

}  // namespace

std::ostream& operator<<(std::ostream& os, const HomVec4& v) {
  // Built whole and written once, so a width set on the stream pads the vector, not a component.
  std::string text = "(";
  text += ShortestDouble(v.x).view();
  text += ", ";
  text += ShortestDouble(v.y).view();
  text += ", ";
  text += ShortestDouble(v.z).view();
  text += ", ";
  text += ShortestDouble(v.w).view();
  text += ')';
  return os << text;
}

std::ostream& operator<<(std::ostream& os, AffineCard card) {
  switch (card) {
    case AffineCard::UW:
      return os << "UW";
    case AffineCard::UX:
      return os << "UX";
    case AffineCard::UY:
      return os << "UY";
    case AffineCard::UZ:
      return os << "UZ";
  }
  return os << "AffineCard(" << static_cast<unsigned>(card) << ')';
}

std::ostream& operator<<(std::ostream& os, const PGL4& m) {
  ShortestDouble entries[4][4] = {{ShortestDouble(m.data[0]), ShortestDouble(m.data[4]),
                                   ShortestDouble(m.data[8]), ShortestDouble(m.data[12])},
                                  {ShortestDouble(m.data[1]), ShortestDouble(m.data[5]),
                                   ShortestDouble(m.data[9]), ShortestDouble(m.data[13])},
                                  {ShortestDouble(m.data[2]), ShortestDouble(m.data[6]),
                                   ShortestDouble(m.data[10]), ShortestDouble(m.data[14])},
                                  {ShortestDouble(m.data[3]), ShortestDouble(m.data[7]),
                                   ShortestDouble(m.data[11]), ShortestDouble(m.data[15])}};
  std::size_t width[4] = {};
  for (const auto& row : entries) {
    for (std::size_t c = 0; c < 4; ++c) width[c] = row[c].size > width[c] ? row[c].size : width[c];
  }
  // Built whole and written once, so a width set on the stream pads the matrix, not an entry.
  std::string text;
  for (std::size_t r = 0; r < 4; ++r) {
    text += r == 0 ? "[" : "\n[";
    for (std::size_t c = 0; c < 4; ++c) {
      if (c != 0) text += ", ";
      text.append(width[c] - entries[r][c].size, ' ');
      text += entries[r][c].view();
    }
    text += ']';
  }
  return os << text;
}

}  // namespace nemra_kernel
