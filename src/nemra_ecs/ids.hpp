// Identifier records of the entity-component system: EntityId, ComponentTypeId and ArchetypeId.
// Each is one number, compared by that number alone, and hashable for use as a key.
#include <nemra/config.hpp>

#ifndef NEMRA_ECS_IDS_HPP
#define NEMRA_ECS_IDS_HPP

#include <cstddef>
#include <cstdint>
#include <functional>

namespace nemra_ecs {

// The number of an entity; 0 means no entity.
struct EntityId {
  std::uint64_t id;

  static constexpr EntityId init(std::uint64_t value) { return {value}; }
  static constexpr EntityId invalid() { return {0}; }
  constexpr bool isValid() const { return id != 0; }

  friend constexpr bool operator==(EntityId, EntityId) = default;
};

// The number of a component type. Every value is a type: there is no invalid one.
struct ComponentTypeId {
  std::uint64_t id;

  static constexpr ComponentTypeId fromId(std::uint64_t value) { return {value}; }

  friend constexpr bool operator==(ComponentTypeId, ComponentTypeId) = default;
};

// The number of an archetype; 0 means no archetype.
struct ArchetypeId {
  std::uint32_t id;

  static constexpr ArchetypeId init(std::uint32_t value) { return {value}; }
  static constexpr ArchetypeId invalid() { return {0}; }
  constexpr bool isValid() const { return id != 0; }

  friend constexpr bool operator==(ArchetypeId, ArchetypeId) = default;
};

}  // namespace nemra_ecs

template <>
struct std::hash<nemra_ecs::EntityId> {
  std::size_t operator()(nemra_ecs::EntityId value) const noexcept {
    return std::hash<std::uint64_t>{}(value.id);
  }
};

template <>
struct std::hash<nemra_ecs::ComponentTypeId> {
  std::size_t operator()(nemra_ecs::ComponentTypeId value) const noexcept {
    return std::hash<std::uint64_t>{}(value.id);
  }
};

template <>
struct std::hash<nemra_ecs::ArchetypeId> {
  std::size_t operator()(nemra_ecs::ArchetypeId value) const noexcept {
    return std::hash<std::uint32_t>{}(value.id);
  }
};

#endif
