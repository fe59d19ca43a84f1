// ComponentStore: typed component data per entity, one table per archetype (a column per
// component type, rows contiguous), with iteration in an order that depends only on the calls
// made on the store.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_COMPONENT_STORE_HPP)
#define NEMRA_ECS_COMPONENT_STORE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <nemra_ecs/archetype_registry.hpp>
#include <nemra_ecs/component_table.hpp>
#include <nemra_ecs/entity_index.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/query.hpp>

namespace nemra_ecs {

class World;
class ComponentStore;
struct SnapshotAccess;

namespace detail {
// One object per C++ type; its address tells registered types apart. Only equality of these
// addresses is ever used, never their order.
template <class T>
inline constexpr char kTypeKey = 0;
}  // namespace detail

// Component types a query or `each` must not find on an entity: `store.each<A>(Exclude<B>{}, f)`.
template <class... T>
struct Exclude {};

// A registered component type. The name is borrowed from the caller of registerType.
struct RegisteredType {
  ComponentTypeId id;
  std::string_view name;
  std::uint32_t size;
  std::uint32_t alignment;
  const void* key;
};

// Owns its tables, its archetype registry and its entity index, all on the allocator given to
// init. Move-only.
//
// The store holds component data only; the World stays the store of entities. The two meet by
// entity id alone: the store never looks at a World, so it accepts any non-zero id, and an entity
// destroyed (or deactivated) in the world keeps its components here until erase.
//
// Order. Each set of component types has one archetype (its types in ascending id) in the
// store's own ArchetypeRegistry and one table, both created by the first set or remove that
// needs them; tables are visited in that creation order. Within a table, rows are in the order
// the entities entered it, except that a row leaving it (remove, erase, or a set or remove that
// moves the entity to another table) is filled by the table's last row. Nothing else reorders
// rows, so the order depends only on the sequence of calls made on the store, never on addresses,
// the allocator or a hash seed.
//
// Every operation that fails leaves the store's contents exactly as they were (spare capacity
// aside). Pointers returned by get are good until the next set, remove, erase, shrinkToFit,
// deinit or move.
class NEMRA_API ComponentStore {
 public:
  // An empty store on `allocator` (nullptr means std::pmr::get_default_resource()). Allocates
  // nothing and cannot fail.
  [[nodiscard]] static ComponentStore init(std::pmr::memory_resource* allocator) noexcept;

  ComponentStore(ComponentStore&& other) noexcept = default;
  // Releases this store's storage and takes over other's, allocator included.
  ComponentStore& operator=(ComponentStore&& other) noexcept;
  ComponentStore(const ComponentStore&) = delete;
  ComponentStore& operator=(const ComponentStore&) = delete;
  ~ComponentStore() { deinit(); }

  // Releases everything; the store is then empty, with no registered type, and may be used again.
  void deinit() noexcept;

  // Registers T under `name` (borrowed: the caller's bytes must outlive the store). Ids are 1, 2,
  // 3 ... in registration order. Errors: DuplicateType (the name or T is already registered),
  // OutOfMemory.
  template <class T>
  [[nodiscard]] std::expected<ComponentTypeId, Error> registerType(std::string_view name) {
    static_assert(std::is_trivially_copyable_v<T>, "component types are copied as bytes");
    static_assert(alignof(T) <= 4096 && sizeof(T) <= 0xFFFFFFFFU);
    return registerRaw(&detail::kTypeKey<std::remove_cv_t<T>>, name, sizeof(T), alignof(T));
  }
  template <class T, class S>
  requires detail::TemporaryString<S> std::expected<ComponentTypeId, Error> registerType(S&& name)
  = delete;

  // The id T was registered under, or none.
  template <class T>
  [[nodiscard]] std::optional<ComponentTypeId> typeId() const noexcept {
    return typeIdOfKey(&detail::kTypeKey<std::remove_cv_t<T>>);
  }

  // Gives `entity` the component T (moving its row to the table of its new set of types) or
  // overwrites it. Errors: UnknownEntity (id 0), UnregisteredType, OutOfMemory,
  // IdentifiersExhausted (the store's registry has no archetype id left).
  template <class T>
  [[nodiscard]] std::expected<void, Error> set(EntityId entity, const T& value) {
    const std::optional<ComponentTypeId> t = typeId<T>();
    if (!t) return std::unexpected(Error::UnregisteredType);
    return setRaw(entity, *t, &value);
  }

  // Takes T from `entity`; an entity left with no component leaves the store. Errors:
  // UnregisteredType, UnknownEntity (no component of the entity is held), MissingComponent,
  // OutOfMemory, IdentifiersExhausted.
  template <class T>
  [[nodiscard]] std::expected<void, Error> remove(EntityId entity) {
    const std::optional<ComponentTypeId> t = typeId<T>();
    if (!t) return std::unexpected(Error::UnregisteredType);
    return removeRaw(entity, *t);
  }

  // Takes every component from `entity`. Error: UnknownEntity. Allocates nothing.
  [[nodiscard]] std::expected<void, Error> erase(EntityId entity) noexcept;

  // The entity's T, or nullptr (no such component, or T not registered).
  template <class T>
  [[nodiscard]] T* get(EntityId entity) noexcept {
    return static_cast<T*>(getRaw(entity, typeId<T>()));
  }
  template <class T>
  [[nodiscard]] const T* get(EntityId entity) const noexcept {
    return static_cast<const T*>(getRaw(entity, typeId<T>()));
  }
  template <class T>
  [[nodiscard]] bool has(EntityId entity) const noexcept {
    return getRaw(entity, typeId<T>()) != nullptr;
  }
  // Whether the store holds any component of `entity`.
  [[nodiscard]] bool contains(EntityId entity) const noexcept {
    return index_.find(entity.id) != nullptr;
  }

