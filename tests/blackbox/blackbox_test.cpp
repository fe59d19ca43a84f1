// The self-check program as its users see it: real processes of the fixture program (the runner
// over small check tables) and of nemra-selfcheck, with standard error in a file, a closed pipe or
// a pseudo-terminal, compared with golden files, exit statuses and signals.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/golden.hpp"

namespace {

using nemra_test::ChildOptions;
using nemra_test::ChildResult;
using nemra_test::runChild;

ChildOptions fixture(const std::string& table, std::vector<std::string> args = {}) {
  ChildOptions options;
  options.program = NEMRA_FIXTURE_PROGRAM;
  options.argv = {"selfcheck_fixture"};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = {{"NEMRA_FIXTURE", table}};
  return options;
}

ChildResult runFixture(const std::string& table, std::vector<std::string> args = {}) {
  return runChild(fixture(table, std::move(args)));
}

std::string normalised(const std::string& text) {
  return nemra_test::normaliseOutput(text, NEMRA_SOURCE_DIR);
}

std::string golden(const std::string& name) { return std::string(NEMRA_GOLDEN_DIR) + "/" + name; }

// Output with a failure's source position: its column and the spelling of the function's name
// come from the compiler, so each compiler has its own golden file.
std::string compilerGolden(const std::string& name) {
  return std::string(NEMRA_COMPILER_GOLDEN_DIR) + "/" + name;
}

void expectGolden(const ChildResult& result, const std::string& path) {
  const std::string diff = nemra_test::compareWithGolden(path, normalised(result.err));
  EXPECT_TRUE(diff.empty()) << diff;
}

void expectExit(const ChildResult& result, int code) {
  EXPECT_TRUE(result.exited && result.exit_code == code)
      << "expected exit status " << code << ", got " << result.describe() << "\n"
      << result.err;
}

void expectAbort(const ChildResult& result) {
  EXPECT_TRUE(!result.exited && result.signal == SIGABRT)
      << "expected death by SIGABRT, got " << result.describe() << "\n"
      << result.err;
}

// The frame lines of the first stack trace that follows the line containing `after`.
std::vector<std::string> framesAfter(const std::string& text, const std::string& after) {
  std::vector<std::string> frames;
  std::size_t at = text.find(after);
  if (at == std::string::npos) return frames;
  at = text.find('\n', at);
  while (at != std::string::npos && at + 1 < text.size()) {
    const std::size_t end = text.find('\n', at + 1);
    const std::string line = text.substr(at + 1, end - at - 1);
    if (line.starts_with("    #")) {
      frames.push_back(line);
    } else if (!frames.empty() || !line.starts_with("    ")) {
      break;
    }
    at = end;
  }
  return frames;
}

// Distinct addresses among frame lines (a frame with inlined calls gives several lines).
std::size_t distinctFrames(const std::vector<std::string>& lines) {
  std::vector<std::string> addresses;
  for (const std::string& line : lines) {
    const std::size_t at = line.find("0x");
    const std::string address = line.substr(at, line.find(' ', at) - at);
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  return addresses.size();
}

bool anyContains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// Line output (standard error in a file) ----------------------------------------------------------

TEST(BlackboxLineOutput, AllPassingPrintsOneLinePerCheckAndTheSummary) {
  ChildResult result = runFixture("pass3");
  expectExit(result, 0);
  EXPECT_EQ(result.err,
            "1/3 fixture.test.first passes...OK\n"
            "2/3 fixture.test.second passes...OK\n"
            "3/3 fixture.test.third passes...OK\n"
            "All 3 tests passed.\n");
  EXPECT_EQ(result.out, "") << "the terminal mode writes nothing on standard output";
}

TEST(BlackboxLineOutput, SelfcheckProgramPrintsEveryCheckAndTheSummaryByteForByte) {
  ChildOptions options;
  options.program = NEMRA_SELFCHECK_PROGRAM;
  options.argv = {"nemra-selfcheck"};
  ChildResult result = runChild(options);
  expectExit(result, 0);
  const std::string diff =
      nemra_test::compareWithGolden(golden("selfcheck_all_pass.txt"), result.err);
  EXPECT_TRUE(diff.empty()) << diff;
}

TEST(BlackboxLineOutput, FailingApproxPrintsValuesThenFailThenTraceAndTheRunGoesOn) {
  ChildResult result = runFixture("fail_approx36");
  expectExit(result, 1);
  expectGolden(result, compilerGolden("fail_approx36.txt"));
}

TEST(BlackboxLineOutput, ErrorTraceShowsTheFramesLeftInsideTheCheckOnly) {
  ChildResult result = runFixture("failures");
  expectExit(result, 1);
  expectGolden(result, compilerGolden("failures.txt"));
  const std::vector<std::string> frames =
      framesAfter(result.err, "fixture.test.nested failure...FAIL");
  ASSERT_EQ(frames.size(), 3u) << result.err;
  EXPECT_NE(frames[0].find("innerHelper"), std::string::npos) << frames[0];
  EXPECT_NE(frames[0].find("fixture_main.cpp:"), std::string::npos) << frames[0];
  EXPECT_NE(frames[1].find("outerHelper"), std::string::npos) << frames[1];
  EXPECT_NE(frames[2].find("nestedFails"), std::string::npos) << frames[2];
}

TEST(BlackboxLineOutput, SkipIsCountedAndLeavesTheStatusZero) {
  ChildResult result = runFixture("skip36");
  expectExit(result, 0);
  expectGolden(result, golden("skip36.txt"));
}

TEST(BlackboxLineOutput, LeakIsReportedAfterOkWithItsAllocationStackAndFailsTheRun) {
  ChildResult result = runFixture("leak36");
  expectExit(result, 1);
  expectGolden(result, golden("leak36.txt"));
  const std::vector<std::string> frames = framesAfter(result.err, "leaked: ");
  ASSERT_FALSE(frames.empty()) << result.err;
  EXPECT_LE(distinctFrames(frames), 10u) << "at most 10 frames are recorded";
  EXPECT_TRUE(anyContains(frames, "leaksOneBlock")) << result.err;
  EXPECT_FALSE(anyContains(frames, "LeakCheckingResource")) << "the resource's own frames";
}

TEST(BlackboxLineOutput, DoubleFreeAndMismatchedFreesAreReportedAndCountedNotFatal) {
  ChildResult result = runFixture("misuse");
  expectExit(result, 1);
  expectGolden(result, golden("misuse.txt"));
}

TEST(BlackboxLineOutput, EscapingBadAllocFailsItsCheckAsOutOfMemoryAndTheRunGoesOn) {
  ChildResult result = runFixture("out_of_memory");
  expectExit(result, 1);
  EXPECT_EQ(result.err,
            "1/2 fixture.test.throws bad_alloc...FAIL (OutOfMemory)\n"
            "    at the check's entry: no assertion raised it\n"
            "2/2 fixture.test.passes...OK\n"
            "1 passed; 0 skipped; 1 failed.\n");
}

TEST(BlackboxLineOutput, FuzzMarkedCheckIsCounted) {
  ChildResult result = runFixture("fuzz");
  expectExit(result, 0);
  EXPECT_EQ(result.err,
            "1/2 fixture.test.marks itself a fuzz test...OK\n"
            "2/2 fixture.test.passes...OK\n"
            "All 2 tests passed.\n"
            "1 fuzz tests found.\n");
}

TEST(BlackboxLineOutput, WarningIsPrintedAndInfoIsNotAtTheDefaultLevel) {
  ChildResult result = runFixture("log");
  expectExit(result, 0);
  EXPECT_EQ(result.err,
            "1/1 fixture.test.logs a warning and info...[fixture] (warn): a warning is printed\n"
            "OK\n"
            "All 1 tests passed.\n");
}

// Golden files ------------------------------------------------------------------------------------

std::vector<std::string> linesOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fileNamesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A source-position line with the compiler's own fields made alike: the column dropped, the
// anonymous namespace spelt one way. Any other line is returned as it is.
std::string withoutCompilerFields(const std::string& line) {
  static const std::regex position("    at ([^ ]+:[0-9]+):[0-9]+ in (.*)");
  std::smatch match;
  if (!std::regex_match(line, match, position)) return line;
  std::string function = match[2].str();
  const std::string clang_spelling = "(anonymous namespace)";
  for (std::size_t at = function.find(clang_spelling); at != std::string::npos;
       at = function.find(clang_spelling, at)) {
    function.replace(at, clang_spelling.size(), "{anonymous}");
  }
  return "    at " + match[1].str() + " in " + function;
}

// Regenerating one compiler's golden files cannot let the printed text drift between compilers:
// the two sets of files differ only in the columns of source positions and in the spelling of the
// anonymous namespace, and both compilers pin the same file, line and function.
TEST(BlackboxGolden, CompilersDifferOnlyInColumnsAndTheAnonymousNamespace) {
  const std::filesystem::path gnu = std::filesystem::path(NEMRA_GOLDEN_DIR) / "gnu";
  const std::filesystem::path clang = std::filesystem::path(NEMRA_GOLDEN_DIR) / "clang";
  const std::vector<std::string> names = fileNamesIn(gnu);
  ASSERT_FALSE(names.empty());
  ASSERT_EQ(names, fileNamesIn(clang));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::vector<std::string> gnu_lines = linesOf(gnu / name);
    const std::vector<std::string> clang_lines = linesOf(clang / name);
    ASSERT_EQ(gnu_lines.size(), clang_lines.size());
    for (std::size_t i = 0; i < gnu_lines.size(); ++i) {
      EXPECT_EQ(withoutCompilerFields(gnu_lines[i]), withoutCompilerFields(clang_lines[i]))
          << "line " << i + 1;
    }
  }
}

// Fatal errors ------------------------------------------------------------------------------------

TEST(BlackboxFatalError, NegativeToleranceEndsTheRunWithAPanic) {
  ChildResult result = runFixture("panic");
  expectAbort(result);
  EXPECT_EQ(normalised(result.err),
            "1/2 fixture.test.negative tolerance...thread {{tid}} panic: expectApproxEqAbs: "
            "tolerance -1e0 is negative or NaN; it must be zero or positive\n"
            "    {{trace}}\n");
}

TEST(BlackboxFatalError, ExceptionOtherThanACheckFailureEndsTheRun) {
  ChildResult result = runFixture("throws");
  expectAbort(result);
  EXPECT_EQ(normalised(result.err),
            "1/1 fixture.test.throws...thread {{tid}} panic: check \"fixture.test.throws\" threw "
            "an exception: not a check failure\n"
            "    {{trace}}\n");
}

TEST(BlackboxFatalError, PanicNamesTheRealThreadNumber) {
  ChildResult result = runFixture("pass3", {"--verbose"});
  std::smatch match;
  ASSERT_TRUE(std::regex_search(result.err, match, std::regex("\nthread ([0-9]+) panic: ")));
  EXPECT_GT(std::stol(match[1]), 0);
}

// Command line ------------------------------------------------------------------------------------

const std::string kAcceptedForms = "it accepts --seed=<u32>, --listen=- and --cache-dir[=<path>]";

const char kPass3Output[] =
    "1/3 fixture.test.first passes...OK\n"
    "2/3 fixture.test.second passes...OK\n"
    "3/3 fixture.test.third passes...OK\n"
    "All 3 tests passed.\n";

TEST(BlackboxCommandLine, AcceptedArgumentsRunTheChecks) {
  const std::vector<std::vector<std::string>> accepted = {
      {"--seed=42"},
      {"--seed=0x1F"},
      {"--seed=4_294_967_295"},
      {"--seed=0"},
      {"--seed=00"},
      {"--seed=007"},
      {"--seed=0X1f"},
      {"--seed=0b101"},
      {"--seed=0B1_0"},
      {"--seed=0o17"},
      {"--seed=0O7"},
      {"--seed=1__2"},
      {"--seed=0xFFFFFFFF"},
      {"--seed=0x00000000FFFFFFFF"},
      {"--cache-dir=/tmp/x"},
      {"--cache-dir"},
      {"--cache-dir", "--cache-dirt"},
      {"--seed=1", "--seed=2", "--cache-dir=x"},
  };
  for (const auto& args : accepted) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ChildResult result = runFixture("pass3", args);
    expectExit(result, 0);
    EXPECT_EQ(result.err, kPass3Output);
  }
}

