// The synchronisation test: a session with no network that, every frame, advances and saves, then
// loads the state of check_distance frames back, simulates those frames again with the same inputs
// and compares each state's digest with the first run's. A simulation that reads anything outside
// its saved state (a clock, the order of an unordered container, memory addresses, state that is
// not saved) shows up as the first frame whose digests differ, and, when the program's Game can
// compare two saves (WorldStates can), the first entity, component and byte that differ.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_SYNC_TEST_SESSION_HPP)
#define NEMRA_LOCKSTEP_SYNC_TEST_SESSION_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/packet.hpp>
#include <optional>
#include <span>
#include <vector>

#include <nemra_ecs/snapshot_diff.hpp>

namespace nemra_lockstep {

struct SyncTestConfig {
  // Bytes of one player's input, and the players (all local).
  std::uint8_t input_size = 1;
  std::uint8_t players = 1;
  // Frames rolled back and simulated again every frame (1 .. 64); the Game keeps
  // check_distance + 1 states.
  std::uint32_t check_distance = 2;
};

struct SyncTestFailure {
  // The first frame whose state differs between the two runs.
  Frame frame = 0;
  std::uint64_t first_digest = 0;
  std::uint64_t second_digest = 0;
  // Where, when the Game can tell (Game::compareSaves).
  std::optional<nemra_ecs::SnapshotDifference> difference;
};

class NEMRA_API SyncTestSession {
 public:
  // Errors: InvalidConfig, OutOfMemory.
  [[nodiscard]] static std::expected<SyncTestSession, LockstepError> init(
      const SyncTestConfig& config, std::pmr::memory_resource* allocator) noexcept;
  SyncTestSession(SyncTestSession&&) noexcept = default;
  SyncTestSession& operator=(SyncTestSession&&) noexcept = default;
  SyncTestSession(const SyncTestSession&) = delete;
  SyncTestSession& operator=(const SyncTestSession&) = delete;
  ~SyncTestSession() = default;
  void deinit() noexcept;

  // Simulates frame currentFrame() with `inputs` (players × input_size bytes, player p's at
  // p × input_size), then rolls back and checks. Returns the first difference this call found,
  // if any; the states of the second run are kept, so later frames are checked against them.
  // Errors: WrongInputSize (nothing done), StateCallbackFailed.
  [[nodiscard]] std::expected<std::optional<SyncTestFailure>, LockstepError> advanceFrame(
      std::span<const std::byte> inputs, Game& game) noexcept;

  [[nodiscard]] Frame currentFrame() const noexcept { return static_cast<Frame>(current_); }

 private:
  SyncTestSession(const SyncTestConfig& config, std::pmr::memory_resource* allocator) noexcept
      : config_(config), inputs_(allocator), digests_(allocator), player_inputs_(allocator) {}
  void simulate(Game& game, std::int64_t frame) noexcept;

  SyncTestConfig config_;
  std::int64_t current_ = 0;
  bool saved_start_ = false;
  // The inputs and digests of the last RING frames, frame f at f % RING.
  std::pmr::vector<std::byte> inputs_;
  std::pmr::vector<std::uint64_t> digests_;
  std::pmr::vector<PlayerInput> player_inputs_;
};

}  // namespace nemra_lockstep

#endif
