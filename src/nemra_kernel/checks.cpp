#include <nemra_kernel/checks.hpp>
#include <nemra_kernel/nemra_kernel.hpp>
#include <selfcheck/assertions.hpp>

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

constexpr selfcheck::Check kChecks[] = {
    {"nemra_kernel.test.HomVec4: constructors and cartesian dehomogenization",
     homVec4Constructors},
    {"nemra_kernel.test.HomVec4: normalization on S³", homVec4Normalization},
    {"nemra_kernel.test.HomVec4: dot product and isSamePoint", homVec4DotAndSamePoint},
    {"nemra_kernel.test.HomVec4: antipodal check Z/2Z", homVec4Antipodal},
    {"nemra_kernel.test.HomVec4: affine card selection", homVec4AffineCard},
};

}  // namespace

selfcheck::CheckTable checks() { return kChecks; }

}  // namespace nemra_kernel
