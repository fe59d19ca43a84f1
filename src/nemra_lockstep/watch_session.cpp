#include <algorithm>
#include <array>
#include <nemra_lockstep/blob_transfer.hpp>
#include <nemra_lockstep/detail/drops.hpp>
#include <nemra_lockstep/detail/event_queue.hpp>
#include <nemra_lockstep/detail/input_ring.hpp>
#include <nemra_lockstep/detail/owned_state.hpp>
#include <nemra_lockstep/watch_session.hpp>
#include <new>
#include <utility>

namespace nemra_lockstep {

namespace {

constexpr std::int64_t NONE = -1;
// Inputs this far or further ahead of the frame simulated next are not stored yet (the host sends
// them again), so that the ring never wraps onto a frame not yet simulated.
constexpr auto ACCEPT_AHEAD = static_cast<std::int64_t>(detail::InputRing::FRAMES);

Frame toFrame(std::int64_t f) noexcept { return f < 0 ? NO_FRAME : static_cast<Frame>(f); }

}  // namespace

struct SpectatorSession::State {
  explicit State(std::pmr::memory_resource* r) noexcept
      : allocator(r),
        inputs(r),
        digest_frame(r),
        digest(r),
        remote_frame(r),
        remote_digest(r),
        events(r),
        player_inputs(r),
        blob(BlobReceiver::init(MAX_BLOB_SIZE, r)) {}

  std::pmr::memory_resource* allocator;
  SpectatorConfig config;
  PeerAddress host;
  Transport* transport = nullptr;
  Clock* clock = nullptr;
  bool failed = false;
  // The state the simulation starts from is here (frame 0's, or the late join's, loaded).
  bool ready = false;
  std::int64_t start = NONE;
  std::int64_t current = 0;
  // Every frame's inputs up to this one are held.
  std::int64_t held = NONE;
  std::uint64_t last_request = 0;
  bool requested = false;
  // When the host was last heard (init's time until then), and what its silence led to.
  std::uint64_t last_heard = 0;
  bool interrupted = false;
  bool disconnected = false;
  // The host's player handle, as its packets give it.
  PlayerHandle host_player = 0;
  std::uint16_t next_sequence = 0;
  PeerStats stats;
  DropCounters dropped;
  // All players' inputs of a frame side by side, as the host sends them.
  detail::InputRing inputs;
  std::pmr::vector<std::int64_t> digest_frame;
  std::pmr::vector<std::uint64_t> digest;
  std::pmr::vector<std::int64_t> remote_frame;
  std::pmr::vector<std::uint64_t> remote_digest;
  detail::EventQueue events;
  std::pmr::vector<PlayerInput> player_inputs;
  BlobReceiver blob;

  std::size_t frameSize() const noexcept { return std::size_t{config.players} * config.input_size; }
  static std::size_t slot(std::int64_t f) noexcept {
    return static_cast<std::size_t>(f) % detail::InputRing::FRAMES;
  }

  void push(const Event& e) noexcept { events.push(e); }

  void send(Packet& p) noexcept {
    p.header.session = config.session_id;
    p.header.sender = 0xFF;  // no player's
    p.header.sequence = next_sequence++;
    std::array<std::byte, MAX_PACKET_SIZE> buffer{};
    const std::size_t n = encodePacket(p, buffer);
    if (n == 0) return;
    transport->send(host, std::span(buffer).first(n));
    ++stats.packets_sent;
    stats.bytes_sent += n;
  }

  void compare(std::int64_t f, Frame sender) noexcept {
    const std::size_t i = slot(f);
    if (digest_frame[i] == f && remote_frame[i] == f && digest[i] != remote_digest[i]) {
      push(Event{EventKind::Desync, static_cast<PlayerHandle>(sender), static_cast<Frame>(f),
                 digest[i], remote_digest[i]});
      remote_frame[i] = NONE;  // reported once
    }
  }

  // Receives what came, then reports the host's silence.
  void receive() noexcept {
    if (disconnected) return;
    receivePackets();
    if (disconnected) return;
    const std::uint64_t now = clock->nowMicros();
    const std::uint64_t silent = now - std::min(now, last_heard);
    if (silent >= config.disconnect_after_us) {
      disconnected = true;
      push(Event{EventKind::Disconnected, host_player, toFrame(current), 0, 0});
    } else if (silent >= config.interrupt_after_us && !interrupted) {
      interrupted = true;
      push(Event{EventKind::Interrupted, host_player, toFrame(current), 0, 0});
    }
  }

