// Every entry of the committed tables of the correctly rounded functions is the one the recipe
// gives (tools/cr_tables/cr_table_recipes.hpp): a mistyped or stale entry would otherwise show only
// as misrounded results near its centre, if the random inputs happened to fall there.
#include <cstddef>

#include <gtest/gtest.h>

#include <nemra_kernel/cr/detail/cr_acos_tables.hpp>
#include <nemra_kernel/cr/detail/cr_inv_fourth_root_table.hpp>
#include <nemra_kernel/cr/detail/cr_sin_table.hpp>
#include <nemra_kernel/cr/detail/cr_tan_table.hpp>
#include <nemra_kernel/cr/detail/cr_trig.hpp>

#include "cr_tables/cr_table_recipes.hpp"

namespace {

template <std::size_t N, class Row>
void expectRow(const double (&committed)[N], const Row& made, const char* table, int index) {
  for (std::size_t k = 0; k < N; ++k) {
    EXPECT_EQ(committed[k], made[k]) << table << "[" << index << "][" << k << "]";
  }
}

TEST(CrTables, AcosTablesAreTheRecipes) {
  using namespace nemra_kernel::detail;
  for (int i = 0; i <= 64; ++i) {
    expectRow(kAcosAtCentres[i], nemra_test::acosAtCentre(i), "kAcosAtCentres", i);
    expectRow(kAsinCentres[i], nemra_test::asinAtCentre(i), "kAsinCentres", i);
  }
  for (int i = 0; i <= 128; ++i) {
    expectRow(kMiddleCentres[i], nemra_test::middleAtCentre(i), "kMiddleCentres", i);
  }
  for (int j = 0; j <= 16; ++j) {
    expectRow(kOuterCentres[j], nemra_test::outerAtCentre(j), "kOuterCentres", j);
  }
}

TEST(CrTables, TanTableIsTheRecipe) {
  for (int k = -128; k < 128; ++k) {
    const nemra_kernel::detail::TanEntry& e = nemra_kernel::detail::kTanTable[k + 128];
    const double committed[4] = {e.hi, e.lo, e.hh, e.c};
    expectRow(committed, nemra_test::tanAtAngle(k), "kTanTable", k + 128);
  }
}

TEST(CrTables, SinTableIsTheRecipe) {
  for (int i = 0; i <= 256; ++i) {
    expectRow(nemra_kernel::detail::kSinQuarter[i], nemra_test::sinAtAngle(i), "kSinQuarter", i);
  }
}

TEST(CrTables, InvFourthRootTablesAreTheRecipes) {
  using namespace nemra_kernel::detail;
  for (int j = 0; j < 64; ++j) {
    const double committed[2] = {kFourthRootCentres[j].inverse, kFourthRootCentres[j].root};
    expectRow(committed, nemra_test::fourthRootAtCentre(j), "kFourthRootCentres", j);
  }
  for (int k = 0; k < 4; ++k) EXPECT_EQ(kQuarterPowers[k], nemra_test::quarterPower(k)) << k;
}

// The words of 2/pi that cr_trig_reduce.cpp defines (and the reduction of large arguments reads
// through kTwoOverPi), against 2/pi from MPFR.
TEST(CrTables, TwoOverPiIsTheRecipe) {
  using nemra_kernel::detail::kTwoOverPi;
  using nemra_kernel::detail::kTwoOverPiWords;
  const auto words = nemra_test::twoOverPiWords<kTwoOverPiWords>();
  for (int k = 0; k < kTwoOverPiWords; ++k) {
    EXPECT_EQ(kTwoOverPi[k], words[static_cast<std::size_t>(k)]) << "kTwoOverPi[" << k << "]";
  }
}

}  // namespace
