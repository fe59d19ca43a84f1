// Floats as the runner prints them: the shortest decimal digits that read back to the same value
// at the value's own width, in scientific form without a "+" or leading zeros in the exponent
// (1e0, 6e-1, 1e-10, 1.5707963267948966e0). Infinities print as "inf" and "-inf", NaN as "nan",
// negative zero as "-0e0".
#ifndef SELFCHECK_FLOAT_FORMAT_HPP
#define SELFCHECK_FLOAT_FORMAT_HPP

#include <string>

namespace selfcheck {

std::string formatFloat(double value);
std::string formatFloat(float value);

}  // namespace selfcheck

#endif
