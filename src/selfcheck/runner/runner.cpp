#include <optional>
#include <unistd.h>

#include <selfcheck/runner/cli.hpp>
#include <selfcheck/runner/line_output.hpp>
#include <selfcheck/runner/process.hpp>
#include <selfcheck/runner/progress.hpp>
#include <selfcheck/runner/progress_reports.hpp>
#include <selfcheck/runner/run_loop.hpp>
#include <selfcheck/runner/runner.hpp>
#include <selfcheck/runner/server.hpp>

namespace selfcheck {

int mainTerminal(CheckTable table) {
  std::optional<ProgressReports> reports;
  if (std::optional<int> fd = progressFdFromEnvironment()) reports.emplace(*fd);
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  LineOutput lines(terminal ? LineOutput::Form::terminal : LineOutput::Form::plain);
  ProgressDisplay display;
  ReporterList reporters;
  // The display comes first so that it is stopped and cleared before the summary is printed; the
  // reports come last, so that their end follows the summary.
  if (terminal) reporters.add(display);
  reporters.add(lines);
  if (reports) reporters.add(*reports);
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