TEST(BlackboxCommandLine, BadSeedIsFatal) {
  const std::vector<std::vector<std::string>> rejected = {
      {"--seed="},
      {"--seed=-1"},
      {"--seed=4294967296"},
      {"--seed=+1"},
      {"--seed=0x_1"},
      {"--seed=0x"},
      {"--seed=0b"},
      {"--seed=0x1_"},
      {"--seed=_1"},
      {"--seed=1_"},
      {"--seed= 1"},
      {"--seed=0b102"},
      {"--seed=0xg"},
      {"--seed=1e3"},
      {"--seed=0x100000000"},
      {"--seed=99999999999999999999"},
      {"--seed=-1", "--seed=5"},
  };
  for (const auto& args : rejected) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ChildResult result = runFixture("pass3", args);
    expectAbort(result);
    // The first argument is the bad one: the program stops there.
    EXPECT_EQ(normalised(result.err),
              normalised("selfcheck_fixture: bad seed in '" + args.front() +
                         "' (an unsigned 32-bit number: decimal, or 0b, 0o or 0x and its digits; "
                         "_ only between digits); " +
                         kAcceptedForms +
                         "\n"
                         "thread 1 panic: unable to parse --seed command line argument\n"
                         "    #0 frame\n"));
  }
}

TEST(BlackboxCommandLine, UnrecognisedArgumentIsFatal) {
  const std::vector<std::vector<std::string>> rejected = {
      {"--verbose"},
      {"-h"},
      {"--seed"},
      {"--listen"},
      {"--listen=x"},
      {"--cache"},
      {""},
      {"seed=1"},
      {"--seed=1", "--verbose"},
      {"--Seed=1"},
      // The value of --cache-dir is part of the same argument; a separate one is not taken.
      {"--cache-dir", "/tmp/x"},
  };
  for (const auto& args : rejected) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ChildResult result = runFixture("pass3", args);
    expectAbort(result);
    EXPECT_EQ(normalised(result.err),
              "selfcheck_fixture: unrecognized argument '" + args.back() + "'; " + kAcceptedForms +
                  "\n"
                  "thread {{tid}} panic: unrecognized command line argument\n"
                  "    {{trace}}\n");
  }
}

