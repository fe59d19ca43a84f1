// Fuzz target for NearestIndex's upkeep. Each input is a script: every byte pair is one change to
// a world (a small move, a jump onto another entity or to an awkward vector, a creation, a state
// change), after which the index is synced — by refit, by update and erase of the changed entity,
// or by the batch update — and asked a filtered nearest, kNearest (also started from seeds) and
// withinDistance, whose answers must equal the world's own filtered scans.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <vector>

#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/world.hpp>

namespace {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::NearestFilter;
using nemra_ecs::NearestIndex;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

void fail(const char* what) {
  std::fprintf(stderr, "nearest_upkeep_fuzz: %s\n", what);
  std::abort();
}

// Keeps one residue of the ids modulo `teams` (teams = 1 keeps every entity).
struct Team {
  std::uint64_t teams;
  std::uint64_t team;
  bool operator()(EntityId id) const { return id.id % teams == team; }
};

// A vector from one byte: points on a coarse lattice (exact ties), near ones, and vectors outside
// the range the index's bounds cover.
HomVec4 vectorOf(std::uint8_t b) {
  const double c[4] = {static_cast<double>(b & 3) - 1.0, static_cast<double>(b >> 2 & 3) - 1.5,
                       static_cast<double>(b >> 4 & 3), 1.0};
  switch (b % 23) {
    case 0:
      return HomVec4::zero();
    case 1:
      return HomVec4::init(std::numeric_limits<double>::quiet_NaN(), 1, 0, 1);
    case 2:
      return HomVec4::init(c[0] * 1e160, c[1] * 1e160, 1e160, 1e160);
    case 3:
      return HomVec4::init(c[0] * 1e-16, 1e-16, 0, 0);
    default:
      return HomVec4::init(c[0], c[1], c[2], c[3]);
  }
}

void check(const World& world, const NearestIndex& index, std::uint8_t a, std::uint8_t b) {
  const HomVec4 query = vectorOf(a);
  const NearestFilter filter{EntityId::init(b % 7), Team{1U + b % 3U, (b >> 2U) % 3U}};
  if (index.nearest(query, filter) != world.findNearest(query, filter)) fail("nearest differs");
  if (index.nearest(query) != world.findNearest(query)) fail("unfiltered nearest differs");
  const std::size_t k = b % 11;
  const auto want = *world.kNearest(query, k, nullptr, filter);
  if (*index.kNearest(query, k, nullptr, filter) != want) fail("kNearest differs");
  // Started from the answers (the tightest start) and the id the filter leaves out, and for some
  // inputs 40 more ids, repeated or never created, which take the seeds' sorted path.
  std::vector<EntityId> seeds(want.begin(), want.end());
  seeds.push_back(filter.skip);
  if ((a & 1U) != 0) {
    for (unsigned i = 0; i < 40; ++i) seeds.push_back(EntityId::init((a + i * 7U) % 45U));
  }
  if (*index.kNearest(query, k, seeds, nullptr, filter) != want) fail("seeded kNearest differs");
  const double radius = static_cast<double>(a % 9) * 0.2;
  if (*index.withinDistance(query, radius, nullptr, filter) !=
      *world.withinDistance(query, radius, nullptr, filter)) {
    fail("withinDistance differs");
  }
  if (index.size() != world.activeCount()) fail("size differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World world = World::init(nullptr);
  for (std::size_t i = 0; i < 40; ++i) {
    if (!world.createEntity("e")) fail("createEntity");
    world.entities.back().setPosition(vectorOf(static_cast<std::uint8_t>(i * 37 + 5)));
  }
  auto built = NearestIndex::build(world, nullptr);
  if (!built) fail("build");
  NearestIndex index = std::move(*built);
  for (std::size_t at = 0; at + 1 < size; at += 2) {
    const std::uint8_t op = data[at];
    const std::uint8_t arg = data[at + 1];
    std::vector<EntityId> touched;
    Entity& e = world.entities[arg % world.entities.size()];
    switch (op % 6) {
      case 0: {  // every entity a small step
        std::vector<EntityId> ids;
        std::vector<HomVec4> to;
        const double step = static_cast<double>(arg) * 1e-4;
        for (const Entity& x : world.entities) {
          ids.push_back(x.id);
          to.push_back(
              HomVec4::init(x.position.x + step, x.position.y, x.position.z - step, x.position.w));
        }
        world.setPositions(ids, to);
        touched = ids;
        break;
      }
      case 1:
        e.setPosition(world.entities[(arg >> 3) % world.entities.size()].position);
        touched.push_back(e.id);
        break;
      case 2:
        e.position = vectorOf(op);  // written directly: may be outside the bounds' range
        touched.push_back(e.id);
        break;
      case 3:
        if (world.entities.size() < 400) {
          const auto id = world.createEntity("n");
          if (!id) fail("createEntity");
          world.entities.back().setPosition(vectorOf(arg));
          touched.push_back(*id);
        }
        break;
      case 4:
        e.deactivate();
        touched.push_back(e.id);
        break;
      default:
        e.state = arg % 2 == 0 ? EntityState::inactive : EntityState::destroyed;
        if (op % 4 == 1) e.activate();
        touched.push_back(e.id);
        break;
    }
    switch (op >> 6) {
      case 0:
        if (!index.refit(world)) fail("refit");
        break;
      case 1: {
        std::vector<EntityId> ids;
        std::vector<HomVec4> to;
        for (const EntityId id : touched) {
          const Entity* x = world.getEntity(id);
          if (x->isActive()) {
            ids.push_back(id);
            to.push_back(x->position);
          } else {
            index.erase(id);
          }
        }
        if (!index.update(ids, to)) fail("update");
        break;
      }
      default:
        for (const EntityId id : touched) {
          const Entity* x = world.getEntity(id);
          if (!x->isActive()) {
            index.erase(id);
          } else if (!index.update(id, x->position)) {
            fail("update");
          }
        }
        break;
    }
    check(world, index, op, arg);
  }
  return 0;
}
