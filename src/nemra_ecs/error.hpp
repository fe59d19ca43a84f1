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
};

// The printed name of an error ("OutOfMemory", "IdentifiersExhausted").
[[nodiscard]] constexpr std::string_view errorName(Error error) noexcept {
  switch (error) {
    case Error::OutOfMemory:
      return "OutOfMemory";
    case Error::IdentifiersExhausted:
      return "IdentifiersExhausted";
  }
  return "UnknownError";
}

// errorName(error).
NEMRA_API std::ostream& operator<<(std::ostream& os, Error error);

}  // namespace nemra_ecs

#endif
