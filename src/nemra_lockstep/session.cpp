#include <algorithm>
#include <array>
#include <cstring>
#include <nemra_lockstep/blob_transfer.hpp>
#include <nemra_lockstep/detail/drops.hpp>
#include <nemra_lockstep/detail/event_queue.hpp>
#include <nemra_lockstep/detail/input_ring.hpp>
#include <nemra_lockstep/detail/owned_state.hpp>
#include <nemra_lockstep/session.hpp>
#include <new>
#include <utility>

namespace nemra_lockstep {

namespace {

enum class PeerState : std::uint8_t { Synchronizing, Running, Interrupted, Disconnected };

// Frames are counted in 64 bits inside the session, with −1 for "none".
constexpr std::int64_t NONE = -1;
// A remote input this far or further ahead of the current frame is not stored yet (it is sent
// again); with the prediction and the acknowledgements bounded, the rings never wrap onto a frame
// still needed.
constexpr std::int64_t ACCEPT_AHEAD = 128;
// A state asked for as "the newest confirmed one" (a spectator joining late): a blob id no frame
// has.
constexpr std::int64_t NEWEST = NO_FRAME;

Frame toFrame(std::int64_t f) noexcept { return f < 0 ? NO_FRAME : static_cast<Frame>(f); }

// Whether player `player`'s bit is set in a mask of players.
bool has(std::uint16_t players, std::size_t player) noexcept {
  return ((unsigned{players} >> player) & 1U) != 0;
}

}  // namespace

struct P2PSession::State {
  struct Peer {
    explicit Peer(std::pmr::memory_resource* r) noexcept
        : remote_digest_frame(r),
          remote_digest(r),
          blob_out(BlobSender::init(r)),
          blob_in(BlobReceiver::init(MAX_BLOB_SIZE, r)) {
      holds.fill(NONE);
    }
    PeerAddress address;
    PeerState state = PeerState::Synchronizing;
    // Every input of this player up to this frame is held.
    std::int64_t confirmed = NONE;
    // The peer holds every local input up to this frame.
    std::int64_t acked = NONE;
    std::uint32_t sync_replies = 0;
    std::uint32_t pending_nonce = 0;
    std::uint64_t last_sync_sent = 0;
    bool sync_sent = false;
    std::uint64_t last_received = 0;
    std::int64_t remote_frame = 0;
    std::uint16_t next_sequence_out = 0;
    std::uint16_t next_sequence_in = 0;
    bool sequence_seen = false;
    PeerStats stats;
    // Digests the peer sent of frames not yet final here: (frame, digest) by frame % ring.
    std::pmr::vector<std::int64_t> remote_digest_frame;
    std::pmr::vector<std::uint64_t> remote_digest;
    // States in blobs whose id is their frame: the one being sent to the peer, the frame the peer
    // asked for and this peer has not started sending yet (NEWEST: a spectator's join), the frame
    // this peer asked the peer for and what has come of it.
    BlobSender blob_out;
    std::int64_t serve = NONE;
    std::int64_t wanted = NONE;
    BlobReceiver blob_in;
    // A spectator's first frame: it is sent the inputs from there on.
    std::int64_t start = NONE;
    // What the peer said it holds (Holdings): the last frame of each player's inputs, and the
    // players it let go.
    std::array<std::int64_t, MAX_PLAYERS> holds;
    std::uint16_t left = 0;
  };

  explicit State(std::pmr::memory_resource* r) noexcept
      : allocator(r),
        peers(r),
        spectators(r),
        inputs(r),
        used(r),
        digest_frame(r),
        digest(r),
        events(r),
        player_inputs(r),
        zeros(r),
        report_local(r) {}

  std::pmr::memory_resource* allocator;
  SessionConfig config;
  Transport* transport = nullptr;
  Clock* clock = nullptr;
  bool failed = false;
  bool running = false;
  std::int64_t current = 0;
  bool saved_start = false;
  std::int64_t first_incorrect = NONE;
  // For a player that left: the last frame whose input is used (zeros after), and whether every
  // peer still in the session let it go too, so that the frame no longer moves.
  std::array<std::int64_t, MAX_PLAYERS> ends{};
  std::array<bool, MAX_PLAYERS> settled{};
  // By player: the peers that were in the session when this peer last took a new input of it (its
  // voters, should it leave), whose holdings of it bound its end even if they leave in turn.
  // Every survivor took that input while the same peers were in the session, unless one left
  // within moments of it; and by the time the player is let go (disconnect_after_us of silence)
  // every survivor has heard those peers' final holdings of it many times over.
  std::array<std::uint16_t, MAX_PLAYERS> voters{};
  std::int64_t final_through = NONE;
  std::int64_t newest_digest_frame = NONE;
  std::uint32_t nonce = 0;
  std::uint64_t rollbacks = 0;
  std::uint64_t resimulated = 0;
  DropCounters dropped;
  std::pmr::vector<Peer> peers;
  std::pmr::vector<Peer> spectators;
  // Every player's inputs (confirmed, local or remote), and those the simulation used.
  detail::InputRing inputs;
  detail::InputRing used;
  std::pmr::vector<std::int64_t> digest_frame;
  std::pmr::vector<std::uint64_t> digest;
  detail::EventQueue events;
  std::pmr::vector<PlayerInput> player_inputs;
  std::pmr::vector<std::byte> zeros;
  // This peer's state of the frame of the desync report under way, and the last report.
  std::pmr::vector<std::byte> report_local;
  std::optional<DesyncReport> report;

