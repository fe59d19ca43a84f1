// The datagrams peers of a lockstep session exchange, and their strict codec. docs/lockstep.md
// gives every packet byte by byte. A decoder that meets a packet it does not accept says why, so
// that the session can drop and count it; nothing a peer or an attacker sends can make it read
// outside the datagram.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_PACKET_HPP)
#define NEMRA_LOCKSTEP_PACKET_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

namespace nemra_lockstep {

// A frame number; NO_FRAME means none (nothing received yet, nothing acknowledged).
using Frame = std::uint32_t;
inline constexpr Frame NO_FRAME = 0xFFFFFFFFu;

// The format version every packet carries in its third byte.
inline constexpr std::uint8_t PACKET_VERSION = 1;
// No packet is longer: it fits an IPv6 datagram on a 1280-byte link with room for the headers.
inline constexpr std::size_t MAX_PACKET_SIZE = 1200;
// Bytes of the header every packet starts with.
inline constexpr std::size_t PACKET_HEADER_SIZE = 12;
// The largest input of one frame, and the most frames one input packet carries.
inline constexpr std::size_t MAX_INPUT_SIZE = 255;
inline constexpr std::size_t MAX_INPUTS_PER_PACKET = 128;
// The most players a session has (a Holdings packet lists them all).
inline constexpr std::size_t MAX_PLAYERS = 16;

enum class PacketKind : std::uint8_t {
  // Inputs of the sender's frames [first_frame, first_frame + count), the ones the receiver has
  // not acknowledged yet, and the sender's own acknowledgement of the receiver's inputs.
  Input = 1,
  // Only the acknowledgement and the sender's frame (a peer with nothing to send).
  InputAck = 2,
  // The digest of the sender's state at a confirmed frame.
  Digest = 3,
  // Round-trip time and frame advantage: a request carries the sender's clock, the reply
  // echoes it.
  SyncRequest = 4,
  SyncReply = 5,
  // The sender leaves the session.
  Disconnect = 6,
  // One chunk of a blob (a snapshot for a late joiner or a desync report) sent reliably.
  BlobChunk = 7,
  // Which chunks of a blob the sender holds.
  BlobAck = 8,
  // Through which frame the sender holds each player's inputs, and which players it has let go:
  // what lets peers agree on the last frame of a player that leaves.
  Holdings = 9,
};

// Bytes of every chunk of a blob but the last, and the largest blob.
inline constexpr std::size_t BLOB_CHUNK_SIZE = 1024;
inline constexpr std::size_t MAX_BLOB_SIZE = std::size_t{1} << 26;

enum class PacketError : std::uint8_t {
  // Shorter than its header or than the length its own fields give.
  Truncated,
  // Longer than MAX_PACKET_SIZE or than the length its own fields give.
  Oversized,
  // Not a nemra lockstep packet: wrong magic bytes, version or kind.
  Garbage,
  // A packet of another session.
  WrongSession,
  // A field out of its range (an input size of 0, more than MAX_INPUTS_PER_PACKET inputs, ...).
  Malformed,
};

// "Truncated", "Oversized", "Garbage", "WrongSession", "Malformed".
[[nodiscard]] constexpr std::string_view packetErrorName(PacketError error) noexcept {
  switch (error) {
    case PacketError::Truncated:
      return "Truncated";
    case PacketError::Oversized:
      return "Oversized";
    case PacketError::Garbage:
      return "Garbage";
    case PacketError::WrongSession:
      return "WrongSession";
    case PacketError::Malformed:
      return "Malformed";
  }
  return "UnknownPacketError";
}

struct PacketHeader {
  PacketKind kind = PacketKind::Input;
  std::uint32_t session = 0;
  // The sender's player handle in the session.
  std::uint8_t sender = 0;
  // Counts the sender's packets to this receiver, for the loss statistics; wraps.
  std::uint16_t sequence = 0;
};

// Input and InputAck. `inputs` holds `count` inputs of `input_size` bytes each, for frames
// first_frame, first_frame + 1, ... (empty for InputAck). `ack_frame` is the last frame up to
// which the sender holds every input of the receiver (NO_FRAME: none yet); `current_frame` the
// frame the sender simulates next.
struct InputBody {
  Frame current_frame = 0;
  Frame ack_frame = NO_FRAME;
  Frame first_frame = 0;
  std::uint8_t input_size = 0;
  std::uint8_t count = 0;
  std::span<const std::byte> inputs;
};

struct DigestBody {
  Frame frame = 0;
  std::uint64_t digest = 0;
};

// SyncRequest and SyncReply. `time` is the requester's clock in microseconds (echoed by the
// reply); `frame` the sender's current frame; `advantage` how many frames the sender is ahead of
// the receiver by its own measure (requests only; 0 in replies).
struct SyncBody {
  std::uint32_t nonce = 0;
  std::uint64_t time = 0;
  Frame frame = 0;
  std::int16_t advantage = 0;
};

// BlobChunk: chunk `index` of blob `id`, `total` bytes long in all; `data` holds BLOB_CHUNK_SIZE
// bytes, or what is left of the blob for its last chunk.
struct BlobChunkBody {
  std::uint32_t id = 0;
  std::uint32_t total = 0;
  std::uint32_t index = 0;
  std::span<const std::byte> data;
};

// BlobAck: the receiver holds chunks 0 .. next − 1 of blob `id`, and chunk next + 1 + i for each
// bit i set in `mask`.
struct BlobAckBody {
  std::uint32_t id = 0;
  std::uint32_t next = 0;
  std::uint64_t mask = 0;
};

// Holdings. held[p] for p below `players`: the last frame of player p's inputs the sender holds
// (NO_FRAME: none); bit p of `left`: the sender has disconnected player p and takes no more of its
// inputs.
struct HoldingsBody {
  std::uint8_t players = 0;
  std::uint16_t left = 0;
  std::array<Frame, MAX_PLAYERS> held{};
};

struct Packet {
  PacketHeader header;
  InputBody input;
  DigestBody digest;
  SyncBody sync;
  BlobChunkBody chunk;
  BlobAckBody blob_ack;
  HoldingsBody holdings;
};

// The number of chunks of a blob of `total` bytes.
[[nodiscard]] constexpr std::size_t blobChunks(std::size_t total) noexcept {
  return (total + BLOB_CHUNK_SIZE - 1) / BLOB_CHUNK_SIZE;
}

// The packet in `bytes`, whose inputs borrow from `bytes`. Every byte is accounted for: a packet
// with bytes left over is Oversized. Errors: PacketError.
[[nodiscard]] NEMRA_API std::expected<Packet, PacketError> decodePacket(
    std::span<const std::byte> bytes, std::uint32_t session) noexcept;

// Writes `packet` (only the body its kind uses) into `out` and returns the bytes written, or 0
// when `out` is too short or a field is out of range (inputs.size() != count * input_size, an
// input size of 0 in an Input packet, more than MAX_INPUTS_PER_PACKET inputs, a chunk whose
// length or index does not fit its blob).
[[nodiscard]] NEMRA_API std::size_t encodePacket(const Packet& packet,
                                                 std::span<std::byte> out) noexcept;

// The length of an encoded packet of `kind`, with `input_bytes` bytes of inputs for Input (of
// chunk data for BlobChunk).
[[nodiscard]] NEMRA_API std::size_t packetSize(PacketKind kind, std::size_t input_bytes) noexcept;

}  // namespace nemra_lockstep

#endif