  void receivePackets() noexcept {
    std::array<std::byte, MAX_PACKET_SIZE + 1> buffer{};
    PeerAddress from;
    while (auto n = transport->receive(from, buffer)) {
      const auto decoded =
          decodePacket(std::span(buffer).first(std::min(*n, buffer.size())), config.session_id);
      if (!decoded) {
        detail::countDrop(dropped, decoded.error());
        continue;
      }
      if (!(from == host)) {
        ++dropped.unknown_sender;
        continue;
      }
      const Packet& p = *decoded;
      ++stats.packets_received;
      last_heard = clock->nowMicros();
      host_player = p.header.sender;
      if (interrupted) {
        interrupted = false;
        push(Event{EventKind::Resumed, host_player, toFrame(current), 0, 0});
      }
      switch (p.header.kind) {
        case PacketKind::Input:
          if (p.input.input_size != frameSize()) {
            ++dropped.malformed;
            break;
          }
          for (std::size_t k = 0; start != NONE && k < p.input.count; ++k) {
            const std::int64_t f = std::int64_t{p.input.first_frame} + static_cast<std::int64_t>(k);
            if (f != held + 1) continue;
            if (f >= current + ACCEPT_AHEAD) break;
            inputs.store(0, f, p.input.inputs.subspan(k * frameSize(), frameSize()));
            held = f;
          }
          break;
        case PacketKind::Digest: {
          const std::int64_t f = p.digest.frame;
          if (f + static_cast<std::int64_t>(detail::InputRing::FRAMES) <= current) break;
          remote_frame[slot(f)] = f;
          remote_digest[slot(f)] = p.digest.digest;
          compare(f, p.header.sender);
          break;
        }
        case PacketKind::BlobChunk: {
          if (!config.join_late || ready) break;
          auto ack = blob.onChunk(p.chunk);
          if (!ack) {
            ++dropped.malformed;
            break;
          }
          // The blob's id is the frame of the state: the inputs from there on are the ones needed.
          if (start == NONE) {
            start = p.chunk.id;
            held = start - 1;
            current = start;
          }
          Packet reply;
          reply.header.kind = PacketKind::BlobAck;
          reply.blob_ack = *ack;
          send(reply);
          break;
        }
        case PacketKind::Disconnect:
          disconnected = true;
          push(Event{EventKind::Disconnected, p.header.sender, toFrame(current), 0, 0});
          return;
        default:
          break;
      }
    }
  }

  void sendRound() noexcept {
    if (disconnected) return;
    const std::uint64_t now = clock->nowMicros();
    if (config.join_late && start == NONE) {
      // Asks for the newest confirmed state until a chunk of it comes.
      if (requested && now - last_request < config.request_interval_us) return;
      requested = true;
      last_request = now;
      Packet ask;
      ask.header.kind = PacketKind::BlobAck;
      ask.blob_ack = BlobAckBody{NO_FRAME, 0, 0};
      send(ask);
      return;
    }
    Packet ack;
    ack.header.kind = PacketKind::InputAck;
    ack.input.current_frame = toFrame(current);
    ack.input.ack_frame = toFrame(held);
    send(ack);
  }

  bool save(Game& game, std::int64_t f) noexcept {
    auto d = game.saveState(static_cast<Frame>(f));
    if (!d) return false;
    digest_frame[slot(f)] = f;
    digest[slot(f)] = *d;
    compare(f, 0);
    return true;
  }
};

std::expected<SpectatorSession, LockstepError> SpectatorSession::init(
    const SpectatorConfig& config, PeerAddress host, Transport& transport, Clock& clock,
    std::pmr::memory_resource* allocator) noexcept {
  if (config.players == 0 || config.players > MAX_PLAYERS || config.input_size == 0 ||
      std::size_t{config.players} * config.input_size > MAX_INPUT_SIZE) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  std::pmr::memory_resource* r =
      allocator != nullptr ? allocator : std::pmr::get_default_resource();
  std::pmr::polymorphic_allocator<State> alloc(r);
  State* s = nullptr;
  try {
    s = alloc.new_object<State>(r);
    const std::size_t ring = detail::InputRing::FRAMES;
    s->inputs.init(1, std::size_t{config.players} * config.input_size);
    s->digest_frame.assign(ring, NONE);
    s->digest.assign(ring, 0);
    s->remote_frame.assign(ring, NONE);
    s->remote_digest.assign(ring, 0);
    s->events.reserveRoom();
    s->player_inputs.resize(config.players);
  } catch (const std::bad_alloc&) {
    if (s != nullptr) alloc.delete_object(s);
    return std::unexpected(LockstepError::OutOfMemory);
  }
  s->config = config;
  s->host = host;
  s->transport = &transport;
  s->clock = &clock;
  s->last_heard = clock.nowMicros();
  if (!config.join_late) s->start = 0;
  return SpectatorSession(s);
}

SpectatorSession::SpectatorSession(SpectatorSession&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)) {}

