// paddingMask<T>(): which bits of a component type hold its value and which are padding, found
// from the type alone, so that saving and hashing can zero the padding. Two objects with the
// same field values then give the same snapshot bytes and the same digest, whatever their
// padding held (a temporary's padding is copied along by `store.get<T>(e) = value`).
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_PADDING_MASK_HPP)
#define NEMRA_ECS_PADDING_MASK_HPP

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace nemra_ecs {

// Whether the padding of T can be known, which registerType requires. T is accepted when it is
//  - a type whose every bit is part of its value (std::has_unique_object_representations: the
//    integers, enumerations, pointers, and classes or unions of them without padding),
//  - float or double, or long double (whose x87 form leaves 6 bytes of padding),
//  - an empty class (a tag, whose one byte is padding),
//  - an array (or std::array) of accepted types, or
//  - an aggregate struct (no base classes, public members, no bit-fields unless the struct has
//    no padding at all) of at most 24 members, each of an accepted type.
// A union that has padding, and a class with private members or constructors that has padding,
// cannot be taken apart member by member and is refused.
template <class T>
constexpr bool paddingKnowable() noexcept;

namespace detail {

// The number of members of the aggregate T: the most `{}` initialisers T{{}, {}, ...} takes
// (each `{}` initialises one member, an array member included, without brace elision).
template <class T>
constexpr int aggregateMembers() noexcept {
  // clang-format off
  if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 24;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 23;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 22;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 21;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 20;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 19;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 18;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 17;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 16;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 15;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 14;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 13;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 12;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 11;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 10;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}, {}}; }) return 9;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}, {}}; }) return 8;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}, {}}; }) return 7;
  else if constexpr (requires { T{{}, {}, {}, {}, {}, {}}; }) return 6;
  else if constexpr (requires { T{{}, {}, {}, {}, {}}; }) return 5;
  else if constexpr (requires { T{{}, {}, {}, {}}; }) return 4;
  else if constexpr (requires { T{{}, {}, {}}; }) return 3;
  else if constexpr (requires { T{{}, {}}; }) return 2;
  else if constexpr (requires { T{{}}; }) return 1;
  else return 0;
  // clang-format on
}

// Calls f(member) for each member of `t`, an aggregate of n members (1 .. 24).
template <int n, class T, class F>
void forEachMember(T& t, F&& f) {
#define NEMRA_PM_CASE(k, ...)  \
  if constexpr (n == k) {      \
    auto& [__VA_ARGS__] = t;   \
    NEMRA_PM_EACH(__VA_ARGS__) \
  }
  // Expanded below for each count; written out so that no preprocessor recursion is needed.
#define NEMRA_PM_EACH(...) [&](auto&... m) { (f(m), ...); }(__VA_ARGS__);
  NEMRA_PM_CASE(1, a1)
  NEMRA_PM_CASE(2, a1, a2)
  NEMRA_PM_CASE(3, a1, a2, a3)
  NEMRA_PM_CASE(4, a1, a2, a3, a4)
  NEMRA_PM_CASE(5, a1, a2, a3, a4, a5)
  NEMRA_PM_CASE(6, a1, a2, a3, a4, a5, a6)
  NEMRA_PM_CASE(7, a1, a2, a3, a4, a5, a6, a7)
  NEMRA_PM_CASE(8, a1, a2, a3, a4, a5, a6, a7, a8)
  NEMRA_PM_CASE(9, a1, a2, a3, a4, a5, a6, a7, a8, a9)
  NEMRA_PM_CASE(10, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10)
  NEMRA_PM_CASE(11, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11)
  NEMRA_PM_CASE(12, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12)
  NEMRA_PM_CASE(13, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13)
  NEMRA_PM_CASE(14, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14)
  NEMRA_PM_CASE(15, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15)
  NEMRA_PM_CASE(16, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16)
  NEMRA_PM_CASE(17, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17)
  NEMRA_PM_CASE(18, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18)
  NEMRA_PM_CASE(19, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18,
                a19)
  NEMRA_PM_CASE(20, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18,
                a19, a20)
  NEMRA_PM_CASE(21, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18,
                a19, a20, a21)
  NEMRA_PM_CASE(22, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18,
                a19, a20, a21, a22)
  NEMRA_PM_CASE(23, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18,
                a19, a20, a21, a22, a23)
  NEMRA_PM_CASE(24, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18,
                a19, a20, a21, a22, a23, a24)
#undef NEMRA_PM_EACH
#undef NEMRA_PM_CASE
}

