// What a session asks of the program: save the state at the start of a frame (and say its
// digest), load a saved state, and advance one frame with every player's input. The session calls
// these in the order a rollback needs, from inside its own advanceFrame; the program never has to
// keep a list of requests. Callbacks rather than a list of requests, because a rollback is a
// strict sequence (load, then advance and save, frame by frame) whose digests the session must
// see as they are produced, and because a game loop then needs no allocation per frame.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_GAME_HPP)
#define NEMRA_LOCKSTEP_GAME_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <nemra_lockstep/packet.hpp>
#include <optional>
#include <span>
#include <string_view>

#include <nemra_ecs/snapshot_diff.hpp>

namespace nemra_lockstep {

enum class LockstepError : std::uint8_t {
  // Memory ran out building the session; nothing was built.
  OutOfMemory,
  // A configuration out of range (no players, an input size of 0, too long a prediction ...).
  InvalidConfig,
  // The input given is not of the session's input size.
  WrongInputSize,
  // The program's save or load failed. The session stops: every later call returns SessionFailed.
  StateCallbackFailed,
  // An earlier call failed in a way that leaves the session unusable.
  SessionFailed,
};

// "OutOfMemory", "InvalidConfig", "WrongInputSize", "StateCallbackFailed", "SessionFailed".
[[nodiscard]] constexpr std::string_view lockstepErrorName(LockstepError error) noexcept {
  switch (error) {
    case LockstepError::OutOfMemory:
      return "OutOfMemory";
    case LockstepError::InvalidConfig:
      return "InvalidConfig";
    case LockstepError::WrongInputSize:
      return "WrongInputSize";
    case LockstepError::StateCallbackFailed:
      return "StateCallbackFailed";
    case LockstepError::SessionFailed:
      return "SessionFailed";
  }
  return "UnknownLockstepError";
}

enum class InputStatus : std::uint8_t {
  // The player's own input for the frame.
  Confirmed,
  // A guess (the player's last confirmed input); a rollback replaces it if it was wrong.
  Predicted,
  // The player left; the input is all zero bytes.
  Disconnected,
};

struct PlayerInput {
  std::span<const std::byte> bytes;
  InputStatus status = InputStatus::Confirmed;
};

class Game {
 public:
  virtual ~Game() = default;
  // Keeps the state at the start of `frame` (after frames 0 .. frame − 1) and returns its digest.
  // The session needs the states of the last max_prediction + 1 frames kept.
  [[nodiscard]] virtual std::expected<std::uint64_t, LockstepError> saveState(Frame frame) = 0;
  // Makes the state the one kept for `frame`.
  [[nodiscard]] virtual std::expected<void, LockstepError> loadState(Frame frame) = 0;
  // Runs frame `frame` with inputs[p] for player p.
  virtual void advanceFrame(Frame frame, std::span<const PlayerInput> inputs) = 0;
  // The bytes of the state kept for `frame` (a snapshot, say), for a peer that joins late or a
  // desync report; empty when the program keeps none of that frame or cannot give them.
  [[nodiscard]] virtual std::span<const std::byte> stateBytes(Frame frame) {
    (void)frame;
    return {};
  }
  // Makes the state the one `bytes` (another peer's stateBytes) describe, as the state at the
  // start of `frame`; on an error the state is left as it was. Programs that cannot return
  // InvalidConfig.
  [[nodiscard]] virtual std::expected<void, LockstepError> loadStateBytes(
      Frame frame, std::span<const std::byte> bytes) {
    (void)frame;
    (void)bytes;
    return std::unexpected(LockstepError::InvalidConfig);
  }
  // Where the last save of `frame` differs from the save of the same frame before it, for the
  // synchronisation test's report; nothing when the program cannot tell.
  [[nodiscard]] virtual std::optional<nemra_ecs::SnapshotDifference> compareSaves(Frame frame) {
    (void)frame;
    return std::nullopt;
  }

 protected:
  Game() = default;
  Game(const Game&) = default;
  Game& operator=(const Game&) = default;
};

}  // namespace nemra_lockstep

#endif
