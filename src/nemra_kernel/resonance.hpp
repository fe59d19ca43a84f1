// Matrix constructions on PGL4: the resonance A − Aᵀ, the regularised projector Π_Λ, and the
// deformed product x·y + ε·(x ∘ y).
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_RESONANCE_HPP)
#define NEMRA_KERNEL_RESONANCE_HPP

#include <nemra_kernel/pgl4.hpp>

namespace nemra_kernel {

// a − aᵀ entry by entry: exactly antisymmetric, with a zero diagonal for finite a.
[[nodiscard]] NEMRA_API PGL4 computeResonance(const PGL4& a) noexcept;

// I − J·(Jᵀ·(J·Jᵀ + 2δ·I)⁻¹) with J = jc and δ = delta: δ is added to the diagonal of J·Jᵀ, and
// the inverse (at most 8 iterations) adds it once more. For J·Jᵀ = I the exact value is
// (2δ / (1 + 2δ))·I; for the zero matrix and δ > 0 it is I.
[[nodiscard]] NEMRA_API PGL4 computeProjector(const PGL4& jc, double delta) noexcept;

// x·y + ε·(x ∘ y), each entry linear + (epsilon·x)·y, where ∘ pairs equal positions (not a matrix
// product). With epsilon = 0 and finite entries the result is x·y.
[[nodiscard]] NEMRA_API PGL4 deformedTensorProduct(const PGL4& x, const PGL4& y,
                                                   double epsilon) noexcept;

}  // namespace nemra_kernel

#endif
