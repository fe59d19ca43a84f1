#include "support/golden.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace nemra_test {
namespace {

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string normaliseLine(std::string line, std::string_view source_dir) {
  line = replaceAll(std::move(line), std::string(source_dir) + "/", "");
  // thread <n> panic:
  if (std::size_t at = line.find("thread "); at != std::string::npos) {
    std::size_t digits = at + 7;
    std::size_t end = digits;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    if (end > digits && line.compare(end, 8, " panic: ") == 0) {
      line.replace(digits, end - digits, "{{tid}}");
    }
  }
  // long hexadecimal numbers
  std::string out;
  for (std::size_t i = 0; i < line.size();) {
    if (line.compare(i, 2, "0x") == 0) {
      std::size_t end = i + 2;
      while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end]))) ++end;
      if (end - (i + 2) >= 6) {
        out += "0x{{addr}}";
        i = end;
        continue;
      }
    }
    out += line[i++];
  }
  return out;
}

}  // namespace

std::string normaliseOutput(std::string_view text, std::string_view source_dir) {
  std::string out;
  bool in_trace = false;
  std::vector<std::string> lines = splitLines(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const bool frame = line.starts_with("    #");
    if (frame) {
      if (!in_trace) out += "    {{trace}}\n";
      in_trace = true;
      continue;
    }
    in_trace = false;
    out += normaliseLine(line, source_dir);
    if (i + 1 < lines.size()) out += '\n';
  }
  return out;
}

std::string compareWithGolden(const std::string& path, const std::string& actual) {
  const char* update = std::getenv("NEMRA_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    // A compiler's own golden folder may not exist yet.
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::ofstream out(path, std::ios::binary);
    out << actual;
    out.close();
    if (!out) return "golden file " + path + " could not be written";
    return {};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return "golden file " + path + " is missing (NEMRA_UPDATE_GOLDEN=1 writes it)";
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string expected = buffer.str();
  if (expected == actual) return {};
  std::vector<std::string> want = splitLines(expected);
  std::vector<std::string> got = splitLines(actual);
  std::size_t line = 0;
  while (line < want.size() && line < got.size() && want[line] == got[line]) ++line;
  std::ostringstream message;
  message << "output differs from " << path << " at line " << line + 1
          << "\n  expected: " << (line < want.size() ? "\"" + want[line] + "\"" : "(end of file)")
          << "\n  actual:   " << (line < got.size() ? "\"" + got[line] + "\"" : "(end of output)")
          << "\n--- whole actual output ---\n"
          << actual;
  return message.str();
}

}  // namespace nemra_test
