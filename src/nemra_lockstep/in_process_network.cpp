#include <algorithm>
#include <nemra_lockstep/in_process_network.hpp>
#include <new>

namespace nemra_lockstep {

InProcessNetwork::InProcessNetwork(std::uint32_t endpoints, NetworkFaults faults,
                                   std::pmr::memory_resource* allocator) noexcept
    : allocator_(allocator != nullptr ? allocator : std::pmr::get_default_resource()),
      endpoints_(endpoints),
      faults_(faults),
      state_(faults.seed),
      flight_(allocator_) {}

InProcessNetwork::~InProcessNetwork() { deinit(); }

void InProcessNetwork::deinit() noexcept {
  flight_.clear();
  flight_.shrink_to_fit();
}

// splitmix64: a fixed sequence from the seed on every machine.
std::uint64_t InProcessNetwork::draw() noexcept {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

void InProcessNetwork::send(std::uint32_t from, PeerAddress to,
                            std::span<const std::byte> datagram) noexcept {
  ++counters_.sent;
  if (to.id >= endpoints_ || draw() % 1000 < faults_.loss_per_mille) {
    ++counters_.lost;
    return;
  }
  const int copies = draw() % 1000 < faults_.duplicate_per_mille ? 2 : 1;
  if (copies == 2) ++counters_.duplicated;
  const std::uint64_t span = faults_.max_delay_us > faults_.min_delay_us
                                 ? faults_.max_delay_us - faults_.min_delay_us + 1
                                 : 1;
  for (int c = 0; c < copies; ++c) {
    const std::uint64_t delay = faults_.min_delay_us + draw() % span;
    try {
      flight_.push_back(
          Datagram{now_ + delay, order_++, from, to.id,
                   std::pmr::vector<std::byte>(datagram.begin(), datagram.end(), allocator_)});
    } catch (const std::bad_alloc&) {
      ++counters_.lost;  // a network may lose any datagram
    }
  }
}

std::optional<std::size_t> InProcessNetwork::receive(std::uint32_t at, PeerAddress& from,
                                                     std::span<std::byte> buffer) noexcept {
  // The earliest due datagram for `at`; of two due at once, the one sent first.
  auto best = flight_.end();
  for (auto it = flight_.begin(); it != flight_.end(); ++it) {
    if (it->to != at || it->deliver_at > now_) continue;
    if (best == flight_.end() || it->deliver_at < best->deliver_at ||
        (it->deliver_at == best->deliver_at && it->order < best->order)) {
      best = it;
    }
  }
  if (best == flight_.end()) return std::nullopt;
  const std::size_t size = best->bytes.size();
  std::copy_n(best->bytes.begin(), std::min(size, buffer.size()), buffer.begin());
  from = PeerAddress{best->from};
  flight_.erase(best);
  ++counters_.delivered;
  return size;
}

void InProcessNetwork::Endpoint::send(PeerAddress to,
                                      std::span<const std::byte> datagram) noexcept {
  network_->send(id_, to, datagram);
}

std::optional<std::size_t> InProcessNetwork::Endpoint::receive(
    PeerAddress& from, std::span<std::byte> buffer) noexcept {
  return network_->receive(id_, from, buffer);
}

}  // namespace nemra_lockstep
