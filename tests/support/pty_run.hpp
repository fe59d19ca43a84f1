// Running a program on a pseudo-terminal of a given size and recording what it draws.
#ifndef NEMRA_TESTS_SUPPORT_PTY_RUN_HPP
#define NEMRA_TESTS_SUPPORT_PTY_RUN_HPP

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace nemra_test {

struct PtyChunk {
  std::chrono::milliseconds at;  // since the start
  std::string bytes;
};

struct PtyResult {
  std::vector<PtyChunk> chunks;  // in the order read from the terminal
  bool exited = false;
  int exit_code = -1;
  int signal = 0;
  bool timed_out = false;

  std::string all() const;  // every byte the program wrote
};

// Runs `program` with `argv` on a new pseudo-terminal of `columns` x `rows` (standard input,
// output and error all on it), the test's environment plus `env`, and waits for it.
PtyResult runOnPty(const std::string& program, const std::vector<std::string>& argv, int columns,
                   int rows, const std::vector<std::pair<std::string, std::string>>& env = {},
                   std::chrono::seconds timeout = std::chrono::seconds(120));

}  // namespace nemra_test

#endif