  // Calls f(EntityId, T&...) for every entity that has all of T, in the store's order (see
  // above). f may change the components it is given but must not call set, remove or erase on
  // this store. A T that is not registered matches no entity.
  template <class... T, class F>
  void each(F&& f) {
    eachIn<T...>(std::span<const std::optional<ComponentTypeId>>{}, f);
  }
  // The same, skipping entities that have any of X.
  template <class... T, class... X, class F>
  void each(Exclude<X...>, F&& f) {
    const std::array<std::optional<ComponentTypeId>, sizeof...(X)> excluded{typeId<X>()...};
    eachIn<T...>(std::span<const std::optional<ComponentTypeId>>(excluded), f);
  }

  // The store's archetypes that `filter` matches, in creation order, each counting its rows.
  // The result's storage comes from `allocator`. Error: OutOfMemory.
  [[nodiscard]] std::expected<QueryResult, Error> query(const QueryFilter& filter,
                                                        std::pmr::memory_resource* allocator) const;

  // The registered types, in id order.
  [[nodiscard]] std::span<const RegisteredType> types() const noexcept { return types_; }
  // The store's archetypes (each archetype's entity_count is its table's row count).
  [[nodiscard]] const ArchetypeRegistry& archetypes() const noexcept { return registry_; }
  // The number of entities with at least one component.
  [[nodiscard]] std::size_t entityCount() const noexcept { return index_.size(); }
  // Bytes of storage held (tables, index, registry), for memory figures.
  [[nodiscard]] std::size_t storageBytes() const noexcept;
  // Gives every table exactly the capacity of its rows and the index no spare slots, so that a
  // row then costs its components' bytes and 16 more (its entity id and its index entry). Tables
  // grow by doubling as set adds rows; call this after building a large state that will not
  // grow soon. Rows and their order stay as they are. Error: OutOfMemory, with the store as it
  // was, spare capacity included (every new buffer is allocated before any is adopted).
  [[nodiscard]] std::expected<void, Error> shrinkToFit() noexcept;

 private:
  friend struct SnapshotAccess;

  explicit ComponentStore(std::pmr::memory_resource* allocator) noexcept;

  [[nodiscard]] std::expected<ComponentTypeId, Error> registerRaw(const void* key,
                                                                  std::string_view name,
                                                                  std::size_t size,
                                                                  std::size_t alignment);
  [[nodiscard]] std::optional<ComponentTypeId> typeIdOfKey(const void* key) const noexcept;
  [[nodiscard]] std::expected<void, Error> setRaw(EntityId entity, ComponentTypeId type,
                                                  const void* value);
  [[nodiscard]] std::expected<void, Error> removeRaw(EntityId entity, ComponentTypeId type);
  [[nodiscard]] void* getRaw(EntityId entity, std::optional<ComponentTypeId> type) const noexcept;
  // Moves the entity at `from` (or a new entity, when `from` is null) to the table of `types`,
  // copying `value` into the column of `added` when given.
  [[nodiscard]] std::expected<void, Error> moveRow(EntityId entity, const detail::RowRef* from,
                                                   std::span<const ComponentTypeId> types,
                                                   ComponentTypeId added, const void* value);
  [[nodiscard]] std::ptrdiff_t findTable(std::span<const ComponentTypeId> types) const noexcept;
  void syncCount(std::uint32_t table) noexcept;

  template <class... T, class F>
  void eachIn(std::span<const std::optional<ComponentTypeId>> excluded, F& f) {
    const std::array<std::optional<ComponentTypeId>, sizeof...(T)> ids{typeId<T>()...};
    for (const std::optional<ComponentTypeId>& id : ids) {
      if (!id) return;
    }
    for (detail::Table& table : tables_) {
      if (table.rows == 0) continue;
      std::array<std::byte*, sizeof...(T)> columns{};
      bool match = true;
      for (std::size_t k = 0; k < sizeof...(T) && match; ++k) {
        const std::ptrdiff_t c = table.columnOf(*ids[k]);
        if (c < 0) {
          match = false;
        } else {
          columns[k] = table.columns[static_cast<std::size_t>(c)].data;
        }
      }
      for (const std::optional<ComponentTypeId>& x : excluded) {
        if (match && x && table.columnOf(*x) >= 0) match = false;
      }
      if (match) eachRows<T...>(table, columns, f, std::index_sequence_for<T...>{});
    }
  }

  template <class... T, class F, std::size_t... I>
  static void eachRows(const detail::Table& table,
                       const std::array<std::byte*, sizeof...(T)>& columns, F& f,
                       std::index_sequence<I...>) {
    const std::tuple<T*...> base{std::launder(reinterpret_cast<T*>(columns[I]))...};
    const std::uint64_t* ids = table.entities;
    const std::uint32_t rows = table.rows;
    for (std::uint32_t r = 0; r < rows; ++r) f(EntityId::init(ids[r]), std::get<I>(base)[r]...);
  }

  std::pmr::vector<RegisteredType> types_;
  ArchetypeRegistry registry_;
  // tables_[i] belongs to registry_.archetypes[i].
  std::pmr::vector<detail::Table> tables_;
  detail::EntityIndex index_;
};

}  // namespace nemra_ecs

#endif
