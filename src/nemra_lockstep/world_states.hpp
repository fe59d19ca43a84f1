// Saved states of a World and its ComponentStore by frame, for a program whose whole simulation
// state is nemra's: saveState and loadState of a Game forward here. Each save is a snapshot
// (saveSnapshot) and its digest is stateDigest. A load restores the snapshot into the program's
// world and store in place (restoreSnapshot); when the store does not have the snapshot's types
// (a fresh one), it builds a new world and store with the program's types and moves them in.
// Either way, pointers from get and getEntity are invalid after a load.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_WORLD_STATES_HPP)
#define NEMRA_LOCKSTEP_WORLD_STATES_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/packet.hpp>
#include <optional>
#include <utility>
#include <vector>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/snapshot_diff.hpp>
#include <nemra_ecs/world.hpp>

namespace nemra_lockstep {

class NEMRA_API WorldStates {
 public:
  // Registers in a new, empty store the program's component types, in the order the program's
  // store has them; false when it fails.
  using RegisterTypes = bool (*)(nemra_ecs::ComponentStore& store);

  // Room for the states of `slots` frames (a session needs max_prediction + 1; a synchronisation
  // test check_distance + 1); a frame's state stays until a save of a frame `slots` later. The
  // snapshots come from `allocator` (nullptr: the default resource), which the loaded world and
  // store use too. Errors: InvalidConfig (no slots), OutOfMemory.
  [[nodiscard]] static std::expected<WorldStates, LockstepError> init(
      std::uint32_t slots, RegisterTypes register_types,
      std::pmr::memory_resource* allocator) noexcept;
  WorldStates(WorldStates&&) noexcept = default;
  WorldStates& operator=(WorldStates&&) noexcept = default;
  WorldStates(const WorldStates&) = delete;
  WorldStates& operator=(const WorldStates&) = delete;
  ~WorldStates() = default;
  void deinit() noexcept;

  // Keeps the state of `frame` and returns its digest. Error: OutOfMemory (nothing kept).
  [[nodiscard]] std::expected<std::uint64_t, LockstepError> save(
      Frame frame, const nemra_ecs::World& world, const nemra_ecs::ComponentStore& store) noexcept;
  // Replaces `world` and `store` by the state kept for `frame`. Errors: InvalidConfig (no state
  // of that frame is kept, or the types do not register or match), OutOfMemory; on an error both
  // are left as they were.
  [[nodiscard]] std::expected<void, LockstepError> load(Frame frame, nemra_ecs::World& world,
                                                        nemra_ecs::ComponentStore& store) noexcept;
  // Replaces `world` and `store` by the state `bytes` (a snapshot another peer sent) describe, and
  // keeps a copy as the state of `frame`. Errors and what is left on one: as load's.
  [[nodiscard]] std::expected<void, LockstepError> loadBytes(
      Frame frame, std::span<const std::byte> bytes, nemra_ecs::World& world,
      nemra_ecs::ComponentStore& store) noexcept;
  // Where the last save of `frame` differs from the one before it, when both are kept.
  [[nodiscard]] std::optional<nemra_ecs::SnapshotDifference> compareSaves(
      Frame frame) const noexcept;

  // The snapshot kept for `frame`, or an empty span.
  [[nodiscard]] std::span<const std::byte> snapshot(Frame frame) const noexcept;

 private:
  // Both buffers take their storage from the states' allocator (a vector of slots would build
  // plain ones on the default resource).
  struct Slot {
    explicit Slot(std::pmr::memory_resource* allocator) noexcept
        : bytes(allocator), previous(allocator) {}
    Frame frame = NO_FRAME;
    std::pmr::vector<std::byte> bytes;
    Frame previous_frame = NO_FRAME;
    std::pmr::vector<std::byte> previous;
  };
  WorldStates(std::pmr::memory_resource* allocator, RegisterTypes register_types) noexcept
      : allocator_(allocator), register_types_(register_types), slots_(allocator) {}

  // Loads `bytes` into `world` and `store`, in place when the store has the snapshot's types.
  std::expected<void, LockstepError> loadCopy(std::span<const std::byte> bytes,
                                              nemra_ecs::World& world,
                                              nemra_ecs::ComponentStore& store) noexcept;

  std::pmr::memory_resource* allocator_;
  RegisterTypes register_types_;
  std::pmr::vector<Slot> slots_;
};

// A Game whose whole state is `world` and `store`, kept by `states`: the state calls forward to
// it, and the program writes advanceFrame (and may override the rest).
struct NEMRA_API WorldGame : Game {
  explicit WorldGame(WorldStates kept, std::pmr::memory_resource* allocator = nullptr) noexcept
      : world(nemra_ecs::World::init(allocator)),
        store(nemra_ecs::ComponentStore::init(allocator)),
        states(std::move(kept)) {}

  [[nodiscard]] std::expected<std::uint64_t, LockstepError> saveState(Frame frame) override {
    return states.save(frame, world, store);
  }
  [[nodiscard]] std::expected<void, LockstepError> loadState(Frame frame) override {
    return states.load(frame, world, store);
  }
  [[nodiscard]] std::span<const std::byte> stateBytes(Frame frame) override {
    return states.snapshot(frame);
  }
  [[nodiscard]] std::expected<void, LockstepError> loadStateBytes(
      Frame frame, std::span<const std::byte> bytes) override {
    return states.loadBytes(frame, bytes, world, store);
  }
  [[nodiscard]] std::optional<nemra_ecs::SnapshotDifference> compareSaves(Frame frame) override {
    return states.compareSaves(frame);
  }

  nemra_ecs::World world;
  nemra_ecs::ComponentStore store;
  WorldStates states;
};

}  // namespace nemra_lockstep

#endif