  Peer& local() noexcept { return peers[config.local_player]; }
  std::size_t ring() const noexcept { return detail::InputRing::FRAMES; }

  void push(const Event& e) noexcept { events.push(e); }

  // The smallest confirmed frame of the players still in the session.
  std::int64_t minConfirmed() const noexcept {
    std::int64_t m = peers[config.local_player].confirmed;
    for (const Peer& p : peers) {
      if (p.state != PeerState::Disconnected) m = std::min(m, p.confirmed);
    }
    return m;
  }

  std::int64_t minAcked() const noexcept {
    std::int64_t m = local().confirmed;
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (i != config.local_player && peers[i].state != PeerState::Disconnected) {
        m = std::min(m, peers[i].acked);
      }
    }
    return m;
  }
  const Peer& local() const noexcept { return peers[config.local_player]; }

  // The input of `player` for frame f as the simulation should use it now.
  PlayerInput inputFor(std::size_t player, std::int64_t f) noexcept {
    const Peer& p = peers[player];
    if (p.state == PeerState::Disconnected) {
      if (f <= ends[player]) return {inputs.at(player, f), InputStatus::Confirmed};
      return {zeros, InputStatus::Disconnected};
    }
    if (f <= p.confirmed) return {inputs.at(player, f), InputStatus::Confirmed};
    if (p.confirmed == NONE) return {zeros, InputStatus::Predicted};
    return {inputs.at(player, p.confirmed), InputStatus::Predicted};
  }

  void simulate(Game& game, std::int64_t f) noexcept {
    for (std::size_t i = 0; i < peers.size(); ++i) {
      player_inputs[i] = inputFor(i, f);
      used.store(i, f, player_inputs[i].bytes);
    }
    game.advanceFrame(static_cast<Frame>(f), player_inputs);
  }

  bool save(Game& game, std::int64_t f) noexcept {
    auto d = game.saveState(static_cast<Frame>(f));
    if (!d) return false;
    digest_frame[static_cast<std::size_t>(f) % ring()] = f;
    digest[static_cast<std::size_t>(f) % ring()] = *d;
    return true;
  }

  // ---- sending ------------------------------------------------------------------------------

  void sendPacket(std::size_t to, Packet& p) noexcept { sendTo(peers[to], p); }

  void sendTo(Peer& peer, Packet& p) noexcept {
    p.header.session = config.session_id;
    p.header.sender = config.local_player;
    p.header.sequence = peer.next_sequence_out++;
    std::array<std::byte, MAX_PACKET_SIZE> buffer{};
    const std::size_t n = encodePacket(p, buffer);
    if (n == 0) return;
    transport->send(peer.address, std::span(buffer).first(n));
    ++peer.stats.packets_sent;
    peer.stats.bytes_sent += n;
  }

  void sendSyncRequest(std::size_t to, std::uint64_t now) noexcept {
    Peer& peer = peers[to];
    Packet p;
    p.header.kind = PacketKind::SyncRequest;
    peer.pending_nonce = ++nonce == 0 ? ++nonce : nonce;
    p.sync = SyncBody{peer.pending_nonce, now, toFrame(current),
                      static_cast<std::int16_t>(std::clamp(advantage(to), -32768, 32767))};
    peer.last_sync_sent = now;
    peer.sync_sent = true;
    sendPacket(to, p);
  }

  void sendRound() noexcept {
    const std::uint64_t now = clock->nowMicros();
    for (std::size_t i = 0; i < peers.size(); ++i) {
      Peer& peer = peers[i];
      if (i == config.local_player || peer.state == PeerState::Disconnected) continue;
      if (!peer.sync_sent || now - peer.last_sync_sent >= config.sync_interval_us) {
        sendSyncRequest(i, now);
      }
      if (peer.state == PeerState::Synchronizing) continue;
      Packet p;
      p.input.current_frame = toFrame(current);
      p.input.ack_frame = toFrame(peer.confirmed);
      const std::int64_t first = peer.acked + 1;
      const std::int64_t newest = local().confirmed;
      if (newest >= first) {
        const std::size_t fit =
            (MAX_PACKET_SIZE - packetSize(PacketKind::Input, 0)) / config.input_size;
        const std::size_t count = std::min<std::size_t>(
            {static_cast<std::size_t>(newest - first + 1), MAX_INPUTS_PER_PACKET, fit});
        std::array<std::byte, MAX_PACKET_SIZE> bytes{};
        for (std::size_t k = 0; k < count; ++k) {
          const auto in = inputs.at(config.local_player, first + static_cast<std::int64_t>(k));
          std::memcpy(bytes.data() + k * config.input_size, in.data(), in.size());
        }
        p.header.kind = PacketKind::Input;
        p.input.first_frame = static_cast<Frame>(first);
        p.input.input_size = config.input_size;
        p.input.count = static_cast<std::uint8_t>(count);
        p.input.inputs = std::span(bytes).first(count * config.input_size);
        sendPacket(i, p);
      } else {
        p.header.kind = PacketKind::InputAck;
        sendPacket(i, p);
      }
      sendDigest(peer);
      sendBlobs(peer, now);
      sendHoldings(peer);
    }
    for (Peer& spectator : spectators) sendToSpectator(spectator, now);
  }

