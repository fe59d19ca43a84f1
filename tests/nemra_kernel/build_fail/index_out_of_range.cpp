// Must not compile: an entry outside rows and columns 0..3 read in a constant expression.
#include <nemra_kernel/pgl4.hpp>

constexpr double kEntry = nemra_kernel::PGL4::identity().get(4, 0);

int main() { return static_cast<int>(kEntry); }