TEST(BlackboxCommandLine, UsageLineShowsControlCharactersEscapedAndTheProgramsOwnName) {
  ChildOptions options = fixture("pass3", {"--bad\x1b[2J\n"});
  options.argv[0] = "/some/where/nemra-selfcheck";
  ChildResult result = runChild(options);
  expectAbort(result);
  EXPECT_TRUE(
      result.err.starts_with("nemra-selfcheck: unrecognized argument "
                             "'--bad\\x1b[2J\\x0a'; it accepts "))
      << result.err;
}

// The arena holds, for every argument including the program name, a 16-byte view and the
// characters with their NUL. The program name here is "selfcheck_fixture" (17 characters).
std::size_t arenaBytesOf(const std::vector<std::string>& argv) {
  std::size_t total = 0;
  for (const std::string& a : argv) total += 16 + a.size() + 1;
  return total;
}

TEST(BlackboxCommandLine, ArgumentsFillingTheArenaExactlyAreAccepted) {
  ChildOptions options = fixture("pass3", {"--cache-dir="});
  options.argv.back() += std::string(8192 - arenaBytesOf(options.argv), 'x');
  ASSERT_EQ(arenaBytesOf(options.argv), 8192u);
  ChildResult result = runChild(options);
  expectExit(result, 0);
  EXPECT_EQ(result.err, kPass3Output);
}

