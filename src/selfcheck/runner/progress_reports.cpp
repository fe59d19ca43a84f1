#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <selfcheck/check/log.hpp>
#include <selfcheck/runner/progress_reports.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/write_all.hpp>

namespace selfcheck {
namespace {

void warn(std::string_view value, std::string_view why) {
  log("progress", LogLevel::warn,
      std::string(kProgressFdVariable) + "=" + jsonString(value) + ": " + std::string(why) +
          "; no progress reports");
}

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it does not start
// with one (a stray continuation byte, a truncated or overlong sequence, a surrogate, a value
// past U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
  }
  return length;
}

std::string milliseconds(std::chrono::steady_clock::duration time) {
  const double ms = std::chrono::duration<double, std::milli>(time).count();
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, ms, std::chars_format::fixed, 3).ptr;
  return std::string(text, end);
}

std::string number(std::uint64_t value) { return std::string(decimalDigits(value).view()); }

const char* boolean(bool value) { return value ? "true" : "false"; }

}  // namespace

std::optional<int> progressFdFromEnvironment() {
  const char* raw = std::getenv(kProgressFdVariable);
  if (raw == nullptr || *raw == '\0') return std::nullopt;
  const std::string_view value(raw);
  int fd = -1;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), fd, 10);
  if (error != std::errc() || end != value.data() + value.size() || fd < 0 ||
      !(value[0] >= '0' && value[0] <= '9')) {
    warn(value, "not a descriptor number");
    return std::nullopt;
  }
  if (fd == STDERR_FILENO) {
    warn(value, "descriptor 2 is standard error");
    return std::nullopt;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) {
    warn(value, "descriptor " + number(static_cast<std::uint64_t>(fd)) + " is not open");
    return std::nullopt;
  }
  if ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR) {
    warn(value,
         "descriptor " + number(static_cast<std::uint64_t>(fd)) + " is not open for writing");
    return std::nullopt;
  }
  return fd;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    const std::size_t length = utf8SequenceLength(text);
    if (length == 0) {
      out += "\\ufffd";
      text.remove_prefix(1);
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\u00";
      out += hexDigits(c, 2).view();
    } else {
      out += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return out + "\"";
}

void ProgressReports::send(std::string line) {
  if (stopped_) return;
  line += '\n';
  // A reader that has gone (EPIPE) or a descriptor that failed: no more reports.
  if (!writeAll(fd_, line)) stopped_ = true;
}

void ProgressReports::runStarted(std::size_t total) {
  send(R"({"event":"start","total":)" + number(total) + "}");
}

void ProgressReports::checkStarted(std::size_t index, const Check& check) {
  send(R"({"event":"check","index":)" + number(index + 1) + R"(,"name":)" + jsonString(check.name) +
       "}");
  check_start_ = std::chrono::steady_clock::now();
}

void ProgressReports::checkEnded(std::size_t, const Check&, const CheckOutcome&,
                                 const CheckFailure*) {
  check_time_ = std::chrono::steady_clock::now() - check_start_;
}

void ProgressReports::checkFinished(std::size_t index, const Check& check,
                                    const CheckOutcome& outcome) {
  std::string line = R"({"event":"result","index":)" + number(index + 1) + R"(,"name":)" +
                     jsonString(check.name) + R"(,"outcome":)";
  switch (outcome.result) {
    case CheckOutcome::Result::passed:
      line += R"("pass","error":null)";
      break;
    case CheckOutcome::Result::skipped:
      line += R"("skip","error":)" + jsonString(outcome.error_name);
      break;
    case CheckOutcome::Result::failed:
      line += R"("fail","error":)" + jsonString(outcome.error_name);
      break;
  }
  line += R"(,"leaked":)" + std::string(boolean(outcome.leaked)) + R"(,"errors":)" +
          number(outcome.log_err_count) + R"(,"fuzz":)" + boolean(outcome.fuzz) + R"(,"ms":)" +
          milliseconds(check_time_) + "}";
  send(std::move(line));
}

void ProgressReports::runEnded(const RunSummary& summary) {
  send(R"({"event":"end","passed":)" + number(summary.passed) + R"(,"skipped":)" +
       number(summary.skipped) + R"(,"failed":)" + number(summary.failed) + R"(,"leaked":)" +
       number(summary.leaked) + R"(,"errors":)" + number(summary.log_err_count) + R"(,"fuzz":)" +
       number(summary.fuzz) + R"(,"status":)" +
       number(static_cast<std::uint64_t>(summary.exitStatus())) + "}");
}

}  // namespace selfcheck
