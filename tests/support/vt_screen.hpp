// A small terminal emulator for tests: it applies the bytes a program writes to a grid of cells
// the way a VT100-compatible terminal (xterm) would, so that a test can read what a person would
// see rather than the raw bytes.
//
// Understood: printable UTF-8 (every character one cell), CR, LF, BS, TAB, BEL; autowrap with
// xterm's deferred wrap (a character written in the last column leaves the cursor there until the
// next one); scrolling at the bottom; CSI A B C D E F G H f J K (cursor movement and erasing), m
// (attributes, ignored), ?25h / ?25l (cursor visibility) and other private modes (ignored);
// ESC 7 / ESC 8. Anything else is recorded in unknownSequences() so a test can reject it.
#ifndef NEMRA_TESTS_SUPPORT_VT_SCREEN_HPP
#define NEMRA_TESTS_SUPPORT_VT_SCREEN_HPP

#include <string>
#include <string_view>
#include <vector>

namespace nemra_test {

class VtScreen {
 public:
  VtScreen(int columns, int rows);

  void feed(std::string_view bytes);

  // Each row's text with trailing blanks removed.
  std::vector<std::string> rows() const;
  // The rows from the top to the last non-blank one, joined with "\n" (empty for a blank
  // screen). Blank rows at the top are kept: a stray line left there shows.
  std::string text() const;
  // Rows that are not blank.
  std::vector<std::string> nonBlankRows() const;

  bool cursorVisible() const { return cursor_visible_; }
  int cursorRow() const { return row_; }
  int cursorColumn() const { return column_; }
  // How many times a line was wrapped because text reached the right margin.
  int wraps() const { return wraps_; }
  // Lines that scrolled off the top.
  const std::vector<std::string>& scrolledOff() const { return scrolled_off_; }
  const std::vector<std::string>& unknownSequences() const { return unknown_; }

 private:
  void print(std::string cell);
  void lineFeed();
  void control(char c);
  void csi(std::string_view params, char final_byte);
  void eraseInLine(int mode);
  void eraseInDisplay(int mode);
  std::string rowText(int row) const;

  int columns_;
  int rows_;
  std::vector<std::vector<std::string>> cells_;  // "" is a blank cell
  int row_ = 0;
  int column_ = 0;
  bool wrap_pending_ = false;
  bool cursor_visible_ = true;
  int saved_row_ = 0;
  int saved_column_ = 0;
  int wraps_ = 0;
  std::vector<std::string> scrolled_off_;
  std::vector<std::string> unknown_;

  enum class State { ground, escape, csi } state_ = State::ground;
  std::string sequence_;  // parameters of the sequence being read
  std::string utf8_;      // a character being read
  std::size_t utf8_left_ = 0;
};

}  // namespace nemra_test

#endif
