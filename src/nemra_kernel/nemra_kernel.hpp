// Umbrella header of the projective geometry kernel.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_NEMRA_KERNEL_HPP)
#define NEMRA_KERNEL_NEMRA_KERNEL_HPP

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/fast_math.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>
#include <nemra_kernel/resonance.hpp>

#endif
