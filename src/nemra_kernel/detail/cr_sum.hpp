// The unevaluated sum that the fast paths of the correctly rounded functions return.
#ifndef NEMRA_KERNEL_DETAIL_CR_SUM_HPP
#define NEMRA_KERNEL_DETAIL_CR_SUM_HPP

namespace nemra_kernel::detail {

// hi + lo with hi = fl(hi + lo).
struct CrSum {
  double hi;
  double lo;
};

}  // namespace nemra_kernel::detail

#endif
