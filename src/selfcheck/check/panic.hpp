// Fatal errors: "thread {} panic: " with the current thread's number, the message, a stack trace,
// and death by SIGABRT.
#ifndef SELFCHECK_CHECK_PANIC_HPP
#define SELFCHECK_CHECK_PANIC_HPP

#include <string_view>

namespace selfcheck {

// Prints "thread {tid} panic: {message}\n" and the stack trace of the caller on standard error
// (after clearing the progress display, if one is drawn), then aborts with SIGABRT. Only the first
// thread to panic prints; a panic raised while panicking aborts at once.
[[noreturn]] void panic(std::string_view message);

// Ends the process by SIGABRT, whatever handler or mask SIGABRT had.
[[noreturn]] void abortProcess();

// Number of the calling thread as the kernel knows it (the process id for the main thread).
long currentThreadNumber();

}  // namespace selfcheck

#endif
