// Fatal errors: "thread {} panic: " with the current thread's number, the message, a stack trace,
// and death by SIGABRT.
#ifndef SELFCHECK_PANIC_HPP
#define SELFCHECK_PANIC_HPP

#include <string_view>

namespace selfcheck {

[[noreturn]] void panic(std::string_view message);

}  // namespace selfcheck

#endif
