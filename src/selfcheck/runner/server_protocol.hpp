// The wire format of the server mode: framed messages between a build driver and the self-check
// program. Pure: the decoder reads through a ByteSource and the encoders return bytes, so both
// can be exercised (and fuzzed) without a process or a file descriptor. docs/protocol.md is the
// reference a driver is written against.
#ifndef SELFCHECK_RUNNER_SERVER_PROTOCOL_HPP
#define SELFCHECK_RUNNER_SERVER_PROTOCOL_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <selfcheck/check/check.hpp>

namespace selfcheck::protocol {

// Every message is a header followed by `length` payload bytes. The header is two little-endian
// u32: the message kind, then the payload length.
inline constexpr std::size_t kHeaderSize = 8;

// Declared request payloads longer than this are refused before a single payload byte is read.
inline constexpr std::uint32_t kMaxRequestPayload = 256;
// The server never sends a payload longer than this; a driver may refuse anything longer.
inline constexpr std::uint32_t kMaxResponsePayload = 1u << 20;

// Payload of the announcement sent before anything else. The number after "protocol" changes
// whenever the format of any message changes.
inline constexpr std::string_view kVersion = "nemra-selfcheck protocol 1";

// Driver to server.
enum class RequestKind : std::uint32_t {
  exit = 0x01,        // no payload; the server exits with status 0
  listChecks = 0x02,  // no payload; answered by checkNames
  runCheck = 0x03,    // payload: u32 check index; answered by checkResult
};

// Server to driver.
enum class ResponseKind : std::uint32_t {
  version = 0x81,      // kVersion, unsolicited, first message of a session
  checkNames = 0x82,   // u32 count, then per check: u32 byte length, UTF-8 name
  checkResult = 0x83,  // see CheckReport
};

// Outcome bits of a checkResult. failed and skipped never come together; leaked and fuzz may
// come with any result.
inline constexpr std::uint32_t kFailed = 1u << 0;
inline constexpr std::uint32_t kSkipped = 1u << 1;
inline constexpr std::uint32_t kLeaked = 1u << 2;
inline constexpr std::uint32_t kFuzz = 1u << 3;

struct Header {
  std::uint32_t kind = 0;
  std::uint32_t length = 0;
};

Header decodeHeader(std::span<const std::byte, kHeaderSize> bytes);

// The payload size each request kind must carry, or none for a kind that is not a request.
std::optional<std::uint32_t> requestPayloadSize(std::uint32_t kind);

struct Request {
  RequestKind kind = RequestKind::exit;
  std::uint32_t index = 0;  // runCheck only; always below the table's length
};

// Why reading requests stopped. Only driverGone happens at a message boundary; every other
// reason leaves the stream in an unknown state.
enum class StopReason : std::uint8_t {
  driverGone,        // end of input where a header would start
  truncatedHeader,   // end of input inside a header
  truncatedPayload,  // end of input inside a payload
  unsupportedKind,   // the header names no request kind
  payloadTooLong,    // declared length above kMaxRequestPayload
  wrongPayloadSize,  // declared length not the one the kind requires
  indexOutOfRange,   // runCheck for an index at or past the table's length
  readError,         // the source failed (errno in `error`)
};

struct Stop {
  StopReason reason = StopReason::driverGone;
  Header header;             // as read, when the reason concerns a message
  std::uint32_t index = 0;   // indexOutOfRange only
  std::size_t received = 0;  // bytes of the truncated header or payload that did arrive
  int error = 0;             // readError only
};

// Where requests come from. read() fills a prefix of `buffer` and returns how many bytes it
// stored (at least 1 when buffer is not empty), 0 at end of input, or an errno value. It may
// return fewer bytes than asked for at any time.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::expected<std::size_t, int> read(std::span<std::byte> buffer) = 0;
};

// Reads and validates one request. The header is checked in this order before its payload is
// read: kind, then kMaxRequestPayload, then the kind's exact size; so a bad header never makes
// the reader wait for, or store, a payload. Reads nothing past the message.
std::variant<Request, Stop> readRequest(ByteSource& source, std::size_t check_count);

// One line of explanation of a stop, for standard error.
std::string describe(const Stop& stop);

// What a checkResult carries. Payload layout: u32 index, u32 flags, u64 err-level log messages
// during the check, u32 byte length of the error name, the error name (empty for a pass).
struct CheckReport {
  std::uint32_t index = 0;
  std::uint32_t flags = 0;
  std::uint64_t log_err_count = 0;
  std::string_view error_name;
};

// Whole messages, header included. The encoders that depend on data from outside fail (none)
// when the payload would exceed kMaxResponsePayload.
std::string encodeVersion();
std::optional<std::string> encodeCheckNames(CheckTable table);
std::optional<std::string> encodeCheckResult(const CheckReport& report);

}  // namespace selfcheck::protocol

#endif
