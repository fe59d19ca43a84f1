// The fast path of cr::invFourthRoot, visible to the tests that measure its error.
#ifndef NEMRA_KERNEL_CR_DETAIL_CR_INV_FOURTH_ROOT_HPP
#define NEMRA_KERNEL_CR_DETAIL_CR_INV_FOURTH_ROOT_HPP

#include <cstdint>

#include <nemra/config.hpp>
#include <nemra_kernel/cr/detail/double_double.hpp>

namespace nemra_kernel::detail {

// invFourthRootFast(t) for t in [1, 16) returns the fast path's approximation hi + lo of t^(-1/4),
// a value in (1/2, 1], within kInvFourthRootFastBound (an absolute bound).
inline constexpr double kInvFourthRootFastBound = 0x1p-77;
[[nodiscard]] NEMRA_API DoubleDouble invFourthRootFast(double t) noexcept;

// The sign of t * m^4 - 1 (-1, 0 or +1), computed exactly, for t in [1, 16) and m = M * 2^-56
// with 0 < M < 2^57.
[[nodiscard]] NEMRA_API int invFourthRootCompare(double t, std::uint64_t M) noexcept;

}  // namespace nemra_kernel::detail

#endif