TEST(BlackboxCommandLine, ArgumentsOneByteOverTheArenaAreFatal) {
  ChildOptions options = fixture("pass3", {"--cache-dir="});
  options.argv.back() += std::string(8193 - arenaBytesOf(options.argv), 'x');
  ASSERT_EQ(arenaBytesOf(options.argv), 8193u);
  ChildResult result = runChild(options);
  expectAbort(result);
  EXPECT_EQ(normalised(result.err),
            "selfcheck_fixture: the arguments take 8193 bytes, more than the 8192 it has room "
            "for; " +
                kAcceptedForms + "\nthread {{tid}} panic: unable to parse command line args\n" +
                "    {{trace}}\n");
}

TEST(BlackboxCommandLine, ManySmallArgumentsOverTheArenaAreFatal) {
  // 300 arguments of 28 bytes each: 8400 bytes, though their characters alone would fit.
  ChildOptions options = fixture("pass3", std::vector<std::string>(300, "--cache-dir"));
  ChildResult result = runChild(options);
  expectAbort(result);
  EXPECT_EQ(normalised(result.err),
            "selfcheck_fixture: the arguments take 8434 bytes, more than the 8192 it has room "
            "for; " +
                kAcceptedForms + "\nthread {{tid}} panic: unable to parse command line args\n" +
                "    {{trace}}\n");
}

// Faults ------------------------------------------------------------------------------------------

ChildResult runFaultingFixture(const std::string& table) {
  ChildOptions options = fixture(table);
  for (auto& setting : nemra_test::letProgramHandleFaults()) options.env.push_back(setting);
  return runChild(options);
}

// The address in the fault line must be the first frame's: the trace starts at the fault.
void expectTraceStartsAtTheFault(const ChildResult& result, const std::string& line_start,
                                 const std::string& function) {
  std::smatch match;
  ASSERT_TRUE(
      std::regex_search(result.err, match, std::regex(line_start + " at address 0x([0-9a-f]+)\n")))
      << result.err;
  const std::vector<std::string> frames = framesAfter(result.err, line_start);
  ASSERT_FALSE(frames.empty()) << result.err;
  EXPECT_NE(frames[0].find(function), std::string::npos) << result.err;
  if (line_start != "Segmentation fault" && line_start != "Bus error") {
    // For these the address is the faulting instruction's.
    const std::string address = match[1].str();
    EXPECT_NE(frames[0].find("0x" + std::string(16 - address.size(), '0') + address),
              std::string::npos)
        << result.err;
  }
}

