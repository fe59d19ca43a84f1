#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include <nemra_ecs/detail/hash64.hpp>
#include <nemra_ecs/detail/snapshot_format.hpp>
#include <nemra_ecs/snapshot.hpp>

namespace nemra_ecs {

namespace {

using namespace detail::snapshot_format;

// Reads little-endian fields; running past the end marks the reader as failed and yields zeros.
struct Reader {
  const std::byte* p;
  std::size_t left;
  bool ok = true;

  const std::byte* take(std::size_t n) noexcept {
    if (!ok || n > left) {
      ok = false;
      return nullptr;
    }
    const std::byte* at = p;
    p += n;
    left -= n;
    return at;
  }
  template <class U>
  U read() noexcept {
    const std::byte* at = take(sizeof(U));
    if (at == nullptr) return 0;
    U v;
    std::memcpy(&v, at, sizeof(U));
    return toLe(v);
  }
  std::uint8_t u8() noexcept { return read<std::uint8_t>(); }
  std::uint32_t u32() noexcept { return read<std::uint32_t>(); }
  std::uint64_t u64() noexcept { return read<std::uint64_t>(); }
  double f64() noexcept { return std::bit_cast<double>(u64()); }
  // Whether `count` records of at least `each` bytes could still follow.
  [[nodiscard]] bool room(std::uint64_t count, std::uint64_t each) const noexcept {
    return ok && count <= left / each;
  }
};

template <class U>
U getLe(const std::byte*& p) noexcept {
  U v;
  std::memcpy(&v, p, sizeof(U));
  p += sizeof(U);
  return toLe(v);
}

struct ArchetypeRecord {
  std::uint32_t id;
  std::uint32_t rows;
  std::uint32_t type_count;
  const std::byte* types;  // type_count little-endian u64
};

std::uint64_t typeAt(const ArchetypeRecord& a, std::size_t k) noexcept {
  return detail::loadLe64(a.types + 8 * k);
}

}  // namespace

std::expected<void, SnapshotError> loadSnapshot(std::span<const std::byte> bytes, World& world,
                                                ComponentStore& store) {
  using E = SnapshotError;
  if (!world.entities.empty() || !SnapshotAccess::tables(store).empty() ||
      store.entityCount() != 0) {
    return std::unexpected(E::TargetNotEmpty);
  }
  const std::size_t n = bytes.size();
  if (n == 0) return std::unexpected(E::Truncated);
  if (std::memcmp(bytes.data(), kMagic, std::min(n, sizeof kMagic)) != 0) {
    return std::unexpected(E::NotASnapshot);
  }
  if (n < kHeaderSize) return std::unexpected(E::Truncated);
  Reader head{bytes.data() + sizeof kMagic, kHeaderSize - sizeof kMagic};
  if (head.u32() != SNAPSHOT_VERSION) return std::unexpected(E::WrongVersion);
  const std::uint8_t order = head.u8();
  const bool reserved_zero = head.u8() == 0 && head.u8() == 0 && head.u8() == 0;
  const std::uint64_t total = head.u64();
  if (n < total) return std::unexpected(E::Truncated);
  if (n > total) return std::unexpected(E::Oversized);
  if (total < kHeaderSize + kChecksumSize) return std::unexpected(E::Malformed);
  const std::size_t body = n - kChecksumSize;
  if (detail::hash64(bytes.data(), body) != detail::loadLe64(bytes.data() + body)) {
    return std::unexpected(E::ChecksumMismatch);
  }
  const std::uint64_t world_next_id = head.u64();
  const std::uint64_t entity_count = head.u64();
  const std::uint32_t type_count = head.u32();
  const std::uint32_t archetype_count = head.u32();
  const std::uint32_t registry_next_id = head.u32();
  if (head.u32() != 0 || !reserved_zero || (order != kLittle && order != kBig)) {
    return std::unexpected(E::Malformed);
  }

  Reader in{bytes.data() + kHeaderSize, body - kHeaderSize};
  // Types, matched against the store's.
  const std::span<const RegisteredType> types = store.types();
  if (type_count != types.size()) return std::unexpected(E::TypeMismatch);
  for (const RegisteredType& t : types) {
    const std::uint32_t size = in.u32();
    const std::uint32_t alignment = in.u32();
    const std::uint32_t length = in.u32();
    const std::byte* name = in.take(length);
    if (!in.ok) return std::unexpected(E::Malformed);
    if (size != t.size || alignment != t.alignment || length != t.name.size() ||
        std::memcmp(name, t.name.data(), length) != 0) {
      return std::unexpected(E::TypeMismatch);
    }
  }

  std::pmr::memory_resource* world_resource = world.entities.get_allocator().resource();
  std::pmr::memory_resource* store_resource = SnapshotAccess::resource(store);
  try {
    // Entities.
    if (!in.room(entity_count, kEntityFixed)) return std::unexpected(E::Malformed);
    std::pmr::vector<Entity> entities(world_resource);
    entities.reserve(static_cast<std::size_t>(entity_count));
    std::uint64_t previous = 0;
    for (std::uint64_t i = 0; i < entity_count; ++i) {
      // The fixed part in one piece, then the name.
      const std::byte* at = in.take(kEntityFixed);
      if (at == nullptr) return std::unexpected(E::Malformed);
      Entity e = Entity::init(getLe<std::uint64_t>(at), std::string_view());
      e.parent_id = EntityId::init(getLe<std::uint64_t>(at));
      e.version = getLe<std::uint64_t>(at);
      if constexpr (kHostLittle) {
        static_assert(sizeof(nemra_kernel::HomVec4) == 32 && sizeof(e.world_transform.data) == 128);
        std::memcpy(&e.position, at, 32);
        std::memcpy(e.world_transform.data.data(), at + 32, 128);
        at += 160;
      } else {
        double* d4[4] = {&e.position.x, &e.position.y, &e.position.z, &e.position.w};
        for (double* d : d4) *d = std::bit_cast<double>(getLe<std::uint64_t>(at));
        for (double& d : e.world_transform.data)
          d = std::bit_cast<double>(getLe<std::uint64_t>(at));
      }
      const auto state = std::to_integer<std::uint8_t>(*at++);
      const std::uint32_t length = getLe<std::uint32_t>(at);
      const std::byte* name = in.take(length);
      if (!in.ok || e.id.id <= previous ||
          state > static_cast<std::uint8_t>(EntityState::destroyed)) {
        return std::unexpected(E::Malformed);
      }
      previous = e.id.id;
      e.state = static_cast<EntityState>(state);
      e.name = std::string_view(reinterpret_cast<const char*>(name), length);
      entities.push_back(e);
    }

    // Every id is below the counter, unless the counter was set to 0 (used up).
    if (world_next_id != 0 && previous >= world_next_id) return std::unexpected(E::Malformed);

    // Archetypes: ids rising from 1, each a set of known types in ascending order, no set twice.
    if (!in.room(archetype_count, kArchetypeFixed)) return std::unexpected(E::Malformed);
    std::pmr::vector<ArchetypeRecord> records(store_resource);
    records.reserve(archetype_count);
    std::uint32_t previous_id = 0;
    bool any_rows = false;
    for (std::uint32_t i = 0; i < archetype_count; ++i) {
      ArchetypeRecord a{in.u32(), in.u32(), in.u32(), nullptr};
      const bool pad_zero = in.u32() == 0;
      a.types = in.take(std::size_t{8} * std::min<std::uint32_t>(a.type_count, type_count + 1));
      if (!in.ok || !pad_zero || a.id <= previous_id || a.id == 0xFFFFFFFFU || a.type_count == 0 ||
          a.type_count > type_count || a.rows > 0xFFFFFFFEU) {
        return std::unexpected(E::Malformed);
      }
      for (std::uint32_t k = 0; k < a.type_count; ++k) {
        const std::uint64_t t = typeAt(a, k);
        if (t == 0 || t > type_count || (k > 0 && t <= typeAt(a, k - 1))) {
          return std::unexpected(E::Malformed);
        }
      }
      previous_id = a.id;
      any_rows = any_rows || a.rows > 0;
      records.push_back(a);
    }
    {
      std::pmr::vector<std::uint32_t> order_of(store_resource);
      order_of.resize(records.size());
      for (std::uint32_t i = 0; i < order_of.size(); ++i) order_of[i] = i;
      auto less = [&](std::uint32_t x, std::uint32_t y) {
        const ArchetypeRecord& a = records[x];
        const ArchetypeRecord& b = records[y];
        if (a.type_count != b.type_count) return a.type_count < b.type_count;
        for (std::uint32_t k = 0; k < a.type_count; ++k) {
          if (typeAt(a, k) != typeAt(b, k)) return typeAt(a, k) < typeAt(b, k);
        }
        return false;
      };
      std::sort(order_of.begin(), order_of.end(), less);
      for (std::size_t i = 1; i < order_of.size(); ++i) {
        if (!less(order_of[i - 1], order_of[i])) return std::unexpected(E::Malformed);
      }
    }
    if (order != kHostOrder && any_rows) return std::unexpected(E::ByteOrderMismatch);

    // Tables.
    ArchetypeRegistry registry = ArchetypeRegistry::init(store_resource);
    registry.archetypes.reserve(records.size());
    std::pmr::vector<detail::Table> tables(store_resource);
    tables.reserve(records.size());
    detail::EntityIndex index(store_resource);
    std::pmr::vector<ComponentTypeId> list(store_resource);
    // Every row's id and place, for the index built at once after the tables. Each row holds
    // at least its 8-byte id, which bounds the count before anything is allocated for it.
    std::uint64_t total_rows = 0;
    for (const ArchetypeRecord& a : records) total_rows += a.rows;
    if (total_rows > in.left / 8) return std::unexpected(E::Malformed);
    std::pmr::vector<detail::EntityIndex::Entry> entries(store_resource);
    entries.reserve(static_cast<std::size_t>(total_rows));
    for (const ArchetypeRecord& a : records) {
      std::uint64_t row_bytes = 8;
      list.clear();
      for (std::uint32_t k = 0; k < a.type_count; ++k) {
        list.push_back(ComponentTypeId::fromId(typeAt(a, k)));
        row_bytes += types[list.back().id - 1].size;
      }
      if (!in.room(a.rows, row_bytes)) return std::unexpected(E::Malformed);
      registry.next_id = a.id;
      if (!registry.createArchetype(list)) return std::unexpected(E::OutOfMemory);
      registry.archetypes.back().entity_count = a.rows;
      detail::Table table(store_resource, ArchetypeId::init(a.id));
      table.columns.reserve(list.size());
      for (ComponentTypeId t : list) {
        table.columns.push_back(
            detail::Column{t, types[t.id - 1].size, types[t.id - 1].alignment, nullptr});
      }
      if (!table.indexColumns(types.size())) return std::unexpected(E::OutOfMemory);
      if (!table.reserveRows(a.rows)) return std::unexpected(E::OutOfMemory);
      for (std::uint32_t r = 0; r < a.rows; ++r) {
        const std::uint64_t id = in.u64();
        if (id == 0) return std::unexpected(E::Malformed);
        entries.push_back({id, detail::RowRef{static_cast<std::uint32_t>(tables.size()), r}});
        table.entities[r] = id;
      }
      for (detail::Column& c : table.columns) {
        const std::size_t size = std::size_t{a.rows} * c.size;
        if (size > 0) std::memcpy(c.data, in.take(size), size);
      }
      table.rows = a.rows;
      tables.push_back(std::move(table));
    }
    if (registry_next_id != 0 && previous_id >= registry_next_id) {
      return std::unexpected(E::Malformed);
    }
    registry.next_id = registry_next_id;
    if (!in.ok || in.left != 0) return std::unexpected(E::Malformed);
    // The index, at once: its dense array has no spare slots (the tables have none either), and
    // an id given twice is malformed.
    switch (index.assign(entries)) {
      case detail::EntityIndex::Assigned::ok:
        break;
      case detail::EntityIndex::Assigned::duplicate:
        return std::unexpected(E::Malformed);
      case detail::EntityIndex::Assigned::outOfMemory:
        return std::unexpected(E::OutOfMemory);
    }

    // Nothing fails from here on.
    world.entities.swap(entities);
    world.next_id = world_next_id;
    SnapshotAccess::replace(store, std::move(registry), std::move(tables), std::move(index));
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(E::OutOfMemory);
  }
}

}  // namespace nemra_ecs
