#include <array>
#include <cstring>

#include <selfcheck/runner/server_protocol.hpp>
#include <selfcheck/writer/number_text.hpp>

namespace selfcheck::protocol {
namespace {

std::uint32_t loadU32(std::span<const std::byte> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(std::to_integer<std::uint8_t>(bytes[i])) << (8 * i);
  }
  return value;
}

void appendU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xffu);
}

void appendU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xffu);
}

std::string message(ResponseKind kind, std::string_view payload) {
  std::string out;
  out.reserve(kHeaderSize + payload.size());
  appendU32(out, static_cast<std::uint32_t>(kind));
  appendU32(out, static_cast<std::uint32_t>(payload.size()));
  out += payload;
  return out;
}

enum class Fill : std::uint8_t { full, endOfInput, error };

struct FillResult {
  Fill state;
  std::size_t received;
  int error;
};

// Reads until `buffer` is full, through any number of short reads.
FillResult fill(ByteSource& source, std::span<std::byte> buffer) {
  std::size_t received = 0;
  while (received < buffer.size()) {
    auto got = source.read(buffer.subspan(received));
    if (!got) return {Fill::error, received, got.error()};
    if (*got == 0) return {Fill::endOfInput, received, 0};
    // A source that claims more than it was given is broken; never step past the buffer.
    if (*got > buffer.size() - received) return {Fill::error, received, 0};
    received += *got;
  }
  return {Fill::full, received, 0};
}

}  // namespace

Header decodeHeader(std::span<const std::byte, kHeaderSize> bytes) {
  return Header{loadU32(bytes.first(4)), loadU32(bytes.subspan(4, 4))};
}

std::optional<std::uint32_t> requestPayloadSize(std::uint32_t kind) {
  switch (static_cast<RequestKind>(kind)) {
    case RequestKind::exit:
      return 0;
    case RequestKind::listChecks:
      return 0;
    case RequestKind::runCheck:
      return 4;
  }
  return std::nullopt;
}

std::variant<Request, Stop> readRequest(ByteSource& source, std::size_t check_count) {
  std::array<std::byte, kHeaderSize> header_bytes{};
  FillResult got = fill(source, header_bytes);
  if (got.state == Fill::error) return Stop{StopReason::readError, {}, 0, got.received, got.error};
  if (got.state == Fill::endOfInput) {
    if (got.received == 0) return Stop{StopReason::driverGone, {}, 0, 0, 0};
    return Stop{StopReason::truncatedHeader, {}, 0, got.received, 0};
  }
  Header header = decodeHeader(header_bytes);

  std::optional<std::uint32_t> expected_size = requestPayloadSize(header.kind);
  if (!expected_size) return Stop{StopReason::unsupportedKind, header, 0, 0, 0};
  if (header.length > kMaxRequestPayload) return Stop{StopReason::payloadTooLong, header, 0, 0, 0};
  if (header.length != *expected_size) return Stop{StopReason::wrongPayloadSize, header, 0, 0, 0};

  std::array<std::byte, kMaxRequestPayload> payload_bytes{};
  std::span<std::byte> payload = std::span(payload_bytes).first(header.length);
  got = fill(source, payload);
  if (got.state == Fill::error) {
    return Stop{StopReason::readError, header, 0, got.received, got.error};
  }
  if (got.state == Fill::endOfInput) {
    return Stop{StopReason::truncatedPayload, header, 0, got.received, 0};
  }

  Request request{static_cast<RequestKind>(header.kind), 0};
  if (request.kind == RequestKind::runCheck) {
    request.index = loadU32(payload);
    if (request.index >= check_count) {
      return Stop{StopReason::indexOutOfRange, header, request.index, 0, 0};
    }
  }
  return request;
}

std::string describe(const Stop& stop) {
  const std::string kind = "message kind 0x" + std::string(hexDigits(stop.header.kind).view());
  const std::string length = std::to_string(stop.header.length);
  switch (stop.reason) {
    case StopReason::driverGone:
      return "server: the driver closed its end before an exit request";
    case StopReason::truncatedHeader:
      return "server: input ended inside a message header (" + std::to_string(stop.received) +
             " of " + std::to_string(kHeaderSize) + " bytes)";
    case StopReason::truncatedPayload:
      return "server: input ended inside the payload of " + kind + " (" +
             std::to_string(stop.received) + " of " + length + " bytes)";
    case StopReason::unsupportedKind:
      return "server: unsupported " + kind;
    case StopReason::payloadTooLong:
      return "server: " + kind + " declares a payload of " + length +
             " bytes, above the limit of " + std::to_string(kMaxRequestPayload);
    case StopReason::wrongPayloadSize:
      return "server: " + kind + " declares a payload of " + length + " bytes, expected " +
             std::to_string(requestPayloadSize(stop.header.kind).value_or(0));
    case StopReason::indexOutOfRange:
      return "server: no check with index " + std::to_string(stop.index);
    case StopReason::readError:
      return std::string("server: reading standard input failed: ") +
             (stop.error != 0 ? std::strerror(stop.error) : "the source misbehaved");
  }
  return "server: unknown stop";
}

std::string encodeVersion() { return message(ResponseKind::version, kVersion); }

std::optional<std::string> encodeCheckNames(CheckTable table) {
  std::size_t size = 4;
  for (const Check& check : table) {
    size += 4 + check.name.size();
    if (size > kMaxResponsePayload) return std::nullopt;
  }
  std::string payload;
  payload.reserve(size);
  appendU32(payload, static_cast<std::uint32_t>(table.size()));
  for (const Check& check : table) {
    appendU32(payload, static_cast<std::uint32_t>(check.name.size()));
    payload += check.name;
  }
  return message(ResponseKind::checkNames, payload);
}

std::optional<std::string> encodeCheckResult(const CheckReport& report) {
  constexpr std::size_t kFixed = 4 + 4 + 8 + 4;
  if (report.error_name.size() > kMaxResponsePayload - kFixed) return std::nullopt;
  std::string payload;
  payload.reserve(kFixed + report.error_name.size());
  appendU32(payload, report.index);
  appendU32(payload, report.flags);
  appendU64(payload, report.log_err_count);
  appendU32(payload, static_cast<std::uint32_t>(report.error_name.size()));
  payload += report.error_name;
  return message(ResponseKind::checkResult, payload);
}

}  // namespace selfcheck::protocol
