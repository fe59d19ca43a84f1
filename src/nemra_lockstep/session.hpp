// A peer-to-peer rollback session: every peer adds its one local input a frame, the session sends
// it to the others (each packet repeating what they have not acknowledged), predicts the inputs
// not yet arrived, and when an input arrives that differs from its prediction has the program
// load the state of that frame and simulate again to the present. Digests of confirmed frames are
// exchanged at an interval, and a difference is raised as a desync event. The session reads no
// clock but the Clock it is given, and only to pace packets and measure the network: the frames
// it simulates and their inputs depend on nothing but the inputs.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_SESSION_HPP)
#define NEMRA_LOCKSTEP_SESSION_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/packet.hpp>
#include <nemra_lockstep/transport.hpp>
#include <optional>
#include <span>
#include <vector>

namespace nemra_lockstep {

// A player's place in the session, 0 .. players − 1, the same on every peer.
using PlayerHandle = std::uint8_t;

inline constexpr std::uint32_t MAX_PREDICTION_FRAMES = 64;
inline constexpr std::uint32_t MAX_INPUT_DELAY = 32;
// Spectators one peer can serve.
inline constexpr std::size_t MAX_SPECTATORS = 8;

struct SessionConfig {
  std::uint32_t session_id = 0;
  // Bytes of one player's input for one frame (1 .. MAX_INPUT_SIZE).
  std::uint8_t input_size = 1;
  // The players, each on its own peer; this peer's is `local_player`.
  std::uint8_t players = 2;
  PlayerHandle local_player = 0;
  // The local input given at frame f is the input of frame f + input_delay.
  std::uint32_t input_delay = 2;
  // How many frames the session runs ahead of the last frame whose inputs it all has.
  std::uint32_t max_prediction = 8;
  // Digests of confirmed frames that are multiples of it are exchanged; 0: none.
  std::uint32_t digest_interval = 8;
  // The duration of one frame, for the frame advantage.
  std::uint64_t frame_us = 16667;
  // Sync requests: replies needed before a peer counts as connected, and the pace of requests.
  std::uint32_t sync_roundtrips = 4;
  std::uint64_t sync_interval_us = 200000;
  // Silence after which a peer is interrupted, and after which it is disconnected.
  std::uint64_t interrupt_after_us = 500000;
  std::uint64_t disconnect_after_us = 5000000;
};

enum class EventKind : std::uint8_t {
  // The peer answered enough sync requests; frames run once every peer has.
  Connected,
  // Nothing came from the peer for interrupt_after_us; then something came again.
  Interrupted,
  Resumed,
  // The peer left, was silent for disconnect_after_us, or another peer let it go. Its inputs
  // are zero after the last frame that every peer still in the session holds; `frame` is the
  // first frame after that as known now (it may move later as the peers' holdings come in).
  Disconnected,
  // The peer's digest of confirmed frame `frame` differs from this peer's.
  Desync,
  // The peer's state of `frame`, asked for by requestDesyncReport, came and was compared with
  // this peer's: desyncReport() says where they first differ.
  DesyncReport,
};

struct Event {
  EventKind kind = EventKind::Connected;
  PlayerHandle player = 0;
  Frame frame = 0;
  std::uint64_t local_digest = 0;
  std::uint64_t remote_digest = 0;
};

struct PeerStats {
  // The last measured round trip, in microseconds (0 before the first).
  std::uint64_t round_trip_us = 0;
  // Frames this peer is ahead of the other by its own measure, and the other's measure of the
  // same.
  std::int32_t local_advantage = 0;
  std::int32_t remote_advantage = 0;
  std::uint64_t packets_sent = 0;
  std::uint64_t bytes_sent = 0;
  std::uint64_t packets_received = 0;
  // Gaps in the sequence numbers of the packets received from the peer.
  std::uint64_t packets_lost = 0;
};

// Datagrams refused and dropped, by reason.
struct DropCounters {
  std::uint64_t truncated = 0;
  std::uint64_t oversized = 0;
  std::uint64_t garbage = 0;
  std::uint64_t wrong_session = 0;
  std::uint64_t malformed = 0;
  // A well-formed packet whose sender is not the peer of that address, or this peer itself.
  std::uint64_t unknown_sender = 0;
};

// Where this peer's state of a desync frame and the peer's first differ.
struct DesyncReport {
  PlayerHandle player = 0;
  Frame frame = 0;
  // Whether the peer's bytes were a snapshot diffSnapshots could compare with this peer's; when
  // not, `difference` says nothing.
  bool compared = false;
  nemra_ecs::SnapshotDifference difference;
};

enum class AdvanceStatus : std::uint8_t {
  // A frame was simulated.
  Advanced,
  // Not every peer has answered the sync requests yet; nothing was simulated.
  Synchronizing,
  // The session is max_prediction frames ahead of the inputs it has; nothing was simulated.
  WaitingForInputs,
};

class NEMRA_API P2PSession {
 public:
  // A session of `config` whose peers are at peers[p] (peers[local_player] is not used), sending
  // through `transport` and pacing by `clock`, both of which outlive it. Allocates all the
  // session's storage from `allocator` (nullptr: the default resource). Errors: InvalidConfig,
  // OutOfMemory.
  [[nodiscard]] static std::expected<P2PSession, LockstepError> init(
      const SessionConfig& config, std::span<const PeerAddress> peers, Transport& transport,
      Clock& clock, std::pmr::memory_resource* allocator) noexcept;
  P2PSession(P2PSession&& other) noexcept;
  P2PSession& operator=(P2PSession&& other) noexcept;
  P2PSession(const P2PSession&) = delete;
  P2PSession& operator=(const P2PSession&) = delete;
  ~P2PSession();
  // Releases the session's storage; the session is then empty.
  void deinit() noexcept;

