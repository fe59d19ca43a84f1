#include <string>

#include <selfcheck/check/check_context.hpp>
#include <selfcheck/check/log.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {

std::uint64_t logErrCount() { return checkContext().logErrCount(); }

void log(std::string_view scope, LogLevel level, std::string_view message) {
  CheckContext& context = checkContext();
  if (level == LogLevel::err) context.countError();
  if (static_cast<std::uint8_t>(level) > static_cast<std::uint8_t>(context.logLevel())) return;
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
