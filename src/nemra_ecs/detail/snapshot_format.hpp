// The constants of the snapshot format (docs/snapshot.md) and the store internals that saving
// and loading reach. Private to snapshot.cpp and snapshot_load.cpp.
#ifndef NEMRA_ECS_DETAIL_SNAPSHOT_FORMAT_HPP
#define NEMRA_ECS_DETAIL_SNAPSHOT_FORMAT_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <utility>
#include <vector>

#include <nemra_ecs/archetype_registry.hpp>
#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/world.hpp>

namespace nemra_ecs {

// The store's internals that saving and loading read and replace.
struct SnapshotAccess {
  static const std::pmr::vector<detail::Table>& tables(const ComponentStore& s) noexcept {
    return s.tables_;
  }
  static std::pmr::memory_resource* resource(const ComponentStore& s) noexcept {
    return s.tables_.get_allocator().resource();
  }
  static void dropSpare(ComponentStore& s) noexcept { s.dropSpare(); }
  // The storage a restore builds the new state in.
  struct Spare {
    std::pmr::vector<detail::Table>& tables;
    detail::EntityIndex& index;
    std::pmr::vector<detail::EntityIndex::Entry>& rows;
    std::pmr::vector<char>& names;
    std::pmr::vector<Entity>& entities;
  };
  static Spare spare(ComponentStore& s, World& w) noexcept {
    return {s.spare_tables_, s.spare_index_, s.spare_rows_, w.spare_names_, w.spare_entities_};
  }
  // Swaps the state built in the spare storage (and `tables`) in; the replaced state's storage
  // becomes the spare. The world's entities are in place already.
  static void commit(ComponentStore& s, World& w, ArchetypeRegistry&& registry,
                     std::pmr::vector<detail::Table>& tables) noexcept {
    s.registry_ = std::move(registry);
    s.tables_.swap(tables);
    // The replaced tables are kept for the next restore; spare tables it did not take go.
    for (detail::Table& t : s.spare_tables_) t.release();
    s.spare_tables_.clear();
    s.spare_tables_.swap(tables);
    s.index_.swap(s.spare_index_);
    s.forgetEdges();
    w.names_.swap(w.spare_names_);
  }
};

namespace detail::snapshot_format {

inline constexpr std::byte kMagic[8] = {std::byte{'n'}, std::byte{'e'}, std::byte{'m'},
                                        std::byte{'r'}, std::byte{'a'}, std::byte{'S'},
                                        std::byte{'S'}, std::byte{0x1A}};
inline constexpr std::size_t kHeaderSize = 56;
inline constexpr std::size_t kChecksumSize = 8;
// id, parent id, version, position (4 doubles), transform (16 doubles), state, name length.
inline constexpr std::size_t kEntityFixed = 3 * 8 + 4 * 8 + 16 * 8 + 1 + 4;
inline constexpr std::size_t kTypeFixed = 12;
inline constexpr std::size_t kArchetypeFixed = 16;
inline constexpr std::uint8_t kLittle = 1;
inline constexpr std::uint8_t kBig = 2;
inline constexpr std::uint8_t kHostOrder =
    std::endian::native == std::endian::little ? kLittle : kBig;
inline constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ULL;
inline constexpr bool kHostLittle = std::endian::native == std::endian::little;

template <class U>
U toLe(U v) noexcept {
  if constexpr (kHostLittle) {
    return v;
  } else {
    return std::byteswap(v);
  }
}

}  // namespace detail::snapshot_format

}  // namespace nemra_ecs

#endif
