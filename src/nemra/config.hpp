// Included first by every public nemra header: the language check, and NEMRA_API, which marks what
// the libraries export (everything else is built with hidden visibility).
#ifndef NEMRA_CONFIG_HPP
#define NEMRA_CONFIG_HPP

#if __has_include(<version>)
#include <version>
#endif

#if __cplusplus < 202100L || !defined(__cpp_lib_expected)
#error "nemra needs C++23 (-std=c++23) and a standard library that has <expected>"
// Skip the other nemra headers: their errors would only bury the line above.
#define NEMRA_VERSION_HPP
#define NEMRA_KERNEL_FAST_MATH_HPP
#define NEMRA_KERNEL_FS_DISTANCE_HPP
#define NEMRA_KERNEL_HOM_VEC4_HPP
#define NEMRA_KERNEL_NEMRA_KERNEL_HPP
#define NEMRA_KERNEL_PGL4_HPP
#define NEMRA_KERNEL_RESONANCE_HPP
#define NEMRA_ECS_ARCHETYPE_HPP
#define NEMRA_ECS_ARCHETYPE_REGISTRY_HPP
#define NEMRA_ECS_COMPONENT_HPP
#define NEMRA_ECS_ENTITY_HPP
#define NEMRA_ECS_ERROR_HPP
#define NEMRA_ECS_EVENT_BUS_HPP
#define NEMRA_ECS_IDS_HPP
#define NEMRA_ECS_NEAREST_INDEX_HPP
#define NEMRA_ECS_NEMRA_ECS_HPP
#define NEMRA_ECS_QUERY_HPP
#define NEMRA_ECS_WORLD_HPP
#endif

#if defined(__GNUC__)
#define NEMRA_API __attribute__((visibility("default")))
#else
#define NEMRA_API
#endif

#endif
