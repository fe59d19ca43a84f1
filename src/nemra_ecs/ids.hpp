// Identifier records of the entity-component system: EntityId, ComponentTypeId and ArchetypeId.
// Each is one number, compared by that number alone, hashable for use as a key and printable.
// Also the rule for names, which entities and components borrow: a temporary string is refused.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_IDS_HPP)
#define NEMRA_ECS_IDS_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <type_traits>

namespace nemra_ecs {

// The number of an entity; 0 means no entity.
struct EntityId {
  std::uint64_t id;

  [[nodiscard]] static constexpr EntityId init(std::uint64_t value) noexcept { return {value}; }
  [[nodiscard]] static constexpr EntityId invalid() noexcept { return {0}; }
  [[nodiscard]] constexpr bool isValid() const noexcept { return id != 0; }

  friend constexpr bool operator==(EntityId, EntityId) = default;
};

// The number of a component type. Every value is a type: there is no invalid one.
struct ComponentTypeId {
  std::uint64_t id;

  [[nodiscard]] static constexpr ComponentTypeId fromId(std::uint64_t value) noexcept {
    return {value};
  }

  friend constexpr bool operator==(ComponentTypeId, ComponentTypeId) = default;
};

// The number of an archetype; 0 means no archetype.
struct ArchetypeId {
  std::uint32_t id;

  [[nodiscard]] static constexpr ArchetypeId init(std::uint32_t value) noexcept { return {value}; }
  [[nodiscard]] static constexpr ArchetypeId invalid() noexcept { return {0}; }
  [[nodiscard]] constexpr bool isValid() const noexcept { return id != 0; }

  friend constexpr bool operator==(ArchetypeId, ArchetypeId) = default;
};

// "EntityId(7)", "ComponentTypeId(3)", "ArchetypeId(2)".
NEMRA_API std::ostream& operator<<(std::ostream& os, EntityId id);
NEMRA_API std::ostream& operator<<(std::ostream& os, ComponentTypeId id);
NEMRA_API std::ostream& operator<<(std::ostream& os, ArchetypeId id);

namespace detail {

template <class T>
inline constexpr bool kIsStdString = false;
template <class Char, class Traits, class Alloc>
inline constexpr bool kIsStdString<std::basic_string<Char, Traits, Alloc>> = true;

// An rvalue std::string (a temporary, or one passed with std::move): its characters may die at
// the end of the call's full expression. Names are borrowed, never copied, so the functions that
// take a name have a deleted overload for these: `w.createEntity("unit" + std::to_string(i))`
// does not compile, where it would leave the entity with a dangling name. Keep such a name in
// storage that outlives the entity and pass that (an lvalue string or a string_view of it).
template <class S>
concept TemporaryString = !std::is_reference_v<S> && kIsStdString<std::remove_cv_t<S>>;

}  // namespace detail

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