  void sendHoldings(Peer& peer) noexcept {
    Packet h;
    h.header.kind = PacketKind::Holdings;
    h.holdings.players = config.players;
    for (std::size_t p = 0; p < peers.size(); ++p) {
      h.holdings.held[p] = toFrame(peers[p].confirmed);
      if (peers[p].state == PeerState::Disconnected) {
        h.holdings.left = static_cast<std::uint16_t>(h.holdings.left | (1U << p));
      }
    }
    sendTo(peer, h);
  }

  void sendDigest(Peer& peer) noexcept {
    if (newest_digest_frame == NONE) return;
    Packet d;
    d.header.kind = PacketKind::Digest;
    d.digest.frame = static_cast<Frame>(newest_digest_frame);
    d.digest.digest = digest[static_cast<std::size_t>(newest_digest_frame) % ring()];
    sendTo(peer, d);
  }

  // The chunks of the state being sent that are due, and the request for the state wanted (an
  // acknowledgement of what has come of it, nothing at first), every round until it is whole.
  void sendBlobs(Peer& peer, std::uint64_t now) noexcept {
    while (auto chunk = peer.blob_out.nextChunk(now)) sendTo(peer, *chunk);
    if (peer.wanted == NONE) return;
    Packet ask;
    ask.header.kind = PacketKind::BlobAck;
    const bool started = peer.blob_in.started() && peer.blob_in.id() == peer.wanted;
    ask.blob_ack =
        started ? peer.blob_in.held() : BlobAckBody{static_cast<std::uint32_t>(peer.wanted), 0, 0};
    sendTo(peer, ask);
  }

