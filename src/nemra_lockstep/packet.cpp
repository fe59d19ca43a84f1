#include <algorithm>
#include <nemra_lockstep/packet.hpp>

namespace nemra_lockstep {
namespace {

// Every multi-byte field is little-endian, whatever the machine.
class Writer {
 public:
  explicit Writer(std::span<std::byte> out) noexcept : out_(out) {}
  void u8(std::uint8_t v) noexcept { out_[at_++] = std::byte{v}; }
  void u16(std::uint16_t v) noexcept {
    for (int i = 0; i < 2; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u32(std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void bytes(std::span<const std::byte> b) noexcept {
    for (std::byte x : b) out_[at_++] = x;
  }
  [[nodiscard]] std::size_t written() const noexcept { return at_; }

 private:
  std::span<std::byte> out_;
  std::size_t at_ = 0;
};

// Reads fields the caller has checked the length for.
class Reader {
 public:
  explicit Reader(std::span<const std::byte> in) noexcept : in_(in) {}
  std::uint8_t u8() noexcept { return std::to_integer<std::uint8_t>(in_[at_++]); }
  std::uint16_t u16() noexcept {
    std::uint16_t v = u8();
    return static_cast<std::uint16_t>(v | (std::uint16_t{u8()} << 8));
  }
  std::uint32_t u32() noexcept {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{u8()} << (8 * i);
    return v;
  }
  std::uint64_t u64() noexcept {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{u8()} << (8 * i);
    return v;
  }
  std::span<const std::byte> bytes(std::size_t n) noexcept {
    const auto b = in_.subspan(at_, n);
    at_ += n;
    return b;
  }

 private:
  std::span<const std::byte> in_;
  std::size_t at_ = 0;
};

constexpr std::byte MAGIC0{'N'};
constexpr std::byte MAGIC1{'L'};
constexpr std::size_t INPUT_FIXED = 14;
constexpr std::size_t ACK_BODY = 8;
constexpr std::size_t DIGEST_BODY = 12;
constexpr std::size_t SYNC_BODY = 18;
constexpr std::size_t CHUNK_FIXED = 12;
constexpr std::size_t BLOB_ACK_BODY = 16;
constexpr std::size_t HOLDINGS_FIXED = 3;

bool knownKind(std::uint8_t k) noexcept {
  return k >= static_cast<std::uint8_t>(PacketKind::Input) &&
         k <= static_cast<std::uint8_t>(PacketKind::Holdings);
}

// The body length of `kind`, the inputs of an Input packet aside.
std::size_t fixedBody(PacketKind kind) noexcept {
  switch (kind) {
    case PacketKind::Input:
      return INPUT_FIXED;
    case PacketKind::InputAck:
      return ACK_BODY;
    case PacketKind::Digest:
      return DIGEST_BODY;
    case PacketKind::SyncRequest:
    case PacketKind::SyncReply:
      return SYNC_BODY;
    case PacketKind::Disconnect:
      return 0;
    case PacketKind::BlobChunk:
      return CHUNK_FIXED;
    case PacketKind::BlobAck:
      return BLOB_ACK_BODY;
    case PacketKind::Holdings:
      return HOLDINGS_FIXED;
  }
  return 0;
}

// Whether a Holdings body lists 1 .. MAX_PLAYERS players and lets go of none beyond them.
bool holdingsValid(const HoldingsBody& h) noexcept {
  return h.players != 0 && h.players <= MAX_PLAYERS && (unsigned{h.left} >> h.players) == 0;
}

// The data length chunk `index` of a blob of `total` bytes has, or 0 when there is no such chunk.
std::size_t chunkLength(std::uint32_t total, std::uint32_t index) noexcept {
  if (total == 0 || total > MAX_BLOB_SIZE || index >= blobChunks(total)) return 0;
  const std::size_t start = std::size_t{index} * BLOB_CHUNK_SIZE;
  return std::min(BLOB_CHUNK_SIZE, total - start);
}

}  // namespace

std::size_t packetSize(PacketKind kind, std::size_t input_bytes) noexcept {
  const bool variable =
      kind == PacketKind::Input || kind == PacketKind::BlobChunk || kind == PacketKind::Holdings;
  return PACKET_HEADER_SIZE + fixedBody(kind) + (variable ? input_bytes : 0);
}

std::expected<Packet, PacketError> decodePacket(std::span<const std::byte> bytes,
                                                std::uint32_t session) noexcept {
  if (bytes.size() > MAX_PACKET_SIZE) return std::unexpected(PacketError::Oversized);
  // The magic bytes and version are judged on whatever is there, so that a short datagram of
  // another protocol counts as garbage rather than as a truncated packet.
  if ((!bytes.empty() && bytes[0] != MAGIC0) || (bytes.size() > 1 && bytes[1] != MAGIC1) ||
      (bytes.size() > 2 && std::to_integer<std::uint8_t>(bytes[2]) != PACKET_VERSION) ||
      (bytes.size() > 3 && !knownKind(std::to_integer<std::uint8_t>(bytes[3])))) {
    return std::unexpected(PacketError::Garbage);
  }
  if (bytes.size() < PACKET_HEADER_SIZE) return std::unexpected(PacketError::Truncated);
  Reader r(bytes);
  r.bytes(3);
  Packet p;
  p.header.kind = static_cast<PacketKind>(r.u8());
  p.header.session = r.u32();
  p.header.sender = r.u8();
  const std::uint8_t flags = r.u8();
  p.header.sequence = r.u16();
  if (p.header.session != session) return std::unexpected(PacketError::WrongSession);
  if (flags != 0) return std::unexpected(PacketError::Malformed);

  const std::size_t body = bytes.size() - PACKET_HEADER_SIZE;
  const std::size_t fixed = fixedBody(p.header.kind);
  if (body < fixed) return std::unexpected(PacketError::Truncated);
  switch (p.header.kind) {
    case PacketKind::Input:
    case PacketKind::InputAck: {
      p.input.current_frame = r.u32();
      p.input.ack_frame = r.u32();
      if (p.header.kind == PacketKind::InputAck) break;
      p.input.first_frame = r.u32();
      p.input.input_size = r.u8();
      p.input.count = r.u8();
      if (p.input.input_size == 0 || p.input.count == 0 || p.input.count > MAX_INPUTS_PER_PACKET ||
          p.input.first_frame > NO_FRAME - p.input.count) {
        return std::unexpected(PacketError::Malformed);
      }
      const std::size_t n = std::size_t{p.input.input_size} * p.input.count;
      if (body < fixed + n) return std::unexpected(PacketError::Truncated);
      if (body > fixed + n) return std::unexpected(PacketError::Oversized);
      p.input.inputs = r.bytes(n);
      return p;
    }
    case PacketKind::Digest:
      p.digest.frame = r.u32();
      p.digest.digest = r.u64();
      if (p.digest.frame == NO_FRAME) return std::unexpected(PacketError::Malformed);
      break;
    case PacketKind::SyncRequest:
    case PacketKind::SyncReply:
      p.sync.nonce = r.u32();
      p.sync.time = r.u64();
      p.sync.frame = r.u32();
      p.sync.advantage = static_cast<std::int16_t>(r.u16());
      break;
    case PacketKind::Disconnect:
      break;
    case PacketKind::BlobChunk: {
      p.chunk.id = r.u32();
      p.chunk.total = r.u32();
      p.chunk.index = r.u32();
      const std::size_t n = chunkLength(p.chunk.total, p.chunk.index);
      if (n == 0) return std::unexpected(PacketError::Malformed);
      if (body < fixed + n) return std::unexpected(PacketError::Truncated);
      if (body > fixed + n) return std::unexpected(PacketError::Oversized);
      p.chunk.data = r.bytes(n);
      return p;
    }
    case PacketKind::BlobAck:
      p.blob_ack.id = r.u32();
      p.blob_ack.next = r.u32();
      p.blob_ack.mask = r.u64();
      break;
    case PacketKind::Holdings: {
      p.holdings.left = r.u16();
      p.holdings.players = r.u8();
      if (!holdingsValid(p.holdings)) return std::unexpected(PacketError::Malformed);
      const std::size_t n = 4 * std::size_t{p.holdings.players};
      if (body < fixed + n) return std::unexpected(PacketError::Truncated);
      if (body > fixed + n) return std::unexpected(PacketError::Oversized);
      for (std::size_t i = 0; i < p.holdings.players; ++i) p.holdings.held[i] = r.u32();
      return p;
    }
  }
  if (body > fixed) return std::unexpected(PacketError::Oversized);
  return p;
}

std::size_t encodePacket(const Packet& packet, std::span<std::byte> out) noexcept {
  const PacketKind kind = packet.header.kind;
  if (!knownKind(static_cast<std::uint8_t>(kind))) return 0;
  const InputBody& in = packet.input;
  if (kind == PacketKind::Input &&
      (in.input_size == 0 || in.count == 0 || in.count > MAX_INPUTS_PER_PACKET ||
       in.inputs.size() != std::size_t{in.input_size} * in.count ||
       in.first_frame > NO_FRAME - in.count)) {
    return 0;
  }
  if (kind == PacketKind::Digest && packet.digest.frame == NO_FRAME) return 0;
  if (kind == PacketKind::Holdings && !holdingsValid(packet.holdings)) return 0;
  const BlobChunkBody& chunk = packet.chunk;
  if (kind == PacketKind::BlobChunk &&
      (chunkLength(chunk.total, chunk.index) == 0 ||
       chunk.data.size() != chunkLength(chunk.total, chunk.index))) {
    return 0;
  }
  const std::size_t size =
      packetSize(kind, kind == PacketKind::BlobChunk  ? chunk.data.size()
                       : kind == PacketKind::Holdings ? 4 * std::size_t{packet.holdings.players}
                                                      : in.inputs.size());
  if (size > out.size() || size > MAX_PACKET_SIZE) return 0;
  Writer w(out);
  w.u8(std::to_integer<std::uint8_t>(MAGIC0));
  w.u8(std::to_integer<std::uint8_t>(MAGIC1));
  w.u8(PACKET_VERSION);
  w.u8(static_cast<std::uint8_t>(kind));
  w.u32(packet.header.session);
  w.u8(packet.header.sender);
  w.u8(0);
  w.u16(packet.header.sequence);
  switch (kind) {
    case PacketKind::Input:
    case PacketKind::InputAck:
      w.u32(in.current_frame);
      w.u32(in.ack_frame);
      if (kind == PacketKind::InputAck) break;
      w.u32(in.first_frame);
      w.u8(in.input_size);
      w.u8(in.count);
      w.bytes(in.inputs);
      break;
    case PacketKind::Digest:
      w.u32(packet.digest.frame);
      w.u64(packet.digest.digest);
      break;
    case PacketKind::SyncRequest:
    case PacketKind::SyncReply:
      w.u32(packet.sync.nonce);
      w.u64(packet.sync.time);
      w.u32(packet.sync.frame);
      w.u16(static_cast<std::uint16_t>(packet.sync.advantage));
      break;
    case PacketKind::Disconnect:
      break;
    case PacketKind::BlobChunk:
      w.u32(chunk.id);
      w.u32(chunk.total);
      w.u32(chunk.index);
      w.bytes(chunk.data);
      break;
    case PacketKind::BlobAck:
      w.u32(packet.blob_ack.id);
      w.u32(packet.blob_ack.next);
      w.u64(packet.blob_ack.mask);
      break;
    case PacketKind::Holdings:
      w.u16(packet.holdings.left);
      w.u8(packet.holdings.players);
      for (std::size_t i = 0; i < packet.holdings.players; ++i) w.u32(packet.holdings.held[i]);
      break;
  }
  return w.written();
}

}  // namespace nemra_lockstep
