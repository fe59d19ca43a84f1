// Private to the kernel's sources (not installed): which instruction sets the kernel is built with,
// and the one pair of macros that compiles code for AVX.
//
// x86 builds carry two copies of the vector loops: the baseline (SSE2, two lanes) and AVX (four
// lanes), and pick one when the library is loaded (detail/dispatch.cpp). Only AVX itself is
// enabled for the second copy, never FMA, and everything builds with -ffp-contract=off: both
// copies are the same IEEE multiplications and additions in the same order, so they give the same
// bits. Defining NEMRA_KERNEL_BASELINE_ONLY leaves the AVX copy out (the tests build the kernel
// that way too, to compare the baseline with the literal loops on AVX machines).
#ifndef NEMRA_KERNEL_DETAIL_ISA_HPP
#define NEMRA_KERNEL_DETAIL_ISA_HPP

#if (defined(__x86_64__) || defined(__i386__)) && !defined(NEMRA_KERNEL_BASELINE_ONLY)
#define NEMRA_KERNEL_HAVE_AVX_PATH 1
#include <immintrin.h>
#else
#define NEMRA_KERNEL_HAVE_AVX_PATH 0
#endif

// Every function defined between NEMRA_KERNEL_AVX_BEGIN and NEMRA_KERNEL_AVX_END is compiled for
// AVX. Standard headers go before the pair: their functions must stay baseline code.
#if defined(__clang__)
#define NEMRA_KERNEL_AVX_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx\"))), apply_to = function)")
#define NEMRA_KERNEL_AVX_END _Pragma("clang attribute pop")
#else
#define NEMRA_KERNEL_AVX_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx\")")
#define NEMRA_KERNEL_AVX_END _Pragma("GCC pop_options")
#endif

#endif
