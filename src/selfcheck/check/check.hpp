// A named check: the unit the self-check program runs and reports on.
#ifndef SELFCHECK_CHECK_CHECK_HPP
#define SELFCHECK_CHECK_CHECK_HPP

#include <span>
#include <string_view>

namespace selfcheck {

// A check takes no arguments. It passes by returning; it fails, or skips, by throwing a
// CheckFailure (assertions.hpp), which the run loop turns into the outcome.
struct Check {
  std::string_view name;
  void (*run)();
};

using CheckTable = std::span<const Check>;

}  // namespace selfcheck

#endif