TEST(BlackboxFault, NullDereferenceIsReportedWithATraceAndAborts) {
  ChildResult result = runFaultingFixture("null");
  expectAbort(result);
  expectGolden(result, golden("null.txt"));
  expectTraceStartsAtTheFault(result, "Segmentation fault", "dereferencesNull");
}

// A plain abort() prints no report of the program's own: the check's line stays as it was.
TEST(BlackboxFault, AbortInACheckLeavesItsLineAndDiesBySigabrt) {
  ChildResult result = runFaultingFixture("abort");
  expectAbort(result);
  EXPECT_EQ(result.err, "1/2 fixture.test.first passes...OK\n2/2 fixture.test.aborts...");
}

TEST(BlackboxFault, UnboundedRecursionIsReportedAsASegmentationFault) {
  ChildResult result = runFaultingFixture("recursion");
  expectAbort(result);
  EXPECT_TRUE(result.err.starts_with(
      "1/1 fixture.test.recurses without end...Segmentation fault at address 0x"))
      << result.err;
  expectTraceStartsAtTheFault(result, "Segmentation fault", "recurses");
}

TEST(BlackboxFault, IllegalInstructionIsReported) {
  ChildResult result = runFaultingFixture("sigill");
  expectAbort(result);
  expectTraceStartsAtTheFault(result, "Illegal instruction", "executesIllegalInstruction");
}

TEST(BlackboxFault, BreakpointIsReportedAsATrap) {
  ChildResult result = runFaultingFixture("sigtrap");
  expectAbort(result);
  expectTraceStartsAtTheFault(result, "Trace/breakpoint trap", "executesBreakpoint");
}

TEST(BlackboxFault, DivisionByZeroIsReportedAsAnArithmeticException) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "integer division by zero traps on x86-64 only";
#endif
  ChildResult result = runFaultingFixture("sigfpe");
  expectAbort(result);
  expectTraceStartsAtTheFault(result, "Arithmetic exception", "dividesByZero");
}

TEST(BlackboxFault, ReadPastTheEndOfAMappedFileIsReportedAsABusError) {
  ChildResult result = runFaultingFixture("sigbus");
  expectAbort(result);
  expectTraceStartsAtTheFault(result, "Bus error", "readsPastEndOfFile");
}

TEST(BlackboxFault, NonCanonicalAddressIsAGeneralProtectionException) {
  ChildResult result = runFaultingFixture("gp");
  expectAbort(result);
  EXPECT_EQ(normalised(result.err),
            "1/1 fixture.test.non-canonical address..."
            "General protection exception (no address available)\n"
            "    {{trace}}\n");
  const std::vector<std::string> frames = framesAfter(result.err, "General protection");
  ASSERT_FALSE(frames.empty());
  EXPECT_NE(frames[0].find("touchesNonCanonicalAddress"), std::string::npos) << result.err;
}

// Process start-up --------------------------------------------------------------------------------

ChildResult runWithStackLimit(rlim_t soft, rlim_t hard, const std::string& expected) {
  ChildOptions options = fixture("stack_limit");
  options.stack_limit = rlimit{soft, hard};
  options.env.emplace_back("EXPECT_STACK_LIMIT", expected);
  return runChild(options);
}

TEST(BlackboxStartup, StackLimitIsRaisedTo16MiB) {
  expectExit(runWithStackLimit(8u << 20, RLIM_INFINITY, "16777216"), 0);
}

TEST(BlackboxStartup, StackLimitIsNeverRaisedAboveTheHardLimit) {
  expectExit(runWithStackLimit(8u << 20, 12u << 20, std::to_string(12u << 20)), 0);
}

TEST(BlackboxStartup, HigherStackLimitIsKept) {
  expectExit(runWithStackLimit(32u << 20, RLIM_INFINITY, std::to_string(32u << 20)), 0);
#if !defined(__SANITIZE_THREAD__)  // the thread sanitizer restarts a program to limit its stack
  expectExit(runWithStackLimit(RLIM_INFINITY, RLIM_INFINITY, "unlimited"), 0);
#endif
}

TEST(BlackboxStartup, ClosedStandardErrorPipeLeavesTheExitStatusRight) {
  for (const auto& [table, status] : std::vector<std::pair<std::string, int>>{
           {"pass3", 0}, {"fail_approx36", 1}, {"leak36", 1}, {"skip36", 0}}) {
    SCOPED_TRACE(table);
    ChildOptions options = fixture(table);
    options.stderr_to = ChildOptions::Stderr::closed_pipe;
    expectExit(runChild(options), status);
  }
}

}  // namespace
