#include <algorithm>
#include <nemra_lockstep/blob_transfer.hpp>
#include <new>
#include <utility>

namespace nemra_lockstep {

void BlobSender::deinit() noexcept {
  bytes_ = std::pmr::vector<std::byte>(bytes_.get_allocator());
  acked_ = std::pmr::vector<bool>(acked_.get_allocator());
  sent_at_ = std::pmr::vector<std::uint64_t>(sent_at_.get_allocator());
  next_ = 0;
}

std::expected<void, LockstepError> BlobSender::start(std::uint32_t id,
                                                     std::span<const std::byte> bytes,
                                                     std::uint64_t resend_us) noexcept {
  if (bytes.empty() || bytes.size() > MAX_BLOB_SIZE) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  const std::size_t chunks = blobChunks(bytes.size());
  try {
    std::pmr::vector<std::byte> copy(bytes.begin(), bytes.end(), bytes_.get_allocator());
    std::pmr::vector<bool> acked(chunks, false, acked_.get_allocator());
    // UINT64_MAX: never sent.
    std::pmr::vector<std::uint64_t> sent_at(chunks, UINT64_MAX, sent_at_.get_allocator());
    bytes_ = std::move(copy);
    acked_ = std::move(acked);
    sent_at_ = std::move(sent_at);
  } catch (const std::bad_alloc&) {
    return std::unexpected(LockstepError::OutOfMemory);
  }
  id_ = id;
  resend_us_ = resend_us;
  next_ = 0;
  return {};
}

std::optional<Packet> BlobSender::nextChunk(std::uint64_t now) noexcept {
  const auto chunks = static_cast<std::uint32_t>(acked_.size());
  const std::uint32_t end = std::min(chunks, next_ + WINDOW);
  for (std::uint32_t i = next_; i < end; ++i) {
    if (acked_[i]) continue;
    if (sent_at_[i] != UINT64_MAX && now - std::min(now, sent_at_[i]) < resend_us_) continue;
    sent_at_[i] = now;
    ++sent_;
    Packet p;
    p.header.kind = PacketKind::BlobChunk;
    const std::size_t start = std::size_t{i} * BLOB_CHUNK_SIZE;
    p.chunk = BlobChunkBody{id_, static_cast<std::uint32_t>(bytes_.size()), i,
                            std::span<const std::byte>(bytes_).subspan(
                                start, std::min(BLOB_CHUNK_SIZE, bytes_.size() - start))};
    return p;
  }
  return std::nullopt;
}

void BlobSender::onAck(const BlobAckBody& ack) noexcept {
  if (ack.id != id_ || acked_.empty()) return;
  const auto chunks = static_cast<std::uint32_t>(acked_.size());
  const std::uint32_t through = std::min(ack.next, chunks);
  for (std::uint32_t i = next_; i < through; ++i) acked_[i] = true;
  for (std::uint32_t bit = 0; bit < 64; ++bit) {
    const std::uint64_t i = std::uint64_t{ack.next} + 1 + bit;
    if ((ack.mask >> bit & 1u) != 0 && i < chunks) acked_[i] = true;
  }
  while (next_ < chunks && acked_[next_]) ++next_;
}

bool BlobSender::done() const noexcept { return !acked_.empty() && next_ == acked_.size(); }

void BlobReceiver::deinit() noexcept {
  bytes_ = std::pmr::vector<std::byte>(bytes_.get_allocator());
  have_ = std::pmr::vector<bool>(have_.get_allocator());
  started_ = false;
  next_ = 0;
}

BlobAckBody BlobReceiver::ack() const noexcept {
  BlobAckBody a{id_, next_, 0};
  for (std::uint32_t bit = 0; bit < 64; ++bit) {
    const std::uint64_t i = std::uint64_t{next_} + 1 + bit;
    if (i < have_.size() && have_[i]) a.mask |= std::uint64_t{1} << bit;
  }
  return a;
}

std::expected<BlobAckBody, LockstepError> BlobReceiver::onChunk(
    const BlobChunkBody& chunk) noexcept {
  const std::size_t chunks = blobChunks(chunk.total);
  if (chunk.total == 0 || chunk.total > max_size_ || chunk.index >= chunks ||
      chunk.data.size() !=
          std::min(BLOB_CHUNK_SIZE, chunk.total - std::size_t{chunk.index} * BLOB_CHUNK_SIZE)) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  if (!started_ || chunk.id != id_) {
    try {
      std::pmr::vector<std::byte> bytes(chunk.total, std::byte{0}, bytes_.get_allocator());
      std::pmr::vector<bool> have(chunks, false, have_.get_allocator());
      bytes_ = std::move(bytes);
      have_ = std::move(have);
    } catch (const std::bad_alloc&) {
      return std::unexpected(LockstepError::OutOfMemory);
    }
    started_ = true;
    id_ = chunk.id;
    next_ = 0;
  } else if (chunk.total != bytes_.size()) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  if (!have_[chunk.index]) {
    std::ranges::copy(chunk.data, bytes_.begin() + static_cast<std::ptrdiff_t>(
                                                       std::size_t{chunk.index} * BLOB_CHUNK_SIZE));
    have_[chunk.index] = true;
    while (next_ < have_.size() && have_[next_]) ++next_;
  }
  return ack();
}

bool BlobReceiver::complete() const noexcept { return started_ && next_ == have_.size(); }

std::span<const std::byte> BlobReceiver::bytes() const noexcept {
  return complete() ? std::span<const std::byte>(bytes_) : std::span<const std::byte>{};
}

}  // namespace nemra_lockstep
