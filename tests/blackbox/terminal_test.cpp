// The self-check program on a terminal: run on a pseudo-terminal and read back through a terminal
// emulator, as a person would see it while it runs and after it ends.
#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/golden.hpp"
#include "support/pty_run.hpp"
#include "support/vt_screen.hpp"

namespace {

using nemra_test::PtyResult;
using nemra_test::VtScreen;

PtyResult runFixtureOnPty(const std::string& table, int columns, int rows) {
  return nemra_test::runOnPty(NEMRA_FIXTURE_PROGRAM, {"selfcheck_fixture"}, columns, rows,
                              {{"NEMRA_FIXTURE", table}, {"TERM", "xterm"}});
}

void expectExit(const PtyResult& run, int code) {
  EXPECT_TRUE(run.exited && run.exit_code == code)
      << "exit " << run.exit_code << " signal " << run.signal << "\n"
      << run.all();
}

// The screen after all the output, checked for what no output of ours may leave behind.
VtScreen finalScreen(const PtyResult& run, int columns, int rows) {
  VtScreen screen(columns, rows);
  screen.feed(run.all());
  EXPECT_TRUE(screen.cursorVisible());
  EXPECT_TRUE(screen.unknownSequences().empty())
      << "unexpected sequence " << screen.unknownSequences().front();
  return screen;
}

// Only `line` on the screen, on its first row, and the cursor at the start of the next row.
void expectOnlyLine(const VtScreen& screen, const std::string& line) {
  std::vector<std::string> rows = screen.rows();
  EXPECT_EQ(rows[0], line);
  EXPECT_EQ(screen.nonBlankRows(), std::vector<std::string>{line});
  EXPECT_EQ(screen.cursorRow(), 1);
  EXPECT_EQ(screen.cursorColumn(), 0);
  EXPECT_TRUE(screen.scrolledOff().empty());
}

// The first `cells` characters of a UTF-8 string of one-cell characters.
std::string firstCells(const std::string& text, std::size_t cells) {
  std::size_t end = 0;
  for (std::size_t n = 0; end < text.size() && n < cells; ++n) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) ++end;
  }
  return text.substr(0, end);
}

struct Sighting {
  bool seen = false;
  std::chrono::milliseconds first{0};
  int frames = 0;  // chunks after which the display was on the screen
  std::vector<std::string> rows;
};

// Feeds the output chunk by chunk and notes when the screen showed the display with `child`.
Sighting watchForDisplay(const PtyResult& run, VtScreen& screen, const std::string& root_prefix,
                         const std::string& child_prefix) {
  Sighting sighting;
  for (const auto& chunk : run.chunks) {
    screen.feed(chunk.bytes);
    bool root = false;
    bool child = false;
    for (const std::string& row : screen.rows()) {
      root = root || row.starts_with(root_prefix);
      child = child || row.starts_with(child_prefix);
    }
    if (root && child) {
      if (!sighting.seen) {
        sighting.first = chunk.at;
        sighting.rows = screen.nonBlankRows();
      }
      sighting.seen = true;
      ++sighting.frames;
    }
  }
  return sighting;
}

TEST(BlackboxTerminal, AllPassingLeavesOnlyTheSummary) {
  PtyResult run = runFixtureOnPty("pass3", 80, 24);
  expectExit(run, 0);
  expectOnlyLine(finalScreen(run, 80, 24), "All 3 tests passed.");
}

TEST(BlackboxTerminal, SelfcheckProgramLeavesOnlyTheSummary) {
  PtyResult run = nemra_test::runOnPty(NEMRA_SELFCHECK_PROGRAM, {"nemra-selfcheck"}, 80, 24,
                                       {{"TERM", "xterm"}});
  expectExit(run, 0);
  VtScreen screen = finalScreen(run, 80, 24);
  ASSERT_EQ(screen.nonBlankRows().size(), 1u) << screen.text();
  EXPECT_TRUE(std::regex_match(screen.rows()[0], std::regex("All [0-9]+ tests passed\\.")))
      << screen.rows()[0];
  EXPECT_EQ(screen.cursorRow(), 1);
}

TEST(BlackboxTerminal, SlowCheckShowsTheDisplayWhileItRunsAndNothingRemains) {
  PtyResult run = runFixtureOnPty("slow", 80, 24);
  expectExit(run, 0);
  VtScreen screen(80, 24);
  Sighting sighting =
      watchForDisplay(run, screen, "Test [1/3]", "└─ fixture.test.sleeps past the display's delay");
  ASSERT_TRUE(sighting.seen) << run.all();
  EXPECT_EQ(sighting.rows, (std::vector<std::string>{
                               "Test [1/3]", "└─ fixture.test.sleeps past the display's delay"}));
  EXPECT_GE(sighting.first.count(), 200) << "the display must wait 200 ms before it appears";
  EXPECT_GE(sighting.frames, 3) << "redrawn every 80 ms while the check sleeps";
  expectOnlyLine(finalScreen(run, 80, 24), "All 3 tests passed.");
}

TEST(BlackboxTerminal, FailAndSkipLinesTakeTheirTerminalForms) {
  constexpr int kColumns = 400;
  constexpr int kRows = 100;
  PtyResult run = runFixtureOnPty("terminal_forms", kColumns, kRows);
  expectExit(run, 1);
  VtScreen screen = finalScreen(run, kColumns, kRows);
  EXPECT_EQ(screen.wraps(), 0);
  const std::string diff = nemra_test::compareWithGolden(
      std::string(NEMRA_COMPILER_GOLDEN_DIR) + "/terminal_forms.screen.txt",
      nemra_test::normaliseOutput(screen.text() + "\n", NEMRA_SOURCE_DIR));
  EXPECT_TRUE(diff.empty()) << diff;
}