  // A spectator gets the inputs of every player for the frames whose inputs are all final, from
  // its first frame on, each packet repeating those it has not acknowledged.
  void sendToSpectator(Peer& spectator, std::uint64_t now) noexcept {
    if (spectator.state == PeerState::Disconnected) return;
    while (auto chunk = spectator.blob_out.nextChunk(now)) sendTo(spectator, *chunk);
    if (spectator.start == NONE) return;
    const std::int64_t first = spectator.acked + 1;
    const std::int64_t last = final_through - 1;
    // Frames up to current + ACCEPT_AHEAD are written in the rings, over those a ring's length
    // earlier: a spectator that still lacks those is dropped.
    if (first + static_cast<std::int64_t>(ring()) - ACCEPT_AHEAD < current) {
      spectator.state = PeerState::Disconnected;
      return;
    }
    Packet p;
    p.input.current_frame = toFrame(current);
    p.input.ack_frame = NO_FRAME;
    std::array<std::byte, MAX_PACKET_SIZE> bytes{};
    if (last >= first) {
      const std::size_t frame_size = std::size_t{config.players} * config.input_size;
      const std::size_t fit = (MAX_PACKET_SIZE - packetSize(PacketKind::Input, 0)) / frame_size;
      const std::size_t count = std::min<std::size_t>(
          {static_cast<std::size_t>(last - first + 1), MAX_INPUTS_PER_PACKET, fit});
      for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t i = 0; i < peers.size(); ++i) {
          const auto in = used.at(i, first + static_cast<std::int64_t>(k));
          std::memcpy(bytes.data() + k * frame_size + i * config.input_size, in.data(), in.size());
        }
      }
      p.header.kind = PacketKind::Input;
      p.input.first_frame = static_cast<Frame>(first);
      p.input.input_size = static_cast<std::uint8_t>(frame_size);
      p.input.count = static_cast<std::uint8_t>(count);
      p.input.inputs = std::span(bytes).first(count * frame_size);
    } else {
      p.header.kind = PacketKind::InputAck;
    }
    sendTo(spectator, p);
    sendDigest(spectator);
  }

  // Starts sending the states peers and spectators asked for and this peer still keeps.
  void serveStates(Game& game) noexcept {
    auto serve = [&](Peer& peer) {
      if (peer.serve == NONE) return;
      const std::int64_t f = peer.serve == NEWEST ? final_through : peer.serve;
      if (f == NONE) return;  // nothing confirmed yet: later
      const std::span<const std::byte> bytes = game.stateBytes(static_cast<Frame>(f));
      if (bytes.empty()) {
        peer.serve = NONE;  // not kept (any more): the request goes unanswered
        return;
      }
      const std::uint64_t resend =
          std::max<std::uint64_t>(2 * (peer.stats.round_trip_us + config.frame_us), 100000);
      if (!peer.blob_out.start(static_cast<std::uint32_t>(f), bytes, resend)) return;
      if (peer.serve == NEWEST) {
        peer.start = f;
        peer.acked = f - 1;
      }
      peer.serve = NONE;
    };
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (i != config.local_player) serve(peers[i]);
    }
    for (Peer& spectator : spectators) serve(spectator);
  }

  // Frames this peer is ahead of `to`, counting the frames `to` ran since its frame was sent.
  int advantage(std::size_t to) const noexcept {
    const Peer& peer = peers[to];
    const std::int64_t in_flight =
        config.frame_us == 0
            ? 0
            : static_cast<std::int64_t>(peer.stats.round_trip_us / 2 / config.frame_us);
    return static_cast<int>(current - (peer.remote_frame + in_flight));
  }

  // ---- receiving ----------------------------------------------------------------------------

  void compareDigest(std::size_t from, std::int64_t f, std::uint64_t remote) noexcept {
    const std::uint64_t mine = digest[static_cast<std::size_t>(f) % ring()];
    if (mine != remote) {
      push(Event{EventKind::Desync, static_cast<PlayerHandle>(from), static_cast<Frame>(f), mine,
                 remote});
    }
  }

  void onDigest(std::size_t from, const DigestBody& d) noexcept {
    const auto f = static_cast<std::int64_t>(d.frame);
    Peer& peer = peers[from];
    const std::size_t slot = static_cast<std::size_t>(f) % ring();
    if (f <= final_through) {
      if (digest_frame[slot] == f && peer.remote_digest_frame[slot] != f) {
        peer.remote_digest_frame[slot] = f;  // compared once
        compareDigest(from, f, d.digest);
      }
      return;
    }
    if (f < final_through + static_cast<std::int64_t>(ring())) {
      peer.remote_digest_frame[slot] = f;
      peer.remote_digest[slot] = d.digest;
    }
  }

  void onInputs(std::size_t from, const InputBody& in) noexcept {
    Peer& peer = peers[from];
    peer.remote_frame = in.current_frame;
    if (in.ack_frame != NO_FRAME) {
      peer.acked = std::max(peer.acked, static_cast<std::int64_t>(in.ack_frame));
    }
    if (in.count == 0) return;
    if (in.input_size != config.input_size) {
      ++dropped.malformed;
      return;
    }
    const std::int64_t held_before = peer.confirmed;
    for (std::size_t k = 0; k < in.count; ++k) {
      const std::int64_t f =
          static_cast<std::int64_t>(in.first_frame) + static_cast<std::int64_t>(k);
      if (f != peer.confirmed + 1) continue;
      if (f >= current + ACCEPT_AHEAD) break;
      const auto bytes = in.inputs.subspan(k * config.input_size, config.input_size);
      inputs.store(from, f, bytes);
      peer.confirmed = f;
      if (f < current && !std::ranges::equal(bytes, used.at(from, f))) markIncorrect(f);
    }
    if (peer.confirmed != held_before) voters[from] = sessionMask(from);
  }

  // The peers in the session other than `but`, bit by player.
  std::uint16_t sessionMask(std::size_t but) const noexcept {
    unsigned m = 0;
    for (std::size_t j = 0; j < peers.size(); ++j) {
      if (j != but && inSession(j)) m |= 1U << j;
    }
    return static_cast<std::uint16_t>(m);
  }

  Peer* spectatorAt(PeerAddress address) noexcept {
    for (Peer& spectator : spectators) {
      if (spectator.address == address) return &spectator;
    }
    return nullptr;
  }

  void onSpectatorPacket(Peer& spectator, const Packet& p, std::uint64_t now) noexcept {
    if (spectator.state == PeerState::Disconnected) return;
    spectator.last_received = now;
    ++spectator.stats.packets_received;
    switch (p.header.kind) {
      case PacketKind::InputAck:
        if (p.input.ack_frame != NO_FRAME) {
          spectator.acked = std::max(spectator.acked, std::int64_t{p.input.ack_frame});
        } else if (spectator.start == NONE && current < ACCEPT_AHEAD) {
          // A spectator from the first frame, whose inputs are all still held.
          spectator.start = 0;
        }
        break;
      case PacketKind::BlobAck:
        onBlobAck(spectator, p.blob_ack, true);
        break;
      case PacketKind::Disconnect:
        spectator.state = PeerState::Disconnected;
        break;
      default:
        break;
    }
  }

  // An acknowledgement of the blob being sent, or, when it is of another blob and holds nothing
  // of it, a request for the state of the frame its id names (a spectator's join: the newest).
  void onBlobAck(Peer& peer, const BlobAckBody& ack, bool spectator) noexcept {
    if (peer.blob_out.started() && peer.blob_out.id() == ack.id) {
      peer.blob_out.onAck(ack);
      return;
    }
    if (ack.next != 0 || ack.mask != 0) return;  // a late acknowledgement of an older blob
    if (spectator) {
      if (ack.id == NEWEST && peer.start == NONE) peer.serve = NEWEST;
    } else if (ack.id != NEWEST) {
      peer.serve = ack.id;
    }
  }

  // A chunk of the state asked for; any other is dropped.
  void onChunk(std::size_t from, const BlobChunkBody& chunk) noexcept {
    Peer& peer = peers[from];
    if (peer.wanted == NONE || chunk.id != peer.wanted) return;
    auto ack = peer.blob_in.onChunk(chunk);
    if (!ack) {
      ++dropped.malformed;
      return;
    }
    Packet reply;
    reply.header.kind = PacketKind::BlobAck;
    reply.blob_ack = *ack;
    sendTo(peer, reply);
    if (!peer.blob_in.complete()) return;
    DesyncReport r{static_cast<PlayerHandle>(from), static_cast<Frame>(peer.wanted), false, {}};
    try {
      if (auto d = nemra_ecs::diffSnapshots(report_local, peer.blob_in.bytes(), allocator)) {
        r.compared = true;
        r.difference = *d;
      }
    } catch (const std::bad_alloc&) {
      // Not compared: the report says so.
    }
    report = r;
    push(Event{EventKind::DesyncReport, r.player, r.frame, 0, 0});
    peer.wanted = NONE;
    peer.blob_in.deinit();
    report_local = std::pmr::vector<std::byte>(allocator);
  }

  void markIncorrect(std::int64_t f) noexcept {
    if (f < current) first_incorrect = first_incorrect == NONE ? f : std::min(first_incorrect, f);
  }

  // Player x leaves: no more of its inputs are taken, and those after the last frame that this
  // peer and x's voters hold become zeros. The peers say what they hold (Holdings) and let x go as
  // soon as they hear that another did, so they come to the same last frame, and no frame after
  // it was final anywhere (finalBound).
  void disconnectPeer(std::size_t i) noexcept {
    Peer& peer = peers[i];
    peer.state = PeerState::Disconnected;
    ends[i] = commonEnd(i);
    markIncorrect(ends[i] + 1);
    push(Event{EventKind::Disconnected, static_cast<PlayerHandle>(i), toFrame(ends[i] + 1), 0, 0});
    updateRunning();
  }

  bool inSession(std::size_t j) const noexcept {
    return j != config.local_player && peers[j].state != PeerState::Disconnected;
  }

  // The last frame of player x's inputs that this peer and each of x's voters hold.
  std::int64_t commonEnd(std::size_t x) const noexcept {
    std::int64_t e = peers[x].confirmed;
    for (std::size_t j = 0; j < peers.size(); ++j) {
      if (has(voters[x], j)) e = std::min(e, peers[j].holds[x]);
    }
    return e;
  }

  // The ends of the players that left rise with the holdings that come: a moved end changes the
  // inputs of the frames after the old one, which are simulated again. Once every voter still in
  // the session let the player go, its end stays.
  void updateEnds() noexcept {
    for (std::size_t x = 0; x < peers.size(); ++x) {
      if (x == config.local_player || peers[x].state != PeerState::Disconnected || settled[x]) {
        continue;
      }
      const std::int64_t e = commonEnd(x);
      if (e != ends[x]) {
        markIncorrect(std::min(e, ends[x]) + 1);
        ends[x] = e;
      }
      bool all = true;
      for (std::size_t j = 0; j < peers.size(); ++j) {
        if (has(voters[x], j) && inSession(j) && !has(peers[j].left, x)) {
          all = false;
        }
      }
      settled[x] = all;
    }
  }

  void onHoldings(std::size_t from, const HoldingsBody& h) noexcept {
    if (h.players != peers.size()) {
      ++dropped.malformed;
      return;
    }
    Peer& peer = peers[from];
    for (std::size_t p = 0; p < peers.size(); ++p) {
      if (h.held[p] != NO_FRAME) peer.holds[p] = std::max(peer.holds[p], std::int64_t{h.held[p]});
    }
    peer.left = static_cast<std::uint16_t>(peer.left | h.left);
    for (std::size_t p = 0; p < peers.size(); ++p) {
      if (has(h.left, p) && p != from && inSession(p)) disconnectPeer(p);
    }
  }

  // The last frame whose inputs may be final: every peer still in the session holds every input
  // of every player still in it up to there, so that a player that leaves later (this one
  // included: its digests must not outrun what the others will use of its inputs) has its end at
  // or after it; and no later than the end of a player that left while that end may still move.
  // Without this peer's own inputs (`own` false), the frame no rollback goes back past: this peer
  // never rolls back its own inputs.
  std::int64_t finalBound(bool own = true) const noexcept {
    std::int64_t m = minConfirmed();
    for (std::size_t p = 0; p < peers.size(); ++p) {
      if (!own && p == config.local_player) continue;
      if (peers[p].state == PeerState::Disconnected) {
        if (!settled[p]) m = std::min(m, ends[p]);
        continue;
      }
      for (std::size_t j = 0; j < peers.size(); ++j) {
        if (j != p && inSession(j)) m = std::min(m, peers[j].holds[p]);
      }
    }
    return m;
  }

  void updateRunning() noexcept {
    running = std::ranges::all_of(peers, [&](const Peer& p) {
      return &p == &local() || p.state != PeerState::Synchronizing;
    });
  }

  void receive() noexcept {
    const std::uint64_t now = clock->nowMicros();
    std::array<std::byte, MAX_PACKET_SIZE + 1> buffer{};
    PeerAddress from;
    while (auto n = transport->receive(from, buffer)) {
      const std::size_t size = std::min(*n, buffer.size());
      const auto decoded = decodePacket(std::span(buffer).first(size), config.session_id);
      if (!decoded) {
        detail::countDrop(dropped, decoded.error());
        continue;
      }
      const Packet& p = *decoded;
      if (Peer* spectator = spectatorAt(from)) {
        onSpectatorPacket(*spectator, p, now);
        continue;
      }
      const std::size_t s = p.header.sender;
      if (s >= peers.size() || s == config.local_player || !(peers[s].address == from)) {
        ++dropped.unknown_sender;
        continue;
      }
      Peer& peer = peers[s];
      if (peer.state == PeerState::Disconnected) continue;
      peer.last_received = now;
      ++peer.stats.packets_received;
      if (peer.sequence_seen) {
        const auto gap = static_cast<std::uint16_t>(p.header.sequence - peer.next_sequence_in);
        if (gap < 0x8000) {
          peer.stats.packets_lost += gap;
          peer.next_sequence_in = static_cast<std::uint16_t>(p.header.sequence + 1);
        }
      } else {
        peer.sequence_seen = true;
        peer.next_sequence_in = static_cast<std::uint16_t>(p.header.sequence + 1);
      }
      if (peer.state == PeerState::Interrupted) {
        peer.state = PeerState::Running;
        push(Event{EventKind::Resumed, static_cast<PlayerHandle>(s), toFrame(current), 0, 0});
      }
      switch (p.header.kind) {
        case PacketKind::Input:
        case PacketKind::InputAck:
          onInputs(s, p.input);
          break;
        case PacketKind::Digest:
          onDigest(s, p.digest);
          break;
        case PacketKind::SyncRequest: {
          peer.remote_frame = p.sync.frame;
          peer.stats.remote_advantage = p.sync.advantage;
          Packet reply;
          reply.header.kind = PacketKind::SyncReply;
          reply.sync = SyncBody{p.sync.nonce, p.sync.time, toFrame(current), 0};
          sendPacket(s, reply);
          break;
        }
        case PacketKind::SyncReply:
          if (p.sync.nonce != peer.pending_nonce || p.sync.time > now) break;
          peer.pending_nonce = 0;
          peer.stats.round_trip_us = now - p.sync.time;
          peer.remote_frame = p.sync.frame;
          if (peer.state == PeerState::Synchronizing &&
              ++peer.sync_replies >= config.sync_roundtrips) {
            peer.state = PeerState::Running;
            push(Event{EventKind::Connected, static_cast<PlayerHandle>(s), toFrame(current), 0, 0});
            updateRunning();
          }
          // Another request at once while synchronizing, to connect in a few round trips.
          if (peer.state == PeerState::Synchronizing) sendSyncRequest(s, now);
          break;
        case PacketKind::Disconnect:
          disconnectPeer(s);
          break;
        case PacketKind::BlobChunk:
          onChunk(s, p.chunk);
          break;
        case PacketKind::BlobAck:
          onBlobAck(peer, p.blob_ack, false);
          break;
        case PacketKind::Holdings:
          onHoldings(s, p.holdings);
          break;
      }
    }
    for (std::size_t i = 0; i < peers.size(); ++i) {
      Peer& peer = peers[i];
      if (i == config.local_player || peer.state == PeerState::Disconnected ||
          peer.state == PeerState::Synchronizing) {
        continue;
      }
      const std::uint64_t silent = now - std::min(now, peer.last_received);
      if (silent >= config.disconnect_after_us) {
        disconnectPeer(i);
      } else if (silent >= config.interrupt_after_us && peer.state == PeerState::Running) {
        peer.state = PeerState::Interrupted;
        push(Event{EventKind::Interrupted, static_cast<PlayerHandle>(i), toFrame(current), 0, 0});
      }
    }
    updateEnds();
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (i != config.local_player) peers[i].stats.local_advantage = advantage(i);
    }
  }

  // Digests of the frames that became final, compared with what the peers sent of them.
  void finalize() noexcept {
    const std::int64_t now_final = std::min(finalBound() + 1, current);
    for (std::int64_t f = final_through + 1; f <= now_final; ++f) {
      if (config.digest_interval == 0 || f % config.digest_interval != 0) continue;
      newest_digest_frame = f;
      const std::size_t slot = static_cast<std::size_t>(f) % ring();
      for (std::size_t i = 0; i < peers.size(); ++i) {
        Peer& peer = peers[i];
        if (i != config.local_player && peer.remote_digest_frame[slot] == f) {
          compareDigest(i, f, peer.remote_digest[slot]);
        }
      }
    }
    final_through = std::max(final_through, now_final);
  }
};

