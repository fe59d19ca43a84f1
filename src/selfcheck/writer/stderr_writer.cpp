#include <algorithm>
#include <atomic>
#include <cstring>
#include <unistd.h>

#include <selfcheck/writer/stderr_writer.hpp>
#include <selfcheck/writer/write_all.hpp>

namespace selfcheck {
namespace {

std::atomic<void (*)()> g_before_write{nullptr};

// The running check's line, in two buffers: a new line is written into the one not published,
// then published, so a signal handler never reads a half-written line.
struct RunningCheckLine {
  char text[1024];
  std::size_t size;
};
RunningCheckLine g_running_lines[2];
std::atomic<const RunningCheckLine*> g_running_line{nullptr};

// A fatal error prints even when another thread keeps the lock: it waits about a second.
bool lockStderrForFatalError() {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (stderrMutex().try_lock()) return true;
    ::usleep(1000);
  }
  return false;
}

}  // namespace

std::recursive_mutex& stderrMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

void setBeforeWriteHook(void (*hook)()) { g_before_write.store(hook); }

void writeStderrLocked(std::string_view text) {
  if (auto hook = g_before_write.load()) hook();
  writeStderrRaw(text);
}

void writeStderrRaw(std::string_view text) {
  (void)writeAll(STDERR_FILENO, text);  // failed writes to standard error are ignored
}

void writeStderr(std::string_view text) {
  std::lock_guard lock(stderrMutex());
  writeStderrLocked(text);
}

void writeLine(void*, std::string_view line) {
  writeStderrRaw(line);
  writeStderrRaw("\n");
}

void startFatalReport() {
  (void)lockStderrForFatalError();
  writeStderrLocked({});  // an empty write runs the hook only
  if (const RunningCheckLine* line = g_running_line.load()) {
    writeStderrRaw(std::string_view(line->text, line->size));
  }
}

void setRunningCheckLine(std::string_view text) {
  if (text.empty()) {
    g_running_line.store(nullptr);
    return;
  }
  RunningCheckLine* next =
      g_running_line.load() == &g_running_lines[0] ? &g_running_lines[1] : &g_running_lines[0];
  next->size = std::min(text.size(), sizeof next->text);
  std::memcpy(next->text, text.data(), next->size);
  g_running_line.store(next);
}

}  // namespace selfcheck
