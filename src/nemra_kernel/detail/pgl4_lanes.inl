// Private to the kernel's sources (not installed). The 4×4 loops of PGL4 on double vectors of
// kLanes lanes, and the PGL4 entry points of entry_points.inl made from them: written once and
// included by detail/pgl4_simd.cpp in the namespace of each instruction set (and by no other unit,
// as it defines those functions).
//
// Before including, in the enclosing namespace: `constexpr int kLanes`, `using Vec = double
// __attribute__((vector_size(8 * kLanes)))`, `Vec broadcast(const double* p)`, all lanes *p
// (a load-and-broadcast, so that the compiler does not load b's columns as vectors and shuffle),
// and `double det(const double* m)`, the determinant of a column-major matrix. A column of four
// rows is kParts vectors.
//
// Every result is bit for bit the plain scalar loop: each individual sum keeps its order
// (k = 0..3, starting from 0.0) and the vectors only carry the same sum for several rows at once.
// The including file is compiled with -ffp-contract=off, so no product is fused into an add.

constexpr int kParts = 4 / kLanes;

[[gnu::always_inline]] inline Vec load(const double* p) {
  Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, Vec v) { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline Vec splat(double s) {
  Vec v;
  for (int i = 0; i < kLanes; ++i) v[i] = s;
  return v;
}

// Column col of a·b into out[0..kParts): sum = (((0 + a(r,0)·b0) + a(r,1)·b1) + a(r,2)·b2) +
// a(r,3)·b3, with a's columns given as a[k][part] and bcol the four entries of column col of b.
[[gnu::always_inline]] inline void mulColumn(const Vec (&a)[4][kParts], const double* bcol,
                                             Vec (&out)[kParts]) {
  const Vec zero = splat(0.0);
  const Vec b0 = broadcast(bcol);
#pragma GCC unroll 4
  for (int part = 0; part < kParts; ++part) out[part] = zero + a[0][part] * b0;
#pragma GCC unroll 4
  for (int k = 1; k < 4; ++k) {
    const Vec bk = broadcast(bcol + k);
#pragma GCC unroll 4
    for (int part = 0; part < kParts; ++part) out[part] = out[part] + a[k][part] * bk;
  }
}

[[gnu::always_inline]] inline void loadColumns(const double* m, Vec (&cols)[4][kParts]) {
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
#pragma GCC unroll 4
    for (int part = 0; part < kParts; ++part) cols[k][part] = load(m + 4 * k + kLanes * part);
  }
}

// r = a·b over column-major storage. r may be a (all of a is loaded before anything is stored)
// or b (column col of b is read before column col of r is stored, and no other column after).
[[gnu::always_inline]] inline void mul(const double* a, const double* b, double* r) {
  Vec cols[4][kParts];
  loadColumns(a, cols);
#pragma GCC unroll 4
  for (int col = 0; col < 4; ++col) {
    Vec out[kParts];
    mulColumn(cols, b + 4 * col, out);
#pragma GCC unroll 4
    for (int part = 0; part < kParts; ++part) store(r + 4 * col + kLanes * part, out[part]);
  }
}

// r = m·v: component r = (((0 + m(r,0)·x) + m(r,1)·y) + m(r,2)·z) + m(r,3)·w, which is column 0
// of the product of m with the matrix whose column 0 is v.
[[gnu::always_inline]] inline void apply(const double* m, const double* v, double* r) {
  Vec cols[4][kParts];
  loadColumns(m, cols);
  Vec out[kParts];
  mulColumn(cols, v, out);
#pragma GCC unroll 4
  for (int part = 0; part < kParts; ++part) store(r + kLanes * part, out[part]);
}

[[gnu::always_inline]] inline Vec absValue(Vec v) {
  using Bits = long long __attribute__((vector_size(sizeof(Vec))));
  Bits mask;
  for (int i = 0; i < kLanes; ++i) mask[i] = 0x7fffffffffffffffLL;
  return reinterpret_cast<Vec>(reinterpret_cast<Bits>(v) & mask);
}

