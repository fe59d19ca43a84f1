#include <charconv>
#include <cmath>
#include <string_view>

#include <selfcheck/check/float_format.hpp>

namespace selfcheck {
namespace {

// std::to_chars in scientific form without a precision gives the shortest digits that round-trip
// at the argument's own type; only its exponent needs rewriting from "e+05"/"e-07" to "e5"/"e-7".
template <class F>
std::string format(F value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  auto e = text.find('e');
  std::string out(text.substr(0, e));
  out += 'e';
  std::string_view exponent = text.substr(e + 1);
  if (exponent.front() == '-') out += '-';
  exponent.remove_prefix(1);  // the sign: to_chars always writes one
  while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
  out += exponent;
  return out;
}

}  // namespace

std::string formatFloat(double value) { return format(value); }
std::string formatFloat(float value) { return format(value); }

}  // namespace selfcheck
