// The log function every message of the program goes through.
#ifndef SELFCHECK_CHECK_LOG_HPP
#define SELFCHECK_CHECK_LOG_HPP

#include <cstdint>
#include <string_view>

#include <selfcheck/check/check_context.hpp>

namespace selfcheck {

// Err-level messages counted in the current check's context.
std::uint64_t logErrCount();

// Logs one message: counts it in the current check's context when it is an error, and prints
// "[scope] (level): message\n" when its level is at or above that context's log level.
void log(std::string_view scope, LogLevel level, std::string_view message);

}  // namespace selfcheck

#endif
