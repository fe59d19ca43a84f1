#include "support/vt_screen.hpp"

#include <algorithm>
#include <cstdlib>

namespace nemra_test {
namespace {

std::vector<int> parseParams(std::string_view params) {
  std::vector<int> out;
  std::string current;
  for (char c : params) {
    if (c == ';') {
      out.push_back(current.empty() ? 0 : std::atoi(current.c_str()));
      current.clear();
    } else {
      current += c;
    }
  }
  out.push_back(current.empty() ? 0 : std::atoi(current.c_str()));
  return out;
}

int paramOr(const std::vector<int>& params, std::size_t i, int fallback) {
  return i < params.size() && params[i] != 0 ? params[i] : fallback;
}

}  // namespace

VtScreen::VtScreen(int columns, int rows)
    : columns_(columns),
      rows_(rows),
      cells_(static_cast<std::size_t>(rows),
             std::vector<std::string>(static_cast<std::size_t>(columns))) {}

void VtScreen::feed(std::string_view bytes) {
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (state_) {
      case State::ground:
        if (utf8_left_ > 0) {
          utf8_ += c;
          if (--utf8_left_ == 0) print(utf8_);
        } else if (byte == 0x1b) {
          state_ = State::escape;
          sequence_.clear();
        } else if (byte < 0x20 || byte == 0x7f) {
          control(c);
        } else if (byte < 0x80) {
          print(std::string(1, c));
        } else {
          utf8_ = std::string(1, c);
          utf8_left_ = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : byte >= 0xc0 ? 1 : 0;
          if (utf8_left_ == 0) print(utf8_);
        }
        break;
      case State::escape:
        state_ = State::ground;
        if (c == '[') {
          state_ = State::csi;
        } else if (c == '7') {
          saved_row_ = row_;
          saved_column_ = column_;
        } else if (c == '8') {
          row_ = saved_row_;
          column_ = saved_column_;
          wrap_pending_ = false;
        } else {
          unknown_.push_back(std::string("ESC ") + c);
        }
        break;
      case State::csi:
        if (byte >= 0x40 && byte <= 0x7e) {
          state_ = State::ground;
          csi(sequence_, c);
        } else {
          sequence_ += c;
        }
        break;
    }
  }
}

void VtScreen::print(std::string cell) {
  if (wrap_pending_) {
    wrap_pending_ = false;
    column_ = 0;
    lineFeed();
    ++wraps_;
  }
  cells_[static_cast<std::size_t>(row_)][static_cast<std::size_t>(column_)] = std::move(cell);
  if (column_ == columns_ - 1) {
    wrap_pending_ = true;
  } else {
    ++column_;
  }
}

void VtScreen::lineFeed() {
  if (row_ < rows_ - 1) {
    ++row_;
    return;
  }
  scrolled_off_.push_back(rowText(0));
  cells_.erase(cells_.begin());
  cells_.emplace_back(static_cast<std::size_t>(columns_));
}

void VtScreen::control(char c) {
  switch (c) {
    case '\r':
      column_ = 0;
      wrap_pending_ = false;
      break;
    case '\n':
      lineFeed();
      wrap_pending_ = false;
      break;
    case '\b':
      if (column_ > 0) --column_;
      wrap_pending_ = false;
      break;
    case '\t':
      column_ = std::min(columns_ - 1, (column_ / 8 + 1) * 8);
      break;
    case '\a':
      break;
    default:
      unknown_.push_back("control " + std::to_string(static_cast<int>(c)));
      break;
  }
}

void VtScreen::csi(std::string_view params, char final_byte) {
  if (!params.empty() && params.front() == '?') {
    if (params == "?25" && final_byte == 'h')
      cursor_visible_ = true;
    else if (params == "?25" && final_byte == 'l')
      cursor_visible_ = false;
    else if (final_byte != 'h' && final_byte != 'l')
      unknown_.push_back("CSI " + std::string(params) + final_byte);
    return;
  }
  const std::vector<int> p = parseParams(params);
  const int n = paramOr(p, 0, 1);
  wrap_pending_ = false;
  switch (final_byte) {
    case 'A':
      row_ = std::max(0, row_ - n);
      break;
    case 'B':
      row_ = std::min(rows_ - 1, row_ + n);
      break;
    case 'C':
      column_ = std::min(columns_ - 1, column_ + n);
      break;
    case 'D':
      column_ = std::max(0, column_ - n);
      break;
    case 'E':
      row_ = std::min(rows_ - 1, row_ + n);
      column_ = 0;
      break;
    case 'F':
      row_ = std::max(0, row_ - n);
      column_ = 0;
      break;
    case 'G':
      column_ = std::clamp(n - 1, 0, columns_ - 1);
      break;
    case 'H':
    case 'f':
      row_ = std::clamp(paramOr(p, 0, 1) - 1, 0, rows_ - 1);
      column_ = std::clamp(paramOr(p, 1, 1) - 1, 0, columns_ - 1);
      break;
    case 'J':
      eraseInDisplay(p[0]);
      break;
    case 'K':
      eraseInLine(p[0]);
      break;
    case 'm':
      break;
    default:
      unknown_.push_back("CSI " + std::string(params) + final_byte);
      break;
  }
}

void VtScreen::eraseInLine(int mode) {
  auto& line = cells_[static_cast<std::size_t>(row_)];
  const int from = mode == 0 ? column_ : 0;
  const int to = mode == 1 ? column_ + 1 : columns_;
  for (int c = from; c < to; ++c) line[static_cast<std::size_t>(c)].clear();
}

void VtScreen::eraseInDisplay(int mode) {
  eraseInLine(mode);
  if (mode == 0 || mode == 2) {
    for (int r = row_ + 1; r < rows_; ++r) {
      for (auto& cell : cells_[static_cast<std::size_t>(r)]) cell.clear();
    }
  }
  if (mode == 1 || mode == 2) {
    for (int r = 0; r < row_; ++r) {
      for (auto& cell : cells_[static_cast<std::size_t>(r)]) cell.clear();
    }
  }
}

std::string VtScreen::rowText(int row) const {
  std::string text;
  for (const std::string& cell : cells_[static_cast<std::size_t>(row)]) {
    text += cell.empty() ? std::string(" ") : cell;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<std::string> VtScreen::rows() const {
  std::vector<std::string> out;
  for (int r = 0; r < rows_; ++r) out.push_back(rowText(r));
  return out;
}

std::vector<std::string> VtScreen::nonBlankRows() const {
  std::vector<std::string> out;
  for (const std::string& row : rows()) {
    if (!row.empty()) out.push_back(row);
  }
  return out;
}

std::string VtScreen::text() const {
  std::vector<std::string> all = rows();
  while (!all.empty() && all.back().empty()) all.pop_back();
  std::string out;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i > 0) out += '\n';
    out += all[i];
  }
  return out;
}

}  // namespace nemra_test