// out = (((0 + c[0]·rows[0]) + c[stride]·rows[1]) + c[2·stride]·rows[2]) + c[3·stride]·rows[3],
// each coefficient broadcast: with rows[k] row k of a matrix B and c[k·stride] = A(r, k), this is
// row r of A·B, every entry summed over k in order from 0.0.
[[gnu::always_inline]] inline void combineRows(const double* c, int stride,
                                               const Vec (&rows)[4][kParts], Vec (&out)[kParts]) {
  const Vec zero = splat(0.0);
  const Vec c0 = broadcast(c);
#pragma GCC unroll 4
  for (int part = 0; part < kParts; ++part) out[part] = zero + c0 * rows[0][part];
#pragma GCC unroll 4
  for (int k = 1; k < 4; ++k) {
    const Vec ck = broadcast(c + k * stride);
#pragma GCC unroll 4
    for (int part = 0; part < kParts; ++part) out[part] = out[part] + ck * rows[k][part];
  }
}

// The Newton–Schulz loop of PGL4::inverse on the rows of X, for at most max_iter iterations:
//   two_i_minus_mx = 2·I − M·X;  X ← X·two_i_minus_mx;  leave when max |M·X − I| < 1e-12,
// NaN differences ignored. m_reg is M in column-major storage; xr holds X row-major, in and out.
// Returns the number of iterations run, the one that met the bound included.
//
// The product M·X that ends one iteration (for the residual) is the very product the next one
// starts with: the same sums over the same operands. It is formed once and used for both, so an
// iteration costs two products rather than three, with the same bits.
//
// Working on rows keeps the chain from one iterate to the next short: the rows of M·X need only
// broadcasts of M's entries (constant) and the rows of X, and the rows of X·(2I − M·X) need
// broadcasts of the old X's entries (known since the start of the iteration) and the rows just
// computed. Each entry is still the sum over k in order from 0.0 of the same products.
//
// The largest non-NaN |M·X − I| is below the bound exactly when no entry has a magnitude of at
// least the bound (a NaN fails that comparison too), which is what is tested.
std::uint32_t newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter) noexcept {
  if (max_iter == 0) return 0;
  static constexpr double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  static constexpr double kTwoIdentity[16] = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2};
  using Bits = long long __attribute__((vector_size(sizeof(Vec))));
  const Vec bound = splat(1e-12);
  Vec x[4][kParts];
  loadColumns(xr, x);  // row-major storage: "column" k of it is row k of X
  Vec mx[4][kParts];
#pragma GCC unroll 4
  for (int r = 0; r < 4; ++r) combineRows(m_reg + r, 4, x, mx[r]);
  std::uint32_t i = 0;
  while (i < max_iter) {
    ++i;
    Vec two_i_minus_mx[4][kParts];
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r) {
#pragma GCC unroll 4
      for (int part = 0; part < kParts; ++part) {
        two_i_minus_mx[r][part] = load(kTwoIdentity + 4 * r + kLanes * part) - mx[r][part];
      }
    }
    // The old X's entries are read from xr, then its rows are replaced.
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r) combineRows(xr + 4 * r, 1, two_i_minus_mx, x[r]);
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r) {
#pragma GCC unroll 4
      for (int part = 0; part < kParts; ++part) store(xr + 4 * r + kLanes * part, x[r][part]);
    }
    // residual_check = M·X with the new X, kept as the next iteration's M·X.
    Bits far{};
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r) {
      combineRows(m_reg + r, 4, x, mx[r]);
#pragma GCC unroll 4
      for (int part = 0; part < kParts; ++part) {
        const Vec diff = mx[r][part] - load(kIdentity + 4 * r + kLanes * part);
        far |= absValue(diff) >= bound;
      }
    }
    bool any_far = false;
    for (int lane = 0; lane < kLanes; ++lane) any_far = any_far || far[lane] != 0;
    if (!any_far) break;
  }
  return i;
}

// out[i] = m·in[i] for i in [0, n), each point as apply does it, with m's columns loaded once.
// out may be in: point i is read in full before it is overwritten, and no other point after.
void applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) noexcept {
  const double* const points = components(*in);
  double* const results = components(*out);
  Vec cols[4][kParts];
  loadColumns(m.data.data(), cols);
  for (std::size_t i = 0; i < n; ++i) {
    Vec r[kParts];
    mulColumn(cols, points + 4 * i, r);
#pragma GCC unroll 4
    for (int part = 0; part < kParts; ++part) store(results + 4 * i + kLanes * part, r[part]);
  }
}

PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept {
  PGL4 r;
  mul(a.data.data(), b.data.data(), r.data.data());
  return r;
}

HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v) noexcept {
  HomVec4 r;
  apply(m.data.data(), components(v), components(r));
  return r;
}

double pgl4Det(const PGL4& m) noexcept { return det(m.data.data()); }
