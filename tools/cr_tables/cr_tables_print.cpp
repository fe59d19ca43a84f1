// nemra-cr-tables: prints the tables of the correctly rounded functions from the recipe in
// tools/cr_tables/cr_table_recipes.hpp. To regenerate them:
//   nemra-cr-tables acos > src/nemra_kernel/cr/detail/cr_acos_tables.hpp
//   nemra-cr-tables tan > src/nemra_kernel/cr/detail/cr_tan_table.hpp
//   nemra-cr-tables sin > src/nemra_kernel/cr/detail/cr_sin_table.hpp
//   nemra-cr-tables inv-fourth-root > src/nemra_kernel/cr/detail/cr_inv_fourth_root_table.hpp
//   clang-format -i src/nemra_kernel/cr/detail/cr_*table*.hpp
// The CrTables tests check the committed entries against the same recipe. kTwoOverPi, which
// cr_trig_reduce.cpp defines for the other units, is checked against twoOverPiWords.
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "cr_table_recipes.hpp"

namespace {

template <std::size_t N>
void printTable(const char* name, int rows, std::array<double, N> (*row)(int)) {
  std::printf("inline constexpr double %s[%d][%zu] = {\n", name, rows, N);
  for (int i = 0; i < rows; ++i) {
    const std::array<double, N> r = row(i);
    std::printf("{");
    for (std::size_t k = 0; k < N; ++k) std::printf(k == 0 ? "%a" : ", %a", r[k]);
    std::printf("},\n");
  }
  std::printf("};\n\n");
}

void printTan() {
  std::printf(
      "// The table of cr::tan (for cr_tan.cpp only), generated with MPFR at 400 bits by "
      "nemra-cr-tables\n"
      "// (tools/cr_tables/cr_tables_print.cpp); the CrTables tests check it.\n"
      "#ifndef NEMRA_KERNEL_CR_DETAIL_CR_TAN_TABLE_HPP\n"
      "#define NEMRA_KERNEL_CR_DETAIL_CR_TAN_TABLE_HPP\n\n"
      "namespace nemra_kernel::detail {\n\n"
      "// tan(k pi/512) for k = -128..127 (entry k + 128) as double-double (hi, lo), within "
      "2^-107\n"
      "// relative, hi rounded to 27 significant bits (hh), and the rest (hi - hh) + lo rounded "
      "(c).\n"
      "struct TanEntry {\n  double hi, lo, hh, c;\n};\n"
      "alignas(64) inline constexpr TanEntry kTanTable[256] = {\n");
  for (int k = -128; k < 128; ++k) {
    const std::array<double, 4> e = nemra_test::tanAtAngle(k);
    std::printf("{%a, %a, %a, %a},\n", e[0], e[1], e[2], e[3]);
  }
  std::printf("};\n\n}  // namespace nemra_kernel::detail\n\n#endif\n");
}

void printAcos() {
  std::printf(
      "// Tables of cr::acos (for cr_acos.cpp only), generated with MPFR at 400 bits by\n"
      "// nemra-cr-tables (tools/cr_tables/cr_tables_print.cpp); the CrTables tests check "
      "them.\n"
      "//\n"
      "// kAcosAtCentres[i], c = i/128: acos c and acos -c, each as a double-double (hi, lo).\n"
      "//\n"
      "// kAsinCentres[i]: asin'(c) = (1 - c^2)^(-1/2) as a 26-bit head and the double nearest "
      "to the\n"
      "// rest, then the Taylor coefficients of asin at c of degree 2 to 9, each the nearest "
      "double.\n"
      "//\n"
      "// kMiddleCentres[i], c = 2^e (1 + j/64) with e = -3 + i/64, j = i mod 64 (1/8 <= c <= "
      "1/2):\n"
      "// G(s) = acos(1 - s) at c as a double-double, G'(c) as a 26-bit head and a rest, then the\n"
      "// Taylor coefficients of G at c of degree 2 to 9.\n"
      "//\n"
      "// kOuterCentres[j], d = j/128 <= 1/8: F(s) = acos(1 - s) / sqrt(2s) at s = d as a "
      "double-double,\n"
      "// F'(d) as a 26-bit head and a rest, then the Taylor coefficients of F at d of degree 2 to "
      "7.\n"
      "#ifndef NEMRA_KERNEL_CR_DETAIL_CR_ACOS_TABLES_HPP\n"
      "#define NEMRA_KERNEL_CR_DETAIL_CR_ACOS_TABLES_HPP\n\n"
      "namespace nemra_kernel::detail {\n\n");
  printTable("kAcosAtCentres", 65, nemra_test::acosAtCentre);
  printTable("kAsinCentres", 65, nemra_test::asinAtCentre);
  printTable("kMiddleCentres", 129, nemra_test::middleAtCentre);
  printTable("kOuterCentres", 17, nemra_test::outerAtCentre);
  std::printf("}  // namespace nemra_kernel::detail\n\n#endif\n");
}

void printSin() {
  std::printf(
      "// The table of cr::sin and cr::cos (for cr_trig_reduce.cpp only), generated with MPFR at "
      "400 bits\n"
      "// by nemra-cr-tables (tools/cr_tables/cr_tables_print.cpp); the CrTables tests check it.\n"
      "#ifndef NEMRA_KERNEL_CR_DETAIL_CR_SIN_TABLE_HPP\n"
      "#define NEMRA_KERNEL_CR_DETAIL_CR_SIN_TABLE_HPP\n\n"
      "namespace nemra_kernel::detail {\n\n"
      "// sin(i pi/512) for i = 0..256 as a double-double (hi, lo), within 2^-107 relative, and "
      "hi\n"
      "// rounded to 27 significant bits (hh); kSinTable unfolds it to the whole turn.\n");
  printTable("kSinQuarter", 257, nemra_test::sinAtAngle);
  std::printf("}  // namespace nemra_kernel::detail\n\n#endif\n");
}

void printInvFourthRoot() {
  std::printf(
      "// The tables of cr::invFourthRoot (for cr_inv_fourth_root.cpp only), generated with MPFR "
      "at 400\n"
      "// bits by nemra-cr-tables (tools/cr_tables/cr_tables_print.cpp); the CrTables tests check "
      "them.\n"
      "#ifndef NEMRA_KERNEL_CR_DETAIL_CR_INV_FOURTH_ROOT_TABLE_HPP\n"
      "#define NEMRA_KERNEL_CR_DETAIL_CR_INV_FOURTH_ROOT_TABLE_HPP\n\n"
      "namespace nemra_kernel::detail {\n\n"
      "// At c_j = 1 + (2j + 1)/128, j = 0..63, the centre of the j-th 64th of [1, 2): 1/c_j and\n"
      "// c_j^(-1/4), each the nearest double.\n"
      "struct FourthRootCentre {\n  double inverse, root;\n};\n"
      "inline constexpr FourthRootCentre kFourthRootCentres[64] = {\n");
  for (int j = 0; j < 64; ++j) {
    const std::array<double, 2> e = nemra_test::fourthRootAtCentre(j);
    std::printf("{%a, %a},\n", e[0], e[1]);
  }
  std::printf(
      "};\n\n// 2^(-k/4), k = 0..3, the nearest double.\n"
      "inline constexpr double kQuarterPowers[4] = {");
  for (int k = 0; k < 4; ++k) std::printf(k == 0 ? "%a" : ", %a", nemra_test::quarterPower(k));
  std::printf("};\n\n}  // namespace nemra_kernel::detail\n\n#endif\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "acos") == 0) {
    printAcos();
  } else if (argc == 2 && std::strcmp(argv[1], "tan") == 0) {
    printTan();
  } else if (argc == 2 && std::strcmp(argv[1], "sin") == 0) {
    printSin();
  } else if (argc == 2 && std::strcmp(argv[1], "inv-fourth-root") == 0) {
    printInvFourthRoot();
  } else {
    std::fprintf(stderr, "usage: nemra-cr-tables acos|tan|sin|inv-fourth-root > header\n");
    return 2;
  }
  return 0;
}
