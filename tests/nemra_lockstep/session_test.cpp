#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <nemra_lockstep/in_process_network.hpp>
#include <nemra_lockstep/packet.hpp>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/watch_session.hpp>
#include <nemra_lockstep/world_states.hpp>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/snapshot.hpp>
#include <nemra_ecs/world.hpp>

namespace {

using namespace nemra_lockstep;
using nemra_ecs::ComponentStore;
using nemra_ecs::World;

constexpr std::uint64_t kFrameUs = 16667;

struct Body {
  double x, y, vx, vy;
};

bool registerTypes(ComponentStore& store) { return store.registerType<Body>("body").has_value(); }

void populate(World& world, ComponentStore& store, int bodies) {
  ASSERT_TRUE(registerTypes(store));
  for (int i = 0; i < bodies; ++i) {
    const auto id = world.createEntity("body").value();
    ASSERT_TRUE(store.set(id, Body{0.5 * i, -0.25 * i, 0.0, 0.0}).has_value());
  }
}

// Body i steers by the input of player i % players; a frame also couples neighbours a little so
// that a difference spreads.
void step(ComponentStore& store, std::span<const std::span<const std::byte>> inputs) {
  double carry = 0.0;
  store.each<Body>([&](nemra_ecs::EntityId id, Body& b) {
    const auto in = std::to_integer<int>(inputs[id.id % inputs.size()][0]);
    b.vx += (in % 16 - 7.5) * 1e-3 + carry * 1e-6;
    b.vy += (in / 16 - 7.5) * 1e-3;
    b.x += b.vx;
    b.y += b.vy;
    carry = b.x;
  });
}

struct SimGame final : WorldGame {
  explicit SimGame(std::uint32_t kept = 32)
      : WorldGame(WorldStates::init(kept, registerTypes, nullptr).value()) {}
  Frame fault_frame = NO_FRAME;

