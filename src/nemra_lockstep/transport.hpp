// What a session needs of a network: send a datagram to a peer, take the next received one. A
// datagram may be lost, duplicated, delayed or reordered; the session copes with all four. The
// session never depends on a particular network library: UDP, a relay or the in-process network
// of in_process_network.hpp are implementations of this interface.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_TRANSPORT_HPP)
#define NEMRA_LOCKSTEP_TRANSPORT_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace nemra_lockstep {

// A peer as the transport knows it (an index into its table of addresses).
struct PeerAddress {
  std::uint32_t id = 0;
  friend constexpr bool operator==(PeerAddress, PeerAddress) = default;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one datagram to `to`, or drops it (a full queue, no memory, an unknown peer).
  virtual void send(PeerAddress to, std::span<const std::byte> datagram) noexcept = 0;
  // Takes the next received datagram: copies at most buffer.size() of its bytes into `buffer`,
  // sets `from` and returns its whole length (longer than the buffer when it did not fit), or
  // nothing when no datagram waits.
  [[nodiscard]] virtual std::optional<std::size_t> receive(
      PeerAddress& from, std::span<std::byte> buffer) noexcept = 0;

 protected:
  Transport() = default;
  Transport(const Transport&) = default;
  Transport& operator=(const Transport&) = default;
};

// The session's source of time, in microseconds from any fixed origin. Only the pacing (sync
// requests, round-trip times, time-outs, the frames to wait) reads it, never the simulation; tests
// give a simulated one.
class Clock {
 public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual std::uint64_t nowMicros() noexcept = 0;

 protected:
  Clock() = default;
  Clock(const Clock&) = default;
  Clock& operator=(const Clock&) = default;
};

}  // namespace nemra_lockstep

#endif
