// The errors of the entity-component system.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_ERROR_HPP)
#define NEMRA_ECS_ERROR_HPP

#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace nemra_ecs {

enum class Error : std::uint8_t {
  // An append could not get the memory it needed; the store is as it was before the call.
  OutOfMemory,
  // A store has handed out every identifier its counter can hold (2^64 − 2 entities, or
  // 4294967294 archetypes); nothing was created and the store is as it was.
  IdentifiersExhausted,
  // registerType was given a name or a C++ type that the store already has; nothing changed.
  DuplicateType,
  // A ComponentStore operation named a C++ type that was never registered with it.
  UnregisteredType,
  // The entity id is 0, or the store holds no component of it (remove, erase).
  UnknownEntity,
  // remove<T> on an entity that has components in the store, but not T.
  MissingComponent,
};

// The printed name of an error ("OutOfMemory", "IdentifiersExhausted", "DuplicateType",
// "UnregisteredType", "UnknownEntity", "MissingComponent").
[[nodiscard]] constexpr std::string_view errorName(Error error) noexcept {
  switch (error) {
    case Error::OutOfMemory:
      return "OutOfMemory";
    case Error::IdentifiersExhausted:
      return "IdentifiersExhausted";
    case Error::DuplicateType:
      return "DuplicateType";
    case Error::UnregisteredType:
      return "UnregisteredType";
    case Error::UnknownEntity:
      return "UnknownEntity";
    case Error::MissingComponent:
      return "MissingComponent";
  }
  return "UnknownError";
}

// errorName(error).
NEMRA_API std::ostream& operator<<(std::ostream& os, Error error);

}  // namespace nemra_ecs

#endif
