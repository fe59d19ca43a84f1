#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/runner/cli.hpp>

namespace {

TEST(CommandLineArena, EveryArgumentTakesAViewAndItsCharactersWithANul) {
  const char* argv[] = {"prog", "--seed=1", ""};
  EXPECT_EQ(selfcheck::argumentArenaBytes(3, argv), (16 + 5) + (16 + 9) + (16 + 1));
  EXPECT_EQ(selfcheck::argumentArenaBytes(0, nullptr), 0u);
}

TEST(CommandLine, LaterSeedWinsAndListenIsRecorded) {
  const char* argv[] = {"prog", "--seed=5", "--cache-dir=/x", "--seed=0x10", "--listen=-"};
  const selfcheck::Options options = selfcheck::parseCommandLine(5, argv);
  EXPECT_EQ(options.random_seed, 16u);
  EXPECT_TRUE(options.listen);
  EXPECT_FALSE(selfcheck::parseCommandLine(1, argv).listen);
  EXPECT_EQ(selfcheck::parseCommandLine(0, nullptr).random_seed, 0u);
}

}  // namespace