  void advanceFrame(Frame f, std::span<const PlayerInput> inputs) override {
    std::array<std::span<const std::byte>, MAX_PLAYERS> bytes{};
    for (std::size_t i = 0; i < inputs.size(); ++i) bytes[i] = inputs[i].bytes;
    step(store, std::span(bytes).first(inputs.size()));
    if (f == fault_frame) {
      Body* b = store.get<Body>(nemra_ecs::EntityId::init(5));
      b->x = std::nextafter(b->x, 1e300);  // one ulp, as a miscompiled or racy system would
    }
  }
};

struct PeersRun {
  // digests[p][f]: peer p's digest of confirmed frame f; inputs[p][f]: its input of frame f.
  std::vector<std::vector<std::optional<std::uint64_t>>> digests;
  std::vector<std::vector<std::byte>> inputs;
  std::vector<std::vector<Event>> events;
  std::uint64_t rollbacks = 0;
  // Spectators: one from frame 0 served by peer 1, one joining late served by peer 0; digests[f].
  std::vector<std::vector<std::optional<std::uint64_t>>> spectator_digests;
  std::vector<Frame> spectator_start;
  std::optional<DesyncReport> report;
};

// Passes everything through, but sends nothing to `cut` while `cutting`.
struct CutTransport final : Transport {
  Transport* inner = nullptr;
  PeerAddress cut;
  bool cutting = false;
  void send(PeerAddress to, std::span<const std::byte> datagram) noexcept override {
    if (!(cutting && to == cut)) inner->send(to, datagram);
  }
  std::optional<std::size_t> receive(PeerAddress& from,
                                     std::span<std::byte> buffer) noexcept override {
    return inner->receive(from, buffer);
  }
};

// `players` peers over a network with `faults`, each with its own seeded random inputs, until
// every peer has confirmed `frames` frames.
// With `late_join` a spectator joins when peer 0 has confirmed that frame and another watches from
// the start; with `report` peer 0 asks for a report of the first desync it sees. Peer `leaver`
// stops (as a crash would: silently) once it reaches frame `leave_at`, having sent nothing to the
// peer before it for its last 20 frames. The players' games keep `states` states.
PeersRun runPeers(std::size_t players, NetworkFaults faults, Frame frames, std::size_t faulty_peer,
                  Frame fault_frame, Frame late_join = NO_FRAME, bool report = false,
                  std::size_t leaver = SIZE_MAX, Frame leave_at = NO_FRAME,
                  std::uint32_t states = 32) {
  const bool watched = late_join != NO_FRAME;
  InProcessNetwork net =
      InProcessNetwork::init(static_cast<std::uint32_t>(players + 2), faults, nullptr);
  std::vector<InProcessNetwork::Endpoint> endpoints;
  endpoints.reserve(players + 2);  // the sessions point at them
  std::vector<PeerAddress> addresses;
  for (std::size_t p = 0; p < players; ++p) {
    endpoints.push_back(net.endpoint(static_cast<std::uint32_t>(p)));
    addresses.push_back(endpoints.back().address());
  }
  CutTransport cut;
  if (leaver < players) {
    cut.inner = &endpoints[leaver];
    cut.cut = addresses[leaver - 1];
  }
  std::vector<P2PSession> sessions;
  std::vector<std::unique_ptr<SimGame>> games;
  PeersRun run;
  run.digests.resize(players);
  run.inputs.resize(players);
  run.events.resize(players);
  for (std::size_t p = 0; p < players; ++p) {
    SessionConfig config{.session_id = 77,
                         .input_size = 1,
                         .players = static_cast<std::uint8_t>(players),
                         .local_player = static_cast<PlayerHandle>(p),
                         .input_delay = 2,
                         .max_prediction = 8,
                         .digest_interval = 8};
    Transport& transport = p == leaver ? static_cast<Transport&>(cut) : endpoints[p];
    sessions.push_back(P2PSession::init(config, addresses, transport, net, nullptr).value());
    games.push_back(std::make_unique<SimGame>(states));
    populate(games.back()->world, games.back()->store, 100);
    if (p == faulty_peer) games.back()->fault_frame = fault_frame;
    run.inputs[p].assign(config.input_delay, std::byte{0});
  }
  std::vector<SpectatorSession> spectators;
  std::vector<std::unique_ptr<SimGame>> spectator_games;
  auto watch = [&](std::size_t host, bool join_late) {
    auto endpoint = net.endpoint(static_cast<std::uint32_t>(players + spectators.size()));
    endpoints.push_back(endpoint);
    ASSERT_TRUE(sessions[host].addSpectator(endpoint.address()).has_value());
    const SpectatorConfig config{.session_id = 77,
                                 .input_size = 1,
                                 .players = static_cast<std::uint8_t>(players),
                                 .join_late = join_late};
    spectators.push_back(
        SpectatorSession::init(config, addresses[host], endpoints.back(), net, nullptr).value());
    spectator_games.push_back(std::make_unique<SimGame>());
    SimGame& g = *spectator_games.back();
    if (join_late) {
      ASSERT_TRUE(registerTypes(g.store));  // the state comes over the network
    } else {
      populate(g.world, g.store, 100);
    }
  };
  if (watched) watch(1, false);
  run.spectator_digests.resize(2);
  std::mt19937_64 rng(1234);
  std::vector<std::byte> pending(players);
  for (auto& b : pending) b = std::byte(static_cast<std::uint8_t>(rng()));
  std::vector<std::int64_t> recorded(players, -1);
  for (int tick = 0; tick < 20000; ++tick) {
    bool done = true;
    for (std::size_t p = 0; p < players; ++p) {
      if (p == leaver && sessions[p].currentFrame() >= leave_at) continue;
      if (p == leaver && sessions[p].currentFrame() + 20 >= leave_at) cut.cutting = true;
      const auto status = sessions[p].advanceFrame(std::span(&pending[p], 1), *games[p]);
      EXPECT_TRUE(status.has_value());
      if (status == AdvanceStatus::Advanced) {
        run.inputs[p].push_back(pending[p]);
        pending[p] = std::byte(static_cast<std::uint8_t>(rng()));
      }
      const Frame confirmed = sessions[p].confirmedFrame();
      for (std::int64_t f = recorded[p] + 1; confirmed != NO_FRAME && f <= confirmed; ++f) {
        run.digests[p].resize(static_cast<std::size_t>(f) + 1);
        run.digests[p][static_cast<std::size_t>(f)] =
            sessions[p].confirmedDigest(static_cast<Frame>(f));
        recorded[p] = f;
      }
      while (auto e = sessions[p].nextEvent()) {
        run.events[p].push_back(*e);
        if (p == 0 && report && e->kind == EventKind::Desync && e->player == faulty_peer &&
            !run.report) {
          EXPECT_TRUE(sessions[0].requestDesyncReport(*e, *games[0]).has_value());
        }
        if (e->kind == EventKind::DesyncReport) run.report = sessions[0].desyncReport();
      }
      done = done && confirmed != NO_FRAME && confirmed >= frames;
    }
    if (watched && spectators.size() == 1 && sessions[0].confirmedFrame() != NO_FRAME &&
        sessions[0].confirmedFrame() >= late_join) {
      watch(0, true);
    }
    for (std::size_t k = 0; k < spectators.size(); ++k) {
      // A spectator behind catches up a few frames at a time.
      for (int n = 0; n < 4; ++n) {
        const auto status = spectators[k].advanceFrame(*spectator_games[k]);
        EXPECT_TRUE(status.has_value());
        if (status != AdvanceStatus::Advanced) break;
        const Frame f = spectators[k].currentFrame();
        run.spectator_digests[k].resize(f + 1);
        run.spectator_digests[k][f] = spectators[k].digest(f);
      }
      while (auto e = spectators[k].nextEvent()) run.events[0].push_back(*e);
      done = done && spectators[k].currentFrame() > frames;
    }
    done = done && (!watched || spectators.size() == 2) && (!report || run.report);
    if (done) break;
    net.advanceTime(kFrameUs);
  }
  for (const P2PSession& s : sessions) run.rollbacks += s.rollbacks();
  for (const SpectatorSession& s : spectators) run.spectator_start.push_back(s.startFrame());
  return run;
}

// The same inputs run once, with no network and no rollback: the digest of every frame.
std::vector<std::uint64_t> reference(const PeersRun& run, Frame frames) {
  World world = World::init(nullptr);
  ComponentStore store = ComponentStore::init(nullptr);
  populate(world, store, 100);
  std::vector<std::uint64_t> digests{nemra_ecs::stateDigest(world, store)};
  for (Frame f = 0; f < frames; ++f) {
    std::vector<std::span<const std::byte>> in;
    for (const auto& peer : run.inputs) in.push_back(std::span(&peer[f], 1));
    step(store, in);
    digests.push_back(nemra_ecs::stateDigest(world, store));
  }
  return digests;
}

const NetworkFaults kLossy{.loss_per_mille = 100,
                           .duplicate_per_mille = 50,
                           .min_delay_us = 0,
                           .max_delay_us = 60000,
                           .seed = 2026};

TEST(P2PSession, ThreePeersOnALossyNetworkAgreeWithARunWithoutNetworkOnEveryFrame) {
  constexpr Frame kFrames = 600;
  const PeersRun run = runPeers(3, kLossy, kFrames, SIZE_MAX, NO_FRAME);
  ASSERT_GT(run.rollbacks, 0u) << "the network never made a prediction wrong";
  const auto expected = reference(run, kFrames);
  for (std::size_t p = 0; p < 3; ++p) {
    ASSERT_GE(run.digests[p].size(), kFrames + 1u) << p;
    for (Frame f = 0; f <= kFrames; ++f) {
      ASSERT_EQ(run.digests[p][f], expected[f]) << "peer " << p << " frame " << f;
    }
    int connected = 0;
    for (const Event& e : run.events[p]) {
      EXPECT_NE(e.kind, EventKind::Desync);
      connected += e.kind == EventKind::Connected;
    }
    EXPECT_EQ(connected, 2);
  }
}

TEST(P2PSession, SpectatorsFromTheStartAndJoiningLateOverTheLossyNetworkAgreeOnEveryFrame) {
  constexpr Frame kFrames = 400;
  const PeersRun run = runPeers(3, kLossy, kFrames, SIZE_MAX, NO_FRAME, 300);
  const auto expected = reference(run, kFrames);
  ASSERT_EQ(run.spectator_start, (std::vector<Frame>{0, run.spectator_start[1]}));
  EXPECT_GE(run.spectator_start[1], 300u);
  EXPECT_LT(run.spectator_start[1], 320u);
  for (std::size_t k = 0; k < 2; ++k) {
    ASSERT_GT(run.spectator_digests[k].size(), kFrames) << k;
    for (Frame f = run.spectator_start[k] + 1; f <= kFrames; ++f) {
      ASSERT_EQ(run.spectator_digests[k][f], expected[f]) << "spectator " << k << " frame " << f;
    }
  }
  for (const Event& e : run.events[0]) EXPECT_NE(e.kind, EventKind::Desync);
}

TEST(P2PSession, AOneUlpFaultIsADesyncAtTheFirstDigestFrameAfterIt) {
  const PeersRun run = runPeers(3, kLossy, 420, 2, 400, NO_FRAME, true);
  // Peer 0 fetched peer 2's state of the desync frame: the first difference is the body the
  // fault moved, in its x.
  ASSERT_TRUE(run.report.has_value());
  EXPECT_EQ(run.report->player, 2);
  EXPECT_EQ(run.report->frame, 408u);
  ASSERT_TRUE(run.report->compared);
  EXPECT_EQ(run.report->difference.section, nemra_ecs::SnapshotSection::Archetypes);
  EXPECT_EQ(run.report->difference.field, "component");
  EXPECT_EQ(run.report->difference.entity, nemra_ecs::EntityId::init(5));
  EXPECT_LT(run.report->difference.offset, sizeof(double));
  for (std::size_t p = 0; p < 3; ++p) {
    std::optional<Event> first;
    for (const Event& e : run.events[p]) {
      if (e.kind == EventKind::Desync && !first) first = e;
    }
    ASSERT_TRUE(first.has_value()) << p;
    // The state of frame 401 is the first to differ; digests go at multiples of 8.
    EXPECT_EQ(first->frame, 408u) << p;
    EXPECT_NE(first->local_digest, first->remote_digest);
    if (p != 2) {
      EXPECT_EQ(first->player, 2) << p;
    }
  }
}

// A peer that crashes is held by the others through different frames (its last packets are lost
// to some); they agree on the last one they all hold and stay in lockstep, with no rollback
// further back than the max_prediction + 1 states the games keep.
TEST(P2PSession, PeersAgreeOnTheLastInputOfAPeerThatCrashes) {
  constexpr Frame kFrames = 800;
  const PeersRun run =
      runPeers(4, kLossy, kFrames, SIZE_MAX, NO_FRAME, NO_FRAME, false, 3, 300, 8 + 1);
  std::optional<Frame> leaves_at;
  for (std::size_t p = 0; p < 3; ++p) {
    ASSERT_GT(run.digests[p].size(), kFrames) << p;
    for (Frame f = 0; f <= kFrames; ++f) {
      ASSERT_EQ(run.digests[p][f], run.digests[0][f]) << "peer " << p << " frame " << f;
    }
    for (const Event& e : run.events[p]) {
      EXPECT_NE(e.kind, EventKind::Desync) << p;
      if (e.kind == EventKind::Disconnected) {
        EXPECT_EQ(e.player, 3) << p;
        leaves_at = e.frame;
      }
    }
  }
  // Peer 2 holds the least of peer 3's inputs: about 20 frames fewer than the others.
  ASSERT_TRUE(leaves_at.has_value());
  EXPECT_LE(*leaves_at, 300u - 10);
}

TEST(P2PSession, BadDatagramsAreDroppedAndCountedAndTheSessionRunsOn) {
  InProcessNetwork net = InProcessNetwork::init(3, NetworkFaults{}, nullptr);
  auto a = net.endpoint(0);
  auto b = net.endpoint(1);
  auto stranger = net.endpoint(2);
  const std::array<PeerAddress, 2> addresses{a.address(), b.address()};
  SessionConfig config{.session_id = 5, .input_size = 2, .players = 2};
  P2PSession sa = P2PSession::init(config, addresses, a, net, nullptr).value();
  config.local_player = 1;
  P2PSession sb = P2PSession::init(config, addresses, b, net, nullptr).value();

  std::array<std::byte, MAX_PACKET_SIZE> buf{};
  Packet ack;
  ack.header.kind = PacketKind::InputAck;
  ack.header.session = 5;
  ack.header.sender = 1;
  const std::size_t n = encodePacket(ack, buf);
  stranger.send(a.address(), std::span(buf).first(n));      // a well-formed packet, wrong address
  stranger.send(a.address(), std::span(buf).first(n - 1));  // truncated
  std::array<std::byte, 1300> big{};
  stranger.send(a.address(), big);  // oversized and garbage alike: oversized
  ack.header.session = 6;
  stranger.send(a.address(), std::span(buf).first(encodePacket(ack, buf)));
  const std::array<std::byte, 5> text{std::byte{'h'}, std::byte{'e'}, std::byte{'l'},
                                      std::byte{'l'}, std::byte{'o'}};
  b.send(a.address(), text);

  struct Counter final : Game {
    int frames = 0;
    std::expected<std::uint64_t, LockstepError> saveState(Frame f) override { return f; }
    std::expected<void, LockstepError> loadState(Frame) override { return {}; }
    void advanceFrame(Frame, std::span<const PlayerInput>) override { ++frames; }
  } ga, gb;
  const std::array<std::byte, 2> input{};
  for (int i = 0; i < 120; ++i) {
    (void)sa.advanceFrame(input, ga);
    (void)sb.advanceFrame(input, gb);
    net.advanceTime(kFrameUs);
  }
  const DropCounters& d = sa.dropped();
  EXPECT_EQ(d.unknown_sender, 1u);
  EXPECT_EQ(d.truncated, 1u);
  EXPECT_EQ(d.oversized, 1u);
  EXPECT_EQ(d.wrong_session, 1u);
  EXPECT_EQ(d.garbage, 1u);
  EXPECT_GT(ga.frames, 60);
  EXPECT_EQ(sa.advanceFrame(std::span(input).first(1), ga).error(), LockstepError::WrongInputSize);
}

TEST(P2PSession, SilenceInterruptsThenDisconnectsAndTheLeaderIsToldToWait) {
  InProcessNetwork net = InProcessNetwork::init(
      2, NetworkFaults{.min_delay_us = 10000, .max_delay_us = 10000}, nullptr);
  auto a = net.endpoint(0);
  auto b = net.endpoint(1);
  const std::array<PeerAddress, 2> addresses{a.address(), b.address()};
  SessionConfig config{.session_id = 3, .players = 2};
  P2PSession sa = P2PSession::init(config, addresses, a, net, nullptr).value();
  config.local_player = 1;
  P2PSession sb = P2PSession::init(config, addresses, b, net, nullptr).value();
  SimGame ga, gb;
  populate(ga.world, ga.store, 4);
  populate(gb.world, gb.store, 4);
  std::vector<EventKind> seen;
  std::uint32_t most_wait = 0;
  // `ticks` frames of a, and of b when b_runs.
  auto tick = [&](int ticks, bool b_runs) {
    for (int i = 0; i < ticks; ++i) {
      const std::byte in{7};
      (void)sa.advanceFrame(std::span(&in, 1), ga);
      if (b_runs) (void)sb.advanceFrame(std::span(&in, 1), gb);
      while (auto e = sa.nextEvent()) seen.push_back(e->kind);
      most_wait = std::max(most_wait, sa.recommendedWaitFrames());
      net.advanceTime(kFrameUs);
    }
  };
  tick(120, true);
  // 10 ms each way, replies sent when the peer next polls: one frame at most on top.
  EXPECT_GE(sa.stats(1).round_trip_us, 20000u);
  EXPECT_LE(sa.stats(1).round_trip_us, 20000u + kFrameUs);
  EXPECT_EQ(most_wait, 0u);
  tick(40, false);  // 667 ms of silence
  tick(30, true);
  EXPECT_GT(most_wait, 2u) << "a ran ahead while b was silent";
  const Frame before = sa.currentFrame();
  tick(400, false);  // 6.7 s
  EXPECT_EQ(seen, (std::vector<EventKind>{EventKind::Connected, EventKind::Interrupted,
                                          EventKind::Resumed, EventKind::Interrupted,
                                          EventKind::Disconnected}));
  EXPECT_GT(sa.currentFrame(), before + 50) << "a goes on without b";
}

// A spectator reports a host that does not answer rather than waiting for it: interrupted after
// half a second of silence, resumed when heard again, disconnected after five, and then silent
// itself.
TEST(SpectatorSession, ReportsAHostThatFallsSilent) {
  InProcessNetwork net = InProcessNetwork::init(2, NetworkFaults{}, nullptr);
  auto host = net.endpoint(0);
  auto me = net.endpoint(1);
  const SpectatorConfig config{.session_id = 5, .input_size = 1, .players = 2, .join_late = true};
  SpectatorSession s = SpectatorSession::init(config, host.address(), me, net, nullptr).value();
  SimGame game;
  std::vector<EventKind> seen;
  auto tick = [&](int ticks) {
    for (int i = 0; i < ticks; ++i) {
      EXPECT_EQ(s.advanceFrame(game), AdvanceStatus::Synchronizing);
      while (auto e = s.nextEvent()) seen.push_back(e->kind);
      net.advanceTime(kFrameUs);
    }
  };
  tick(40);  // 667 ms
  Packet digest;
  digest.header.kind = PacketKind::Digest;
  digest.header.session = 5;
  std::array<std::byte, MAX_PACKET_SIZE> bytes{};
  host.send(me.address(), std::span(bytes).first(encodePacket(digest, bytes)));
  tick(400);  // 6.7 s
  const std::uint64_t sent = s.stats().packets_sent;
  tick(60);
  EXPECT_EQ(seen, (std::vector<EventKind>{EventKind::Interrupted, EventKind::Resumed,
                                          EventKind::Interrupted, EventKind::Disconnected}));
  EXPECT_EQ(s.stats().packets_sent, sent) << "nothing more goes to a disconnected host";
}

}  // namespace
