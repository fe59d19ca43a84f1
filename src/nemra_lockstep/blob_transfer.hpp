// Reliable transfer of a blob (a snapshot for a peer that joins late, or for a desync report) over
// a transport that loses, duplicates and reorders datagrams: the sender sends BLOB_CHUNK_SIZE
// chunks, at most WINDOW beyond the first the receiver lacks, and sends a chunk again when no
// acknowledgement has covered it for a while; the receiver acknowledges every chunk with what it
// holds. Both sides make and take packets; the program moves them through its transport.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_BLOB_TRANSFER_HPP)
#define NEMRA_LOCKSTEP_BLOB_TRANSFER_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/packet.hpp>
#include <optional>
#include <span>
#include <vector>

namespace nemra_lockstep {

class NEMRA_API BlobSender {
 public:
  // Chunks sent ahead of the first one the receiver lacks.
  static constexpr std::uint32_t WINDOW = 64;

  // Nothing to send yet. Allocates nothing.
  [[nodiscard]] static BlobSender init(std::pmr::memory_resource* allocator) noexcept {
    return BlobSender(allocator != nullptr ? allocator : std::pmr::get_default_resource());
  }
  BlobSender(BlobSender&&) noexcept = default;
  BlobSender& operator=(BlobSender&&) noexcept = default;
  BlobSender(const BlobSender&) = delete;
  BlobSender& operator=(const BlobSender&) = delete;
  ~BlobSender() = default;
  void deinit() noexcept;

  // Starts sending a copy of `bytes` (1 .. MAX_BLOB_SIZE bytes) as blob `id`, dropping any blob
  // before it; a chunk not acknowledged `resend_us` after it was sent goes again. Errors:
  // InvalidConfig (a size out of range), OutOfMemory; either leaves the sender as it was.
  [[nodiscard]] std::expected<void, LockstepError> start(std::uint32_t id,
                                                         std::span<const std::byte> bytes,
                                                         std::uint64_t resend_us) noexcept;
  // The next chunk due at time `now` (a BlobChunk packet borrowing from the sender, header left
  // to the caller), marked as sent; nothing when none is due.
  [[nodiscard]] std::optional<Packet> nextChunk(std::uint64_t now) noexcept;
  // Takes the receiver's acknowledgement (of this blob; others are ignored).
  void onAck(const BlobAckBody& ack) noexcept;
  // Whether the receiver holds every chunk.
  [[nodiscard]] bool done() const noexcept;
  // Chunks sent, again ones included.
  [[nodiscard]] std::uint64_t chunksSent() const noexcept { return sent_; }
  // Whether a blob was started, and its id.
  [[nodiscard]] bool started() const noexcept { return !acked_.empty(); }
  [[nodiscard]] std::uint32_t id() const noexcept { return id_; }

 private:
  explicit BlobSender(std::pmr::memory_resource* r) noexcept : bytes_(r), acked_(r), sent_at_(r) {}
  std::uint32_t id_ = 0;
  std::uint64_t resend_us_ = 0;
  std::uint32_t next_ = 0;
  std::uint64_t sent_ = 0;
  std::pmr::vector<std::byte> bytes_;
  std::pmr::vector<bool> acked_;
  // When each chunk was last sent, and whether it ever was.
  std::pmr::vector<std::uint64_t> sent_at_;
};

class NEMRA_API BlobReceiver {
 public:
  // Accepts blobs of at most `max_size` bytes. Allocates nothing.
  [[nodiscard]] static BlobReceiver init(std::size_t max_size,
                                         std::pmr::memory_resource* allocator) noexcept {
    return BlobReceiver(max_size,
                        allocator != nullptr ? allocator : std::pmr::get_default_resource());
  }
  BlobReceiver(BlobReceiver&&) noexcept = default;
  BlobReceiver& operator=(BlobReceiver&&) noexcept = default;
  BlobReceiver(const BlobReceiver&) = delete;
  BlobReceiver& operator=(const BlobReceiver&) = delete;
  ~BlobReceiver() = default;
  void deinit() noexcept;

  // Takes a chunk and returns the acknowledgement to send back. A chunk of a new blob id starts
  // that blob over; one whose total disagrees with its blob's, or beyond max_size, is refused
  // (InvalidConfig); OutOfMemory when the blob's room cannot be had. Either leaves the receiver
  // as it was.
  [[nodiscard]] std::expected<BlobAckBody, LockstepError> onChunk(
      const BlobChunkBody& chunk) noexcept;
  // Whether every chunk of the current blob is here, and its bytes then.
  [[nodiscard]] bool complete() const noexcept;
  [[nodiscard]] std::span<const std::byte> bytes() const noexcept;
  [[nodiscard]] std::uint32_t id() const noexcept { return id_; }
  // Whether a chunk of any blob has come, and the acknowledgement of what is held of the current
  // blob.
  [[nodiscard]] bool started() const noexcept { return started_; }
  [[nodiscard]] BlobAckBody held() const noexcept { return ack(); }

 private:
  BlobReceiver(std::size_t max_size, std::pmr::memory_resource* r) noexcept
      : max_size_(max_size), bytes_(r), have_(r) {}
  BlobAckBody ack() const noexcept;
  std::size_t max_size_;
  bool started_ = false;
  std::uint32_t id_ = 0;
  std::uint32_t next_ = 0;
  std::pmr::vector<std::byte> bytes_;
  std::pmr::vector<bool> have_;
};

}  // namespace nemra_lockstep

#endif
