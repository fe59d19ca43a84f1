// A Transport over UDP through ENet: each session datagram is one unsequenced, unreliable ENet
// packet (the session makes up for losses itself). ENet's connections give each peer its
// address: a peer connects to another with a tag (its player handle, say), and the other finds
// it by that tag. Built only when ENet is found; the sessions never depend on it.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_ENET_TRANSPORT_HPP)
#define NEMRA_LOCKSTEP_ENET_TRANSPORT_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/transport.hpp>
#include <optional>
#include <span>

namespace nemra_lockstep {

struct EnetCounters {
  std::uint64_t sent = 0;
  // Datagrams not sent: the peer is not connected, or ENet refused them.
  std::uint64_t unsent = 0;
  std::uint64_t received = 0;
};

class NEMRA_API EnetTransport final : public Transport {
 public:
  // A host on `bind_host` (an IPv4 address such as "127.0.0.1") and `port` (0: any free port),
  // with room for `max_peers` connections. Errors: InvalidConfig (no such address, the port is
  // taken, ENet cannot start).
  [[nodiscard]] static std::expected<EnetTransport, LockstepError> init(
      const char* bind_host, std::uint16_t port, std::size_t max_peers) noexcept;
  EnetTransport(EnetTransport&& other) noexcept;
  EnetTransport& operator=(EnetTransport&& other) noexcept;
  EnetTransport(const EnetTransport&) = delete;
  EnetTransport& operator=(const EnetTransport&) = delete;
  ~EnetTransport() override;
  // Closes every connection at once and the socket.
  void deinit() noexcept;

  // The port the host is bound to.
  [[nodiscard]] std::uint16_t port() const noexcept;

  // Starts a connection to host:port that the other side will know by `tag`. The address is
  // the connection's from now on; datagrams to it are dropped until it is connected.
  [[nodiscard]] std::expected<PeerAddress, LockstepError> connect(const char* host,
                                                                  std::uint16_t port,
                                                                  std::uint32_t tag) noexcept;
  // Whether the connection of `peer` is established.
  [[nodiscard]] bool connected(PeerAddress peer) const noexcept;
  // The address of the connected peer that connected here with `tag`.
  [[nodiscard]] std::optional<PeerAddress> peerTagged(std::uint32_t tag) const noexcept;
  // Handles ENet's events for up to `timeout_ms` (connections; a session datagram that arrives
  // meanwhile is dropped, as the network may drop any).
  void service(std::uint32_t timeout_ms) noexcept;

  void send(PeerAddress to, std::span<const std::byte> datagram) noexcept override;
  [[nodiscard]] std::optional<std::size_t> receive(PeerAddress& from,
                                                   std::span<std::byte> buffer) noexcept override;

  [[nodiscard]] const EnetCounters& counters() const noexcept { return counters_; }

 private:
  explicit EnetTransport(void* host) noexcept : host_(host) {}
  // Handles one event; true when it was a received datagram, copied to `buffer`.
  bool handle(void* event, PeerAddress* from, std::span<std::byte> buffer,
              std::size_t* size) noexcept;
  // ENetHost*, kept opaque so that this header needs no ENet header.
  void* host_ = nullptr;
  EnetCounters counters_;
};

}  // namespace nemra_lockstep

#endif
