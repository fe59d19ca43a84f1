// The one error of the entity-component system.
#ifndef NEMRA_ECS_ERROR_HPP
#define NEMRA_ECS_ERROR_HPP

#include <cstdint>
#include <string_view>

namespace nemra_ecs {

enum class Error : std::uint8_t { OutOfMemory };

// The printed name of an error ("OutOfMemory").
constexpr std::string_view errorName(Error error) {
  switch (error) {
    case Error::OutOfMemory: return "OutOfMemory";
  }
  return "UnknownError";
}

}  // namespace nemra_ecs

#endif
