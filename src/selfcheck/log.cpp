#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>
#include <string>
#include <unistd.h>

#include <selfcheck/log.hpp>

namespace selfcheck {
namespace {

std::atomic<void (*)()> g_before_write{nullptr};
std::atomic<LogLevel> g_log_level{LogLevel::warn};
std::atomic<std::uint64_t> g_log_err_count{0};

}  // namespace

std::recursive_mutex& stderrMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

bool lockStderrForFatalError() {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (stderrMutex().try_lock()) return true;
    ::usleep(1000);
  }
  return false;
}

void setBeforeWriteHook(void (*hook)()) { g_before_write.store(hook); }

void writeStderrLocked(std::string_view text) {
  if (auto hook = g_before_write.load()) hook();
  writeStderrRaw(text);
}

void writeStderrRaw(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // failed writes to standard error are ignored
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void writeStderr(std::string_view text) {
  std::lock_guard lock(stderrMutex());
  writeStderrLocked(text);
}

std::string_view levelName(LogLevel level) {
  switch (level) {
    case LogLevel::err:
      return "err";
    case LogLevel::warn:
      return "warn";
    case LogLevel::info:
      return "info";
    case LogLevel::debug:
      return "debug";
  }
  return "?";
}

LogLevel logLevel() { return g_log_level.load(); }
void setLogLevel(LogLevel level) { g_log_level.store(level); }

std::uint64_t logErrCount() { return g_log_err_count.load(); }
void setLogErrCount(std::uint64_t count) { g_log_err_count.store(count); }

void log(std::string_view scope, LogLevel level, std::string_view message) {
  if (level == LogLevel::err) {
    std::uint64_t current = g_log_err_count.load();
    while (current != std::numeric_limits<std::uint64_t>::max() &&
           !g_log_err_count.compare_exchange_weak(current, current + 1)) {
    }
  }
  if (static_cast<std::uint8_t>(level) > static_cast<std::uint8_t>(g_log_level.load())) return;
  std::string line;
  line.reserve(scope.size() + message.size() + 16);
  line += '[';
  line += scope;
  line += "] (";
  line += levelName(level);
  line += "): ";
  line += message;
  line += '\n';
  writeStderr(line);
}

}  // namespace selfcheck
