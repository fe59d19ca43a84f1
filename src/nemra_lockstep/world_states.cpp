#include <nemra_lockstep/world_states.hpp>
#include <new>
#include <utility>

#include <nemra_ecs/snapshot.hpp>

namespace nemra_lockstep {

std::expected<WorldStates, LockstepError> WorldStates::init(
    std::uint32_t slots, RegisterTypes register_types,
    std::pmr::memory_resource* allocator) noexcept {
  if (slots == 0 || register_types == nullptr) return std::unexpected(LockstepError::InvalidConfig);
  std::pmr::memory_resource* r =
      allocator != nullptr ? allocator : std::pmr::get_default_resource();
  WorldStates states(r, register_types);
  try {
    states.slots_.reserve(slots);
    for (std::uint32_t i = 0; i < slots; ++i) states.slots_.emplace_back(r);
  } catch (const std::bad_alloc&) {
    return std::unexpected(LockstepError::OutOfMemory);
  }
  return states;
}

void WorldStates::deinit() noexcept {
  slots_.clear();
  slots_.shrink_to_fit();
}

std::expected<std::uint64_t, LockstepError> WorldStates::save(
    Frame frame, const nemra_ecs::World& world, const nemra_ecs::ComponentStore& store) noexcept {
  if (slots_.empty() || frame == NO_FRAME) return std::unexpected(LockstepError::InvalidConfig);
  Slot& slot = slots_[frame % slots_.size()];
  // The save before the former one is dropped: its buffer takes the new state, and the former
  // save stays as `previous`.
  const auto digest = nemra_ecs::saveSnapshotInto(world, store, slot.previous);
  if (!digest) return std::unexpected(LockstepError::OutOfMemory);
  std::swap(slot.previous, slot.bytes);
  std::swap(slot.previous_frame, slot.frame);
  slot.frame = frame;
  return *digest;
}

std::expected<void, LockstepError> WorldStates::load(Frame frame, nemra_ecs::World& world,
                                                     nemra_ecs::ComponentStore& store) noexcept {
  const std::span<const std::byte> kept = snapshot(frame);
  if (kept.empty()) return std::unexpected(LockstepError::InvalidConfig);
  return loadCopy(kept, world, store);
}

std::expected<void, LockstepError> WorldStates::loadBytes(
    Frame frame, std::span<const std::byte> bytes, nemra_ecs::World& world,
    nemra_ecs::ComponentStore& store) noexcept {
  if (slots_.empty() || frame == NO_FRAME || bytes.empty()) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  std::pmr::vector<std::byte> kept(allocator_);
  try {
    kept.assign(bytes.begin(), bytes.end());
  } catch (const std::bad_alloc&) {
    return std::unexpected(LockstepError::OutOfMemory);
  }
  if (auto loaded = loadCopy(bytes, world, store); !loaded) return loaded;
  Slot& slot = slots_[frame % slots_.size()];
  std::swap(slot.previous, slot.bytes);
  slot.previous_frame = slot.frame;
  slot.bytes = std::move(kept);
  slot.frame = frame;
  return {};
}

std::expected<void, LockstepError> WorldStates::loadCopy(
    std::span<const std::byte> kept, nemra_ecs::World& world,
    nemra_ecs::ComponentStore& store) noexcept {
  // In place when the program's store has the snapshot's types: storage is reused, and a rollback
  // allocates nothing once the spares have grown. Otherwise (a fresh store, say) a new world and
  // store with the program's types are built and moved in.
  if (nemra_ecs::restoreSnapshot(kept, world, store)) return {};
  try {
    nemra_ecs::World w = nemra_ecs::World::init(allocator_);
    nemra_ecs::ComponentStore s = nemra_ecs::ComponentStore::init(allocator_);
    if (!register_types_(s)) return std::unexpected(LockstepError::InvalidConfig);
    if (auto loaded = nemra_ecs::loadSnapshot(kept, w, s); !loaded) {
      return std::unexpected(loaded.error() == nemra_ecs::SnapshotError::OutOfMemory
                                 ? LockstepError::OutOfMemory
                                 : LockstepError::InvalidConfig);
    }
    world = std::move(w);
    store = std::move(s);
  } catch (const std::bad_alloc&) {
    return std::unexpected(LockstepError::OutOfMemory);
  }
  return {};
}

std::optional<nemra_ecs::SnapshotDifference> WorldStates::compareSaves(Frame frame) const noexcept {
  if (slots_.empty() || frame == NO_FRAME) return std::nullopt;
  const Slot& slot = slots_[frame % slots_.size()];
  if (slot.frame != frame || slot.previous_frame != frame) return std::nullopt;
  auto diff = nemra_ecs::diffSnapshots(slot.previous, slot.bytes, allocator_);
  if (!diff) return std::nullopt;
  return *diff;
}

std::span<const std::byte> WorldStates::snapshot(Frame frame) const noexcept {
  if (slots_.empty() || frame == NO_FRAME) return {};
  const Slot& slot = slots_[frame % slots_.size()];
  return slot.frame == frame ? std::span<const std::byte>(slot.bytes)
                             : std::span<const std::byte>{};
}

}  // namespace nemra_lockstep
