// Server mode ("--listen=-"): serves an external build driver over standard input and output.
#ifndef SELFCHECK_SERVER_HPP
#define SELFCHECK_SERVER_HPP

#include <selfcheck/check.hpp>

namespace selfcheck {

// Serves requests until the driver asks to exit; returns the process exit status.
int serverMain(CheckTable table);

}  // namespace selfcheck

#endif