SpectatorSession& SpectatorSession::operator=(SpectatorSession&& other) noexcept {
  detail::takeOverState(state_, other.state_);
  return *this;
}

SpectatorSession::~SpectatorSession() { deinit(); }

void SpectatorSession::deinit() noexcept { detail::destroyState(state_); }

std::expected<AdvanceStatus, LockstepError> SpectatorSession::advanceFrame(Game& game) noexcept {
  if (state_ == nullptr || state_->failed) return std::unexpected(LockstepError::SessionFailed);
  State& s = *state_;
  s.receive();
  auto fail = [&]() -> std::expected<AdvanceStatus, LockstepError> {
    s.failed = true;
    return std::unexpected(LockstepError::StateCallbackFailed);
  };
  if (!s.ready) {
    if (s.config.join_late) {
      if (!s.blob.complete()) {
        s.sendRound();
        return AdvanceStatus::Synchronizing;
      }
      if (!game.loadStateBytes(static_cast<Frame>(s.start), s.blob.bytes())) return fail();
      s.blob.deinit();
    }
    if (!s.save(game, s.start)) return fail();
    s.ready = true;
  }
  if (s.current > s.held) {
    s.sendRound();
    return AdvanceStatus::WaitingForInputs;
  }
  const std::span<const std::byte> frame = s.inputs.at(0, s.current);
  for (std::size_t i = 0; i < s.player_inputs.size(); ++i) {
    s.player_inputs[i] = PlayerInput{frame.subspan(i * s.config.input_size, s.config.input_size),
                                     InputStatus::Confirmed};
  }
  game.advanceFrame(static_cast<Frame>(s.current), s.player_inputs);
  ++s.current;
  if (!s.save(game, s.current)) return fail();
  s.sendRound();
  return AdvanceStatus::Advanced;
}

void SpectatorSession::poll() noexcept {
  if (state_ == nullptr || state_->failed) return;
  state_->receive();
  state_->sendRound();
}

void SpectatorSession::disconnect() noexcept {
  if (state_ == nullptr) return;
  Packet p;
  p.header.kind = PacketKind::Disconnect;
  state_->send(p);
}

std::optional<Event> SpectatorSession::nextEvent() noexcept {
  if (state_ == nullptr) return std::nullopt;
  return state_->events.next();
}

Frame SpectatorSession::currentFrame() const noexcept {
  return state_ == nullptr ? 0 : static_cast<Frame>(state_->current);
}

Frame SpectatorSession::startFrame() const noexcept {
  return state_ == nullptr ? NO_FRAME : toFrame(state_->start);
}

std::uint32_t SpectatorSession::framesBehind() const noexcept {
  if (state_ == nullptr || state_->held < state_->current) return 0;
  return static_cast<std::uint32_t>(state_->held - state_->current + 1);
}

std::optional<std::uint64_t> SpectatorSession::digest(Frame frame) const noexcept {
  if (state_ == nullptr || frame == NO_FRAME) return std::nullopt;
  const std::size_t i = State::slot(frame);
  if (state_->digest_frame[i] != std::int64_t{frame}) return std::nullopt;
  return state_->digest[i];
}

const DropCounters& SpectatorSession::dropped() const noexcept {
  static const DropCounters none{};
  return state_ == nullptr ? none : state_->dropped;
}

PeerStats SpectatorSession::stats() const noexcept {
  return state_ == nullptr ? PeerStats{} : state_->stats;
}

}  // namespace nemra_lockstep