std::expected<P2PSession, LockstepError> P2PSession::init(
    const SessionConfig& config, std::span<const PeerAddress> peers, Transport& transport,
    Clock& clock, std::pmr::memory_resource* allocator) noexcept {
  if (config.players == 0 || config.players > MAX_PLAYERS || config.input_size == 0 ||
      config.local_player >= config.players || peers.size() != config.players ||
      config.max_prediction == 0 || config.max_prediction > MAX_PREDICTION_FRAMES ||
      config.input_delay > MAX_INPUT_DELAY || config.sync_roundtrips == 0) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  std::pmr::memory_resource* r =
      allocator != nullptr ? allocator : std::pmr::get_default_resource();
  std::pmr::polymorphic_allocator<State> alloc(r);
  State* s = nullptr;
  try {
    s = alloc.new_object<State>(r);
    s->config = config;
    s->transport = &transport;
    s->clock = &clock;
    const std::size_t ring = detail::InputRing::FRAMES;
    s->peers.reserve(config.players);
    s->spectators.reserve(MAX_SPECTATORS);
    for (std::size_t i = 0; i < config.players; ++i) {
      s->peers.emplace_back(r);
      s->peers[i].address = peers[i];
      s->peers[i].remote_digest_frame.assign(ring, NONE);
      s->peers[i].remote_digest.assign(ring, 0);
      s->peers[i].last_received = clock.nowMicros();
    }
    for (std::size_t i = 0; i < config.players; ++i) s->voters[i] = s->sessionMask(i);
    s->inputs.init(config.players, config.input_size);
    s->used.init(config.players, config.input_size);
    s->digest_frame.assign(ring, NONE);
    s->digest.assign(ring, 0);
    s->events.reserveRoom();
    s->player_inputs.resize(config.players);
    s->zeros.assign(config.input_size, std::byte{0});
  } catch (const std::bad_alloc&) {
    if (s != nullptr) alloc.delete_object(s);
    return std::unexpected(LockstepError::OutOfMemory);
  }
  // The local player's inputs of the first input_delay frames are zero, on every peer alike.
  State::Peer& local = s->local();
  local.state = PeerState::Running;
  for (std::int64_t f = 0; f < static_cast<std::int64_t>(config.input_delay); ++f) {
    s->inputs.store(config.local_player, f, s->zeros);
    local.confirmed = f;
  }
  s->updateRunning();
  return P2PSession(s);
}

