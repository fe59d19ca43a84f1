// A program that uses nemra's kernel headers the way an application would. It is built twice: once
// with the library's own flags (the reference), and once with -O2 -march=native and floating-point
// contraction allowed, as an application might be. Both write a digest of the bits of every result
// over many inputs to the file named by their argument; the test requires the two files to be
// identical.
//
// To show that the second build really would fuse products into sums, the program also runs a
// plain inline matrix product of its own (no library call) and prints on standard output how many
// of its results differ in bits from the library's: with contraction on a processor with FMA they
// do, so equal digests mean the kernel's results do not depend on how its headers are compiled.
#include <array>
#include <bit>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nemra_kernel/nemra_kernel.hpp>

namespace {

using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;

// A small deterministic generator, the same in both builds.
struct Inputs {
  std::uint64_t state = 0x9E3779B97F4A7C15u;

  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }

  // Mostly ordinary values with rounding in their products, some exact small integers and zeros.
  double value() {
    const std::uint64_t r = next();
    switch (r % 8) {
      case 0:
        return static_cast<double>(static_cast<int>(r >> 8 & 7) - 3);
      case 1:
        return (r >> 8 & 1) ? 0.0 : -0.0;
      default:
        return static_cast<double>(static_cast<std::int64_t>(r >> 11) - (1LL << 52)) / 1e15;
    }
  }

  PGL4 matrix() {
    PGL4 m{};
    for (double& e : m.data) e = value();
    return m;
  }

  // One draw per statement: the order of a call's arguments differs between compilers.
  HomVec4 point() {
    const double x = value();
    const double y = value();
    const double z = value();
    const double w = value();
    return HomVec4::init(x, y, z, w);
  }
};

// FNV-1a over the bits of each result, one digest per operation.
struct Digest {
  std::uint64_t hash = 0xcbf29ce484222325u;
  void add(std::uint64_t bits) {
    for (int i = 0; i < 8; ++i) {
      hash ^= (bits >> (8 * i)) & 0xff;
      hash *= 0x100000001b3u;
    }
  }
  void add(double x) { add(std::bit_cast<std::uint64_t>(x)); }
  void add(float x) { add(static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(x))); }
  void add(const PGL4& m) {
    for (double e : m.data) add(e);
  }
  void add(const HomVec4& v) {
    add(v.x);
    add(v.y);
    add(v.z);
    add(v.w);
  }
};

// The product as an application might write it inline, for the control count. The sum over k is
// written out rather than looped: GCC's tuning for AMD Zen processors leaves a multiply-add chain
// carried around a loop unfused (avoid-fma-max-bits), so a looped control proves nothing there.
PGL4 inlineProduct(const PGL4& a, const PGL4& b) {
  PGL4 r{};
  for (std::size_t col = 0; col < 4; ++col) {
    const double* bc = &b.data[4 * col];
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0 + a.data[row] * bc[0];
      sum = sum + a.data[4 + row] * bc[1];
      sum = sum + a.data[8 + row] * bc[2];
      sum = sum + a.data[12 + row] * bc[3];
      r.data[4 * col + row] = sum;
    }
  }
  return r;
}

// Evaluated by the compiler; the digests cover them too.
constexpr PGL4 kConstA = nemra_kernel::pglTranslate(0.1, -0.7, 1.0 / 3);
constexpr PGL4 kConstB = nemra_kernel::pglFromHomogeneous(
    {{{0.3, 1.1, 0, 2.5}, {-0.9, 0.2, 0.7, 0}, {1.0 / 7, 0, 0.6, -1.3}, {0.05, 0.4, 0, 1}}});
constexpr PGL4 kConstProduct = PGL4::mul(kConstA, kConstB);
constexpr double kConstDet = kConstProduct.det();

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  constexpr int kSamples = 20000;
  Inputs in;
  Digest mul, apply, det, transpose, inverse, normalize_det, fs, weights, resonance, projector,
      deformed, builders, dot4, normalize3, inv_sqrt, constants;
  long control_differ = 0;
  for (int i = 0; i < kSamples; ++i) {
    const PGL4 a = in.matrix(), b = in.matrix();
    const HomVec4 p = in.point(), q = in.point();
    const PGL4 ab = PGL4::mul(a, b);
    mul.add(ab);
    if (!(inlineProduct(a, b) == ab)) ++control_differ;
    apply.add(a.apply(p));
    det.add(a.det());
    det.add(ab.det());
    transpose.add(a.transpose());
    inverse.add(a.inverse(i % 3 == 0 ? 1e-10 : 0.0, static_cast<std::uint32_t>(i % 5)));
    normalize_det.add(a.normalizeDet());
    fs.add(nemra_kernel::fsDistance(p, q));
    weights.add(nemra_kernel::wFromDistance(p.x * 1e6, 5838400.0));
    weights.add(nemra_kernel::sFromW(p.y, 5838400.0));
    resonance.add(nemra_kernel::computeResonance(a));
    deformed.add(nemra_kernel::deformedTensorProduct(a, b, p.z));
    if (i % 10 == 0) projector.add(nemra_kernel::computeProjector(a, 1e-3));
    PGL4 built =
        PGL4::mul(nemra_kernel::pglTranslate(p.x, p.y, p.z), nemra_kernel::pglScale(q.x, q.y, q.z));
    built = PGL4::mul(built, nemra_kernel::pglRotateZ(q.w));
    built.set(3, 0, built.get(0, 3) * 2);
    builders.add(built.apply(q));
    const auto fa = nemra_kernel::f32x4(static_cast<float>(p.x), static_cast<float>(p.y),
                                        static_cast<float>(p.z), static_cast<float>(p.w));
    const auto fb = nemra_kernel::f32x4(static_cast<float>(q.x), static_cast<float>(q.y),
                                        static_cast<float>(q.z), static_cast<float>(q.w));
    dot4.add(nemra_kernel::simdDot4(fa, fb));
    const auto n = nemra_kernel::simdNormalize3(fa);
    for (std::size_t lane = 0; lane < 4; ++lane) normalize3.add(n[lane]);
    inv_sqrt.add(nemra_kernel::cordicInvSqrt(p.x < 0 ? -p.x * 1e3 : p.x));
  }
  constants.add(kConstProduct);
  constants.add(kConstDet);
  // The same values at run time: PGL4::mul and det take the library's path here.
  constants.add(PGL4::mul(kConstA, kConstB));
  constants.add(PGL4::mul(kConstA, kConstB).det());

  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  const std::pair<const char*, const Digest*> digests[] = {{"mul", &mul},
                                                           {"apply", &apply},
                                                           {"det", &det},
                                                           {"transpose", &transpose},
                                                           {"inverse", &inverse},
                                                           {"normalizeDet", &normalize_det},
                                                           {"fsDistance", &fs},
                                                           {"weights", &weights},
                                                           {"resonance", &resonance},
                                                           {"projector", &projector},
                                                           {"deformed", &deformed},
                                                           {"builders", &builders},
                                                           {"simdDot4", &dot4},
                                                           {"simdNormalize3", &normalize3},
                                                           {"cordicInvSqrt", &inv_sqrt},
                                                           {"constants", &constants}};
  for (const auto& [name, digest] : digests) {
    std::fprintf(out, "%s %016" PRIx64 "\n", name, digest->hash);
  }
  std::fclose(out);
  std::printf("control: %ld of %d inline products differ from the library's\n", control_differ,
              kSamples);
  return 0;
}
