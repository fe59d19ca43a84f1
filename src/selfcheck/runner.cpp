#include <unistd.h>

#include <selfcheck/cli.hpp>
#include <selfcheck/line_output.hpp>
#include <selfcheck/process.hpp>
#include <selfcheck/progress.hpp>
#include <selfcheck/run_loop.hpp>
#include <selfcheck/runner.hpp>
#include <selfcheck/server.hpp>

namespace selfcheck {

int mainTerminal(CheckTable table) {
  if (::isatty(STDERR_FILENO) == 0) {
    LineOutput lines(LineOutput::Form::plain);
    return runAll(table, lines).exitStatus();
  }
  LineOutput lines(LineOutput::Form::terminal);
  ProgressDisplay display;
  // The display comes first so that it is stopped and cleared before the summary is printed.
  ReporterList reporters{&display, &lines};
  return runAll(table, reporters).exitStatus();
}

int runnerMain(int argc, const char* const* argv, CheckTable table) {
  // The process set-up belongs before main; it is done here, first, because every program built
  // on the runner comes through here, and a call is explicit where a static initialiser in a
  // static library is linked in only when something else pulls its object file in.
  startProcess();
  const Options options = parseCommandLine(argc, argv);
  if (options.listen) return serverMain(table);
  return mainTerminal(table);
}

}  // namespace selfcheck
