// Running a program as a real child process, with its standard error in a file or a pipe, and
// reading how it ended.
#ifndef NEMRA_TESTS_SUPPORT_CHILD_PROCESS_HPP
#define NEMRA_TESTS_SUPPORT_CHILD_PROCESS_HPP

#include <chrono>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <utility>
#include <vector>

namespace nemra_test {

struct ChildOptions {
  // argv[0] is what the program sees as its name; `program` is what is executed.
  std::string program;
  std::vector<std::string> argv;
  // Added to (or replacing in) the environment of the test.
  std::vector<std::pair<std::string, std::string>> env;
  // Where standard error goes: a file (read back into ChildResult::err), or a pipe whose reading
  // end is closed before the child starts.
  enum class Stderr { file, closed_pipe } stderr_to = Stderr::file;
  // The stack limit the child starts with.
  std::optional<rlimit> stack_limit;
  std::chrono::seconds timeout{120};
};

struct ChildResult {
  std::string err;  // standard error
  std::string out;  // standard output
  bool exited = false;
  int exit_code = -1;  // when exited
  int signal = 0;      // when killed by a signal
  bool timed_out = false;

  std::string describe() const;  // "exit status 1" / "signal 6 (Aborted)" / "timed out"
};

// Starts the child with the test's environment plus `env`, SIGPIPE at its default disposition,
// standard input from /dev/null and standard output in a file, and waits for it.
ChildResult runChild(const ChildOptions& options);

// ASAN_OPTIONS and similar for a child that is meant to die of a fault: the sanitizers keep out
// of the way of the program's own fault handler. Harmless in builds without sanitizers.
std::vector<std::pair<std::string, std::string>> letProgramHandleFaults();

}  // namespace nemra_test

#endif