// E[N] and std::array<E, N>, both taken element by element (a structured binding would see a
// std::array's N elements, not its one member).
template <class T>
struct ArrayLike : std::false_type {};
template <class E, std::size_t N>
struct ArrayLike<E[N]> : std::true_type {
  using Element = E;
};
template <class E, std::size_t N>
struct ArrayLike<std::array<E, N>> : std::true_type {
  using Element = E;
};

template <class T>
constexpr bool knowable() noexcept {
  using U = std::remove_cv_t<T>;
  if constexpr (std::has_unique_object_representations_v<U> || std::is_floating_point_v<U> ||
                std::is_empty_v<U>) {
    return true;
  } else if constexpr (ArrayLike<U>::value) {
    using E = typename ArrayLike<U>::Element;
    return sizeof(U) % sizeof(E) == 0 && knowable<E>();
  } else if constexpr (std::is_aggregate_v<U> && !std::is_union_v<U> && std::is_class_v<U>) {
    constexpr int n = aggregateMembers<U>();
    return n >= 1 && n <= 24;
  } else {
    return false;
  }
}

// Sets to 0xFF the value bits of a T placed at `mask` (the bytes of `object`, which is a T).
template <class T>
void markValueBits(std::byte* mask, const void* object) {
  using U = std::remove_cv_t<T>;
  static_assert(knowable<U>(),
                "a component type's padding must be knowable: see nemra_ecs::paddingKnowable");
  if constexpr (std::has_unique_object_representations_v<U>) {
    std::memset(mask, 0xFF, sizeof(U));
  } else if constexpr (std::is_empty_v<U>) {
    // A tag: its byte is all padding.
  } else if constexpr (std::is_floating_point_v<U>) {
    // The x87 extended format keeps its 80 bits in the low-addressed 10 bytes.
    constexpr bool x87 = std::numeric_limits<U>::digits == 64 && sizeof(U) > 10;
    std::memset(mask, 0xFF, x87 ? 10 : sizeof(U));
  } else if constexpr (ArrayLike<U>::value) {
    using E = typename ArrayLike<U>::Element;
    for (std::size_t i = 0; i < sizeof(U) / sizeof(E); ++i) {
      markValueBits<E>(mask + i * sizeof(E), static_cast<const std::byte*>(object) + i * sizeof(E));
    }
  } else {
    const U& t = *static_cast<const U*>(object);
    const auto* base = static_cast<const std::byte*>(object);
    forEachMember<aggregateMembers<U>()>(t, [&](const auto& member) {
      using M = std::remove_cvref_t<decltype(member)>;
      const auto* at = reinterpret_cast<const std::byte*>(&member);
      markValueBits<M>(mask + (at - base), at);
    });
  }
}

template <class T>
struct PaddingMask {
  std::array<std::byte, sizeof(T)> bits{};
  bool padded = false;
};

template <class T>
PaddingMask<T> makePaddingMask() {
  PaddingMask<T> m;
  if constexpr (std::has_unique_object_representations_v<T>) {
    m.bits.fill(std::byte{0xFF});
  } else {
    // A value-initialised T, to take member addresses from: only the layout is looked at. Member
    // addresses taken through bytes that hold no T are undefined, and GCC 12 for s390x made a
    // wrong mask of them.
    const T object{};
    markValueBits<T>(m.bits.data(), &object);
    for (std::byte b : m.bits) m.padded |= b != std::byte{0xFF};
  }
  return m;
}

}  // namespace detail

template <class T>
constexpr bool paddingKnowable() noexcept {
  return detail::knowable<T>();
}

// sizeof(T) bytes, 0xFF where T keeps value bits and 0 where it has padding; nullptr when T has
// no padding. Computed once per type and kept for the life of the program.
template <class T>
[[nodiscard]] const std::byte* paddingMask() {
  static_assert(paddingKnowable<T>(),
                "a component type's padding must be knowable: see nemra_ecs::paddingKnowable");
  static const detail::PaddingMask<T> mask = detail::makePaddingMask<T>();
  return mask.padded ? mask.bits.data() : nullptr;
}

}  // namespace nemra_ecs

#endif
