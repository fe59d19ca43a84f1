// Floats as the runner prints them: the shortest decimal digits that read back to the same value
// at the value's own width (64 or 32 bits), in scientific form: the first digit, "." and the
// remaining digits only when there are any, "e" and the decimal exponent with a minus sign only
// when it is negative (1e0, 6e-1, 1e-10, 1.5707963267948966e0). Negative zero is "-0e0", the
// infinities "inf" and "-inf", and every NaN "nan" (a NaN's sign carries no meaning).
#ifndef SELFCHECK_CHECK_FLOAT_FORMAT_HPP
#define SELFCHECK_CHECK_FLOAT_FORMAT_HPP

#include <string>

namespace selfcheck {

std::string formatFloat(double value);
std::string formatFloat(float value);

}  // namespace selfcheck

#endif
