// The one writer of standard error: every line the program prints, the progress display's
// drawing and fatal reports included, goes through it under one lock.
#ifndef SELFCHECK_WRITER_STDERR_WRITER_HPP
#define SELFCHECK_WRITER_STDERR_WRITER_HPP

#include <mutex>
#include <string_view>

namespace selfcheck {

// Standard-error lock shared by every printed line and by the progress display. Hold it for the
// whole of a line. It is recursive so that a fatal error raised while the lock is held (a panic in
// a hook, a fault in the middle of a write) can still print on the same thread.
std::recursive_mutex& stderrMutex();

// Hook run with the standard-error lock held, just before any text is written; the progress
// display uses it to clear itself. nullptr for none. The hook writes with writeStderrRaw.
void setBeforeWriteHook(void (*hook)());

// Writes `text` to standard error with the lock held. Failed writes are ignored.
void writeStderr(std::string_view text);
// The same, for a caller that already holds stderrMutex().
void writeStderrLocked(std::string_view text);
// Writes without the hook, for the hook itself and for a caller that holds the lock. Failures are
// ignored. Async-signal-safe.
void writeStderrRaw(std::string_view text);
// `line` and a newline through writeStderrRaw; the shape of a stack trace's line sink.
void writeLine(void* context, std::string_view line);

// Starts the report of a fatal error (a panic, a fault): takes the standard-error lock if it can
// be had within about a second (it stays taken until the process ends), clears the progress
// display through the before-write hook, and writes the running check's line when one is set
// (see setRunningCheckLine). Async-signal-safe once the lock is taken or given up.
void startFatalReport();

// The text a fatal report starts with while a check runs: "{i}/{n} {name}..." on a terminal,
// where the display shows the check instead of a line. Empty for none. Copied into a fixed buffer
// (text past 1024 bytes is cut), so that a signal handler can print it.
void setRunningCheckLine(std::string_view text);

}  // namespace selfcheck

#endif
