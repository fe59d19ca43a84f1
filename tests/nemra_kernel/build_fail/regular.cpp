// Must compile: the diagonal matrix (2, 3, 4, 5) is regular; its determinant is known when the
// program is built.
#include <nemra_kernel/pgl4.hpp>

constexpr nemra_kernel::PGL4 kDiagonal =
    nemra_kernel::pglFromHomogeneous({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
static_assert(kDiagonal.det() == 120.0);
static_assert(kDiagonal.get(3, 3) == 5.0 && kDiagonal.get(0, 3) == 0.0);

// Nearly dependent rows, but regular: the determinant is exactly 2^-40, and only an exact zero is
// rejected.
constexpr double kTiny = 1.0 / (1LL << 40);
constexpr nemra_kernel::PGL4 kNearlySingular = nemra_kernel::pglFromHomogeneous(
    {{{1, 1, 0, 0}, {1, 1 + kTiny, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}});
static_assert(kNearlySingular.det() == kTiny);

int main() { return kDiagonal.det() == 120.0 ? 0 : 1; }
