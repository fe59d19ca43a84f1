// Lockstep across real processes over UDP. One program, by its first argument:
//
//   driver <dir> agree|fault  starts a relay and the peers, waits for them (bounded) and checks
//                             what they wrote;
//   relay key=value...        forwards datagrams between the peers, losing 10 %, duplicating 5 %
//                             and delaying each by 0-60 ms (so reordering them);
//   peer key=value...         a player (index < players) or the spectator that joins late.
//
// Every peer talks to the relay only: peer i reaches peer j at relay port R[j], and the relay
// sends it on to j from R[i], so that j's replies come back through the relay too. "agree": three
// players and a spectator joining at frame 300 from a state sent over the network; every peer's
// digests must agree on every frame. "fault": player 2 moves one body by one ulp at frame 400;
// player 0 must see a desync at the first digest frame after it and report that body.
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nemra_lockstep/enet_transport.hpp>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/watch_session.hpp>
#include <nemra_lockstep/world_states.hpp>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <queue>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/snapshot.hpp>
#include <nemra_ecs/world.hpp>

extern char** environ;

namespace {

using namespace nemra_lockstep;
using nemra_ecs::ComponentStore;
using nemra_ecs::World;
using Steady = std::chrono::steady_clock;

constexpr std::uint32_t kSession = 0x4e455453;
constexpr std::uint64_t kFrameUs = 16667;
constexpr Frame kFrames = 600;
constexpr Frame kJoinAt = 300;
constexpr Frame kFaultFrame = 400;
// The body the fault moves: one well inside the world, of whatever size.
std::uint32_t faultEntity(int bodies) { return static_cast<std::uint32_t>(bodies) * 5 / 8; }
constexpr std::size_t kPlayers = 3;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "net_peers: %s\n", what.c_str());
  std::exit(2);
}

std::vector<std::uint16_t> portList(const std::string& s) {
  std::vector<std::uint16_t> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, ',');) {
    out.push_back(static_cast<std::uint16_t>(std::stoul(part)));
  }
  return out;
}

std::map<std::string, std::string> options(int argc, char** argv) {
  std::map<std::string, std::string> o;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const auto eq = a.find('=');
    if (eq == std::string::npos) die("not key=value: " + a);
    o[a.substr(0, eq)] = a.substr(eq + 1);
  }
  return o;
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// ---- the relay -----------------------------------------------------------------------------

