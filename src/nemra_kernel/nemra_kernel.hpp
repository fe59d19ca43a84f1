// Umbrella header of the projective geometry kernel.
#ifndef NEMRA_KERNEL_NEMRA_KERNEL_HPP
#define NEMRA_KERNEL_NEMRA_KERNEL_HPP

#include <nemra_kernel/hom_vec4.hpp>

#endif
