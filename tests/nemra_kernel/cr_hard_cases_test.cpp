// sin, cos, tan and acos on the published hardest-to-round inputs (hard_cases/README.md): every
// input and its negation against MPFR, and the exact path decided by a precision below its last,
// whose answer would otherwise be a best guess.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_kernel/cr/detail/cr_acos.hpp>
#include <nemra_kernel/cr/detail/cr_trig.hpp>
#include <nemra_kernel/cr_math.hpp>

#include "support/mpfr_reference.hpp"

namespace {

using nemra_test::CrFunction;

std::uint64_t bitsOf(double v) { return std::bit_cast<std::uint64_t>(v); }

bool sameResult(double got, double want) {
  return bitsOf(got) == bitsOf(want) || (std::isnan(got) && std::isnan(want));
}

// One list: its file, its function, how many inputs it holds, and the input hardest to round to
// nearest with an upper bound on its distance from a midpoint.
struct HardCases {
  const char* file;
  CrFunction function;
  double (*cr)(double);
  int exact_fn;  // the trig exact path's function number, -1 for acos
  std::size_t count;
  double hardest;
  double hardest_within;  // in ulps of the result
};

std::vector<double> readInputs(const char* file) {
  std::ifstream in(std::string(NEMRA_HARD_CASES_DIR) + "/" + file);
  std::vector<double> inputs;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    char* end = nullptr;
    inputs.push_back(std::strtod(line.c_str(), &end));
    if (*end != '\0') ADD_FAILURE() << file << ": not a number: " << line;
  }
  return inputs;
}

// The fewest limbs (3, 5, 9, 16) whose exact path decides f(x), checked against want; 0 when
// none does (the function then returns its last precision's best guess).
int limbsThatDecide(const HardCases& list, double x, double want) {
  for (int limbs : {3, 5, 9, 16}) {
    double got = 0.0;
    const bool decided = list.exact_fn < 0 ? nemra_kernel::detail::acosExactForTest(x, limbs, &got)
                                           : nemra_kernel::detail::trigExactForTest(
                                                 std::fabs(x), list.exact_fn, limbs, &got);
    if (!decided) continue;
    EXPECT_TRUE(sameResult(got, want)) << list.file << " " << limbs << " limbs: " << std::hexfloat
                                       << x << " gives " << got << ", MPFR " << want;
    return limbs;
  }
  return 0;
}

void checkList(const HardCases& list) {
  const std::vector<double> inputs = readInputs(list.file);
  ASSERT_EQ(inputs.size(), list.count) << list.file;
  bool has_hardest = false;
  for (double x : inputs) has_hardest = has_hardest || bitsOf(x) == bitsOf(list.hardest);
  ASSERT_TRUE(has_hardest) << list.file;
  EXPECT_LT(nemra_test::boundaryDistanceUlps(list.function, list.hardest), list.hardest_within);

  long misrounded = 0;
  long by_limbs[17] = {};
  for (double input : inputs) {
    for (double x : {input, -input}) {
      const double want = nemra_test::mpfrReference(list.function, x);
      const double got = list.cr(x);
      if (!sameResult(got, want) && misrounded++ < 5) {
        ADD_FAILURE() << list.file << ": " << std::hexfloat << x << " gives " << got << ", MPFR "
                      << want;
      }
      const double ax = std::fabs(x);
      const bool exact_path_applies = list.exact_fn < 0
                                          ? ax >= 0x1p-56 && ax < 1.0
                                          : std::isfinite(x) && ax >= 0x1p-27 && x >= 0.0;
      if (exact_path_applies) ++by_limbs[limbsThatDecide(list, x, want)];
    }
  }
  EXPECT_EQ(misrounded, 0) << list.file;
  EXPECT_EQ(by_limbs[0], 0) << list.file << ": inputs no precision of the exact path decides";
  std::printf(
      "  %s: %zu inputs and their negations, %ld misrounded; the exact path decides with "
      "3 limbs %ld, 5 limbs %ld, 9 limbs %ld, 16 limbs %ld, none %ld\n",
      list.file, inputs.size(), misrounded, by_limbs[3], by_limbs[5], by_limbs[9], by_limbs[16],
      by_limbs[0]);
}

TEST(CrHardCases, SinOfEveryPublishedInputIsCorrectlyRounded) {
  checkList(
      {"sin.txt", CrFunction::Sin, nemra_kernel::cr::sin, 0, 41057, 0x1.598bae9e632f6p-7, 0x1p-60});
}

TEST(CrHardCases, CosOfEveryPublishedInputIsCorrectlyRounded) {
  checkList({"cos.txt", CrFunction::Cos, nemra_kernel::cr::cos, 1, 39849, 0x1.34ec2f9fc9cp+1,
             std::exp2(-59.5)});
}

TEST(CrHardCases, TanOfEveryPublishedInputIsCorrectlyRounded) {
  checkList({"tan.txt", CrFunction::Tan, nemra_kernel::cr::tan, 2, 32107, 0x1.dffffffffff1fp-22,
             0x1p-79});
}

TEST(CrHardCases, AcosOfEveryPublishedInputIsCorrectlyRounded) {
  checkList({"acos.txt", CrFunction::Acos, nemra_kernel::cr::acos, -1, 179024, 0x1.53ea6c7255e88p-4,
             std::exp2(-58.5)});
}

}  // namespace
