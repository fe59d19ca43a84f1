// Private to the kernel's sources (not installed). fsDistanceMany's entry point of entry_points.inl
// on double vectors of kLanes lanes: written once and included by fs_distance.cpp in the namespace
// of each instruction set (and by no other unit, as it defines the function).
//
// Before including, in the enclosing namespace: `constexpr std::size_t kLanes`, `using Vec`
// (kLanes doubles) and `Vec sqrtLanes(Vec)`, the correctly rounded square root of each lane.
//
// The lengths and dot products of kLanes points are formed at once, each summed in fsDistance's
// order ((x·x + y·y) + z·z) + w·w and ((a.x·x + a.y·y) + a.z·z) + a.w·w; then each lane takes the
// scalar steps of fromCosine, the arc cosine the same library call. So every result is bit for
// bit fsDistance's. The last n mod kLanes points go through fsDistance itself.

void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n) noexcept {
  const double n1 = std::sqrt(((a.x * a.x + a.y * a.y) + a.z * a.z) + a.w * a.w);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    Vec x, y, z, w;
    for (std::size_t l = 0; l < kLanes; ++l) {
      x[l] = b[i + l].x;
      y[l] = b[i + l].y;
      z[l] = b[i + l].z;
      w[l] = b[i + l].w;
    }
    const Vec n2 = sqrtLanes(((x * x + y * y) + z * z) + w * w);
    const Vec dot = ((a.x * x + a.y * y) + a.z * z) + a.w * w;
    for (std::size_t l = 0; l < kLanes; ++l) out[i + l] = fromCosine(dot[l], n1, n2[l]);
  }
  for (; i < n; ++i) out[i] = fsDistance(a, b[i]);
}