P2PSession::P2PSession(P2PSession&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)) {}

P2PSession& P2PSession::operator=(P2PSession&& other) noexcept {
  detail::takeOverState(state_, other.state_);
  return *this;
}

P2PSession::~P2PSession() { deinit(); }

void P2PSession::deinit() noexcept { detail::destroyState(state_); }

void P2PSession::poll() noexcept {
  if (state_ == nullptr || state_->failed) return;
  state_->receive();
  state_->sendRound();
}

void P2PSession::disconnect() noexcept {
  if (state_ == nullptr) return;
  for (std::size_t i = 0; i < state_->peers.size(); ++i) {
    if (i == state_->config.local_player || state_->peers[i].state == PeerState::Disconnected) {
      continue;
    }
    Packet p;
    p.header.kind = PacketKind::Disconnect;
    state_->sendPacket(i, p);
  }
}

std::expected<AdvanceStatus, LockstepError> P2PSession::advanceFrame(
    std::span<const std::byte> local_input, Game& game) noexcept {
  if (state_ == nullptr || state_->failed) return std::unexpected(LockstepError::SessionFailed);
  State& s = *state_;
  if (local_input.size() != s.config.input_size) {
    return std::unexpected(LockstepError::WrongInputSize);
  }
  s.receive();
  if (!s.running) {
    s.sendRound();
    return AdvanceStatus::Synchronizing;
  }
  auto fail = [&]() -> std::expected<AdvanceStatus, LockstepError> {
    s.failed = true;
    return std::unexpected(LockstepError::StateCallbackFailed);
  };
  if (!s.saved_start) {
    if (!s.save(game, 0)) return fail();
    s.saved_start = true;
  }
  if (s.first_incorrect != NONE && s.first_incorrect < s.current) {
    const std::int64_t from = s.first_incorrect;
    if (!game.loadState(static_cast<Frame>(from))) return fail();
    for (std::int64_t f = from; f < s.current; ++f) {
      s.simulate(game, f);
      if (!s.save(game, f + 1)) return fail();
    }
    ++s.rollbacks;
    s.resimulated += static_cast<std::uint64_t>(s.current - from);
  }
  s.first_incorrect = NONE;
  s.finalize();
  s.serveStates(game);

  const std::int64_t next_local = s.current + s.config.input_delay;
  // Ahead by no more than max_prediction of the frame every peer holds every input before: a
  // rollback (a late input, or the agreed end of a player that left, which is never earlier)
  // then goes back no further than the states the program keeps.
  const bool too_far = s.current - s.finalBound(false) > s.config.max_prediction;
  const bool unacked =
      next_local - s.minAcked() >= static_cast<std::int64_t>(MAX_INPUTS_PER_PACKET);
  if (too_far || unacked) {
    s.sendRound();
    return AdvanceStatus::WaitingForInputs;
  }
  s.inputs.store(s.config.local_player, next_local, local_input);
  s.local().confirmed = next_local;
  s.simulate(game, s.current);
  ++s.current;
  if (!s.save(game, s.current)) return fail();
  s.finalize();
  s.sendRound();
  return AdvanceStatus::Advanced;
}

