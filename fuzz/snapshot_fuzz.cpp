// Fuzz target for loadSnapshot, restoreSnapshot and diffSnapshots. Each input is loaded twice: as
// it is, and with its length field and checksum made right, so that mutations also reach the
// checks behind the checksum. It is also restored in place over a live world and store: refused
// exactly when loadSnapshot refuses it, leaving them byte for byte as they were, and accepted into
// the state loadSnapshot builds. A refused input must leave the world and the store empty; an
// accepted one must save back to the same bytes (the byte-order byte and so the checksum aside,
// when there are no rows; the version byte and the checksum aside for version 1, which saves as
// version 2) and stay usable. Any input compared with itself is either refused or identical, and
// identical whenever it loads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/detail/hash64.hpp>
#include <nemra_ecs/snapshot.hpp>
#include <nemra_ecs/snapshot_diff.hpp>
#include <nemra_ecs/world.hpp>

namespace {

struct Velocity {
  double v[2];
};
struct Health {
  std::int32_t hp;
};

void fail(const char* what) {
  std::fprintf(stderr, "snapshot_fuzz: %s\n", what);
  std::abort();
}

bool registerTypes(nemra_ecs::ComponentStore& store) {
  return store.registerType<Velocity>("velocity").has_value() &&
         store.registerType<Health>("health").has_value();
}

// A live world and store for restoreSnapshot to replace: entities in three archetypes, one of
// them inactive.
void populate(nemra_ecs::World& world, nemra_ecs::ComponentStore& store) {
  if (!registerTypes(store)) fail("registering types");
  for (int i = 0; i < 5; ++i) {
    const auto id = world.createEntity("live");
    if (!id) fail("creating an entity");
    world.getEntity(*id)->setPosition(nemra_kernel::HomVec4::fromCartesian(i, 1.0, -2.0 * i));
    if ((i % 2 == 0 && !store.set(*id, Velocity{{0.5 * i, -1.0}})) ||
        (i % 3 != 0 && !store.set(*id, Health{i}))) {
      fail("setting a component");
    }
  }
  world.entities[3].state = nemra_ecs::EntityState::inactive;
}

// The saved bytes of a state.
std::pmr::vector<std::byte> savedState(const nemra_ecs::World& world,
                                       const nemra_ecs::ComponentStore& store) {
  auto saved = nemra_ecs::saveSnapshot(world, store, nullptr);
  if (!saved) fail("saving a state");
  return std::move(*saved);
}

// restoreSnapshot of `bytes` over a live state: refused exactly when loadSnapshot refused it
// (`loaded_save` null), leaving the state as it was, and otherwise the state loadSnapshot built
// (saved as `*loaded_save`); then back to the live state and to `bytes` again, as a rollback goes
// back and forth, the restores building in the storage the ones before them let go.
void checkRestore(std::span<const std::byte> bytes,
                  const std::pmr::vector<std::byte>* loaded_save) {
  nemra_ecs::World world = nemra_ecs::World::init(nullptr);
  nemra_ecs::ComponentStore store = nemra_ecs::ComponentStore::init(nullptr);
  populate(world, store);
  const auto before = savedState(world, store);
  const bool restored = nemra_ecs::restoreSnapshot(bytes, world, store).has_value();
  if (restored != (loaded_save != nullptr)) fail("restoreSnapshot and loadSnapshot disagree");
  if (savedState(world, store) != (restored ? *loaded_save : before)) {
    fail(restored ? "a restore differs from a load" : "a refused restore changed the state");
  }
  if (!restored) return;
  const auto restoresTo = [&](std::span<const std::byte> from,
                              const std::pmr::vector<std::byte>& expected) {
    return nemra_ecs::restoreSnapshot(from, world, store) && savedState(world, store) == expected;
  };
  if (!restoresTo(before, before) || !restoresTo(bytes, *loaded_save)) {
    fail("restoring back and forth changed a state");
  }
  // The restored state stays usable: new entities and components, and the state saves again.
  // (A snapshot may hold counters of entity or archetype ids that are used up.)
  const auto id = world.createEntity("new");
  if (!id) {
    if (id.error() != nemra_ecs::Error::IdentifiersExhausted) fail("creating after a restore");
    return;
  }
  const auto set = store.set(*id, Health{7});
  if (world.getEntity(*id) == nullptr ||
      (!set && set.error() != nemra_ecs::Error::IdentifiersExhausted)) {
    fail("a restored state is not usable");
  }
}

void check(std::span<const std::byte> bytes) {
  nemra_ecs::World world = nemra_ecs::World::init(nullptr);
  nemra_ecs::ComponentStore store = nemra_ecs::ComponentStore::init(nullptr);
  if (!registerTypes(store)) fail("registering types");
  const auto loaded = nemra_ecs::loadSnapshot(bytes, world, store);
  const auto self = nemra_ecs::diffSnapshots(bytes, bytes, nullptr);
  if ((self && !self->identical()) || (loaded && !self)) fail("a snapshot differs from itself");
  if (!loaded) {
    if (!world.entities.empty() || world.next_id != 1 || store.archetypes().count() != 0 ||
        store.entityCount() != 0) {
      fail("a refused snapshot changed the world or the store");
    }
    checkRestore(bytes, nullptr);
    return;
  }
  const auto saved = savedState(world, store);
  if (saved.size() != bytes.size()) fail("saving a loaded snapshot changed its size");
  checkRestore(bytes, &saved);
  // A snapshot from a machine of the other byte order loads when it has no rows, and saves back
  // with this machine's order byte, and so another checksum.
  // A version-1 snapshot saves back as version 2: the version byte and the checksum differ.
  const bool other_order = saved[12] != bytes[12];
  const bool version_1 = bytes[8] == std::byte{1};
  const std::size_t compared = other_order || version_1 ? bytes.size() - 8 : bytes.size();
  for (std::size_t i = 0; i < compared; ++i) {
    if (saved[i] != bytes[i] && i != 12 && !(version_1 && i == 8)) {
      fail("saving a loaded snapshot changed its bytes");
    }
  }
  (void)nemra_ecs::stateDigest(world, store);
  std::uint64_t seen = 0;
  store.each<Health>([&](nemra_ecs::EntityId id, Health& h) {
    seen += id.id;
    h.hp += 1;
  });
  store.each<Velocity, Health>([&](nemra_ecs::EntityId, Velocity&, Health&) { ++seen; });
  for (const nemra_ecs::Entity& e : world.entities) {
    if (world.getEntity(e.id) != &e) fail("an entity is not found by its id");
    (void)store.set(e.id, Health{1});
  }
  (void)world.findNearest(nemra_kernel::HomVec4::fromCartesian(1.0, 2.0, 3.0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  check(std::span<const std::byte>(bytes, size));
  if (size >= 64) {
    std::vector<std::byte> fixed(bytes, bytes + size);
    for (std::size_t i = 0; i < 8; ++i) {
      fixed[16 + i] = std::byte(static_cast<std::uint8_t>(std::uint64_t{size} >> (8 * i)));
    }
    // The checksum of the version the bytes claim (version 1's for any other).
    const std::uint64_t sum = fixed[8] == std::byte{2}
                                  ? nemra_ecs::detail::checksumV2(fixed.data(), size, 56)
                                  : nemra_ecs::detail::hash64(fixed.data(), size - 8);
    for (std::size_t i = 0; i < 8; ++i) {
      fixed[size - 8 + i] = std::byte(static_cast<std::uint8_t>(sum >> (8 * i)));
    }
    check(fixed);
  }
  return 0;
}
