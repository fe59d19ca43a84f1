// Drives LLVMFuzzerTestOneInput where libFuzzer is not available (a compiler other than clang):
// replays every file of the corpus directories given, then feeds byte-level mutations of them,
// from a fixed seed, until -max_total_time=SECONDS (default 10) or -runs=N is reached. Accepts
// and ignores libFuzzer's other -flags so one command line serves both builds.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  double seconds = 10;
  long long runs = -1;
  std::vector<std::vector<std::uint8_t>> corpus;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.starts_with("-max_total_time=")) {
      seconds = std::stod(std::string(arg.substr(16)));
    } else if (arg.starts_with("-runs=")) {
      runs = std::stoll(std::string(arg.substr(6)));
    } else if (!arg.starts_with("-")) {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
      }
    }
  }
  for (const auto& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
  std::printf("replayed %zu corpus inputs\n", corpus.size());
  if (corpus.empty()) corpus.push_back({0, 0});

  std::mt19937_64 rng(0x6e656d7261);
  const auto stop = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long long done = 0;
  std::vector<std::uint8_t> input;
  while ((runs < 0 || done < runs) && (runs >= 0 || std::chrono::steady_clock::now() < stop)) {
    input = corpus[rng() % corpus.size()];
    for (int edits = 1 + static_cast<int>(rng() % 8); edits > 0; --edits) {
      const std::size_t at = input.empty() ? 0 : rng() % (input.size() + 1);
      switch (rng() % 4) {
        case 0:
          if (at < input.size()) input[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
          break;
        case 1:
          input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                       static_cast<std::uint8_t>(rng()));
          break;
        case 2:
          if (at < input.size()) input.erase(input.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        case 3:
          if (at < input.size()) input[at] = static_cast<std::uint8_t>(rng());
          break;
      }
    }
    if (input.size() > 4096) input.resize(4096);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++done;
  }
  std::printf("ran %lld mutated inputs\n", done);
  return 0;
}
