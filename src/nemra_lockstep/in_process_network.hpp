// A network inside one process for tests and examples: endpoints that send each other datagrams
// which the network drops, delays, duplicates and so reorders as its seeded generator says, on a
// simulated clock. The same seed and the same calls give the same deliveries on every machine.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_IN_PROCESS_NETWORK_HPP)
#define NEMRA_LOCKSTEP_IN_PROCESS_NETWORK_HPP

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <nemra_lockstep/transport.hpp>
#include <optional>
#include <span>
#include <vector>

namespace nemra_lockstep {

struct NetworkFaults {
  // Out of 1000 datagrams, how many are lost, and how many of the rest arrive twice.
  std::uint32_t loss_per_mille = 0;
  std::uint32_t duplicate_per_mille = 0;
  // Each delivery (a duplicate's too) is delayed by a delay drawn uniformly from this range;
  // different delays reorder datagrams.
  std::uint64_t min_delay_us = 0;
  std::uint64_t max_delay_us = 0;
  std::uint64_t seed = 1;
};

struct NetworkCounters {
  std::uint64_t sent = 0;
  std::uint64_t lost = 0;
  std::uint64_t duplicated = 0;
  std::uint64_t delivered = 0;
};

// Owns every datagram in flight. Its endpoints point into it, so it neither moves nor copies.
class NEMRA_API InProcessNetwork final : public Clock {
 public:
  class NEMRA_API Endpoint final : public Transport {
   public:
    void send(PeerAddress to, std::span<const std::byte> datagram) noexcept override;
    [[nodiscard]] std::optional<std::size_t> receive(PeerAddress& from,
                                                     std::span<std::byte> buffer) noexcept override;
    [[nodiscard]] PeerAddress address() const noexcept { return PeerAddress{id_}; }

   private:
    friend class InProcessNetwork;
    Endpoint(InProcessNetwork* network, std::uint32_t id) noexcept : network_(network), id_(id) {}
    InProcessNetwork* network_;
    std::uint32_t id_;
  };

  // `endpoints` endpoints with addresses 0 .. endpoints − 1, the clock at 0. Allocates nothing.
  [[nodiscard]] static InProcessNetwork init(std::uint32_t endpoints, NetworkFaults faults,
                                             std::pmr::memory_resource* allocator) noexcept {
    return InProcessNetwork(endpoints, faults, allocator);
  }
  InProcessNetwork(const InProcessNetwork&) = delete;
  InProcessNetwork& operator=(const InProcessNetwork&) = delete;
  ~InProcessNetwork() override;
  // Releases every datagram in flight.
  void deinit() noexcept;

  // The endpoint of address `id` (< the count given to init).
  [[nodiscard]] Endpoint endpoint(std::uint32_t id) noexcept { return Endpoint(this, id); }

  // The simulated clock, which only the program moves.
  [[nodiscard]] std::uint64_t nowMicros() noexcept override { return now_; }
  void advanceTime(std::uint64_t micros) noexcept { now_ += micros; }

  [[nodiscard]] const NetworkCounters& counters() const noexcept { return counters_; }
  // Datagrams sent and not yet received (lost ones are not in flight).
  [[nodiscard]] std::size_t inFlight() const noexcept { return flight_.size(); }

 private:
  struct Datagram {
    std::uint64_t deliver_at;
    std::uint64_t order;
    std::uint32_t from;
    std::uint32_t to;
    std::pmr::vector<std::byte> bytes;
  };
  InProcessNetwork(std::uint32_t endpoints, NetworkFaults faults,
                   std::pmr::memory_resource* allocator) noexcept;
  std::uint64_t draw() noexcept;
  void send(std::uint32_t from, PeerAddress to, std::span<const std::byte> datagram) noexcept;
  std::optional<std::size_t> receive(std::uint32_t at, PeerAddress& from,
                                     std::span<std::byte> buffer) noexcept;

  std::pmr::memory_resource* allocator_;
  std::uint32_t endpoints_;
  NetworkFaults faults_;
  std::uint64_t state_;
  std::uint64_t now_ = 0;
  std::uint64_t order_ = 0;
  NetworkCounters counters_;
  std::pmr::vector<Datagram> flight_;
};

}  // namespace nemra_lockstep

#endif