int relay(const std::map<std::string, std::string>& o) {
  const auto peers = portList(o.at("ports"));
  const auto relays = portList(o.at("relays"));
  std::vector<int> sockets;
  for (std::uint16_t port : relays) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = loopback(port);
    if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      die("relay cannot bind port " + std::to_string(port));
    }
    sockets.push_back(s);
  }
  struct Pending {
    Steady::time_point at;
    std::uint64_t order;
    std::size_t via;
    std::uint16_t to;
    std::vector<char> bytes;
    bool operator>(const Pending& o) const { return at != o.at ? at > o.at : order > o.order; }
  };
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue;
  std::mt19937_64 rng(std::stoull(o.at("seed")));
  std::uint64_t order = 0;
  std::vector<pollfd> fds;
  for (int s : sockets) fds.push_back(pollfd{s, POLLIN, 0});
  std::array<char, 65536> buffer{};
  for (;;) {
    const auto now = Steady::now();
    while (!queue.empty() && queue.top().at <= now) {
      const Pending& p = queue.top();
      const sockaddr_in to = loopback(p.to);
      (void)sendto(sockets[p.via], p.bytes.data(), p.bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
      queue.pop();
    }
    int wait_ms = 5;
    if (!queue.empty()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(queue.top().at - now).count();
      wait_ms = static_cast<int>(std::clamp<long long>(left, 0, 5));
    }
    if (poll(fds.data(), fds.size(), wait_ms) <= 0) continue;
    for (std::size_t j = 0; j < fds.size(); ++j) {
      if ((fds[j].revents & POLLIN) == 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const auto n = recvfrom(sockets[j], buffer.data(), buffer.size(), 0,
                              reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0) continue;
      // From peer i to peer j: out through R[i], so that j answers through the relay.
      const auto i = std::ranges::find(peers, ntohs(from.sin_port)) - peers.begin();
      if (static_cast<std::size_t>(i) >= peers.size() || j >= peers.size()) continue;
      if (rng() % 1000 < 100) continue;
      const int copies = rng() % 1000 < 50 ? 2 : 1;
      for (int c = 0; c < copies; ++c) {
        const auto delay = std::chrono::microseconds(rng() % 60001);
        queue.push(Pending{Steady::now() + delay, order++, static_cast<std::size_t>(i), peers[j],
                           std::vector<char>(buffer.data(), buffer.data() + n)});
      }
    }
  }
}

// ---- the simulation ------------------------------------------------------------------------

struct Body {
  double x, y, vx, vy;
};

bool registerTypes(ComponentStore& store) { return store.registerType<Body>("body").has_value(); }

struct NetGame final : WorldGame {
  NetGame() : WorldGame(WorldStates::init(40, registerTypes, nullptr).value()) {}
  Frame fault_frame = NO_FRAME;
  std::uint32_t fault_entity = 0;

  void populate(int bodies) {
    if (!registerTypes(store)) die("register");
    for (int i = 0; i < bodies; ++i) {
      const auto id = world.createEntity("body").value();
      if (!store.set(id, Body{0.5 * i, -0.25 * i, 0.0, 0.0})) die("set");
    }
  }
  // Body k steers by player k % players; each body also feels the one before it a little.
  void advanceFrame(Frame f, std::span<const PlayerInput> inputs) override {
    double carry = 0.0;
    store.each<Body>([&](nemra_ecs::EntityId id, Body& b) {
      const auto in = std::to_integer<int>(inputs[id.id % inputs.size()].bytes[0]);
      b.vx += (in % 16 - 7.5) * 1e-3 + carry * 1e-6;
      b.vy += (in / 16 - 7.5) * 1e-3;
      b.x += b.vx;
      b.y += b.vy;
      carry = b.x;
    });
    if (f == fault_frame) {
      Body* b = store.get<Body>(nemra_ecs::EntityId::init(fault_entity));
      if (b == nullptr) die("no body to move");
      b->x = std::nextafter(b->x, 1e300);
    }
  }
};

struct WallClock final : Clock {
  Steady::time_point origin = Steady::now();
  std::uint64_t nowMicros() noexcept override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - origin).count());
  }
};

void writeDigests(const std::string& path, const std::vector<std::optional<std::uint64_t>>& d) {
  std::ofstream out(path);
  for (std::size_t f = 0; f < d.size(); ++f) {
    if (d[f]) out << f << ' ' << std::hex << *d[f] << std::dec << '\n';
  }
}

// ---- a peer --------------------------------------------------------------------------------

