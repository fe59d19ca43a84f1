#include <algorithm>
#include <cstdint>
#include <cstring>
#include <enet/enet.h>
#include <nemra_lockstep/enet_transport.hpp>
#include <utility>

namespace nemra_lockstep {
namespace {

ENetHost* hostOf(void* h) noexcept { return static_cast<ENetHost*>(h); }

// ENet's global start-up, once per process.
bool enetStarted() noexcept {
  static const bool started = enet_initialize() == 0;
  return started;
}

// A peer's tag is kept in its data pointer, plus one (null: no tag).
void setTag(ENetPeer* peer, std::uint32_t tag) noexcept {
  peer->data = reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag) + 1);
}

// The data pointer of a connection this side started: no tag's, and not null, so that its own
// connect event (whose data is not a tag) does not tag it.
void* const OUTGOING = reinterpret_cast<void*>(~std::uintptr_t{0});

}  // namespace

std::expected<EnetTransport, LockstepError> EnetTransport::init(const char* bind_host,
                                                                std::uint16_t port,
                                                                std::size_t max_peers) noexcept {
  if (!enetStarted() || max_peers == 0) return std::unexpected(LockstepError::InvalidConfig);
  ENetAddress address{};
  if (enet_address_set_host_ip(&address, bind_host) != 0) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  address.port = port;
  ENetHost* host = enet_host_create(&address, max_peers, 1, 0, 0);
  if (host == nullptr) return std::unexpected(LockstepError::InvalidConfig);
  return EnetTransport(host);
}

EnetTransport::EnetTransport(EnetTransport&& other) noexcept
    : host_(std::exchange(other.host_, nullptr)), counters_(other.counters_) {}

EnetTransport& EnetTransport::operator=(EnetTransport&& other) noexcept {
  if (this != &other) {
    deinit();
    host_ = std::exchange(other.host_, nullptr);
    counters_ = other.counters_;
  }
  return *this;
}

EnetTransport::~EnetTransport() { deinit(); }

void EnetTransport::deinit() noexcept {
  if (host_ == nullptr) return;
  ENetHost* host = hostOf(host_);
  for (std::size_t i = 0; i < host->peerCount; ++i) {
    if (host->peers[i].state != ENET_PEER_STATE_DISCONNECTED)
      enet_peer_disconnect_now(&host->peers[i], 0);
  }
  enet_host_destroy(host);
  host_ = nullptr;
}

std::uint16_t EnetTransport::port() const noexcept {
  return host_ == nullptr ? 0 : hostOf(host_)->address.port;
}

std::expected<PeerAddress, LockstepError> EnetTransport::connect(const char* host,
                                                                 std::uint16_t port,
                                                                 std::uint32_t tag) noexcept {
  if (host_ == nullptr) return std::unexpected(LockstepError::InvalidConfig);
  ENetAddress address{};
  if (enet_address_set_host_ip(&address, host) != 0) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  address.port = port;
  ENetPeer* peer = enet_host_connect(hostOf(host_), &address, 1, tag);
  if (peer == nullptr) return std::unexpected(LockstepError::InvalidConfig);
  peer->data = OUTGOING;
  return PeerAddress{static_cast<std::uint32_t>(peer - hostOf(host_)->peers)};
}

bool EnetTransport::connected(PeerAddress peer) const noexcept {
  if (host_ == nullptr || peer.id >= hostOf(host_)->peerCount) return false;
  return hostOf(host_)->peers[peer.id].state == ENET_PEER_STATE_CONNECTED;
}

std::optional<PeerAddress> EnetTransport::peerTagged(std::uint32_t tag) const noexcept {
  if (host_ == nullptr) return std::nullopt;
  ENetHost* host = hostOf(host_);
  for (std::size_t i = 0; i < host->peerCount; ++i) {
    const ENetPeer& p = host->peers[i];
    if (p.state == ENET_PEER_STATE_CONNECTED &&
        p.data == reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag) + 1)) {
      return PeerAddress{static_cast<std::uint32_t>(i)};
    }
  }
  return std::nullopt;
}

bool EnetTransport::handle(void* e, PeerAddress* from, std::span<std::byte> buffer,
                           std::size_t* size) noexcept {
  ENetEvent& event = *static_cast<ENetEvent*>(e);
  switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT:
      // The side that accepted learns the tag from the connection; the side that connected
      // gave none to itself.
      if (event.peer->data == nullptr) setTag(event.peer, event.data);
      return false;
    case ENET_EVENT_TYPE_DISCONNECT:
      event.peer->data = nullptr;
      return false;
    case ENET_EVENT_TYPE_RECEIVE: {
      const std::size_t n = event.packet->dataLength;
      if (from != nullptr) {
        std::memcpy(buffer.data(), event.packet->data, std::min(n, buffer.size()));
        *from = PeerAddress{static_cast<std::uint32_t>(event.peer - hostOf(host_)->peers)};
        *size = n;
      }
      enet_packet_destroy(event.packet);
      ++counters_.received;
      return from != nullptr;
    }
    case ENET_EVENT_TYPE_NONE:
      return false;
  }
  return false;
}

void EnetTransport::service(std::uint32_t timeout_ms) noexcept {
  if (host_ == nullptr) return;
  ENetEvent event;
  while (enet_host_service(hostOf(host_), &event, timeout_ms) > 0) {
    (void)handle(&event, nullptr, {}, nullptr);
    timeout_ms = 0;
  }
}

void EnetTransport::send(PeerAddress to, std::span<const std::byte> datagram) noexcept {
  if (!connected(to)) {
    ++counters_.unsent;
    return;
  }
  ENetPacket* packet =
      enet_packet_create(datagram.data(), datagram.size(), ENET_PACKET_FLAG_UNSEQUENCED);
  if (packet == nullptr || enet_peer_send(&hostOf(host_)->peers[to.id], 0, packet) != 0) {
    if (packet != nullptr) enet_packet_destroy(packet);
    ++counters_.unsent;
    return;
  }
  ++counters_.sent;
  enet_host_flush(hostOf(host_));
}

std::optional<std::size_t> EnetTransport::receive(PeerAddress& from,
                                                  std::span<std::byte> buffer) noexcept {
  if (host_ == nullptr) return std::nullopt;
  ENetEvent event;
  std::size_t size = 0;
  while (enet_host_service(hostOf(host_), &event, 0) > 0) {
    if (handle(&event, &from, buffer, &size)) return size;
  }
  return std::nullopt;
}

}  // namespace nemra_lockstep
