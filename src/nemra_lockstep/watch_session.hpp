// A spectator: a peer that sends no input to the session but follows it, receiving from one host
// (a P2PSession that added it with addSpectator) every player's confirmed inputs and simulating
// the same frames. It never predicts and never rolls back: it simulates a frame once all its
// inputs are here. It starts from frame 0, or, joining late, from the host's newest confirmed
// state, which the host sends it first in a reliable blob. The host's digests come with the
// inputs; one that differs from the spectator's is a Desync event.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_WATCH_SESSION_HPP)
#define NEMRA_LOCKSTEP_WATCH_SESSION_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/transport.hpp>
#include <optional>
#include <span>

namespace nemra_lockstep {

struct SpectatorConfig {
  std::uint32_t session_id = 0;
  // As the players' session has them.
  std::uint8_t input_size = 1;
  std::uint8_t players = 2;
  // Start from the host's newest confirmed state (Game::loadStateBytes) rather than frame 0.
  bool join_late = false;
  // How often the request for the state goes again while nothing of it has come.
  std::uint64_t request_interval_us = 100000;
  // Silence of the host (counted from init until it first answers) after which it is
  // interrupted, and after which it is disconnected: a host that never answers, or stops, is
  // reported rather than waited for.
  std::uint64_t interrupt_after_us = 500000;
  std::uint64_t disconnect_after_us = 5000000;
};

class NEMRA_API SpectatorSession {
 public:
  // A spectator of the session `config` names, served by the host at `host`, sending through
  // `transport` and pacing by `clock`, which outlive it. Errors: InvalidConfig (no players, an
  // input size of 0, all players' inputs together longer than MAX_INPUT_SIZE), OutOfMemory.
  [[nodiscard]] static std::expected<SpectatorSession, LockstepError> init(
      const SpectatorConfig& config, PeerAddress host, Transport& transport, Clock& clock,
      std::pmr::memory_resource* allocator) noexcept;
  SpectatorSession(SpectatorSession&& other) noexcept;
  SpectatorSession& operator=(SpectatorSession&& other) noexcept;
  SpectatorSession(const SpectatorSession&) = delete;
  SpectatorSession& operator=(const SpectatorSession&) = delete;
  ~SpectatorSession();
  void deinit() noexcept;

  // Receives; when the state of a late join has come whole, loads it (Game::loadStateBytes) and
  // saves it; then simulates the next frame if all its inputs are here, and saves its state.
  // Synchronizing: the state has not come yet; WaitingForInputs: the inputs have not. Errors:
  // StateCallbackFailed (the load or a save failed: the session stops), SessionFailed.
  [[nodiscard]] std::expected<AdvanceStatus, LockstepError> advanceFrame(Game& game) noexcept;
  // Receives and sends without simulating.
  void poll() noexcept;
  // Tells the host this spectator leaves.
  void disconnect() noexcept;

  // Desync events (the host's digest differs); Interrupted and Resumed (the host fell silent for
  // interrupt_after_us, then was heard again); Disconnected (the host left, or was silent for
  // disconnect_after_us: nothing more is sent to it or taken from it), oldest first.
  [[nodiscard]] std::optional<Event> nextEvent() noexcept;
  // The frame simulated next; the first frame (NO_FRAME until a late joiner knows it).
  [[nodiscard]] Frame currentFrame() const noexcept;
  [[nodiscard]] Frame startFrame() const noexcept;
  // Frames whose inputs are all here and which are not simulated yet: a program behind calls
  // advanceFrame more than once a frame until it has caught up.
  [[nodiscard]] std::uint32_t framesBehind() const noexcept;
  // The digest of the state at the start of `frame`, while the spectator still holds it.
  [[nodiscard]] std::optional<std::uint64_t> digest(Frame frame) const noexcept;
  [[nodiscard]] const DropCounters& dropped() const noexcept;
  // Packets and bytes sent to the host, packets received from it.
  [[nodiscard]] PeerStats stats() const noexcept;

 private:
  struct State;
  explicit SpectatorSession(State* state) noexcept : state_(state) {}
  State* state_ = nullptr;
};

}  // namespace nemra_lockstep

#endif
