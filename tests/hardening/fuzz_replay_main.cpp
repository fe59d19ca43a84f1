// A plain driver for libFuzzer-style targets, for compilers without -fsanitize=fuzzer: runs
// LLVMFuzzerTestOneInput once on every file named on the command line, descending into
// directories. Exits 0 after the last input (a failing input aborts inside the target), 2 when a
// path cannot be read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error)) {
        if (!entry.is_regular_file()) continue;
        if (!replayFile(entry.path())) {
          std::fprintf(stderr, "cannot read %s\n", entry.path().c_str());
          return 2;
        }
        ++inputs;
      }
    } else if (replayFile(path)) {
      ++inputs;
    } else {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
    if (error) {
      std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
      return 2;
    }
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs);
  return 0;
}
