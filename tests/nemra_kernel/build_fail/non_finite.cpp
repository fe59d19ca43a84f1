// Must not compile: a matrix with an infinite entry is not a projective transformation.
#include <limits>

#include <nemra_kernel/pgl4.hpp>

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr nemra_kernel::PGL4 kBad =
    nemra_kernel::pglFromHomogeneous({{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, kInf, 0}, {0, 0, 0, 1}}});

int main() { return static_cast<int>(kBad.data[0]); }
