#include <cmath>
#include <cstddef>

#include <nemra_kernel/checks/checks.hpp>
#include <nemra_kernel/nemra_kernel.hpp>
#include <selfcheck/check/assertions.hpp>

namespace nemra_kernel {
namespace {

using selfcheck::expect;
using selfcheck::expectApproxEqAbs;

void homVec4Constructors() {
  HomVec4 v = HomVec4::fromCartesian(3, 4, 5);
  expectApproxEqAbs(3.0, v.x, 1e-10);
  expectApproxEqAbs(4.0, v.y, 1e-10);
  expectApproxEqAbs(5.0, v.z, 1e-10);
  expectApproxEqAbs(1.0, v.w, 1e-10);
  auto c = v.cartesian3();
  expectApproxEqAbs(3.0, c[0], 1e-10);
  expectApproxEqAbs(4.0, c[1], 1e-10);
  expectApproxEqAbs(5.0, c[2], 1e-10);
  auto h = HomVec4::init(2, 4, 6, 2).cartesian3();
  expectApproxEqAbs(1.0, h[0], 1e-10);
  expectApproxEqAbs(2.0, h[1], 1e-10);
  expectApproxEqAbs(3.0, h[2], 1e-10);
}

void homVec4Normalization() {
  HomVec4 n = HomVec4::init(3, 0, 0, 4).normalize();
  expectApproxEqAbs(1.0, n.norm(), 1e-10);
  expectApproxEqAbs(0.6, n.x, 1e-10);
  expectApproxEqAbs(0.8, n.w, 1e-10);
}

void homVec4DotAndSamePoint() {
  HomVec4 a = HomVec4::init(1, 0, 0, 0);
  HomVec4 b = HomVec4::init(1, 0, 0, 0);
  expectApproxEqAbs(1.0, HomVec4::dot(a, b), 1e-10);
  HomVec4 c = HomVec4::init(0, 1, 0, 0);
  expectApproxEqAbs(0.0, HomVec4::dot(a, c), 1e-10);
  HomVec4 neg_a = HomVec4::init(-1, 0, 0, 0);
  expect(HomVec4::isSamePoint(a, neg_a, 1e-8));
}

void homVec4Antipodal() {
  HomVec4 p = HomVec4::init(1, 2, 3, 4);
  HomVec4 neg_p = HomVec4::init(-1, -2, -3, -4);
  expect(HomVec4::isAntipodalTo(p, neg_p, 1e-8));
  HomVec4 other = HomVec4::init(1, 2, 3, 5);
  expect(!HomVec4::isAntipodalTo(p, other, 1e-8));
}

void homVec4AffineCard() {
  expect(HomVec4::init(1, 2, 3, 4).pickBestCard() == AffineCard::UW);
  expect(HomVec4::init(5, 1, 1, 1).pickBestCard() == AffineCard::UX);
  expect(HomVec4::init(1, 6, 1, 1).pickBestCard() == AffineCard::UY);
  expect(HomVec4::init(1, 1, 7, 1).pickBestCard() == AffineCard::UZ);
}

void fsDistanceKnownValues() {
  HomVec4 e = HomVec4::init(1, 0, 0, 0);
  HomVec4 f = HomVec4::init(1, 0, 0, 0);
  expectApproxEqAbs(0.0, fsDistance(e, f), 1e-10);
  HomVec4 g = HomVec4::init(1, 0, 0, 0);
  HomVec4 h = HomVec4::init(0, 1, 0, 0);
  expectApproxEqAbs(1.5707963267948966, fsDistance(g, h), 1e-10);
  HomVec4 a = HomVec4::init(1, 0, 0, 1).normalize();
  HomVec4 b = HomVec4::init(-1, 0, 0, -1).normalize();
  expectApproxEqAbs(0.0, fsDistance(a, b), W_EPS);
  HomVec4 c = HomVec4::init(1, 0, 0, 0).normalize();
  HomVec4 d = HomVec4::init(1, 0, 0, 1).normalize();
  expectApproxEqAbs(0.7853981633974483, fsDistance(c, d), 1e-10);
}

void pgl4IdentityAction() {
  HomVec4 v = HomVec4::init(3, 4, 5, 1);
  HomVec4 r = PGL4::identity().apply(v);
  expectApproxEqAbs(3.0, r.x, 1e-10);
  expectApproxEqAbs(4.0, r.y, 1e-10);
  expectApproxEqAbs(5.0, r.z, 1e-10);
  expectApproxEqAbs(1.0, r.w, 1e-10);
}

void pgl4Determinant() {
  expectApproxEqAbs(1.0, PGL4::identity().det(), 1e-10);
  expectApproxEqAbs(24.0, pglScale(2, 3, 4).det(), 1e-10);
}

void pgl4TranslationAndScale() {
  PGL4 t = pglTranslate(10, 20, 30);
  HomVec4 v = HomVec4::fromCartesian(1, 2, 3);
  auto c = t.apply(v).cartesian3();
  expectApproxEqAbs(11.0, c[0], 1e-8);
  expectApproxEqAbs(22.0, c[1], 1e-8);
  expectApproxEqAbs(33.0, c[2], 1e-8);
}

void pgl4NewtonSchulzInverse() {
  PGL4 m = pglScale(2, 3, 4);
  PGL4 m_inv = m.inverse(1e-10, 15);
  PGL4 product = PGL4::mul(m, m_inv);
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col) {
      expectApproxEqAbs(row == col ? 1.0 : 0.0, product.get(row, col), 1e-6);
    }
  }
}

