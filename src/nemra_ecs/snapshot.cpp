#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <utility>

#include <nemra_ecs/detail/hash64.hpp>
#include <nemra_ecs/detail/snapshot_format.hpp>
#include <nemra_ecs/owning.hpp>
#include <nemra_ecs/snapshot.hpp>

namespace nemra_ecs {

std::ostream& operator<<(std::ostream& os, SnapshotError error) {
  return os << snapshotErrorName(error);
}

namespace {

using namespace detail::snapshot_format;

std::size_t snapshotSize(const World& world, const ComponentStore& store) noexcept {
  std::size_t n = kHeaderSize + kChecksumSize;
  for (const RegisteredType& t : store.types()) n += kTypeFixed + t.name.size();
  for (const Entity& e : world.entities) n += kEntityFixed + e.name.size();
  for (const detail::Table& t : SnapshotAccess::tables(store)) {
    std::size_t row = 8;
    for (const detail::Column& c : t.columns) row += c.size;
    n += kArchetypeFixed + 8 * t.columns.size() + row * t.rows;
  }
  return n;
}

template <class U>
void putLe(std::byte*& p, U v) noexcept {
  v = toLe(v);
  std::memcpy(p, &v, sizeof(U));
  p += sizeof(U);
}

// Zeroes the padding bits of `count` components of `size` bytes at `p`.
void clearPadding(std::byte* p, std::size_t count, std::uint32_t size,
                  const std::byte* mask) noexcept {
  for (std::size_t i = 0; i < count; ++i, p += size) {
    for (std::uint32_t k = 0; k < size; ++k) p[k] &= mask[k];
  }
}

// Writes into storage sized beforehand.
struct BufferSink {
  std::byte* p;
  void put(const void* src, std::size_t n) noexcept {
    std::memcpy(p, src, n);
    p += n;
  }
  // Room for n bytes, to be written in place.
  std::byte* reserve(std::size_t n) noexcept { return std::exchange(p, p + n); }
  void putMasked(const std::byte* src, std::size_t count, std::uint32_t size,
                 const std::byte* mask) noexcept {
    std::byte* at = p;
    put(src, count * size);
    clearPadding(at, count, size, mask);
  }
};

// Feeds a Hash64 through a buffer, so that small fields are hashed in large pieces.
struct HashSink {
  static constexpr std::size_t kBuffer = 8192;
  detail::Hash64x8 hash;
  std::size_t fill = 0;
  alignas(64) std::byte buffer[kBuffer];
  void put(const void* src, std::size_t n) noexcept {
    if (n >= 1024) {
      flush();
      hash.update(static_cast<const std::byte*>(src), n);
      return;
    }
    if (fill + n > kBuffer) flush();
    std::memcpy(buffer + fill, src, n);
    fill += n;
  }
  // Room for n <= 1024 bytes, to be written in place.
  std::byte* reserve(std::size_t n) noexcept {
    if (fill + n > kBuffer) flush();
    return buffer + std::exchange(fill, fill + n);
  }
  void putMasked(const std::byte* src, std::size_t count, std::uint32_t size,
                 const std::byte* mask) noexcept {
    if (size > kBuffer) {
      // A component larger than the buffer goes through it in pieces.
      for (std::size_t i = 0; i < count; ++i, src += size) {
        for (std::size_t at = 0; at < size; at += kBuffer) {
          const std::size_t n = size - at < kBuffer ? size - at : kBuffer;
          flush();
          std::memcpy(buffer, src + at, n);
          for (std::size_t k = 0; k < n; ++k) buffer[k] &= mask[at + k];
          fill = n;
        }
      }
      return;
    }
    // Whole components at a time through the buffer, their padding cleared there.
    const std::size_t per = kBuffer / size;
    while (count > 0) {
      const std::size_t take = count < per ? count : per;
      flush();
      std::memcpy(buffer, src, take * size);
      clearPadding(buffer, take, size, mask);
      fill = take * size;
      src += take * size;
      count -= take;
    }
  }
  void flush() noexcept {
    hash.update(buffer, fill);
    fill = 0;
  }
};

template <class Sink>
struct Writer {
  Sink& sink;
  bool canonical_nan;
  // With `look` (or canonical NaNs), `unusual` is set when an entity's position or transform
  // holds a NaN or an infinity.
  bool look = false;
  bool unusual = false;
  void u8(std::uint8_t v) { sink.put(&v, 1); }
  void u32(std::uint32_t v) {
    v = toLe(v);
    sink.put(&v, 4);
  }
  void u64(std::uint64_t v) {
    v = toLe(v);
    sink.put(&v, 8);
  }
  void f64(double d) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    if (canonical_nan && d != d) bits = kCanonicalNan;
    u64(bits);
  }
  void bytes(const void* p, std::size_t n) {
    if (n > 0) sink.put(p, n);
  }
};

// The header, for a snapshot of `total` bytes.
template <class Sink>
void writeHeader(Writer<Sink>& w, const World& world, const ComponentStore& store,
                 std::size_t total) {
  w.bytes(kMagic, sizeof kMagic);
  w.u32(SNAPSHOT_VERSION);
  const std::uint8_t head[4] = {kHostOrder, 0, 0, 0};
  w.bytes(head, 4);
  w.u64(total);
  w.u64(world.next_id);
  w.u64(world.entities.size());
  w.u32(static_cast<std::uint32_t>(store.types().size()));
  w.u32(static_cast<std::uint32_t>(SnapshotAccess::tables(store).size()));
  w.u32(store.archetypes().next_id);
  w.u32(0);
}

// The sections after the header, in the order of docs/snapshot.md.
template <class Sink>
void writeSections(Writer<Sink>& w, const World& world, const ComponentStore& store) {
  const auto& tables = SnapshotAccess::tables(store);
  const auto& registry = store.archetypes();
  for (const RegisteredType& t : store.types()) {
    w.u32(t.size);
    w.u32(t.alignment);
    w.u32(static_cast<std::uint32_t>(t.name.size()));
    w.bytes(t.name.data(), t.name.size());
  }
  for (const Entity& e : world.entities) {
    // The fixed part of the record is put together in place, in the sink's own storage.
    std::byte* r = w.sink.reserve(kEntityFixed);
    putLe(r, e.id.id);
    putLe(r, e.parent_id.id);
    putLe(r, e.version);
    static_assert(sizeof(nemra_kernel::HomVec4) == 32 && sizeof(e.world_transform.data) == 128);
    const double position[4] = {e.position.x, e.position.y, e.position.z, e.position.w};
    const double* transform = e.world_transform.data.data();
    if constexpr (kHostLittle) {
      std::memcpy(r, position, 32);
      std::memcpy(r + 32, transform, 128);
      if (w.canonical_nan || w.look) {
        // d − d is 0 for a finite d and NaN for an infinity or a NaN, so four running sums
        // (straight-line arithmetic the compiler puts in vector registers) tell whether any
        // field may need the exact look; the look itself is rare.
        double sum[4] = {0, 0, 0, 0};
        for (int k = 0; k < 4; ++k) sum[k] += position[k] - position[k];
        for (int j = 0; j < 16; j += 4) {
          for (int k = 0; k < 4; ++k) sum[k] += transform[j + k] - transform[j + k];
        }
        const double total = (sum[0] + sum[1]) + (sum[2] + sum[3]);
        if (total != total) w.unusual = true;
        if (total != total && w.canonical_nan) {
          for (int j = 0; j < 20; ++j) {
            const double d = j < 4 ? position[j] : transform[j - 4];
            if (d != d) std::memcpy(r + 8 * j, &kCanonicalNan, 8);
          }
        }
      }
      r += 160;
    } else {
      for (int j = 0; j < 20; ++j) {
        const double d = j < 4 ? position[j] : transform[j - 4];
        if ((w.look || w.canonical_nan) && d - d != 0.0) w.unusual = true;
        putLe(r, w.canonical_nan && d != d ? kCanonicalNan : std::bit_cast<std::uint64_t>(d));
      }
    }
    *r++ = static_cast<std::byte>(e.state);
    putLe(r, static_cast<std::uint32_t>(e.name.size()));
    w.bytes(e.name.data(), e.name.size());
  }
  for (std::size_t i = 0; i < tables.size(); ++i) {
    w.u32(registry.archetypes[i].id.id);
    w.u32(tables[i].rows);
    w.u32(static_cast<std::uint32_t>(tables[i].columns.size()));
    w.u32(0);
    for (const detail::Column& c : tables[i].columns) w.u64(c.type.id);
  }
  for (const detail::Table& t : tables) {
    if constexpr (kHostLittle) {
      w.bytes(t.entities, std::size_t{t.rows} * 8);
    } else {
      for (std::uint32_t r = 0; r < t.rows; ++r) w.u64(t.entities[r]);
    }
    for (const detail::Column& c : t.columns) {
      const std::byte* mask = store.types()[c.type.id - 1].padding_mask;
      if (mask == nullptr) {
        w.bytes(c.data, std::size_t{t.rows} * c.size);
      } else if (t.rows > 0) {
        w.sink.putMasked(c.data, t.rows, c.size, mask);
      }
    }
  }
}

// Storage for the snapshot: `bytes` resized to `total`. Growing either succeeds or leaves it
// unchanged; every byte is written afterwards, so what it held does not matter.
bool sized(std::pmr::vector<std::byte>& bytes, std::size_t total) {
  try {
    bytes.resize(total);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

// Writes the snapshot into `bytes` (sized to snapshotSize). Returns the checksum written and,
// with `look`, whether an entity's position or transform holds a NaN or an infinity (without it
// the fields are only copied, no arithmetic done on them).
std::pair<std::uint64_t, bool> writeSnapshot(std::pmr::vector<std::byte>& bytes, const World& world,
                                             const ComponentStore& store, bool look) {
  BufferSink sink{bytes.data()};
  Writer<BufferSink> w{sink, false};
  w.look = look;
  writeHeader(w, world, store, bytes.size());
  writeSections(w, world, store);
  const std::uint64_t checksum = detail::checksumV2(bytes.data(), bytes.size(), kHeaderSize);
  w.u64(checksum);
  return {checksum, w.unusual};
}

}  // namespace

std::expected<std::pmr::vector<std::byte>, Error> saveSnapshot(const World& world,
                                                               const ComponentStore& store,
                                                               std::pmr::memory_resource* out) {
  std::pmr::vector<std::byte> bytes(detail::resourceOrDefault(out));
  if (!sized(bytes, snapshotSize(world, store))) return std::unexpected(Error::OutOfMemory);
  writeSnapshot(bytes, world, store, false);
  return bytes;
}

std::expected<std::uint64_t, Error> saveSnapshotInto(const World& world,
                                                     const ComponentStore& store,
                                                     std::pmr::vector<std::byte>& bytes) {
  if (!sized(bytes, snapshotSize(world, store))) return std::unexpected(Error::OutOfMemory);
  const auto [checksum, unusual] = writeSnapshot(bytes, world, store, true);
  // Without a NaN or an infinity among the entities' fields the bytes hashed are the digest's.
  return unusual ? stateDigest(world, store) : checksum;
}

// One pass: the sections are hashed as they are produced, then the header with the length
// counted on the way (the order of the version-2 checksum).
std::uint64_t stateDigest(const World& world, const ComponentStore& store) noexcept {
  HashSink sink;
  Writer<HashSink> w{sink, true};
  writeSections(w, world, store);
  sink.flush();
  writeHeader(w, world, store, kHeaderSize + sink.hash.length() + kChecksumSize);
  sink.flush();
  return sink.hash.finish();
}

}  // namespace nemra_ecs
