#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

#include "random_inputs.hpp"
#include "reference.hpp"

namespace {

using nemra_kernel::AffineCard;
using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;
using nemra_kernel::pglTranslate;

// Every number of a printed value, read back with std::from_chars.
std::vector<double> readNumbers(const std::string& text) {
  std::vector<double> out;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    if (std::string_view("[](), \n").find(*p) != std::string_view::npos) {
      ++p;
      continue;
    }
    double v = 0;
    const std::from_chars_result r = std::from_chars(p, end, v);
    if (r.ec != std::errc{}) {
      ADD_FAILURE() << "unreadable number at: " << p;
      break;
    }
    out.push_back(v);
    p = r.ptr;
  }
  return out;
}

// Shortest round-trip digits: 0.1 is "0.1", not 0.1000000000000000055511151231257827; the smallest
// subnormal and the largest double keep all their bits; the sign of zero is kept. The stream's
// precision is not used.
TEST(HomVec4Print, ShortestDigitsThatReadBack) {
  std::ostringstream os;
  os.precision(3);
  os << HomVec4::init(-0.0, 0.1, 5e-324, std::numeric_limits<double>::max()) << ' '
     << HomVec4::init(1.0 / 3.0, -std::numeric_limits<double>::infinity(), 1e300, 1) << ' '
     << AffineCard::UY;
  EXPECT_EQ(os.str(),
            "(-0, 0.1, 5e-324, 1.7976931348623157e+308) (0.3333333333333333, -inf, 1e+300, 1) UY");
}

TEST(PGL4Print, RowsWithAlignedColumnsThatReadBackBitForBit) {
  std::ostringstream os;
  os << pglTranslate(10, -2.5, 0.1);
  EXPECT_EQ(os.str(), "[1, 0, 0,   10]\n[0, 1, 0, -2.5]\n[0, 0, 1,  0.1]\n[0, 0, 0,    1]");

  ref::RandomInputs in(21);
  for (int i = 0; i < 2000; ++i) {
    const PGL4 m = PGL4::init(in.matrix());
    std::ostringstream text;
    text << m;
    const std::vector<double> back = readNumbers(text.str());
    ASSERT_EQ(back.size(), 16u) << text.str();
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t c = 0; c < 4; ++c) {
        const double e = m.get(r, c);
        // Every NaN prints as "nan", whatever its sign and payload, which differ between machines.
        const bool same = std::isnan(e) ? text.str().find("-nan") == std::string::npos &&
                                              std::isnan(back[4 * r + c])
                                        : ref::sameBits(e, back[4 * r + c]);
        ASSERT_TRUE(same) << text.str() << "\nentry (" << r << ", " << c << ")";
      }
    }
  }
}

}  // namespace
