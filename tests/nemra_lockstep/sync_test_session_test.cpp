#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <nemra_lockstep/sync_test_session.hpp>
#include <nemra_lockstep/world_states.hpp>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/world.hpp>

#include "support/failing_resource.hpp"

namespace {

using namespace nemra_lockstep;
using nemra_ecs::ComponentStore;
using nemra_ecs::EntityId;
using nemra_ecs::World;

struct Body {
  double x, y;
};

bool registerTypes(ComponentStore& store) { return store.registerType<Body>("body").has_value(); }

// Bodies drift by the input; with `reads_clock`, entity 3 also moves by a counter of calls kept
// outside the saved state, as a system that reads the clock would.
struct DriftGame final : WorldGame {
  bool reads_clock = false;
  std::uint64_t clock = 0;

  DriftGame() : WorldGame(WorldStates::init(4, registerTypes, nullptr).value()) {
    EXPECT_TRUE(registerTypes(store));
    for (int i = 0; i < 6; ++i) {
      const EntityId id = world.createEntity("b").value();
      EXPECT_TRUE(store.set(id, Body{1.0 * i, -0.75}).has_value());
    }
  }
  void advanceFrame(Frame, std::span<const PlayerInput> inputs) override {
    const double push = std::to_integer<int>(inputs[0].bytes[0]) * 0.125;
    ++clock;
    store.each<Body>([&](EntityId id, Body& b) {
      b.x += push;
      if (reads_clock && id.id == 3) b.y += static_cast<double>(clock) * 1e-9;
    });
  }
};

std::optional<SyncTestFailure> runFrames(DriftGame& game, int frames) {
  auto session = SyncTestSession::init(SyncTestConfig{.check_distance = 3}, nullptr).value();
  for (int f = 0; f < frames; ++f) {
    const std::array<std::byte, 1> input{std::byte(static_cast<std::uint8_t>(f * 37))};
    auto r = session.advanceFrame(input, game);
    EXPECT_TRUE(r.has_value());
    if (r && *r) return *r;
  }
  return std::nullopt;
}

// Saves take their storage from the allocator the states were given: when it fails, the save
// reports it and the slot keeps the state it had.
TEST(WorldStates, SavesComeFromTheirAllocatorAndAFailedOneKeepsTheSlot) {
  DriftGame game;
  nemra_test::FailingResource resource;
  {
    auto states = WorldStates::init(2, registerTypes, &resource).value();
    ASSERT_TRUE(states.save(0, game.world, game.store));
    const std::vector<std::byte> kept(states.snapshot(0).begin(), states.snapshot(0).end());
    EXPECT_GT(resource.liveBlocks(), 0U);
    const std::array<std::byte, 1> input{std::byte{8}};
    game.advanceFrame(0, std::array{PlayerInput{input}});
    resource.failAll();
    const auto failed = states.save(2, game.world, game.store);
    resource.succeedAll();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), LockstepError::OutOfMemory);
    EXPECT_TRUE(std::ranges::equal(states.snapshot(0), kept));
    EXPECT_TRUE(states.snapshot(2).empty());
  }
  EXPECT_EQ(resource.liveBlocks(), 0U);
}

TEST(SyncTestSession, PassesADeterministicSimulationAndRollsItBackEveryFrame) {
  DriftGame game;
  EXPECT_FALSE(runFrames(game, 50).has_value());
  // 50 frames once, and 3 frames again for each of frames 3 .. 50.
  EXPECT_EQ(game.clock, 50u + 3u * 48u);
}

TEST(SyncTestSession, ReportsTheFirstFrameAndEntityOfASystemThatReadsAClock) {
  DriftGame game;
  game.reads_clock = true;
  const auto failure = runFrames(game, 50);
  ASSERT_TRUE(failure.has_value());
  // The third call rolls back to frame 0 and simulates frames 0 .. 2 again: the state of frame 1
  // already differs.
  EXPECT_EQ(failure->frame, 1u);
  EXPECT_NE(failure->first_digest, failure->second_digest);
  ASSERT_TRUE(failure->difference.has_value());
  EXPECT_EQ(failure->difference->field, "component");
  EXPECT_EQ(failure->difference->entity.id, 3u);
  EXPECT_GE(failure->difference->offset, 8u);  // in y, the second double
  EXPECT_LT(failure->difference->offset, 16u);
}

}  // namespace
