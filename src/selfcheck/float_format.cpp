#include <charconv>
#include <cmath>
#include <selfcheck/float_format.hpp>
#include <string_view>

namespace selfcheck {
namespace {

// std::to_chars in scientific form already gives the shortest round-trip digits; only the
// exponent needs rewriting from "e+05"/"e-07" to "e5"/"e-7".
template <class F>
std::string format(F value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  auto e = text.find('e');
  std::string out(text.substr(0, e));
  out += 'e';
  std::string_view exp = text.substr(e + 1);
  if (exp.front() == '-') {
    out += '-';
  }
  if (exp.front() == '-' || exp.front() == '+') exp.remove_prefix(1);
  while (exp.size() > 1 && exp.front() == '0') exp.remove_prefix(1);
  out += exp;
  return out;
}

}  // namespace

std::string formatFloat(double value) { return format(value); }
std::string formatFloat(float value) { return format(value); }

}  // namespace selfcheck
