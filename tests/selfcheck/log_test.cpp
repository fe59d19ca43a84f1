#include <limits>
#include <string>

#include <gtest/gtest.h>

#include <selfcheck/log.hpp>

namespace {

using selfcheck::log;
using selfcheck::LogLevel;

std::string logged(LogLevel level_in_force, LogLevel level, std::string_view message) {
  selfcheck::setLogLevel(level_in_force);
  ::testing::internal::CaptureStderr();
  log("scope", level, message);
  std::string text = ::testing::internal::GetCapturedStderr();
  selfcheck::setLogLevel(LogLevel::warn);
  return text;
}

TEST(Log, LinePrintsScopeLevelAndMessage) {
  EXPECT_EQ(logged(LogLevel::debug, LogLevel::err, "broken"), "[scope] (err): broken\n");
  EXPECT_EQ(logged(LogLevel::debug, LogLevel::warn, "odd"), "[scope] (warn): odd\n");
  EXPECT_EQ(logged(LogLevel::debug, LogLevel::info, "fyi"), "[scope] (info): fyi\n");
  EXPECT_EQ(logged(LogLevel::debug, LogLevel::debug, "detail"), "[scope] (debug): detail\n");
}

TEST(Log, OnlyLevelsAtOrAboveTheLevelInForceArePrinted) {
  EXPECT_EQ(logged(LogLevel::warn, LogLevel::err, "e"), "[scope] (err): e\n");
  EXPECT_EQ(logged(LogLevel::warn, LogLevel::warn, "w"), "[scope] (warn): w\n");
  EXPECT_EQ(logged(LogLevel::warn, LogLevel::info, "i"), "");
  EXPECT_EQ(logged(LogLevel::warn, LogLevel::debug, "d"), "");
  EXPECT_EQ(logged(LogLevel::err, LogLevel::warn, "w"), "");
}

TEST(Log, ErrorsAreCountedEvenWhenNotPrinted) {
  const std::uint64_t before = selfcheck::logErrCount();
  (void)logged(LogLevel::err, LogLevel::err, "counted");
  (void)logged(LogLevel::warn, LogLevel::warn, "not counted");
  EXPECT_EQ(selfcheck::logErrCount(), before + 1);
}

TEST(Log, ErrorCountSaturatesInsteadOfWrapping) {
  const std::uint64_t before = selfcheck::logErrCount();
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  selfcheck::setLogErrCount(kMax - 1);
  (void)logged(LogLevel::warn, LogLevel::err, "one");
  EXPECT_EQ(selfcheck::logErrCount(), kMax);
  (void)logged(LogLevel::warn, LogLevel::err, "two");
  EXPECT_EQ(selfcheck::logErrCount(), kMax);
  selfcheck::setLogErrCount(before);
}

int g_hook_calls = 0;

TEST(Log, BeforeWriteHookRunsBeforeEveryWrite) {
  g_hook_calls = 0;
  selfcheck::setBeforeWriteHook([] { ++g_hook_calls; });
  (void)logged(LogLevel::warn, LogLevel::warn, "line");
  ::testing::internal::CaptureStderr();
  selfcheck::writeStderr("text\n");
  (void)::testing::internal::GetCapturedStderr();
  selfcheck::setBeforeWriteHook(nullptr);
  EXPECT_EQ(g_hook_calls, 2);
}

}  // namespace
