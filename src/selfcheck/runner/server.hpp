// Server mode ("--listen=-"): serves an external build driver over standard input and output.
#ifndef SELFCHECK_RUNNER_SERVER_HPP
#define SELFCHECK_RUNNER_SERVER_HPP

#include <selfcheck/check/check.hpp>

namespace selfcheck {

// Serves requests until the driver asks to exit; returns the process exit status. Expects the
// process set up by startProcess (process.hpp): a driver that goes away makes writes fail with
// EPIPE instead of killing the process.
int serverMain(CheckTable table);

}  // namespace selfcheck

#endif
