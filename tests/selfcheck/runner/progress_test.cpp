#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/runner/progress.hpp>

#include "support/vt_screen.hpp"

namespace {

using selfcheck::ProgressFrameInput;
using selfcheck::renderProgressFrame;
using selfcheck::terminalCells;

TEST(ProgressCells, WideAndCombiningCharactersAreCountedAsTheTerminalShowsThem) {
  EXPECT_EQ(terminalCells("Test"), 4u);
  EXPECT_EQ(terminalCells("S³ Π² ε → ≈ Aᵀ"), 14u);
  EXPECT_EQ(terminalCells("日本"), 4u);
  EXPECT_EQ(terminalCells("e\u0301"), 1u);
  EXPECT_EQ(terminalCells("\xff"), 1u) << "a stray byte shows as one replacement character";
}

// Draws frames for checks of growing names onto an emulated terminal of every width from 1 to
// 60 columns and a few heights: no line may reach the last column (no wrap), the display takes
// the rows it says, and clearing it leaves the screen as it was.
TEST(ProgressFrame, FitsEveryWidthAndClearsWithoutATrace) {
  const std::vector<std::string> names = {"x", "nemra_kernel.test.HomVec4: normalization on S³",
                                          "nemra_kernel.test.Projector Π_Λ is idempotent: Π² = Π",
                                          "日本語の名前のチェック",
                                          "control\x1b[2Jcharacters\nin a name"};
  char buffer[selfcheck::kProgressBufferSize];
  for (int rows : {1, 2, 24}) {
    for (int columns = 1; columns <= 60; ++columns) {
      SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rows));
      nemra_test::VtScreen screen(columns, rows);
      // A line printed before; the display starts at column 0 after it. On a screen with room
      // below it, it must survive the display.
      const bool prompt = rows > 2 && columns > 1;
      if (prompt) screen.feed("$\r\n");
      int drawn = 0;
      for (std::size_t i = 0; i < names.size(); ++i) {
        ProgressFrameInput input{i, names.size(), names[i], columns, rows};
        int lines = 0;
        const std::size_t bytes = renderProgressFrame(buffer, drawn, input, lines);
        screen.feed(std::string_view(buffer, bytes));
        drawn = lines;
        EXPECT_EQ(lines, rows >= 2 ? 2 : 1);
        for (const std::string& row : screen.rows()) {
          EXPECT_LE(terminalCells(row), static_cast<std::size_t>(std::max(columns - 1, 0)));
          EXPECT_EQ(row.find('\x1b'), std::string::npos);
        }
      }
      EXPECT_EQ(screen.wraps(), 0);
      EXPECT_TRUE(screen.unknownSequences().empty());
      screen.feed(selfcheck::progressClearSequence(buffer, drawn));
      const std::vector<std::string> expected_rows =
          prompt ? std::vector<std::string>{"$"} : std::vector<std::string>{};
      EXPECT_EQ(screen.nonBlankRows(), expected_rows);
      EXPECT_EQ(screen.cursorColumn(), 0);
      EXPECT_EQ(screen.cursorRow(), prompt ? 1 : 0);
    }
  }
}

TEST(ProgressFrame, ShowsRootWithCountsAndTheRunningCheck) {
  char buffer[selfcheck::kProgressBufferSize];
  nemra_test::VtScreen screen(80, 24);
  int lines = 0;
  ProgressFrameInput input{17, 36, "nemra_ecs.test.ECS: ArchetypeId validity", 80, 24};
  screen.feed(std::string_view(buffer, renderProgressFrame(buffer, 0, input, lines)));
  EXPECT_EQ(
      screen.nonBlankRows(),
      (std::vector<std::string>{"Test [17/36]", "└─ nemra_ecs.test.ECS: ArchetypeId validity"}));
  EXPECT_TRUE(screen.cursorVisible());
}

TEST(ProgressFrame, HugeNameIsCutToTheBuffer) {
  char buffer[selfcheck::kProgressBufferSize];
  const std::string name(10000, 'n');
  int lines = 0;
  ProgressFrameInput input{0, 1, name, 30000, 24};
  const std::size_t bytes = renderProgressFrame(buffer, 2, input, lines);
  EXPECT_LE(bytes, sizeof buffer);
  EXPECT_GT(bytes, sizeof buffer - 8);
}

}  // namespace
