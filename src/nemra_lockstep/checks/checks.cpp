// The named checks of nemra_lockstep: none yet, so the table is empty and the self-check program
// does not list it.
#include <nemra_lockstep/checks/checks.hpp>

namespace nemra_lockstep {

selfcheck::CheckTable checks() { return {}; }

}  // namespace nemra_lockstep