  // Receives, rolls back if a prediction was wrong, then, unless it must wait, takes
  // `local_input` as the input of frame currentFrame() + input_delay and simulates one frame;
  // sends in any case. When it does not advance the input is not taken. Errors: WrongInputSize
  // (nothing done), StateCallbackFailed, SessionFailed.
  [[nodiscard]] std::expected<AdvanceStatus, LockstepError> advanceFrame(
      std::span<const std::byte> local_input, Game& game) noexcept;
  // Receives and sends without simulating (between frames, or while waiting).
  void poll() noexcept;
  // Tells every peer this one leaves.
  void disconnect() noexcept;

  // Serves a spectator at `address` (SpectatorSession): once it asks, it is sent every player's
  // confirmed inputs, from frame 0 or, for one that joins late, from the newest confirmed frame
  // whose state (Game::stateBytes) it is sent first, and the digests. A spectator that falls so
  // far behind that its inputs are no longer held is dropped. Errors: InvalidConfig (already
  // MAX_SPECTATORS, an address of a player or spectator, or the inputs of all players together
  // longer than MAX_INPUT_SIZE), SessionFailed.
  [[nodiscard]] std::expected<void, LockstepError> addSpectator(PeerAddress address) noexcept;

  // Asks the peer of a Desync event for its state of the event's frame and keeps a copy of this
  // peer's own (Game::stateBytes), to compare them when the peer's arrives: then a DesyncReport
  // event, and desyncReport(). The peer must still keep that frame's state when the request
  // reaches it; one that does not leaves it unanswered. A new request replaces an unanswered one.
  // Errors: InvalidConfig (not a Desync event, a peer that left, no state of that frame here),
  // OutOfMemory, SessionFailed.
  [[nodiscard]] std::expected<void, LockstepError> requestDesyncReport(const Event& desync,
                                                                       Game& game) noexcept;
  // The report of the last answered request.
  [[nodiscard]] std::optional<DesyncReport> desyncReport() const noexcept;

  // The next event, oldest first.
  [[nodiscard]] std::optional<Event> nextEvent() noexcept;

  // The frame simulated next.
  [[nodiscard]] Frame currentFrame() const noexcept;
  // The last frame whose state is final: every input before it is confirmed and was used. NO_FRAME
  // before frame 0 was saved.
  [[nodiscard]] Frame confirmedFrame() const noexcept;
  // The digest of final frame `frame`, while the session still holds it.
  [[nodiscard]] std::optional<std::uint64_t> confirmedDigest(Frame frame) const noexcept;
  // Frames the program should skip (not advance) to let slower peers catch up: half of how much
  // further ahead this peer is than the others say they are; 0 when it is not ahead.
  [[nodiscard]] std::uint32_t recommendedWaitFrames() const noexcept;

  [[nodiscard]] PeerStats stats(PlayerHandle player) const noexcept;
  [[nodiscard]] const DropCounters& dropped() const noexcept;
  // Rollbacks done, and frames simulated again by them.
  [[nodiscard]] std::uint64_t rollbacks() const noexcept;
  [[nodiscard]] std::uint64_t resimulatedFrames() const noexcept;

 private:
  struct State;
  explicit P2PSession(State* state) noexcept : state_(state) {}
  // Allocated from the session's allocator, which it holds.
  State* state_ = nullptr;
};

}  // namespace nemra_lockstep

#endif
