// The library's tuned loops against the literal ones of reference.hpp, bit for bit (signed zeros
// distinguished, NaN payloads not), over random inputs that include NaN, infinities, zeros, huge
// and subnormal values.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_kernel/nemra_kernel.hpp>

#include "random_inputs.hpp"
#include "reference.hpp"

namespace {

using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;

// Samples for each single loop; the compositions of them (inverse, projector, the deformed product)
// use fewer, which keeps the suite quick under the sanitizers.
constexpr int kSamples = 100000;
constexpr int kCompositeSamples = 20000;

PGL4 toPgl(const ref::Mat& m) { return PGL4::init(m); }
HomVec4 toHom(const ref::Vec& v) { return HomVec4::init(v[0], v[1], v[2], v[3]); }
ref::Vec fromHom(HomVec4 v) { return {v.x, v.y, v.z, v.w}; }

std::string show(const ref::Mat& m) {
  std::string s;
  for (double e : m) s += std::to_string(e) + " ";
  return s;
}

std::string show(const ref::Vec& v) {
  return std::to_string(v[0]) + " " + std::to_string(v[1]) + " " + std::to_string(v[2]) + " " +
         std::to_string(v[3]);
}

// Stops a loop after the first mismatch so that one fault does not print a hundred thousand lines.
#define EXPECT_SAME_OR_BREAK(cond, what) \
  if (!(cond)) {                         \
    ADD_FAILURE() << what;               \
    break;                               \
  }

TEST(PGL4BitIdentity, MulMatchesTheLiteralLoop) {
  ref::RandomInputs in(1);
  for (int i = 0; i < kSamples; ++i) {
    const ref::Mat a = in.matrix(), b = in.matrix();
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::mul(a, b), PGL4::mul(toPgl(a), toPgl(b)).data),
                         "a = " << show(a) << "\nb = " << show(b));
  }
}

TEST(PGL4BitIdentity, ApplyMatchesTheLiteralLoop) {
  ref::RandomInputs in(2);
  for (int i = 0; i < kSamples; ++i) {
    const ref::Mat m = in.matrix();
    const ref::Vec v = in.vector();
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::apply(m, v), fromHom(toPgl(m).apply(toHom(v)))),
                         "m = " << show(m) << "\nv = " << show(v));
  }
}

TEST(PGL4BitIdentity, DetMatchesTheLiteralExpansion) {
  ref::RandomInputs in(3);
  for (int i = 0; i < kSamples; ++i) {
    const ref::Mat m = in.matrix();
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::det(m), toPgl(m).det()), "m = " << show(m));
  }
}

TEST(PGL4BitIdentity, TransposeMatchesTheLiteralLoop) {
  ref::RandomInputs in(4);
  for (int i = 0; i < 1000; ++i) {
    const ref::Mat m = in.matrix();
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::transpose(m), toPgl(m).transpose().data),
                         "m = " << show(m));
  }
}

// Short budgets over many random matrices (most do not converge, a few are NaN at once), and full
// budgets over matrices near a multiple of the identity, which converge and leave early.
TEST(PGL4BitIdentity, InverseMatchesTheLiteralIteration) {
  ref::RandomInputs in(5);
  for (int i = 0; i < kCompositeSamples; ++i) {
    const ref::Mat m = in.matrix();
    const double delta = in.below(4) == 0 ? in.value(ref::RandomInputs::Kind::Anything) : 0.0;
    const auto budget = static_cast<std::uint32_t>(in.below(3));
    EXPECT_SAME_OR_BREAK(
        ref::sameBits(ref::inverse(m, delta, budget), toPgl(m).inverse(delta, budget).data),
        "m = " << show(m) << "\ndelta = " << delta << " budget = " << budget);
  }
  for (int i = 0; i < 300; ++i) {
    ref::Mat m{};
    const double scale = in.uniform(0.5, 4.0);
    for (std::size_t j = 0; j < 16; ++j) m[j] = (j % 5 == 0 ? scale : 0.0) + in.uniform(-0.3, 0.3);
    const double delta = in.below(2) ? 1e-10 : 0.0;
    EXPECT_SAME_OR_BREAK(
        ref::sameBits(ref::inverse(m, delta, 30), toPgl(m).inverse(delta, 30).data),
        "m = " << show(m) << "\ndelta = " << delta);
  }
}

