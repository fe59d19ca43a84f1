// The named checks of nemra_lockstep, in registration order (none yet: the module is tested by its
// GoogleTest suite, and the self-check program's output stays as it is).
#ifndef NEMRA_LOCKSTEP_CHECKS_HPP
#define NEMRA_LOCKSTEP_CHECKS_HPP

#include <selfcheck/check/check.hpp>

namespace nemra_lockstep {

selfcheck::CheckTable checks();

}  // namespace nemra_lockstep

#endif
