#include <selfcheck/cli.hpp>
#include <selfcheck/line_output.hpp>
#include <selfcheck/panic.hpp>
#include <selfcheck/run_loop.hpp>
#include <selfcheck/runner.hpp>
#include <selfcheck/server.hpp>

namespace selfcheck {

int runnerMain(int argc, const char* const* argv, CheckTable table) {
  Options options = parseCommandLine(argc, argv);
  if (options.listen) return serverMain(table);
  LineOutput output;
  RunSummary summary = runAll(table, output);
  return summary.exitStatus();
}

}  // namespace selfcheck
