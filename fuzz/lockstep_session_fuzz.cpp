// Fuzz target for a rollback session under attack. Two honest peers play over an in-process
// network while the input, read as a script, advances them, moves the clock and injects datagrams
// into peer 0 (and now and then into the spectator it serves): well-formed packets of every kind
// with fields near the session's own frames or at their extremes (from the honest peer's address,
// the spectator's or an unknown one), and raw bytes behind a valid header. Whatever comes, neither
// peer may ask its game to load a frame older than the max_prediction + 1 it keeps, nor fail a
// call; the spectator peer 0 serves must not crash either.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <nemra_lockstep/in_process_network.hpp>
#include <nemra_lockstep/packet.hpp>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/watch_session.hpp>
#include <optional>
#include <span>
#include <utility>

namespace {

using namespace nemra_lockstep;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "lockstep_session_fuzz: %s\n", what);
  std::abort();
}

constexpr std::uint32_t kSession = 0x5eed;
constexpr std::uint32_t kPrediction = 8;
// As few as the session asks a program to keep.
constexpr Frame kKept = kPrediction + 1;

// A state of one number, kept for the last kKept frames. Loading a frame it does not keep is a
// fault of the session (it must never roll back beyond its window).
struct CounterGame final : Game {
  std::uint64_t value = 0;
  std::array<Frame, kKept> frames{};
  std::array<std::uint64_t, kKept> values{};
  // The bytes stateBytes hands out (read back only in this process: native byte order).
  std::array<std::byte, sizeof(std::uint64_t)> bytes{};

  CounterGame() { frames.fill(NO_FRAME); }
  std::expected<std::uint64_t, LockstepError> saveState(Frame frame) override {
    frames[frame % kKept] = frame;
    values[frame % kKept] = value;
    return value * 0x9E3779B97F4A7C15ULL;
  }
  std::expected<void, LockstepError> loadState(Frame frame) override {
    if (frames[frame % kKept] != frame) fail("the session loads a frame it did not keep");
    value = values[frame % kKept];
    return {};
  }
  void advanceFrame(Frame, std::span<const PlayerInput> inputs) override {
    for (const PlayerInput& in : inputs) {
      for (const std::byte b : in.bytes) value = (value ^ std::to_integer<std::uint64_t>(b)) * 31;
    }
  }
  std::span<const std::byte> stateBytes(Frame frame) override {
    if (frames[frame % kKept] != frame) return {};
    std::memcpy(bytes.data(), &values[frame % kKept], bytes.size());
    return bytes;
  }
  std::expected<void, LockstepError> loadStateBytes(Frame frame,
                                                    std::span<const std::byte> in) override {
    if (in.size() != bytes.size()) return std::unexpected(LockstepError::InvalidConfig);
    std::memcpy(&value, in.data(), bytes.size());
    (void)saveState(frame);
    return {};
  }
};