// The report's inverse, iteration count and residual against the literal loop: short budgets
// over random matrices (NaN and spent budgets), full ones over matrices that converge.
TEST(PGL4BitIdentity, InverseReportMatchesTheLiteralIteration) {
  ref::RandomInputs in(11);
  for (int i = 0; i < kCompositeSamples; ++i) {
    ref::Mat m = in.matrix();
    auto budget = static_cast<std::uint32_t>(in.below(3));
    if (i % 2 == 0) {
      const double scale = in.uniform(0.5, 4.0);
      for (std::size_t j = 0; j < 16; ++j)
        m[j] = (j % 5 == 0 ? scale : 0.0) + in.uniform(-0.3, 0.3);
      budget = static_cast<std::uint32_t>(in.below(40));
    }
    const ref::InverseSteps want = ref::inverseSteps(m, 0.0, budget);
    const nemra_kernel::InverseReport got = toPgl(m).inverseWithReport(0.0, budget);
    EXPECT_SAME_OR_BREAK(
        ref::sameBits(want.x, got.inverse.data) && want.iterations == got.iterations &&
            ref::sameBits(want.residual, got.residual),
        "m = " << show(m) << "\nbudget = " << budget << ": iterations " << got.iterations << " vs "
               << want.iterations << ", residual " << got.residual << " vs " << want.residual);
  }
}

// Every length up to a few vector widths, so that both the loop and any remainder run; the
// output apart from the input and in place.
TEST(PGL4BitIdentity, ApplyManyAndTheOperatorsMatchTheSingleCalls) {
  ref::RandomInputs in(12);
  for (int i = 0; i < kSamples / 10; ++i) {
    const ref::Mat m = in.matrix(), b = in.matrix();
    const PGL4 pm = toPgl(m);
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::mul(m, b), (pm * toPgl(b)).data),
                         "m = " << show(m) << "\nb = " << show(b));
    const std::size_t n = static_cast<std::size_t>(in.below(10));
    std::vector<HomVec4> points(n), apart(n);
    for (HomVec4& p : points) p = toHom(in.vector());
    std::vector<HomVec4> in_place = points;
    pm.applyMany(points, apart);
    pm.applyMany(in_place, in_place);
    for (std::size_t j = 0; j < n; ++j) {
      const ref::Vec want = ref::apply(m, fromHom(points[j]));
      EXPECT_SAME_OR_BREAK(
          ref::sameBits(want, fromHom(apart[j])) && ref::sameBits(want, fromHom(in_place[j])) &&
              ref::sameBits(want, fromHom(pm * points[j])),
          "m = " << show(m) << "\npoint " << j << " of " << n << " = " << show(fromHom(points[j])));
    }
  }
}

TEST(PGL4BitIdentity, NormalizeDetMatchesTheLiteralSteps) {
  ref::RandomInputs in(6);
  for (int i = 0; i < kSamples; ++i) {
    const ref::Mat m = in.matrix();
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::normalizeDet(m), toPgl(m).normalizeDet().data),
                         "m = " << show(m));
  }
}

TEST(FsDistanceBitIdentity, MatchesTheLiteralFormula) {
  ref::RandomInputs in(7);
  for (int i = 0; i < kSamples; ++i) {
    const ref::Vec a = in.vector(), b = in.vector();
    EXPECT_SAME_OR_BREAK(
        ref::sameBits(ref::fsDistance(a, b), nemra_kernel::fsDistance(toHom(a), toHom(b))),
        "a = " << show(a) << "\nb = " << show(b));
  }
}

