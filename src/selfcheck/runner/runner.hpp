// The whole program around a check table: process start-up, command line, then the terminal or
// the server mode. nemra-selfcheck and the black-box fixture programs share it.
#ifndef SELFCHECK_RUNNER_RUNNER_HPP
#define SELFCHECK_RUNNER_RUNNER_HPP

#include <selfcheck/check/check.hpp>

namespace selfcheck {

// Runs the program over `table` and returns the process exit status.
int runnerMain(int argc, const char* const* argv, CheckTable table);

// The terminal mode: runs every check in order, printing the per-check lines (plain or terminal
// form) and, on a terminal, the progress display; prints the summary and returns the exit status
// (0, or 1 when a check failed, leaked or an error was logged). With NEMRA_PROGRESS_FD set it also
// writes progress reports (progress_reports.hpp).
int mainTerminal(CheckTable table);

}  // namespace selfcheck

#endif
