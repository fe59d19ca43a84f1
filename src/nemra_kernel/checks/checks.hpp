// The named checks of nemra_kernel, in registration order.
#ifndef NEMRA_KERNEL_CHECKS_HPP
#define NEMRA_KERNEL_CHECKS_HPP

#include <selfcheck/check/check.hpp>

namespace nemra_kernel {

selfcheck::CheckTable checks();

}  // namespace nemra_kernel

#endif