TEST(FsDistanceBitIdentity, ManyMatchesTheLiteralFormula) {
  ref::RandomInputs in(13);
  for (int i = 0; i < kSamples / 10; ++i) {
    const ref::Vec a = in.vector();
    const std::size_t n = static_cast<std::size_t>(in.below(10));
    std::vector<HomVec4> b(n);
    for (HomVec4& p : b) p = toHom(in.vector());
    std::vector<double> out(n);
    nemra_kernel::fsDistanceMany(toHom(a), b, out);
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_SAME_OR_BREAK(ref::sameBits(ref::fsDistance(a, fromHom(b[j])), out[j]),
                           "a = " << show(a) << "\nb[" << j << "] = " << show(fromHom(b[j])));
    }
  }
}

TEST(FsDistanceBitIdentity, WeightConversionsMatchTheLiteralFormulas) {
  ref::RandomInputs in(8);
  for (int i = 0; i < kSamples; ++i) {
    const auto kind = in.pickKind();
    const double s = in.value(kind), r = in.value(kind);
    const double w = in.below(2) ? in.uniform(-1.2, 1.2) : in.value(kind);
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::wFromDistance(s, r), nemra_kernel::wFromDistance(s, r)),
                         "s = " << s << " R = " << r);
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::sFromW(w, r), nemra_kernel::sFromW(w, r)),
                         "W = " << w << " R = " << r);
  }
}

TEST(ResonanceBitIdentity, ResonanceProjectorAndDeformedProductMatchTheLiteralSteps) {
  ref::RandomInputs in(9);
  for (int i = 0; i < kCompositeSamples; ++i) {
    const ref::Mat a = in.matrix(), b = in.matrix();
    const double scalar = in.below(3) == 0 ? 0.0 : in.value(in.pickKind());
    EXPECT_SAME_OR_BREAK(
        ref::sameBits(ref::resonance(a), nemra_kernel::computeResonance(toPgl(a)).data),
        "a = " << show(a));
    EXPECT_SAME_OR_BREAK(
        ref::sameBits(ref::deformed(a, b, scalar),
                      nemra_kernel::deformedTensorProduct(toPgl(a), toPgl(b), scalar).data),
        "x = " << show(a) << "\ny = " << show(b) << "\nepsilon = " << scalar);
  }
  // The projector runs three products and up to 8 inverse iterations.
  for (int i = 0; i < kCompositeSamples / 20; ++i) {
    const ref::Mat j = in.matrix();
    const double delta = in.below(2) ? 1e-8 : in.value(in.pickKind());
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::projector(j, delta),
                                       nemra_kernel::computeProjector(toPgl(j), delta).data),
                         "j = " << show(j) << "\ndelta = " << delta);
  }
}

TEST(FastMathBitIdentity, Dot4AndNormalize3MatchTheLiteralLanes) {
  ref::RandomInputs in(10);
  for (int i = 0; i < kSamples; ++i) {
    const ref::Vec4f a = in.vectorF(), b = in.vectorF();
    const auto va = nemra_kernel::f32x4(a[0], a[1], a[2], a[3]);
    const auto vb = nemra_kernel::f32x4(b[0], b[1], b[2], b[3]);
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::dot4(a, b), nemra_kernel::simdDot4(va, vb)),
                         "a = " << a[0] << " " << a[1] << " " << a[2] << " " << a[3]);
    const ref::Vec4f expected = ref::normalize3(a);
    const auto got = nemra_kernel::simdNormalize3(va);
    bool same = true;
    for (std::size_t lane = 0; lane < 4; ++lane)
      same = same && ref::sameBits(expected[lane], got[lane]);
    EXPECT_SAME_OR_BREAK(same, "v = " << a[0] << " " << a[1] << " " << a[2] << " " << a[3]);
  }
}

TEST(FastMathBitIdentity, CordicInvSqrtMatchesTheLiteralSteps) {
  ref::RandomInputs in(11);
  for (int i = 0; i < kSamples; ++i) {
    const double x = in.below(2) ? std::bit_cast<double>(in.engine()()) : in.value(in.pickKind());
    EXPECT_SAME_OR_BREAK(ref::sameBits(ref::invSqrt(x), nemra_kernel::cordicInvSqrt(x)),
                         "x = " << x);
  }
}

}  // namespace
