#include <string>

#include <gtest/gtest.h>

#include <selfcheck/stack/stack_trace.hpp>

namespace nemra_trace_test {

struct Widget {
  [[gnu::noinline]] static selfcheck::StackTrace whereAmI(int depth) {
    if (depth > 0) return whereAmI(depth - 1);
    selfcheck::StackTrace trace = selfcheck::captureStackTrace(0);
    asm volatile("");
    return trace;
  }
};

}  // namespace nemra_trace_test

namespace {

TEST(StackTrace, FramesShowDemangledNamesAndSourceLines) {
  const selfcheck::StackTrace trace = nemra_trace_test::Widget::whereAmI(0);
  ASSERT_GT(trace.count, 1u);
  const std::string text = selfcheck::render(trace);
  const std::string first = text.substr(0, text.find('\n'));
  EXPECT_TRUE(first.starts_with("    #0 0x")) << first;
  EXPECT_NE(first.find("nemra_trace_test::Widget::whereAmI(int)"), std::string::npos) << first;
  EXPECT_NE(first.find("stack_trace_test.cpp:"), std::string::npos) << first;
  EXPECT_NE(text.find("FramesShowDemangledNamesAndSourceLines"), std::string::npos) << text;
}

TEST(StackTrace, SkipLeavesOutTheInnermostFrames) {
  const selfcheck::StackTrace deep = nemra_trace_test::Widget::whereAmI(3);
  ASSERT_GE(deep.count, 5u);
  // whereAmI recursed three times: four frames of it, then this test.
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NE(selfcheck::renderFrames(&deep.frames[i], 1).find("whereAmI"), std::string::npos);
  }
  EXPECT_EQ(selfcheck::renderFrames(&deep.frames[4], 1).find("whereAmI"), std::string::npos);
}

TEST(StackTrace, CaptureStopsAtCapacity) {
  void* frames[2];
  EXPECT_EQ(selfcheck::captureFrames(frames, 2, 0), 2u);
  EXPECT_EQ(selfcheck::captureFrames(frames, 0, 0), 0u);
}

TEST(StackTrace, AddressWithoutSymbolsStillRenders) {
  void* nowhere = reinterpret_cast<void*>(0x10);
  EXPECT_EQ(selfcheck::renderFrames(&nowhere, 1), "    #0 0x0000000000000010 in ??\n");
}

}  // namespace
