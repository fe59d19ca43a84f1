// ComponentStore: typed component data per entity, one table per archetype (a column per
// component type, rows contiguous), with iteration in an order that depends only on the calls
// made on the store.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_COMPONENT_STORE_HPP)
#define NEMRA_ECS_COMPONENT_STORE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
#include <nemra_ecs/padding_mask.hpp>
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

template <class T, class... R>
constexpr bool distinctTypes() noexcept {
  if constexpr (sizeof...(R) == 0) {
    return true;
  } else {
    return (!std::is_same_v<T, R> && ...) && distinctTypes<R...>();
  }
}

// A process-wide number for each C++ type, 0, 1, 2 ... in the order the types are first asked
// about. A store keeps a small array from these numbers to its own type ids, which makes a type
// lookup one load. The numbers only index that array: ids, and every order the store gives,
// stay those of the calls made on the store.
NEMRA_API std::uint32_t newTypeSlot() noexcept;
template <class T>
std::uint32_t typeSlot() noexcept {
  static const std::uint32_t slot = newTypeSlot();
  return slot;
}
}  // namespace detail

// A component type T as registered in one store, taken once (ComponentStore::handle) and then
// given to get, has, set and remove so that they skip the type lookup. A handle belongs to the
// store that gave it and stays good until that store's deinit or move; handed to another store,
// it is refused (set, remove: UnregisteredType; get: nullptr) unless that store registered the
// same T under the same id.
template <class T>
class ComponentHandle {
 public:
  [[nodiscard]] constexpr ComponentTypeId id() const noexcept { return id_; }

 private:
  friend class ComponentStore;
  constexpr explicit ComponentHandle(ComponentTypeId id) noexcept : id_(id) {}
  ComponentTypeId id_;
};

// Component types a query or `each` must not find on an entity: `store.each<A>(Exclude<B>{}, f)`.
template <class... T>
struct Exclude {};

// A check of one loaded component, given its bytes (a value that breaks its type's rules, such
// as a bool byte of 2, cannot be read safely as the type): true accepts it.
using ComponentCheck = bool (*)(std::span<const std::byte> component) noexcept;

// A registered component type. The name is borrowed from the caller of registerType.
struct RegisteredType {
  ComponentTypeId id;
  std::string_view name;
  std::uint32_t size;
  std::uint32_t alignment;
  const void* key;
  // paddingMask<T>(): `size` bytes, 0 over T's padding bits; nullptr when T has none.
  const std::byte* padding_mask = nullptr;
  // Called by loadSnapshot and restoreSnapshot on every loaded component of the type; none
  // when null.
  ComponentCheck check = nullptr;
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
  //
  // T is trivially copyable and its padding must be knowable (paddingKnowable<T>(), checked at
  // compile time): snapshots and stateDigest see only T's value bits, never its padding, so that
  // equal field values give equal bytes and digests whatever the padding held.
  //
  // `check`, when given, is called on the bytes of every component of T that loadSnapshot or
  // restoreSnapshot reads, and a component it refuses fails the load (ComponentRefused). A
  // snapshot's checksum proves only that its bytes arrived intact: component values from an
  // untrusted peer or file are the program's to validate (a bool byte of 2, an enumerator out
  // of range, a NaN where none may be).
  template <class T>
  [[nodiscard]] std::expected<ComponentTypeId, Error> registerType(std::string_view name,
                                                                   ComponentCheck check = nullptr) {
    static_assert(std::is_trivially_copyable_v<T>, "component types are copied as bytes");
    static_assert(alignof(T) <= 4096 && sizeof(T) <= 0xFFFFFFFFU);
    return registerRaw(&detail::kTypeKey<std::remove_cv_t<T>>,
                       detail::typeSlot<std::remove_cv_t<T>>(), name, sizeof(T), alignof(T),
                       paddingMask<std::remove_cv_t<T>>(), check);
  }
  template <class T, class S>
  requires detail::TemporaryString<S> std::expected<ComponentTypeId, Error> registerType(
      S&& name, ComponentCheck check = nullptr)
  = delete;

  // The id T was registered under, or none. Constant time: one load from a small array.
  template <class T>
  [[nodiscard]] std::optional<ComponentTypeId> typeId() const noexcept {
    const std::uint64_t id = idOfSlot(detail::typeSlot<std::remove_cv_t<T>>());
    if (id == 0) return std::nullopt;
    return ComponentTypeId::fromId(id);
  }
  // T's handle in this store, or none when T is not registered.
  template <class T>
  [[nodiscard]] std::optional<ComponentHandle<T>> handle() const noexcept {
    const std::uint64_t id = idOfSlot(detail::typeSlot<std::remove_cv_t<T>>());
    if (id == 0) return std::nullopt;
    return ComponentHandle<T>(ComponentTypeId::fromId(id));
  }

