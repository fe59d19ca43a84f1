// The one writer of standard error, and the log function every message of the program goes
// through.
#ifndef SELFCHECK_LOG_HPP
#define SELFCHECK_LOG_HPP

#include <cstdint>
#include <mutex>
#include <string_view>

namespace selfcheck {

// Standard-error lock shared by every printed line and by the progress display. Hold it for the
// whole of a line. It is recursive so that a fatal error raised while the lock is held (a panic in
// a hook, a fault in the middle of a write) can still print on the same thread.
std::recursive_mutex& stderrMutex();

// For fatal-error paths: takes the standard-error lock if it can be had within about a second,
// and returns whether it was taken (the caller then unlocks it). A fatal error prints even when
// another thread keeps the lock.
bool lockStderrForFatalError();

// Hook run with the standard-error lock held, just before any text is written; the progress
// display uses it to clear itself. nullptr for none. The hook writes with writeStderrRaw.
void setBeforeWriteHook(void (*hook)());

// Writes `text` to standard error with the lock held. Failed writes are ignored.
void writeStderr(std::string_view text);
// The same, for a caller that already holds stderrMutex().
void writeStderrLocked(std::string_view text);
// Writes without the hook, for the hook itself and for a caller that holds the lock. Retries
// interrupted and partial writes; other failures are ignored. Async-signal-safe.
void writeStderrRaw(std::string_view text);

enum class LogLevel : std::uint8_t { err = 0, warn = 1, info = 2, debug = 3 };

std::string_view levelName(LogLevel level);

// Messages at or above this level (err being the most severe) are printed. Reset to warn before
// every check.
LogLevel logLevel();
void setLogLevel(LogLevel level);

// Number of err-level messages so far; saturates at the largest value instead of wrapping.
std::uint64_t logErrCount();
void setLogErrCount(std::uint64_t count);

// Logs one message: counts it when it is an error and prints "[scope] (level): message\n" when
// its level is at or above logLevel().
void log(std::string_view scope, LogLevel level, std::string_view message);

}  // namespace selfcheck

#endif