void pgl4NormalizeDet() {
  PGL4 m = pglScale(2, 3, 4);
  expectApproxEqAbs(1.0, std::fabs(m.normalizeDet().det()), 1e-6);
}

void pgl4RotationPreservesNorm() {
  PGL4 r = pglRotateZ(0.7853981633974483);
  HomVec4 v = HomVec4::init(1, 0, 0, 1);
  expectApproxEqAbs(v.norm(), r.apply(v).norm(), 1e-10);
}

void simdDot4AndNormalize() {
  F32x4 a = f32x4(1, 0, 0, 0);
  F32x4 b = f32x4(1, 0, 0, 0);
  expectApproxEqAbs(1.0f, simdDot4(a, b), 1e-5f);
  F32x4 c = f32x4(3, 0, 0, 4);
  F32x4 n = simdNormalize3(c);
  expectApproxEqAbs(1.0f, simdDot4(n, n), 1e-5f);
}

void cordicInverseSqrt() {
  expectApproxEqAbs(0.5, cordicInvSqrt(4.0), 1e-10);
  expectApproxEqAbs(1.0, cordicInvSqrt(1.0), 1e-10);
  expectApproxEqAbs(1.0 / 3.0, cordicInvSqrt(9.0), 1e-10);
}

void resonanceIsAntisymmetric() {
  PGL4 a = PGL4::init({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  PGL4 j = computeResonance(a);
  PGL4 jt = j.transpose();
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t col = 0; col < 4; ++col) {
      expectApproxEqAbs(-j.get(row, col), jt.get(row, col), 1e-10);
    }
  }
}

void projectorIsIdempotent() {
  PGL4 jc = PGL4::init({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0});
  PGL4 pi = computeProjector(jc, 1e-8);
  PGL4 pi2 = PGL4::mul(pi, pi);
  for (std::size_t i = 0; i < 16; ++i) expectApproxEqAbs(pi.data[i], pi2.data[i], 1e-4);
}

void deformedProductWithZeroEpsilon() {
  PGL4 a = pglScale(2, 1, 1);
  PGL4 b = pglTranslate(3, 0, 0);
  PGL4 standard = PGL4::mul(a, b);
  PGL4 deformed = deformedTensorProduct(a, b, 0);
  for (std::size_t i = 0; i < 16; ++i) {
    expectApproxEqAbs(standard.data[i], deformed.data[i], 1e-10);
  }
}

void distanceWeightRoundTrip() {
  double s = 1000;
  double r = 5838400;  // R_TAVIR_KM in metres
  double w = wFromDistance(s, r);
  double s_back = sFromW(w, r);
  expectApproxEqAbs(1000.0, s_back, 0.01);
}

// The rejection of a singular argument happens when the program is built (a test of the build
// shows it); here the accepted diagonal matrix is checked.
void pglFromHomogeneousRegular() {
  constexpr PGL4 m = pglFromHomogeneous({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
  expectApproxEqAbs(120.0, m.det(), 1e-6);
}

constexpr selfcheck::Check kChecks[] = {
    {"nemra_kernel.test.HomVec4: constructors and cartesian dehomogenization", homVec4Constructors},
    {"nemra_kernel.test.HomVec4: normalization on S³", homVec4Normalization},
    {"nemra_kernel.test.HomVec4: dot product and isSamePoint", homVec4DotAndSamePoint},
    {"nemra_kernel.test.HomVec4: antipodal check Z/2Z", homVec4Antipodal},
    {"nemra_kernel.test.HomVec4: affine card selection", homVec4AffineCard},
    {"nemra_kernel.test.Fubini-Study distance: known values", fsDistanceKnownValues},
    {"nemra_kernel.test.PGL4: identity action", pgl4IdentityAction},
    {"nemra_kernel.test.PGL4: determinant", pgl4Determinant},
    {"nemra_kernel.test.PGL4: translation and scale", pgl4TranslationAndScale},
    {"nemra_kernel.test.PGL4: Newton-Schulz inverse", pgl4NewtonSchulzInverse},
    {"nemra_kernel.test.PGL4: normalizeDet → det ≈ 1", pgl4NormalizeDet},
    {"nemra_kernel.test.PGL4: rotation preserves norm", pgl4RotationPreservesNorm},
    {"nemra_kernel.test.SIMD: dot4 and normalize", simdDot4AndNormalize},
    {"nemra_kernel.test.CORDIC inverse sqrt", cordicInverseSqrt},
    {"nemra_kernel.test.Resonance J = A − Aᵀ is antisymmetric", resonanceIsAntisymmetric},
    {"nemra_kernel.test.Projector Π_Λ is idempotent: Π² = Π", projectorIsIdempotent},
    {"nemra_kernel.test.Deformed tensor product: ε=0 is standard mul",
     deformedProductWithZeroEpsilon},
    {"nemra_kernel.test.w_from_distance / s_from_W round-trip", distanceWeightRoundTrip},
    {"nemra_kernel.test.PGL4 comptime: pglFromHomogeneous rejects singular",
     pglFromHomogeneousRegular},
};

}  // namespace

selfcheck::CheckTable checks() { return kChecks; }

}  // namespace nemra_kernel