int peer(const std::map<std::string, std::string>& o) {
  const auto index = static_cast<std::size_t>(std::stoul(o.at("index")));
  const auto ports = portList(o.at("ports"));
  const auto relays = portList(o.at("relays"));
  const std::string dir = o.at("dir");
  const bool fault = o.at("scenario") == "fault";
  const int bodies = std::stoi(o.at("bodies"));
  const bool spectator = index == kPlayers;
  auto transport = EnetTransport::init("127.0.0.1", ports[index], 8);
  if (!transport) die("cannot bind the peer's port");
  // Peer i connects to every j > i (the spectator to player 0), tagging itself i; the others
  // connect to it.
  std::vector<std::optional<PeerAddress>> addresses(kPlayers);
  if (spectator) {
    addresses[0] =
        transport->connect("127.0.0.1", relays[0], static_cast<std::uint32_t>(index)).value();
  } else {
    for (std::size_t j = index + 1; j < kPlayers; ++j) {
      addresses[j] =
          transport->connect("127.0.0.1", relays[j], static_cast<std::uint32_t>(index)).value();
    }
  }
  const auto deadline = Steady::now() + std::chrono::seconds(15);
  for (;;) {
    transport->service(1);
    bool all = true;
    for (std::size_t j = 0; j < kPlayers; ++j) {
      if (j == index || (spectator && j != 0)) continue;
      if (j < index && !spectator)
        addresses[j] = transport->peerTagged(static_cast<std::uint32_t>(j));
      all = all && addresses[j] && transport->connected(*addresses[j]);
    }
    if (all) break;
    if (Steady::now() > deadline) die("peer " + std::to_string(index) + " could not connect");
  }
  WallClock clock;
  NetGame game;
  std::vector<std::optional<std::uint64_t>> digests;
  std::ofstream log(dir + "/events." + std::to_string(index));
  auto next = Steady::now();
  const auto give_up = Steady::now() + std::chrono::seconds(45);

  if (spectator) {
    if (!registerTypes(game.store)) die("register");
    const SpectatorConfig config{
        .session_id = kSession,
        .input_size = 1,
        .players = kPlayers,
        .join_late = true,
        // The host serves it only from frame 300 on, some seconds after it starts asking.
        .disconnect_after_us = 60000000};
    auto session = SpectatorSession::init(config, *addresses[0], *transport, clock, nullptr);
    if (!session) die("spectator init");
    while (session->currentFrame() <= kFrames || session->startFrame() == NO_FRAME) {
      // Behind after the transfer: several frames a tick until caught up.
      for (int n = 0; n < 8; ++n) {
        const auto status = session->advanceFrame(game);
        if (!status) die("spectator advance");
        if (*status != AdvanceStatus::Advanced) break;
        const Frame f = session->currentFrame();
        if (f <= kFrames) {
          digests.resize(f + 1);
          digests[f] = session->digest(f);
        }
      }
      while (auto e = session->nextEvent())
        log << "event " << static_cast<int>(e->kind) << ' ' << e->frame << '\n';
      if (Steady::now() > give_up) die("spectator ran out of time");
      next += std::chrono::microseconds(kFrameUs);
      std::this_thread::sleep_until(next);
    }
    log << "start " << session->startFrame() << '\n';
    session->disconnect();
    transport->service(50);
    writeDigests(dir + "/digests." + std::to_string(index), digests);
    return 0;
  }

  std::vector<PeerAddress> peers(kPlayers);
  for (std::size_t j = 0; j < kPlayers; ++j) {
    if (j != index) peers[j] = *addresses[j];
  }
  const SessionConfig config{.session_id = kSession,
                             .input_size = 1,
                             .players = kPlayers,
                             .local_player = static_cast<PlayerHandle>(index),
                             .input_delay = 2,
                             .max_prediction = 8,
                             .digest_interval = 8,
                             .interrupt_after_us = 1000000,
                             .disconnect_after_us = 3000000};
  auto session = P2PSession::init(config, peers, *transport, clock, nullptr);
  if (!session) die("session init");
  game.populate(bodies);
  if (fault && index == 2) {
    game.fault_frame = kFaultFrame;
    game.fault_entity = faultEntity(bodies);
  }
  std::mt19937_64 rng(77 + index);
  std::byte input{static_cast<std::uint8_t>(rng())};
  bool spectator_added = !fault && index == 0 ? false : true;
  bool asked = false;
  bool reported = !(fault && index == 0);
  bool someone_left = false;
  int skipped = 0, waited = 0, since_skip = 0;
  for (;;) {
    // A frame skipped now and then lets the others catch up; the measure is noisy, so only a
    // clear lead counts.
    if (session->recommendedWaitFrames() > 1 && ++since_skip > 10) {
      since_skip = 0;
      ++skipped;
      session->poll();
    } else {
      const auto status = session->advanceFrame(std::span(&input, 1), game);
      if (!status) die("advance");
      if (*status == AdvanceStatus::WaitingForInputs) ++waited;
      if (*status == AdvanceStatus::Advanced) input = std::byte{static_cast<std::uint8_t>(rng())};
    }
    const Frame confirmed = session->confirmedFrame();
    for (std::size_t f = digests.size(); confirmed != NO_FRAME && f <= std::min(confirmed, kFrames);
         ++f) {
      digests.push_back(session->confirmedDigest(static_cast<Frame>(f)));
    }
    while (auto e = session->nextEvent()) {
      log << "event " << static_cast<int>(e->kind) << ' ' << static_cast<int>(e->player) << ' '
          << e->frame << '\n';
      someone_left = someone_left || e->kind == EventKind::Disconnected;
      if (e->kind == EventKind::Desync && !asked && !reported) {
        asked = session->requestDesyncReport(*e, game).has_value();
      }
      if (e->kind == EventKind::DesyncReport) {
        const auto r = session->desyncReport();
        log << "report " << static_cast<int>(r->player) << ' ' << r->frame << ' ' << r->compared
            << ' ' << r->difference.field << ' ' << r->difference.entity.id << '\n';
        log << "report came at frame " << session->currentFrame() << '\n';
        reported = true;
      }
      if (e->kind == EventKind::Desync) log << "asked " << asked << '\n';
      log.flush();  // kept if the peer gives up
    }
    if (!spectator_added && confirmed != NO_FRAME && confirmed >= kJoinAt) {
      if (auto s = transport->peerTagged(static_cast<std::uint32_t>(kPlayers))) {
        spectator_added = session->addSpectator(*s).has_value();
        log << "spectator added at " << confirmed << '\n';
      }
    }
    // In the fault run player 0 leaves once it has its report and 60 frames past the last, and
    // the others once it left. The 60 frames: a peer that leaves drops the inputs the others have
    // not yet received from it (they become zero inputs there), and no peer runs more than the
    // prediction window ahead of the inputs it has, so by then every peer has player 0's inputs
    // for every frame compared.
    const bool finished = confirmed != NO_FRAME && confirmed >= kFrames && reported &&
                          (fault ? (index == 0 && confirmed >= kFrames + 60) || someone_left
                                 : confirmed >= kFrames + 120 || someone_left);
    if (finished) break;
    if (Steady::now() > give_up) {
      const auto& c = transport->counters();
      die("player " + std::to_string(index) + " ran out of time at frame " +
          std::to_string(session->currentFrame()) + ", confirmed " + std::to_string(confirmed) +
          "; datagrams sent " + std::to_string(c.sent) + ", unsent " + std::to_string(c.unsent) +
          ", received " + std::to_string(c.received) + "; frames skipped " +
          std::to_string(skipped) + ", waited " + std::to_string(waited));
    }
    next += std::chrono::microseconds(kFrameUs);
    std::this_thread::sleep_until(next);
  }
  session->disconnect();
  transport->service(50);
  writeDigests(dir + "/digests." + std::to_string(index), digests);
  return 0;
}

