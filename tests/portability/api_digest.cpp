// nemra-api-digest: a fixed table of public-API results, printed as one 64-bit digest per part and
// one for the whole. Two machines that print the same lines computed the same bits for every
// result in the table (a NaN counts as a NaN whatever its sign and payload). The inputs come from
// a fixed integer sequence, so no library's random numbers or parsing take part.
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

namespace {

using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;

// FNV-1a over each value's 64 bits, low byte first, whatever the machine's byte order.
class Digest {
 public:
  void add(std::uint64_t bits) {
    for (int i = 0; i < 8; ++i) {
      hash_ = (hash_ ^ ((bits >> (8 * i)) & 0xff)) * 0x100000001b3ull;
    }
    ++count_;
  }
  void add(double x) {
    add(std::isnan(x) ? std::uint64_t{0x7ff8000000000000} : std::bit_cast<std::uint64_t>(x));
  }
  void add(float x) { add(static_cast<double>(x)); }
  void add(const HomVec4& v) {
    for (double c : {v.x, v.y, v.z, v.w}) add(c);
  }
  void add(const PGL4& m) {
    for (double c : m.data) add(c);
  }
  [[nodiscard]] std::uint64_t value() const { return hash_; }
  [[nodiscard]] std::uint64_t count() const { return count_; }

 private:
  std::uint64_t hash_ = 0xcbf29ce484222325ull;
  std::uint64_t count_ = 0;
};

// SplitMix64: the inputs' only source.
class Inputs {
 public:
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi), from 53 bits.
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53);
  }
  // A double with a random sign, mantissa and an exponent in [lo, hi] (powers of two).
  double wide(int lo, int hi) {
    const std::uint64_t bits = next();
    const int exponent =
        lo + static_cast<int>((bits >> 53) % static_cast<std::uint64_t>(hi - lo + 1));
    const double mantissa = 1.0 + static_cast<double>(bits & ((1ull << 52) - 1)) * 0x1p-52;
    return ((bits >> 63) != 0 ? -1.0 : 1.0) * std::ldexp(mantissa, exponent);
  }
  // Each draw in a statement of its own: the order in which a call's arguments are evaluated
  // differs between compilers and machines.
  HomVec4 point(double spread) { return around(HomVec4::zero(), spread); }
  HomVec4 around(HomVec4 c, double spread) {
    const double x = c.x + uniform(-spread, spread);
    const double y = c.y + uniform(-spread, spread);
    const double z = c.z + uniform(-spread, spread);
    const double w = c.w + uniform(-spread, spread);
    return HomVec4::init(x, y, z, w);
  }

 private:
  std::uint64_t state_ = 0x6e656d7261ull;  // "nemra"
};

constexpr double kSpecials[] = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.5,
                                1e-300,
                                -1e-300,
                                4.9e-324,
                                1e300,
                                INFINITY,
                                -INFINITY,
                                NAN,
                                3.141592653589793,
                                1.5707963267948966};