struct Script {
  std::span<const std::uint8_t> data;
  std::size_t at = 0;
  bool done() const { return at >= data.size(); }
  std::uint8_t byte() { return at < data.size() ? data[at++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{byte()} << 8 * i;
    return v;
  }
  // A frame near `base` (within ±127), or one of the extremes.
  Frame frameNear(Frame base) {
    switch (byte() % 8) {
      case 0:
        return NO_FRAME;
      case 1:
        return NO_FRAME - 1 - byte();
      case 2:
        return u32();
      case 3:
        return byte();
      default:
        return base + static_cast<Frame>(static_cast<std::int8_t>(byte()));
    }
  }
};

// A well-formed packet of the script's choosing, encoded into `out`; 0 when the encoder refuses
// the fields.
std::size_t craft(Script& s, Frame base, std::span<std::byte> out,
                  std::array<std::byte, MAX_PACKET_SIZE>& payload) {
  Packet p;
  p.header.kind = static_cast<PacketKind>(1 + s.byte() % 9);
  p.header.session = s.byte() % 16 == 0 ? s.u32() : kSession;
  p.header.sender = s.byte() % 4;
  p.header.sequence = static_cast<std::uint16_t>(s.u32());
  switch (p.header.kind) {
    case PacketKind::Input:
    case PacketKind::InputAck: {
      p.input.current_frame = s.frameNear(base);
      p.input.ack_frame = s.frameNear(base);
      p.input.first_frame = s.frameNear(base);
      if (p.header.kind == PacketKind::Input) {
        p.input.input_size = s.byte() % 4 == 0 ? s.byte() : 1;
        p.input.count = s.byte() % 40;
        const std::size_t n = std::size_t{p.input.input_size} * p.input.count;
        if (n > payload.size()) return 0;
        for (std::size_t i = 0; i < n; ++i) payload[i] = std::byte{s.byte()};
        p.input.inputs = std::span<const std::byte>(payload).first(n);
      }
      break;
    }
    case PacketKind::Digest:
      p.digest = DigestBody{s.frameNear(base), s.u32()};
      break;
    case PacketKind::SyncRequest:
    case PacketKind::SyncReply:
      p.sync = SyncBody{s.u32(), std::uint64_t{s.u32()} << (s.byte() % 33), s.frameNear(base),
                        static_cast<std::int16_t>(s.u32())};
      break;
    case PacketKind::Disconnect:
      break;
    case PacketKind::BlobChunk: {
      const std::uint32_t total = s.byte() % 2 == 0 ? s.u32() % (1u << 16) + 1 : s.u32();
      const std::uint32_t index = s.byte() % 4 == 0 ? s.u32() : s.byte() % 4;
      const std::size_t start = std::size_t{index} * BLOB_CHUNK_SIZE;
      const std::size_t n =
          start < total ? std::min<std::size_t>(BLOB_CHUNK_SIZE, total - start) : s.byte();
      if (n > payload.size()) return 0;
      for (std::size_t i = 0; i < n; ++i) payload[i] = std::byte{s.byte()};
      p.chunk = BlobChunkBody{s.byte(), total, index, std::span<const std::byte>(payload).first(n)};
      break;
    }
    case PacketKind::BlobAck:
      p.blob_ack = BlobAckBody{s.byte(), s.u32(), std::uint64_t{s.u32()} << 32 | s.u32()};
      break;
    case PacketKind::Holdings:
      p.holdings.players = s.byte() % 4 == 0 ? s.byte() : 2;
      p.holdings.left = static_cast<std::uint16_t>(s.byte() % 4 == 0 ? s.u32() : 0);
      for (Frame& f : p.holdings.held) f = s.frameNear(base);
      break;
  }
  return encodePacket(p, out);
}

void run(std::span<const std::uint8_t> data) {
  Script s{data};
  // 0 and 1: the players; 2: peer 0's spectator; 3: a stranger.
  InProcessNetwork net = InProcessNetwork::init(4, NetworkFaults{}, nullptr);
  std::array<InProcessNetwork::Endpoint, 4> ends{net.endpoint(0), net.endpoint(1), net.endpoint(2),
                                                 net.endpoint(3)};
  const std::array<PeerAddress, 2> players{ends[0].address(), ends[1].address()};
  std::array<CounterGame, 3> games;
  std::array<std::optional<P2PSession>, 2> peers;
  for (std::uint8_t p = 0; p < 2; ++p) {
    const SessionConfig config{.session_id = kSession,
                               .input_size = 1,
                               .players = 2,
                               .local_player = p,
                               .input_delay = 2,
                               .max_prediction = kPrediction,
                               .digest_interval = 4};
    auto made = P2PSession::init(config, players, ends[p], net, nullptr);
    if (!made) fail("init");
    peers[p].emplace(std::move(*made));
  }
  if (!peers[0]->addSpectator(ends[2].address())) fail("addSpectator");
  const SpectatorConfig watch_config{
      .session_id = kSession, .input_size = 1, .players = 2, .join_late = s.byte() % 2 == 0};
  auto watcher = SpectatorSession::init(watch_config, players[0], ends[2], net, nullptr);
  if (!watcher) fail("spectator init");

  const auto advance = [&](std::size_t p, std::uint8_t input) {
    const std::byte in{input};
    const auto r = peers[p]->advanceFrame(std::span(&in, 1), games[p]);
    if (!r) fail("advanceFrame failed");
  };
  std::array<std::byte, MAX_PACKET_SIZE> out{};
  std::array<std::byte, MAX_PACKET_SIZE> payload{};
  for (std::size_t step = 0; !s.done() && step < 2000; ++step) {
    switch (s.byte() % 8) {
      case 0:
      case 1: {
        const std::uint8_t input = s.byte();
        advance(0, input);
        advance(1, static_cast<std::uint8_t>(input * 7));
        break;
      }
      case 2:
        advance(s.byte() % 2, s.byte());
        break;
      case 3:
        net.advanceTime(std::uint64_t{s.byte()} * 1000 + (s.byte() % 8 == 0 ? 6000000 : 0));
        peers[0]->poll();
        peers[1]->poll();
        break;
      case 4:
      case 5: {
        // To peer 0, or now and then to the spectator.
        const std::uint8_t how = s.byte();
        const std::size_t from = how % 4;
        const std::size_t to = how % 16 == 5 ? 2 : 0;
        const std::size_t n = craft(s, peers[0]->currentFrame(), out, payload);
        if (n > 0) ends[from].send(ends[to].address(), std::span<const std::byte>(out).first(n));
        break;
      }
      case 6: {
        // Any bytes after a valid header whose kind byte is any of 1 to 10 (10 is no kind),
        // cut anywhere (inside the header too), from any address.
        const std::size_t from = s.byte() % 4;
        Packet p;
        p.header.session = kSession;
        p.header.sender = 1;
        p.header.kind = PacketKind::InputAck;
        const std::size_t head = encodePacket(p, out);
        const std::size_t n = std::min<std::size_t>(s.byte() * 5, out.size() - 1);
        for (std::size_t i = PACKET_HEADER_SIZE; i < n; ++i) {
          out[i] = std::byte{s.byte()};
        }
        out[3] = std::byte{static_cast<std::uint8_t>(1 + s.byte() % 10)};
        ends[from].send(ends[0].address(), std::span<const std::byte>(out).first(n > 0 ? n : head));
        break;
      }
      case 7: {
        // A report may be refused (the frame is no longer kept, say): only its safety matters.
        while (const auto e = peers[0]->nextEvent()) {
          if (e->kind == EventKind::Desync) (void)peers[0]->requestDesyncReport(*e, games[0]);
        }
        while (peers[1]->nextEvent()) {
        }
        // Packets forged in the host's name may make the spectator's game refuse a state, and
        // the spectator stop: only its safety is checked.
        (void)watcher->advanceFrame(games[2]);
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  run(std::span<const std::uint8_t>(data, size));
  return 0;
}