  // Gives `entity` the component T (moving its row to the table of its new set of types) or
  // overwrites it. Errors: UnknownEntity (id 0), UnregisteredType, OutOfMemory,
  // IdentifiersExhausted (the store's registry has no archetype id left).
  template <class T>
  [[nodiscard]] std::expected<void, Error> set(EntityId entity, const T& value) {
    const std::optional<ComponentTypeId> t = typeId<T>();
    if (!t) return std::unexpected(Error::UnregisteredType);
    return setTyped(entity, *t, value);
  }
  template <class T>
  [[nodiscard]] std::expected<void, Error> set(EntityId entity, ComponentHandle<T> type,
                                               const T& value) {
    if (!owns(type)) return std::unexpected(Error::UnregisteredType);
    return setTyped(entity, type.id_, value);
  }
  // Gives `entity` every one of the components at once: the row moves once, straight to the
  // table of its final set of types (tables for the sets in between are not made), and values
  // of types it already has are overwritten. The same errors as set; on an error nothing
  // changes.
  template <class... T>
  requires(sizeof...(T) >= 2)
      [[nodiscard]] std::expected<void, Error> set(EntityId entity, const T&... values) {
    const auto list = typeList<T...>();
    if (!list) return std::unexpected(list.error());
    const std::expected<detail::RowRef, Error> at = rowWith(entity, index_.find(entity.id), *list);
    if (!at) return std::unexpected(at.error());
    writeAll(*at, *list, std::index_sequence_for<T...>{}, values...);
    return {};
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
  template <class T>
  [[nodiscard]] std::expected<void, Error> remove(EntityId entity, ComponentHandle<T> type) {
    if (!owns(type)) return std::unexpected(Error::UnregisteredType);
    return removeRaw(entity, type.id_);
  }

  // Room for `rows` rows in the table of exactly the types T... (made now if it does not exist,
  // which fixes its place in the order as a set would), and room in the entity index for as
  // many more entities with ids handed out in order, so that creating that many entities with
  // set(entity, T{}...) copies no column to grow. Errors: UnregisteredType, OutOfMemory,
  // IdentifiersExhausted; on an error the store's contents are as they were.
  template <class... T>
  requires(sizeof...(T) >= 1) [[nodiscard]] std::expected<void, Error> reserve(std::size_t rows) {
    auto list = typeList<T...>();
    if (!list) return std::unexpected(list.error());
    return reserveRaw(*list, rows);
  }
  // Room in the entity index for `entities` more entities with ids handed out in order. Error:
  // OutOfMemory (nothing changes).
  [[nodiscard]] std::expected<void, Error> reserve(std::size_t entities) noexcept;

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
  // The same through a handle, without the type lookup.
  template <class T>
  [[nodiscard]] T* get(EntityId entity, ComponentHandle<T> type) noexcept {
    return owns(type) ? static_cast<T*>(rowData(entity, type.id_)) : nullptr;
  }
  template <class T>
  [[nodiscard]] const T* get(EntityId entity, ComponentHandle<T> type) const noexcept {
    return owns(type) ? static_cast<const T*>(rowData(entity, type.id_)) : nullptr;
  }
  template <class T>
  [[nodiscard]] bool has(EntityId entity, ComponentHandle<T> type) const noexcept {
    return owns(type) && rowData(entity, type.id_) != nullptr;
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
  // grow by doubling as set adds rows (reserve avoids that); call this after building a large
  // state that will not grow soon (the storage kept for the next restoreSnapshot is released).
  // Rows and their order stay as they are. Error: OutOfMemory, with
  // the store as it was, spare capacity included (every new buffer is allocated before any is
  // adopted).
  [[nodiscard]] std::expected<void, Error> shrinkToFit() noexcept;

 private:
  friend struct SnapshotAccess;

  static constexpr std::uint32_t NONE = detail::Table::NONE;

  explicit ComponentStore(std::pmr::memory_resource* allocator) noexcept;

  [[nodiscard]] std::uint64_t idOfSlot(std::uint32_t slot) const noexcept {
    return slot < id_of_slot_.size() ? id_of_slot_[slot] : 0;
  }
  // Whether the handle names T in this store (a handle from another store may not).
  template <class T>
  [[nodiscard]] bool owns(ComponentHandle<T> type) const noexcept {
    const std::uint64_t k = type.id_.id - 1;
    return k < types_.size() &&
           types_[static_cast<std::size_t>(k)].key == &detail::kTypeKey<std::remove_cv_t<T>>;
  }
  // The component of a registered type held by `entity`, or nullptr.
  [[nodiscard]] void* rowData(EntityId entity, ComponentTypeId type) const noexcept {
    const detail::RowRef* ref = index_.find(entity.id);
    if (ref == nullptr) return nullptr;
    const detail::Table& table = tables_[ref->table];
    const std::ptrdiff_t c = table.columnOf(type);
    return c < 0 ? nullptr : table.at(static_cast<std::size_t>(c), ref->row);
  }
  [[nodiscard]] void* getRaw(EntityId entity, std::optional<ComponentTypeId> type) const noexcept {
    return type ? rowData(entity, *type) : nullptr;
  }
  // Overwrites in place when the entity has the type already; otherwise moves the row.
  template <class T>
  [[nodiscard]] std::expected<void, Error> setTyped(EntityId entity, ComponentTypeId type,
                                                    const T& value) {
    detail::RowRef* ref = index_.find(entity.id);
    if (ref != nullptr) {
      const std::uint32_t from = likelyTable(*ref, guesses_[type.id].set);
      const detail::Table& table = tables_[from];
      if (const std::ptrdiff_t c = table.columnOf(type); c >= 0) {
        std::memcpy(table.at(static_cast<std::size_t>(c), ref->row), &value, sizeof(T));
        return {};
      }
      const std::expected<std::byte*, Error> cell = addRaw(entity, *ref, from, type);
      if (!cell) return std::unexpected(cell.error());
      std::memcpy(*cell, &value, sizeof(T));
      return {};
    }
    const std::expected<detail::RowRef, Error> at =
        rowWith(entity, nullptr, std::span<const ComponentTypeId>(&type, 1));
    if (!at) return std::unexpected(at.error());
    write(*at, type, value);
    return {};
  }
  // Writes a value whose column the row at `at` has; the size is T's, known here.
  template <class T>
  void write(detail::RowRef at, ComponentTypeId type, const T& value) noexcept {
    const detail::Table& table = tables_[at.table];
    const auto c = static_cast<std::size_t>(table.columnOf(type));
    std::memcpy(table.columns[c].data + std::size_t{at.row} * sizeof(T), &value, sizeof(T));
  }
  // The ids of T..., distinct types, in the order given. Error: UnregisteredType.
  template <class... T>
  [[nodiscard]] std::expected<std::array<ComponentTypeId, sizeof...(T)>, Error> typeList()
      const noexcept {
    static_assert(detail::distinctTypes<std::remove_cv_t<T>...>(), "a type given twice");
    const std::array<std::optional<ComponentTypeId>, sizeof...(T)> ids{typeId<T>()...};
    std::array<ComponentTypeId, sizeof...(T)> list{};
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (!ids[k]) return std::unexpected(Error::UnregisteredType);
      list[k] = *ids[k];
    }
    return list;
  }
  template <class... T, std::size_t... I>
  void writeAll(detail::RowRef at, const std::array<ComponentTypeId, sizeof...(T)>& types,
                std::index_sequence<I...>, const T&... values) noexcept {
    (write(at, types[I], values), ...);
  }
  [[nodiscard]] std::expected<ComponentTypeId, Error> registerRaw(
      const void* key, std::uint32_t slot, std::string_view name, std::size_t size,
      std::size_t alignment, const std::byte* padding_mask, ComponentCheck check);
  // Makes the row of `entity` (at `ref`, or null when the store holds none of it) hold every
  // type of `types` (distinct, in any order), moving it once if any is missing, and returns
  // where it is. The columns of the added types are left for the caller to write. Errors:
  // UnknownEntity (id 0), OutOfMemory, IdentifiersExhausted, with nothing changed.
  [[nodiscard]] std::expected<detail::RowRef, Error> rowWith(
      EntityId entity, detail::RowRef* ref, std::span<const ComponentTypeId> types);
  [[nodiscard]] std::expected<detail::RowRef, Error> rowWithSlowly(
      EntityId entity, detail::RowRef* ref, std::span<const ComponentTypeId> types);
  // Forgets every recorded transition (the tables were replaced).
  void forgetEdges() noexcept;
  // Releases the storage kept for the next restore.
  void dropSpare() noexcept;
  // `ref.table`, taken from `guess` when the two agree, else read and kept as the next guess.
  // Row moves one after another mostly leave the same table for the same type; with the table
  // known from the guess, all that follows on it (its columns, its edges, the target's) runs
  // while the entry's cache line is still on its way, and the next entity's entry can be
  // fetched meanwhile. Only the branch (predicted) and what needs the row wait for the entry.
  [[nodiscard]] static std::uint32_t likelyTable(const detail::RowRef& ref,
                                                 std::uint32_t& guess) noexcept {
    const std::uint32_t table = ref.table;
    std::uint32_t differ = table ^ guess;
#if defined(__GNUC__)
    // Hides how `differ` was made, so that the compiler cannot learn from the test below that
    // the two agree and use the value read in place of the guess.
    asm("" : "+r"(differ));
#endif
    if (differ != 0) [[unlikely]] {
      guess = table;
      return table;
    }
    return guess;
  }
  // Adds `type`, which the entity at `ref` (in table `from`) lacks, and returns the new row's
  // cell for it, left for the caller to write. The same errors as rowWith.
  [[nodiscard]] std::expected<std::byte*, Error> addRaw(EntityId entity, detail::RowRef& ref,
                                                        std::uint32_t from, ComponentTypeId type);
  [[nodiscard]] std::expected<void, Error> removeRaw(EntityId entity, ComponentTypeId type);
  [[nodiscard]] std::expected<void, Error> removeSlowly(EntityId entity, detail::RowRef& ref,
                                                        ComponentTypeId type, std::size_t at);
  [[nodiscard]] std::expected<void, Error> reserveRaw(std::span<ComponentTypeId> types,
                                                      std::size_t rows);
  // The table of exactly `types` (ascending): found, or made and appended. `created` tells
  // which. Errors: OutOfMemory, IdentifiersExhausted, with nothing changed.
  [[nodiscard]] std::expected<std::uint32_t, Error> tableOf(std::span<const ComponentTypeId> types,
                                                            bool& created);
  // Undoes the making of the last table by tableOf.
  void dropLastTable(std::uint32_t saved_next_id) noexcept;
  // Moves the entity at `from` (or a new entity, when `from` is null, whose index slot is
  // reserved) to table `target`, which has a free row; the columns the old row had are copied,
  // the others are left for the caller. Returns the new row. Cannot fail.
  detail::RowRef moveRow(EntityId entity, detail::RowRef* from, std::uint32_t target) noexcept;
  // Moves the entity at `ref` from table `from` (its `ref.table`) to table `target`, which has a
  // free row and one type more (Adding: the target's column `at`, left for the caller) or one
  // type fewer (the source's column `at`; the source has another). Returns the new row. Cannot
  // fail.
  template <bool Adding>
  std::uint32_t moveAlongEdge(EntityId entity, detail::RowRef& ref, std::uint32_t from,
                              std::uint32_t target, std::size_t at) noexcept;
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
  // detail::typeSlot<T>() → T's id here, 0 where not registered.
  std::pmr::vector<std::uint32_t> id_of_slot_;
  // Type id → the table of an entity holding only that type (Table::NONE until looked up);
  // the edges out of "no components".
  std::pmr::vector<std::uint32_t> root_edges_;
  // Type id → the table the last set and the last remove of that type found their entity in
  // (see likelyTable); a hint only, never trusted without the entry's agreement.
  struct TableGuess {
    std::uint32_t set = NONE;
    std::uint32_t remove = NONE;
  };
  std::pmr::vector<TableGuess> guesses_;
  // The last transition that added several types at once: from table `from` (NONE: a new
  // entity), adding exactly types[0 .. count) (ascending), to table `to`.
  struct MultiEdge {
    std::uint32_t from = NONE;
    std::uint32_t to = NONE;
    std::uint32_t count = 0;
    std::array<std::uint64_t, 4> types{};
  };
  MultiEdge last_multi_;
  ArchetypeRegistry registry_;
  // tables_[i] belongs to registry_.archetypes[i].
  std::pmr::vector<detail::Table> tables_;
  detail::EntityIndex index_;
  // The storage of the state the last restoreSnapshot replaced, which the next one fills where
  // it fits (a rollback restores states of much the same shape again and again).
  std::pmr::vector<detail::Table> spare_tables_;
  detail::EntityIndex spare_index_;
  std::pmr::vector<detail::EntityIndex::Entry> spare_rows_;
};

}  // namespace nemra_ecs

#endif
