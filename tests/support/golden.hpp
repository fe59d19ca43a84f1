// Golden files for the standard error of black-box runs. What must vary from run to run or from
// build to build is normalised before comparing; everything else is compared byte for byte.
#ifndef NEMRA_TESTS_SUPPORT_GOLDEN_HPP
#define NEMRA_TESTS_SUPPORT_GOLDEN_HPP

#include <string>
#include <string_view>

namespace nemra_test {

// Normalises:
// - every run of stack-trace frame lines (lines beginning "    #") to one line "    {{trace}}"
//   (frames differ between builds: inlining, sanitizers);
// - "thread <n> panic: " to "thread {{tid}} panic: ";
// - hexadecimal numbers of six or more digits (addresses) to "0x{{addr}}"; short ones such as the
//   0x0 of a null dereference stay;
// - the source tree's path, where it starts a file name, to nothing.
std::string normaliseOutput(std::string_view text, std::string_view source_dir);

// Compares `actual` (already normalised) with the golden file `path`. Returns an empty string when
// they are equal, else a description of the first difference. With NEMRA_UPDATE_GOLDEN=1 in the
// environment it writes `actual` to the file instead (creating its folder) and returns an empty
// string, or the error when the file cannot be written.
std::string compareWithGolden(const std::string& path, const std::string& actual);

}  // namespace nemra_test

#endif
