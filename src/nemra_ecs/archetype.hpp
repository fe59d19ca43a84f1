// Archetype: one combination of component types, with an order-sensitive hash of the list and a
// count of the entities counted into it. It holds no entity records and no component data.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_ARCHETYPE_HPP)
#define NEMRA_ECS_ARCHETYPE_HPP

#include <cstdint>
#include <expected>
#include <memory_resource>

#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>

namespace nemra_ecs {

// The multiplier of the component hash: the 64-bit FNV prime.
inline constexpr std::uint64_t COMPONENT_HASH_PRIME = 1099511628211ULL;

// Owns the storage of its component list (from the allocator given to init). Move-only.
class NEMRA_API Archetype {
 public:
  // Starts at 0 and becomes (hash × COMPONENT_HASH_PRIME) XOR type id, modulo 2^64, for each type
  // added: types 1 then 2 give 1099511628209, 2 then 1 give 2199023256423.
  std::uint64_t component_hash;
  // In the order added; a type added twice is listed twice.
  std::pmr::vector<ComponentTypeId> component_types;
  ArchetypeId id;
  // Moved by addEntity and removeEntity only; kept between 0 and 4294967295.
  std::uint32_t entity_count;
  // 0 at creation; nothing in the library reads or changes it.
  std::uint32_t capacity;

  // An archetype with no types on `allocator` (nullptr means std::pmr::get_default_resource()).
  // Allocates nothing and cannot fail.
  [[nodiscard]] static Archetype init(std::pmr::memory_resource* allocator,
                                      ArchetypeId id) noexcept;

  Archetype(Archetype&& other) noexcept = default;
  // Releases this archetype's storage and takes over other's, allocator included.
  Archetype& operator=(Archetype&& other) noexcept;
  Archetype(const Archetype&) = delete;
  Archetype& operator=(const Archetype&) = delete;
  ~Archetype() = default;

  // Releases the storage of the component list, which is then empty.
  void deinit() noexcept;

  // Appends type_id and then folds it into the hash. On OutOfMemory neither changes.
  [[nodiscard]] std::expected<void, Error> addComponentType(ComponentTypeId type_id);

  // Whether type_id is in the list.
  [[nodiscard]] bool hasComponent(ComponentTypeId type_id) const noexcept;

  // entity_count + 1; it stays at 4294967295 instead of wrapping to 0.
  void addEntity() noexcept;
  // entity_count − 1; at 0 it stays 0.
  void removeEntity() noexcept;

 private:
  Archetype(std::pmr::memory_resource* allocator, ArchetypeId archetype_id);
};

}  // namespace nemra_ecs

#endif
