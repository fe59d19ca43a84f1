#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include <selfcheck/runner/progress.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {
namespace {

// Appends to a fixed buffer; what does not fit is dropped.
class FrameWriter {
 public:
  explicit FrameWriter(std::span<char> out) : out_(out) {}
  bool put(std::string_view text) {
    if (text.size() > out_.size() - size_) return false;
    std::memcpy(out_.data() + size_, text.data(), text.size());
    size_ += text.size();
    return true;
  }
  // Appends as much of `text` as fits in `cells` terminal cells and in the buffer, cut between
  // characters; control characters show as '?'. Returns the cells used.
  std::size_t putCut(std::string_view text, std::size_t cells);
  std::size_t size() const { return size_; }

 private:
  std::span<char> out_;
  std::size_t size_ = 0;
};

// Length of the UTF-8 sequence starting at text[0] (1 for a stray byte) and its code point.
std::size_t decode(std::string_view text, char32_t& code_point) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xe  ? 3
                       : (lead >> 3) == 0x1e ? 4
                                             : 1;
  if (length > text.size()) length = 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) length = 1;
  }
  if (length == 1) {
    code_point = lead < 0x80 ? lead : U'\uFFFD';
    return 1;
  }
  char32_t value = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[i]) & 0x3f);
  }
  code_point = value;
  return length;
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7f && c < 0xa0); }

std::size_t cellsOf(char32_t c) {
  if (isControl(c)) return 1;  // drawn as '?'
  const bool zero_width = (c >= 0x0300 && c <= 0x036f) || (c >= 0x1ab0 && c <= 0x1aff) ||
                          (c >= 0x1dc0 && c <= 0x1dff) || (c >= 0x200b && c <= 0x200f) ||
                          (c >= 0x20d0 && c <= 0x20ff) || (c >= 0xfe00 && c <= 0xfe0f) ||
                          (c >= 0xfe20 && c <= 0xfe2f);
  if (zero_width) return 0;
  const bool wide = (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0x303e) ||
                    (c >= 0x3041 && c <= 0x33ff) || (c >= 0x3400 && c <= 0x4dbf) ||
                    (c >= 0x4e00 && c <= 0x9fff) || (c >= 0xa000 && c <= 0xa4cf) ||
                    (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
                    (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                    (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x1f300 && c <= 0x1f64f) ||
                    (c >= 0x1f900 && c <= 0x1f9ff) || (c >= 0x20000 && c <= 0x3fffd);
  return wide ? 2 : 1;
}

std::size_t FrameWriter::putCut(std::string_view text, std::size_t cells) {
  std::size_t used = 0;
  while (!text.empty()) {
    char32_t c;
    const std::size_t length = decode(text, c);
    const std::size_t width = cellsOf(c);
    if (used + width > cells) break;
    if (!(isControl(c) ? put("?") : put(text.substr(0, length)))) break;
    used += width;
    text.remove_prefix(length);
  }
  return used;
}

void putClear(FrameWriter& out, int lines) {
  if (lines <= 0) return;
  out.put("\r");
  if (lines > 1) {
    out.put("\x1b[");
    out.put(decimalDigits(lines - 1).view());
    out.put("A");
  }
  out.put("\x1b[J");
}

bool drawingPossible(int fd) {
  if (::isatty(fd) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

}  // namespace

std::size_t terminalCells(std::string_view text) {
  std::size_t cells = 0;
  while (!text.empty()) {
    char32_t c;
    text.remove_prefix(decode(text, c));
    cells += cellsOf(c);
  }
  return cells;
}

std::string_view progressClearSequence(std::span<char> out, int lines) {
  FrameWriter writer(out);
  putClear(writer, lines);
  return {out.data(), writer.size()};
}

std::size_t renderProgressFrame(std::span<char> out, int previous_lines,
                                const ProgressFrameInput& input, int& lines) {
  FrameWriter writer(out);
  putClear(writer, previous_lines);
  const std::size_t width = input.columns > 1 ? static_cast<std::size_t>(input.columns) - 1 : 0;
  char root_text[64];
  FrameWriter root(root_text);
  root.put("Test [");
  root.put(decimalDigits(input.completed).view());
  root.put("/");
  root.put(decimalDigits(input.total).view());
  root.put("]");
  writer.putCut(std::string_view(root_text, root.size()), width);
  lines = 1;
  if (input.rows >= 2 && !input.name.empty()) {
    writer.put("\r\n");
    const std::size_t branch = writer.putCut("└─ ", width);
    writer.putCut(input.name, width - branch);
    lines = 2;
  }
  return writer.size();
}

std::atomic<ProgressDisplay*> ProgressDisplay::active_{nullptr};

ProgressDisplay::~ProgressDisplay() {
  if (thread_.joinable()) runEnded(RunSummary{});
}

void ProgressDisplay::runStarted(std::size_t total) {
  total_.store(total);
  completed_.store(0);
  if (!drawingPossible(STDERR_FILENO)) return;
  active_.store(this);
  setBeforeWriteHook(&ProgressDisplay::clearActive);
  stopping_ = false;
  thread_ = std::thread(&ProgressDisplay::threadMain, this);
}

void ProgressDisplay::checkStarted(std::size_t, const Check& check) { running_.store(&check); }

void ProgressDisplay::checkEnded(std::size_t, const Check&, const CheckOutcome&,
                                 const CheckFailure*) {
  completed_.fetch_add(1);
}

void ProgressDisplay::runEnded(const RunSummary&) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(wake_mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  std::lock_guard lock(stderrMutex());
  clearLocked();
  setBeforeWriteHook(nullptr);
  active_.store(nullptr);
}

void ProgressDisplay::threadMain() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next = Clock::now() + timing_.initial_delay;
  std::unique_lock lock(wake_mutex_);
  while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
    lock.unlock();
    {
      std::lock_guard out(stderrMutex());
      drawLocked();
    }
    lock.lock();
    next = std::max(next + timing_.refresh, Clock::now());
  }
}

void ProgressDisplay::drawLocked() {
  const Check* running = running_.load();
  ProgressFrameInput input;
  input.completed = completed_.load();
  input.total = total_.load();
  input.name = running != nullptr ? running->name : std::string_view();
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    input.columns = size.ws_col;
    input.rows = size.ws_row > 0 ? size.ws_row : 1;
  }
  int lines = 0;
  const std::size_t bytes = renderProgressFrame(buffer_, drawn_lines_, input, lines);
  writeStderrRaw(std::string_view(buffer_, bytes));
  drawn_lines_ = lines;
}

void ProgressDisplay::clearLocked() {
  writeStderrRaw(progressClearSequence(buffer_, drawn_lines_));
  drawn_lines_ = 0;
}

void ProgressDisplay::clearActive() {
  if (ProgressDisplay* display = active_.load()) display->clearLocked();
}

}  // namespace selfcheck