// ---- the driver ----------------------------------------------------------------------------

// Free UDP ports of 127.0.0.1, held open together while chosen so that they differ.
std::vector<std::uint16_t> freePorts(std::size_t n) {
  std::vector<int> held;
  std::vector<std::uint16_t> ports;
  for (std::size_t i = 0; i < n; ++i) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      die("no free port");
    }
    held.push_back(s);
    ports.push_back(ntohs(a.sin_port));
  }
  for (int s : held) close(s);
  return ports;
}

std::string joined(const std::vector<std::uint16_t>& v) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
  return s;
}

pid_t start(const std::string& self, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(self.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) die("spawn");
  return pid;
}

std::map<Frame, std::string> readDigests(const std::string& path) {
  std::map<Frame, std::string> d;
  std::ifstream in(path);
  Frame f = 0;
  std::string hex;
  while (in >> f >> hex) d[f] = hex;
  return d;
}

int driver(const std::string& self, const std::string& dir, const std::string& scenario,
           const std::string& bodies) {
  const std::size_t peers = kPlayers + 1;
  std::filesystem::create_directories(dir);
  for (std::size_t i = 0; i < peers; ++i) {
    std::filesystem::remove(dir + "/digests." + std::to_string(i));
    std::filesystem::remove(dir + "/events." + std::to_string(i));
  }
  const auto ports = freePorts(2 * peers);
  const std::vector<std::uint16_t> own(ports.begin(), ports.begin() + peers);
  const std::vector<std::uint16_t> relays(ports.begin() + peers, ports.end());
  const std::string p = "ports=" + joined(own), r = "relays=" + joined(relays);
  const pid_t relay_pid = start(self, {"relay", p, r, "seed=2026"});
  std::vector<pid_t> pids;
  const std::size_t count = scenario == "agree" ? peers : kPlayers;
  for (std::size_t i = 0; i < count; ++i) {
    pids.push_back(start(self, {"peer", p, r, "dir=" + dir, "scenario=" + scenario,
                                "bodies=" + bodies, "index=" + std::to_string(i)}));
  }
  int failures = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);  // each peer gives up by itself in 45 s
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
  }
  kill(relay_pid, SIGTERM);
  waitpid(relay_pid, nullptr, 0);
  if (failures != 0) die(std::to_string(failures) + " peer(s) failed");

  const auto reference = readDigests(dir + "/digests.0");
  for (Frame f = 0; f <= kFrames; ++f) {
    if (!reference.contains(f)) die("peer 0 has no digest of frame " + std::to_string(f));
  }
  auto mismatch = [&](std::size_t peer, Frame from, Frame to) {
    const auto d = readDigests(dir + "/digests." + std::to_string(peer));
    for (Frame f = from; f <= to; ++f) {
      if (!d.contains(f) || d.at(f) != reference.at(f)) return static_cast<long>(f);
    }
    return -1L;
  };
  if (scenario == "agree") {
    for (std::size_t i = 1; i < kPlayers; ++i) {
      if (const long f = mismatch(i, 0, kFrames); f >= 0) {
        die("player " + std::to_string(i) + " differs at frame " + std::to_string(f));
      }
    }
    std::ifstream events(dir + "/events.3");
    std::string line, word;
    Frame joined_at = NO_FRAME;
    while (std::getline(events, line)) {
      std::istringstream in(line);
      if (in >> word && word == "start") in >> joined_at;
    }
    if (joined_at < kJoinAt || joined_at > kFrames) die("the spectator did not join after 300");
    if (const long f = mismatch(3, joined_at + 1, kFrames); f >= 0) {
      die("the spectator differs at frame " + std::to_string(f));
    }
    std::printf("3 players and a spectator from frame %u agree on frames 0-%u\n", joined_at,
                kFrames);
    return 0;
  }
  // fault: players 0 and 1 agree throughout; 2 until the fault; 0 reports the body it moved.
  if (const long f = mismatch(1, 0, kFrames); f >= 0)
    die("player 1 differs at " + std::to_string(f));
  if (const long f = mismatch(2, 0, kFaultFrame); f >= 0) {
    die("player 2 differs before its fault, at " + std::to_string(f));
  }
  std::ifstream events(dir + "/events.0");
  std::string line;
  const std::string want =
      "report 2 408 1 component " + std::to_string(faultEntity(std::stoi(bodies)));
  while (std::getline(events, line)) {
    if (line == want) {
      std::printf("%s\n", line.c_str());
      return 0;
    }
  }
  die("no '" + want + "' in player 0's events");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) die("usage: net_peers driver <dir> agree|fault [bodies] | relay ... | peer ...");
  const std::string mode = argv[1];
  if (mode == "driver" && argc >= 4) {
    return driver(argv[0], argv[2], argv[3], argc >= 5 ? argv[4] : "2000");
  }
  if (mode == "relay") return relay(options(argc, argv));
  if (mode == "peer") return peer(options(argc, argv));
  die("unknown mode " + mode);
}
