// Two processes on one machine play one simulation over UDP (ENet): the first starts the second,
// both run a rollback session for 240 frames, and the second sends the first, through a pipe, the
// digest of frame 240, which must be the first's.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <nemra_lockstep/enet_transport.hpp>
#include <nemra_lockstep/nemra_lockstep.hpp>
#include <optional>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nemra_ecs/nemra_ecs.hpp>

namespace {

using namespace nemra_lockstep;

struct Ship {
  double x, y, vx, vy;
};

bool registerTypes(nemra_ecs::ComponentStore& store) {
  return store.registerType<Ship>("ship").has_value();
}

// The program's state is nemra's, so WorldStates saves and loads it.
struct Race final : WorldGame {
  Race() : WorldGame(WorldStates::init(16, registerTypes, nullptr).value()) {}

  // Each player's input byte steers its ship.
  void advanceFrame(Frame, std::span<const PlayerInput> inputs) override {
    store.each<Ship>([&](nemra_ecs::EntityId id, Ship& s) {
      const int in = std::to_integer<int>(inputs[id.id % inputs.size()].bytes[0]);
      s.vx += (in % 16 - 7.5) * 1e-3;
      s.vy += (in / 16 - 7.5) * 1e-3;
      s.x += s.vx;
      s.y += s.vy;
    });
  }
};

struct SteadyClock final : Clock {
  std::uint64_t nowMicros() noexcept override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};

// The digest of frame 240, or nothing when something failed.
std::optional<std::uint64_t> play(PlayerHandle me, EnetTransport& transport, PeerAddress other) {
  Race race;
  if (!registerTypes(race.store)) return std::nullopt;
  for (int i = 0; i < 2; ++i) {
    const auto id = race.world.createEntity("ship");
    if (!id || !race.store.set(*id, Ship{0, 0, 0, 0})) return std::nullopt;
  }
  SteadyClock clock;
  const PeerAddress peers[2] = {other, other};  // peers[me] is not used
  SessionConfig config{.session_id = 42, .input_size = 1, .players = 2, .local_player = me};
  auto session = P2PSession::init(config, peers, transport, clock, nullptr);
  if (!session) return std::nullopt;

  std::mt19937 rng(me);
  constexpr Frame kFrames = 240;
  while (session->confirmedFrame() == NO_FRAME || session->confirmedFrame() < kFrames) {
    const std::byte input{static_cast<std::uint8_t>(rng())};
    auto status = session->advanceFrame(std::span(&input, 1), race);
    if (!status) return std::nullopt;
    while (auto event = session->nextEvent()) {
      if (event->kind == EventKind::Desync) std::printf("desync at frame %u\n", event->frame);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
  }
  const std::optional<std::uint64_t> digest = session->confirmedDigest(kFrames);
  // Lingers a little so that the other player gets the last inputs too.
  for (int i = 0; i < 100; ++i) {
    session->poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  session->disconnect();
  return digest;
}

}  // namespace

int main() {
  // Player 0 listens on a free port of 127.0.0.1; player 1, a second process, connects to it
  // with tag 1, by which player 0 finds it.
  auto host = EnetTransport::init("127.0.0.1", 0, 4);
  if (!host) return 1;
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return 1;
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    auto transport = EnetTransport::init("127.0.0.1", 0, 4);
    if (!transport) return 1;
    auto to_host = transport->connect("127.0.0.1", host->port(), 1);
    if (!to_host) return 1;
    for (int i = 0; i < 5000 && !transport->connected(*to_host); ++i) transport->service(1);
    const std::optional<std::uint64_t> digest = play(1, *transport, *to_host);
    if (!digest || write(pipe_ends[1], &*digest, sizeof *digest) != sizeof *digest) return 1;
    return 0;
  }
  std::optional<PeerAddress> player1;
  for (int i = 0; i < 5000 && !player1; ++i) {
    host->service(1);
    player1 = host->peerTagged(1);
  }
  const std::optional<std::uint64_t> mine = player1 ? play(0, *host, *player1) : std::nullopt;
  std::uint64_t theirs = 0;
  const bool got = read(pipe_ends[0], &theirs, sizeof theirs) == sizeof theirs;
  int status = 0;
  waitpid(child, &status, 0);
  if (!mine || !got || *mine != theirs) return 1;
  std::printf("both players: frame 240 digest %016llx\n", static_cast<unsigned long long>(theirs));
  return 0;
}