std::expected<void, LockstepError> P2PSession::addSpectator(PeerAddress address) noexcept {
  if (state_ == nullptr || state_->failed) return std::unexpected(LockstepError::SessionFailed);
  State& s = *state_;
  const bool taken =
      std::ranges::any_of(s.peers, [&](const State::Peer& p) { return p.address == address; }) ||
      s.spectatorAt(address) != nullptr;
  if (taken || s.spectators.size() == MAX_SPECTATORS ||
      std::size_t{s.config.players} * s.config.input_size > MAX_INPUT_SIZE) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  // Within the room reserved by init: no allocation.
  State::Peer& spectator = s.spectators.emplace_back(s.allocator);
  spectator.address = address;
  spectator.state = PeerState::Running;
  spectator.last_received = s.clock->nowMicros();
  return {};
}

std::expected<void, LockstepError> P2PSession::requestDesyncReport(const Event& desync,
                                                                   Game& game) noexcept {
  if (state_ == nullptr || state_->failed) return std::unexpected(LockstepError::SessionFailed);
  State& s = *state_;
  if (desync.kind != EventKind::Desync || desync.player >= s.peers.size() ||
      desync.player == s.config.local_player ||
      s.peers[desync.player].state == PeerState::Disconnected) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  const std::span<const std::byte> mine = game.stateBytes(desync.frame);
  if (mine.empty()) return std::unexpected(LockstepError::InvalidConfig);
  try {
    s.report_local.assign(mine.begin(), mine.end());
  } catch (const std::bad_alloc&) {
    return std::unexpected(LockstepError::OutOfMemory);
  }
  for (State::Peer& p : s.peers) p.wanted = NONE;
  s.peers[desync.player].wanted = desync.frame;
  return {};
}

