#include <limits>
#include <string>

#include <gtest/gtest.h>

#include <selfcheck/check/check_context.hpp>
#include <selfcheck/check/log.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace {

using selfcheck::log;
using selfcheck::LogLevel;

// Logs in `context` with its level set to `level_in_force`; returns what was printed.
std::string logged(selfcheck::CheckContext& context, LogLevel level_in_force, LogLevel level,
                   std::string_view message) {
  context.setLogLevel(level_in_force);
  ::testing::internal::CaptureStderr();
  log("scope", level, message);
  return ::testing::internal::GetCapturedStderr();
}

std::string logged(LogLevel level_in_force, LogLevel level, std::string_view message) {
  selfcheck::CheckContext context;
  return logged(context, level_in_force, level, message);
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

TEST(Log, ErrorsAreCountedInTheCurrentContextEvenWhenNotPrinted) {
  const std::uint64_t outside_before = selfcheck::logErrCount();
  {
    selfcheck::CheckContext context;
    EXPECT_EQ(&selfcheck::checkContext(), &context);
    (void)logged(context, LogLevel::err, LogLevel::err, "counted");
    (void)logged(context, LogLevel::warn, LogLevel::warn, "not counted");
    {
      selfcheck::CheckContext inner;
      (void)logged(inner, LogLevel::warn, LogLevel::err, "counted in the inner context");
      EXPECT_EQ(inner.logErrCount(), 1u);
      EXPECT_EQ(inner.logLevel(), LogLevel::warn);
    }
    EXPECT_EQ(&selfcheck::checkContext(), &context) << "the context before comes back";
    EXPECT_EQ(context.logErrCount(), 1u);
    EXPECT_EQ(selfcheck::logErrCount(), 1u);
  }
  EXPECT_EQ(selfcheck::logErrCount(), outside_before) << "nothing leaks into the process's count";
}

TEST(Log, ErrorCountsAddWithoutWrapping) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(selfcheck::saturatingAdd(kMax - 1, 1), kMax);
  EXPECT_EQ(selfcheck::saturatingAdd(kMax, 1), kMax);
  EXPECT_EQ(selfcheck::saturatingAdd(kMax - 1, 2), kMax);
  EXPECT_EQ(selfcheck::saturatingAdd(2, 3), 5u);
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