Digest kernelPart(Inputs& in) {
  Digest d;
  std::vector<HomVec4> points;
  for (int i = 0; i < 4000; ++i) points.push_back(i % 4 == 3 ? in.point(1e6) : in.point(1.0));
  for (double s : kSpecials) points.push_back(HomVec4::init(s, 1.0, -s, 0.5));
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    const HomVec4 a = points[i];
    const HomVec4 b = points[i + 1];
    d.add(nemra_kernel::fsDistance(a, b));
    // Nearly the same point: where the arc cosine's last bits show.
    d.add(nemra_kernel::fsDistance(a, HomVec4::init(a.x, a.y, a.z, a.w * (1.0 + 0x1p-40))));
    d.add(a.norm());
    d.add(a.normalize());
    d.add(HomVec4::dot(a, b));
    d.add(static_cast<std::uint64_t>(a.pickBestCard()));
    const auto c = a.cartesian3();
    for (double x : c) d.add(x);
  }
  std::vector<double> many(points.size());
  nemra_kernel::fsDistanceMany(points[0], points, many);
  for (double x : many) d.add(x);

  for (int i = 0; i < 3000; ++i) {
    const double s = i % 3 == 0 ? in.wide(-30, 30) : in.uniform(0.0, 4e7);
    const double r = in.uniform(1.0, 1e7);
    d.add(nemra_kernel::wFromDistance(s, r));
    d.add(nemra_kernel::sFromW(in.uniform(-1.2, 1.2), r));
    d.add(nemra_kernel::sFromW(1.0 - in.wide(-53, -1) * (i % 2 == 0 ? 1.0 : -1.0), r));
    d.add(nemra_kernel::cordicInvSqrt(in.wide(-100, 100)));
  }
  for (double s : kSpecials) {
    d.add(nemra_kernel::wFromDistance(s, 5838400.0));
    d.add(nemra_kernel::sFromW(s, 5838400.0));
  }

  for (int i = 0; i < 3000; ++i) {
    const double angle = i % 4 == 0 ? in.wide(-20, 60) : in.uniform(-10.0, 10.0);
    d.add(nemra_kernel::pglRotateX(angle));
    d.add(nemra_kernel::pglRotateY(angle));
    d.add(nemra_kernel::pglRotateZ(angle));
    const double fovy = in.uniform(0.01, 3.1);
    const double aspect = in.uniform(0.2, 5.0);
    const double near = in.uniform(0.01, 1.0);
    const double far = in.uniform(2.0, 1e4);
    d.add(nemra_kernel::pglPerspective(fovy, aspect, near, far));
    const std::array<double, 3> eye{in.uniform(-9, 9), in.uniform(-9, 9), in.uniform(-9, 9)};
    const std::array<double, 3> centre{in.uniform(-9, 9), in.uniform(-9, 9), in.uniform(-9, 9)};
    d.add(nemra_kernel::pglLookAt(eye, centre, {0.0, 1.0, 0.0}));
  }

  for (int i = 0; i < 2000; ++i) {
    std::array<double, 16> values{};
    for (double& v : values) v = i % 5 == 0 ? in.wide(-40, 40) : in.uniform(-2.0, 2.0);
    const PGL4 m = PGL4::init(values);
    const PGL4 n = PGL4::mul(nemra_kernel::pglTranslate(1.0, 2.0, 3.0), m);
    d.add(PGL4::mul(m, n));
    d.add(m.apply(points[static_cast<std::size_t>(i)]));
    d.add(m.det());
    d.add(m.normalizeDet());
    d.add(m.inverse(1e-12, 40));
    d.add(nemra_kernel::computeResonance(m));
    d.add(nemra_kernel::computeProjector(m, 1e-3));
    d.add(nemra_kernel::deformedTensorProduct(m, n, 0.25));
  }
  for (int i = 0; i < 2000; ++i) {
    const auto x = static_cast<float>(in.uniform(-4, 4));
    const auto y = static_cast<float>(in.uniform(-4, 4));
    const auto z = static_cast<float>(in.uniform(-4, 4));
    const auto v = nemra_kernel::f32x4(x, y, z, 0.0f);
    d.add(nemra_kernel::simdDot4(v, v));
    const auto n = nemra_kernel::simdNormalize3(v);
    for (int k = 0; k < 4; ++k) d.add(n[k]);
  }
  return d;
}

// Worlds whose entities lie close together, so that which is nearest turns on the last bits of
// their distances, and queries against the world and against an index of it.
Digest queryPart(Inputs& in) {
  Digest d;
  std::pmr::monotonic_buffer_resource arena;
  nemra_ecs::World world = nemra_ecs::World::init(&arena);
  const HomVec4 centres[] = {HomVec4::init(1, 2, 3, 4), HomVec4::init(-5, 0.5, 2, 1),
                             HomVec4::init(0, 0, 1, 1e-3)};
  std::vector<HomVec4> positions;
  for (int i = 0; i < 3000; ++i) {
    const HomVec4 c = centres[i % 3];
    const double e = i % 2 == 0 ? 1e-7 : 1e-3;
    positions.push_back(in.around(c, e));
  }
  for (const HomVec4& p : positions) {
    const nemra_ecs::EntityId id = world.createEntity("e").value();
    world.getEntity(id)->setPosition(p);
    d.add(world.getEntity(id)->position);
  }
  const auto index = nemra_ecs::NearestIndex::build(world, &arena).value();
  auto addIds = [&d](std::span<const nemra_ecs::EntityId> ids) {
    d.add(static_cast<std::uint64_t>(ids.size()));
    for (nemra_ecs::EntityId id : ids) d.add(id.id);
  };
  for (int q = 0; q < 300; ++q) {
    const HomVec4 c = centres[q % 3];
    const double e = q % 2 == 0 ? 1e-7 : 1e-3;
    const HomVec4 query = in.around(c, e);
    d.add(world.findNearest(query).value_or(nemra_ecs::EntityId{0}).id);
    d.add(index.nearest(query).value_or(nemra_ecs::EntityId{0}).id);
    addIds(world.kNearest(query, 16, &arena).value());
    addIds(index.kNearest(query, 16, &arena).value());
    const double radius = e * 0.3;
    addIds(world.withinDistance(query, radius, &arena).value());
    addIds(index.withinDistance(query, radius, &arena).value());
  }
  return d;
}

}  // namespace

int main() {
  Inputs in;
  const Digest kernel = kernelPart(in);
  const Digest queries = queryPart(in);
  Digest all;
  all.add(kernel.value());
  all.add(queries.value());
  std::printf("kernel %016" PRIx64 " (%" PRIu64 " values)\n", kernel.value(), kernel.count());
  std::printf("queries %016" PRIx64 " (%" PRIu64 " values)\n", queries.value(), queries.count());
  std::printf("all %016" PRIx64 "\n", all.value());
  return 0;
}
