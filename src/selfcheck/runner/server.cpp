#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include <selfcheck/check/panic.hpp>
#include <selfcheck/runner/run_loop.hpp>
#include <selfcheck/runner/server.hpp>
#include <selfcheck/runner/server_io.hpp>
#include <selfcheck/runner/server_protocol.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {
namespace {

namespace proto = protocol;

// The driver went away at a message boundary (end of input where a request would start, or its
// end of our output closed): nobody is left to serve, which is not a fault of the runner.
constexpr int kDriverGoneStatus = 1;

[[noreturn]] void servingFailure(std::string_view detail) {
  writeStderr(std::string(detail) + "\n");
  panic("internal test runner failure");
}

// Sends one message. Returns false when the driver has closed its end; any other failure is
// fatal.
bool send(int fd, const std::optional<std::string>& message) {
  if (!message) servingFailure("server: a response would exceed the payload limit");
  auto written = writeAll(fd, *message);
  if (written) return true;
  if (written.error() == EPIPE) return false;
  servingFailure(std::string("server: writing standard output failed: ") +
                 std::strerror(written.error()));
}

// What a check prints in server mode: only a failure's message (a failed expectApproxEqAbs's
// values), on standard error. No per-check lines, no summary.
class ServerOutput final : public Reporter {
 public:
  void runStarted(std::size_t) override {}
  void checkStarted(std::size_t, const Check&) override {}
  void checkEnded(std::size_t, const Check&, const CheckOutcome&,
                  const CheckFailure* failure) override {
    if (failure != nullptr && !failure->message.empty()) writeStderr(failure->message);
  }
  void runEnded(const RunSummary&) override {}
};

std::uint32_t outcomeFlags(const CheckOutcome& outcome) {
  std::uint32_t flags = 0;
  if (outcome.result == CheckOutcome::Result::failed) flags |= proto::kFailed;
  if (outcome.result == CheckOutcome::Result::skipped) flags |= proto::kSkipped;
  if (outcome.leaked) flags |= proto::kLeaked;
  if (outcome.fuzz) flags |= proto::kFuzz;
  return flags;
}

}  // namespace

int serverMain(CheckTable table) {
  auto channel = takeOverStandardStreams();
  if (!channel) {
    servingFailure(std::string("server: cannot take over standard input and output: ") +
                   std::strerror(channel.error()));
  }
  FdSource requests(channel->in);
  ServerOutput output;

  if (!send(channel->out, proto::encodeVersion())) return kDriverGoneStatus;
  for (;;) {
    auto next = proto::readRequest(requests, table.size());
    if (const auto* stop = std::get_if<proto::Stop>(&next)) {
      switch (stop->reason) {
        case proto::StopReason::driverGone:
          return kDriverGoneStatus;
        case proto::StopReason::unsupportedKind:
          writeStderr("unsupported message: " + std::string(hexDigits(stop->header.kind).view()) +
                      "\n");
          return 1;
        default:
          servingFailure(proto::describe(*stop));
      }
    }
    const proto::Request request = std::get<proto::Request>(next);
    switch (request.kind) {
      case proto::RequestKind::exit:
        return 0;
      case proto::RequestKind::listChecks:
        if (!send(channel->out, proto::encodeCheckNames(table))) return kDriverGoneStatus;
        break;
      case proto::RequestKind::runCheck: {
        CheckOutcome outcome = runCheck(request.index, table[request.index], output);
        proto::CheckReport report{request.index, outcomeFlags(outcome), outcome.log_err_count,
                                  outcome.result == CheckOutcome::Result::passed
                                      ? std::string_view{}
                                      : outcome.error_name};
        if (!send(channel->out, proto::encodeCheckResult(report))) return kDriverGoneStatus;
        break;
      }
    }
  }
}

}  // namespace selfcheck