TEST(BlackboxTerminal, DisplayIsClearedBeforeEveryPrintedLine) {
  constexpr int kColumns = 400;
  constexpr int kRows = 100;
  PtyResult run = runFixtureOnPty("slow_then_fail", kColumns, kRows);
  expectExit(run, 1);
  VtScreen screen(kColumns, kRows);
  Sighting sighting = watchForDisplay(run, screen, "Test [", "└─ fixture.test.sleeps");
  EXPECT_TRUE(sighting.seen);
  VtScreen final_screen = finalScreen(run, kColumns, kRows);
  const std::string diff = nemra_test::compareWithGolden(
      std::string(NEMRA_COMPILER_GOLDEN_DIR) + "/slow_then_fail.screen.txt",
      nemra_test::normaliseOutput(final_screen.text() + "\n", NEMRA_SOURCE_DIR));
  EXPECT_TRUE(diff.empty()) << diff;
}

// A panic after the display has been drawn: the display goes, the check's line starts the report.
TEST(BlackboxTerminal, PanicInACheckClearsTheDisplayAndNamesTheCheck) {
  constexpr int kColumns = 400;
  PtyResult run = runFixtureOnPty("slow_then_panic", kColumns, 24);
  EXPECT_TRUE(!run.exited && run.signal == SIGABRT) << run.all();
  VtScreen screen(kColumns, 24);
  EXPECT_TRUE(
      watchForDisplay(run, screen, "Test [1/3]", "└─ fixture.test.sleeps, then panics").seen)
      << run.all();
  const std::vector<std::string> rows = finalScreen(run, kColumns, 24).nonBlankRows();
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(nemra_test::normaliseOutput(rows[0], NEMRA_SOURCE_DIR),
            "2/3 fixture.test.sleeps, then panics...thread {{tid}} panic: expectApproxEqAbs: "
            "tolerance -1e0 is negative or NaN; it must be zero or positive");
  EXPECT_TRUE(rows[1].starts_with("    #")) << rows[1];
}

// A fixture table on a 400×24 terminal, its faults left to the program's own handlers; the run
// must end by SIGABRT. Returns the rows left on the screen.
std::vector<std::string> rowsAfterAFatalCheck(const std::string& table) {
  std::vector<std::pair<std::string, std::string>> env = {{"NEMRA_FIXTURE", table},
                                                          {"TERM", "xterm"}};
  for (auto& setting : nemra_test::letProgramHandleFaults()) env.push_back(setting);
  PtyResult run = nemra_test::runOnPty(NEMRA_FIXTURE_PROGRAM, {"selfcheck_fixture"}, 400, 24, env);
  EXPECT_TRUE(!run.exited && run.signal == SIGABRT) << run.all();
  return finalScreen(run, 400, 24).nonBlankRows();
}

TEST(BlackboxTerminal, FaultInACheckNamesTheCheck) {
  const std::vector<std::string> rows = rowsAfterAFatalCheck("null");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], "1/2 fixture.test.dereferences null...Segmentation fault at address 0x0");
}

// On a terminal a plain abort() leaves the check's line, as the line output does on a file.
TEST(BlackboxTerminal, AbortInACheckNamesTheCheck) {
  EXPECT_EQ(rowsAfterAFatalCheck("abort"), std::vector<std::string>{"2/2 fixture.test.aborts..."});
}

TEST(BlackboxTerminal, NarrowTerminalIsNeverWrapped) {
  for (int columns : {12, 30}) {
    SCOPED_TRACE(columns);
    PtyResult run = runFixtureOnPty("slow_long_name", columns, 10);
    expectExit(run, 0);
    VtScreen screen(columns, 10);
    Sighting sighting = watchForDisplay(run, screen, "Test", "└─ ");
    ASSERT_TRUE(sighting.seen) << run.all();
    ASSERT_EQ(sighting.rows.size(), 2u);
    // Lines are cut one cell short of the width, so that none reaches the last column.
    const auto width = static_cast<std::size_t>(columns - 1);
    EXPECT_EQ(sighting.rows[0], firstCells("Test [0/1]", width));
    EXPECT_EQ(sighting.rows[1],
              firstCells("└─ fixture.test.a check whose name is much longer", width));
    EXPECT_EQ(screen.wraps(), columns < 20 ? 1 : 0)
        << "only the summary line itself may wrap, when it is wider than the terminal";
    VtScreen final_screen = finalScreen(run, columns, 10);
    if (columns >= 20) expectOnlyLine(final_screen, "All 1 tests passed.");
  }
}

TEST(BlackboxTerminal, OneRowTerminalShowsOnlyTheRoot) {
  PtyResult run = runFixtureOnPty("slow", 80, 1);
  expectExit(run, 0);
  VtScreen screen(80, 1);
  Sighting sighting = watchForDisplay(run, screen, "Test [1/3]", "Test [1/3]");
  ASSERT_TRUE(sighting.seen);
  EXPECT_EQ(sighting.rows, std::vector<std::string>{"Test [1/3]"});
  // Only the summary may scroll off (the newline after it), never a line of the display.
  EXPECT_EQ(screen.scrolledOff(), std::vector<std::string>{"All 3 tests passed."});
}

TEST(BlackboxTerminal, DumbTerminalGetsTheTerminalFormsButNoDisplay) {
  PtyResult run = nemra_test::runOnPty(NEMRA_FIXTURE_PROGRAM, {"selfcheck_fixture"}, 80, 24,
                                       {{"NEMRA_FIXTURE", "slow"}, {"TERM", "dumb"}});
  expectExit(run, 0);
  EXPECT_EQ(run.all(), "All 3 tests passed.\r\n");
}

}  // namespace