std::optional<DesyncReport> P2PSession::desyncReport() const noexcept {
  return state_ == nullptr ? std::nullopt : state_->report;
}

std::optional<Event> P2PSession::nextEvent() noexcept {
  if (state_ == nullptr) return std::nullopt;
  return state_->events.next();
}

Frame P2PSession::currentFrame() const noexcept {
  return state_ == nullptr ? 0 : static_cast<Frame>(state_->current);
}

Frame P2PSession::confirmedFrame() const noexcept {
  return state_ == nullptr ? NO_FRAME : toFrame(state_->final_through);
}

std::optional<std::uint64_t> P2PSession::confirmedDigest(Frame frame) const noexcept {
  if (state_ == nullptr || frame == NO_FRAME) return std::nullopt;
  const auto f = static_cast<std::int64_t>(frame);
  const std::size_t slot = frame % detail::InputRing::FRAMES;
  if (f > state_->final_through || state_->digest_frame[slot] != f) return std::nullopt;
  return state_->digest[slot];
}

std::uint32_t P2PSession::recommendedWaitFrames() const noexcept {
  if (state_ == nullptr) return 0;
  std::int64_t wait = 0;
  for (std::size_t i = 0; i < state_->peers.size(); ++i) {
    const State::Peer& p = state_->peers[i];
    if (i == state_->config.local_player || p.state != PeerState::Running) continue;
    wait = std::max<std::int64_t>(
        wait, (std::int64_t{p.stats.local_advantage} - p.stats.remote_advantage) / 2);
  }
  return static_cast<std::uint32_t>(wait);
}

PeerStats P2PSession::stats(PlayerHandle player) const noexcept {
  if (state_ == nullptr || player >= state_->peers.size()) return {};
  return state_->peers[player].stats;
}

const DropCounters& P2PSession::dropped() const noexcept {
  static const DropCounters none{};
  return state_ == nullptr ? none : state_->dropped;
}

std::uint64_t P2PSession::rollbacks() const noexcept {
  return state_ == nullptr ? 0 : state_->rollbacks;
}

std::uint64_t P2PSession::resimulatedFrames() const noexcept {
  return state_ == nullptr ? 0 : state_->resimulated;
}

}  // namespace nemra_lockstep
