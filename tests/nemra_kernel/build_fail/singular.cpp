// Must not compile: the rows are linearly dependent (determinant 0), and pglFromHomogeneous checks
// its argument when the program is built.
#include <nemra_kernel/pgl4.hpp>

constexpr nemra_kernel::PGL4 kSingular = nemra_kernel::pglFromHomogeneous(
    {{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}});

int main() { return static_cast<int>(kSingular.data[0]); }
