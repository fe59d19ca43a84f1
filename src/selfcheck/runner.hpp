// The whole program around a check table: command line, then the terminal or the server mode.
// nemra-selfcheck and the black-box fixture programs share it.
#ifndef SELFCHECK_RUNNER_HPP
#define SELFCHECK_RUNNER_HPP

#include <selfcheck/check.hpp>

namespace selfcheck {

// Runs the program over `table` and returns the process exit status.
int runnerMain(int argc, const char* const* argv, CheckTable table);

}  // namespace selfcheck

#endif
