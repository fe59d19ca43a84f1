#include <string>

#include <gtest/gtest.h>

#include <selfcheck/runner/progress_reports.hpp>

namespace {

using selfcheck::jsonString;

TEST(ProgressReportsJson, NamesAreEscapedAndKeepTheirUtf8) {
  EXPECT_EQ(jsonString("plain"), "\"plain\"");
  EXPECT_EQ(jsonString("P³ → ≈ 𝔽"), "\"P³ → ≈ 𝔽\"");
  EXPECT_EQ(jsonString("say \"hi\" \\ there"), "\"say \\\"hi\\\" \\\\ there\"");
  constexpr char kControls[] = "tab\tnl\nnul\0esc\x1b del\x7f";
  EXPECT_EQ(jsonString(std::string(kControls, sizeof kControls - 1)),
            "\"tab\\u0009nl\\u000anul\\u0000esc\\u001b del\\u007f\"");
}

TEST(ProgressReportsJson, BytesOutsideWellFormedUtf8BecomeReplacementCharacters) {
  EXPECT_EQ(jsonString("a\xff"
                       "b"),
            "\"a\\ufffdb\"");                                          // never a lead byte
  EXPECT_EQ(jsonString("\x80"), "\"\\ufffd\"");                        // stray continuation
  EXPECT_EQ(jsonString("\xc3"), "\"\\ufffd\"");                        // cut short at the end
  EXPECT_EQ(jsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"");             // overlong '/'
  EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // a surrogate
  EXPECT_EQ(jsonString("\xf4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");  // past U+10FFFF
}

}  // namespace
