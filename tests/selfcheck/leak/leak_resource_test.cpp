#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/leak/leak_resource.hpp>

namespace {

using selfcheck::LeakCheckingResource;

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

std::string hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", reinterpret_cast<unsigned long>(p));
  return text;
}

// Whether any page of [p, p + length) is mapped.
bool isMapped(const void* p, std::size_t length) {
  const auto start = reinterpret_cast<std::uintptr_t>(p) & ~(kPage - 1);
  std::vector<unsigned char> residency((length + kPage - 1) / kPage + 1);
  return ::mincore(reinterpret_cast<void*>(start), length, residency.data()) == 0 ||
         errno != ENOMEM;
}

// Runs `body` with standard error captured; returns what was printed and how many errors the
// resource reported.
template <class Body>
std::pair<std::string, std::uint64_t> captured(const LeakCheckingResource& resource, Body body) {
  const std::uint64_t errors_before = resource.reportCount();
  ::testing::internal::CaptureStderr();
  body();
  std::string text = ::testing::internal::GetCapturedStderr();
  return {text, resource.reportCount() - errors_before};
}

[[gnu::noinline]] void* allocateForTheRecord(LeakCheckingResource& resource) {
  return resource.allocate(40, 8);
}

TEST(LeakCheckingResource, LeakIsReportedAtCloseWithTheAllocationStack) {
  LeakCheckingResource resource;
  void* p = allocateForTheRecord(resource);
  bool leaked = false;
  auto [text, errors] = captured(resource, [&] { leaked = resource.close(); });
  EXPECT_TRUE(leaked);
  EXPECT_EQ(errors, 1u);
  EXPECT_TRUE(text.starts_with("[gpa] (err): memory address " + hex(p) + " leaked: \n    #0 "))
      << text;
  EXPECT_NE(text.find("allocateForTheRecord"), std::string::npos) << text;
  std::set<std::string> addresses;  // a frame with inlined calls gives several lines
  for (std::size_t at = text.find("    #"); at != std::string::npos;
       at = text.find("    #", at + 1)) {
    const std::size_t address = text.find("0x", at);
    addresses.insert(text.substr(address, text.find(' ', address) - address));
  }
  EXPECT_LE(addresses.size(), 10u) << "at most 10 frames are recorded";
  EXPECT_FALSE(isMapped(p, 40)) << "close returns the pages";
}

TEST(LeakCheckingResource, CloseAfterEverythingWasFreedReportsNothing) {
  LeakCheckingResource resource;
  void* p = resource.allocate(100, 16);
  resource.deallocate(p, 100, 16);
  bool leaked = true;
  auto [text, errors] = captured(resource, [&] { leaked = resource.close(); });
  EXPECT_FALSE(leaked);
  EXPECT_EQ(text, "");
  EXPECT_EQ(errors, 0u);
}

TEST(LeakCheckingResource, DoubleFreeIsReportedWithAllThreeStacks) {
  LeakCheckingResource resource;
  void* p = resource.allocate(32, 8);
  resource.deallocate(p, 32, 8);
  auto [text, errors] = captured(resource, [&] { resource.deallocate(p, 32, 8); });
  EXPECT_EQ(errors, 1u);
  EXPECT_TRUE(text.starts_with("[gpa] (err): Double free detected. Allocation: \n    #0 ")) << text;
  EXPECT_NE(text.find("\n First free: \n    #0 "), std::string::npos) << text;
  EXPECT_NE(text.find("\n Second free: \n    #0 "), std::string::npos) << text;
  EXPECT_FALSE(resource.close()) << "a block freed twice is not also a leak";
}

TEST(LeakCheckingResource, DoubleFreeIsNotConfusedWithANewerBlock) {
  LeakCheckingResource resource;
  void* first = resource.allocate(64, 8);
  resource.deallocate(first, 64, 8);
  std::vector<void*> later;
  for (int i = 0; i < 64; ++i) {
    later.push_back(resource.allocate(64, 8));
    EXPECT_NE(later.back(), first) << "a freed block's address is not handed out again";
  }
  auto [text, errors] = captured(resource, [&] { resource.deallocate(first, 64, 8); });
  EXPECT_EQ(errors, 1u);
  EXPECT_NE(text.find("Double free detected."), std::string::npos);
  for (void* p : later) resource.deallocate(p, 64, 8);
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, SizeMismatchIsReportedAndTheBlockStillFreed) {
  LeakCheckingResource resource;
  void* p = resource.allocate(16, 8);
  auto [text, errors] = captured(resource, [&] { resource.deallocate(p, 24, 8); });
  EXPECT_EQ(errors, 1u);
  EXPECT_TRUE(
      text.starts_with("[gpa] (err): Allocation size 16 bytes does not match free size "
                       "24. Allocation: \n    #0 "))
      << text;
  EXPECT_NE(text.find("\n Free: \n    #0 "), std::string::npos) << text;
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, AlignmentMismatchIsReportedAndTheBlockStillFreed) {
  LeakCheckingResource resource;
  void* p = resource.allocate(16, 8);
  auto [text, errors] = captured(resource, [&] { resource.deallocate(p, 16, 32); });
  EXPECT_EQ(errors, 1u);
  EXPECT_TRUE(
      text.starts_with("[gpa] (err): Allocation alignment 8 does not match free "
                       "alignment 32. Allocation: \n    #0 "))
      << text;
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, SizeAndAlignmentMismatchGiveTwoReports) {
  LeakCheckingResource resource;
  void* p = resource.allocate(16, 8);
  auto [text, errors] = captured(resource, [&] { resource.deallocate(p, 8, 16); });
  EXPECT_EQ(errors, 2u);
}

TEST(LeakCheckingResource, FreeOfAnAddressItNeverGaveIsReported) {
  LeakCheckingResource resource;
  int on_the_stack = 0;
  auto [text, errors] = captured(resource, [&] { resource.deallocate(&on_the_stack, 4, 4); });
  EXPECT_EQ(errors, 1u);
  EXPECT_TRUE(text.starts_with("[gpa] (err): Invalid free of address " + hex(&on_the_stack)))
      << text;
}

TEST(LeakCheckingResource, BlocksAreAlignedAndWholePagesOfTheirOwn) {
  LeakCheckingResource resource;
  for (std::size_t alignment = 1; alignment <= (std::size_t{1} << 21); alignment *= 2) {
    SCOPED_TRACE(alignment);
    const std::size_t size = alignment * 3 + 5;
    auto* p = static_cast<unsigned char*>(resource.allocate(size, alignment));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % kPage, 0u);
    std::memset(p, 0xab, size);  // the whole block is writable
    resource.deallocate(p, size, alignment);
  }
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, ZeroByteBlocksAreDistinct) {
  LeakCheckingResource resource;
  void* a = resource.allocate(0, 1);
  void* b = resource.allocate(0, 1);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  resource.deallocate(a, 0, 1);
  resource.deallocate(b, 0, 1);
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, SizesAndAlignmentsItCannotServeThrowBadAlloc) {
  LeakCheckingResource resource;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  const std::vector<std::pair<std::size_t, std::size_t>> absurd = {
      {kMax, 8},
      {kMax - kPage + 2, 8},
      {kMax / 2, 8},
      {std::size_t{1} << 62, 8},
      {16, 3},
      {16, 0},
      {16, 24},
      {16, std::size_t{1} << 63},
      {kMax - 4096, 1 << 20},
  };
  for (const auto& [size, alignment] : absurd) {
    SCOPED_TRACE(std::to_string(size) + " bytes aligned to " + std::to_string(alignment));
    EXPECT_THROW((void)resource.allocate(size, alignment), std::bad_alloc);
  }
  void* p = resource.allocate(8, 8);  // still usable
  resource.deallocate(p, 8, 8);
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, ManyBlocksAreTrackedAcrossTableGrowth) {
  LeakCheckingResource resource;
  std::vector<void*> blocks;
  for (int i = 0; i < 3000; ++i) blocks.push_back(resource.allocate(24, 8));
  for (std::size_t i = 0; i < blocks.size(); i += 2) resource.deallocate(blocks[i], 24, 8);
  auto [text, errors] = captured(resource, [&] { EXPECT_TRUE(resource.close()); });
  EXPECT_EQ(errors, 1500u);
  EXPECT_EQ(text.find("memory address " + hex(blocks[0]) + " leaked"), std::string::npos);
  std::size_t previous = 0;  // leaks come in allocation order
  for (std::size_t i = 1; i < blocks.size(); i += 2) {
    const std::size_t at = text.find("memory address " + hex(blocks[i]) + " leaked");
    ASSERT_NE(at, std::string::npos) << i;
    ASSERT_GE(at, previous) << i;
    previous = at;
  }
}

// Frees of old blocks interleaved with new allocations reach the records out of order; sizes
// vary so that blocks of several pages, and of their own mappings, mix in. Every free must be
// recorded as made, and the leaks must be exactly the blocks never freed, in allocation order.
TEST(LeakCheckingResource, InterleavedAllocationsAndFreesKeepEveryRecord) {
  LeakCheckingResource resource;
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 33;
  };
  struct Block {
    void* p;
    std::size_t size;
    bool freed;
  };
  std::vector<Block> blocks;
  std::vector<std::size_t> live;
  for (int step = 0; step < 3000; ++step) {
    if (live.empty() || next() % 3 != 0) {
      const std::size_t size = next() % 8 == 0 ? (next() % 20) * kPage + 1 : 24;
      blocks.push_back({resource.allocate(size, 8), size, false});
      live.push_back(blocks.size() - 1);
    } else {
      const std::size_t at = next() % live.size();
      Block& b = blocks[live[at]];
      resource.deallocate(b.p, b.size, 8);
      b.freed = true;
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  auto [double_free, errors] = captured(resource, [&] {
    for (const Block& b : blocks) {
      if (b.freed) {
        resource.deallocate(b.p, b.size, 8);
        break;
      }
    }
  });
  EXPECT_EQ(errors, 1u);
  EXPECT_TRUE(double_free.starts_with("[gpa] (err): Double free detected.")) << double_free;
  auto [text, leaks] = captured(resource, [&] { EXPECT_TRUE(resource.close()); });
  EXPECT_EQ(leaks, live.size());
  std::size_t previous = 0;
  for (const Block& b : blocks) {
    const std::size_t at = text.find("memory address " + hex(b.p) + " leaked");
    if (b.freed) {
      EXPECT_EQ(at, std::string::npos) << hex(b.p);
      continue;
    }
    ASSERT_NE(at, std::string::npos) << hex(b.p);
    ASSERT_GE(at, previous) << hex(b.p);
    previous = at;
  }
}

TEST(LeakCheckingResource, ResourceIsUsableAgainAfterClose) {
  LeakCheckingResource resource;
  void* p = resource.allocate(8, 8);
  resource.deallocate(p, 8, 8);
  EXPECT_FALSE(resource.close());
  void* q = resource.allocate(8, 8);
  resource.deallocate(q, 8, 8);
  EXPECT_FALSE(resource.close());
}

TEST(LeakCheckingResource, SeveralThreadsCanUseItAtOnce) {
  LeakCheckingResource resource;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&resource, t] {
      std::vector<void*> mine;
      for (int i = 0; i < 300; ++i) {
        mine.push_back(resource.allocate(static_cast<std::size_t>(8 + t), 8));
        if (i % 3 == 0) {
          resource.deallocate(mine.back(), static_cast<std::size_t>(8 + t), 8);
          mine.pop_back();
        }
      }
      for (void* p : mine) resource.deallocate(p, static_cast<std::size_t>(8 + t), 8);
    });
  }
  for (std::thread& thread : threads) thread.join();
  auto [text, errors] = captured(resource, [&] { EXPECT_FALSE(resource.close()); });
  EXPECT_EQ(text, "");
  EXPECT_EQ(errors, 0u);
}

// The mappings of the process, as (start, end, accessible) from /proc/self/maps, in address order.
struct MapEntry {
  std::uintptr_t start, end;
  bool accessible;
};
// Reads /proc/self/maps without allocating (at the mapping limit the heap may not grow):
// `entries` comes with its capacity reserved.
void readMappings(std::vector<MapEntry>& entries) {
  entries.clear();
  const int file = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);
  char text[1 << 16];
  std::size_t kept = 0;  // the start of a line not yet complete
  for (;;) {
    const ssize_t n = ::read(file, text + kept, sizeof text - kept);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    const char* end = text + kept + n;
    const char* line = text;
    for (const char* eol; (eol = std::find(line, end, '\n')) != end; line = eol + 1) {
      MapEntry e{};
      const char* at = std::from_chars(line, eol, e.start, 16).ptr + 1;  // past '-'
      at = std::from_chars(at, eol, e.end, 16).ptr + 1;                  // past ' '
      e.accessible = std::string_view(at, 3) != "---";
      entries.push_back(e);
    }
    kept = static_cast<std::size_t>(end - line);
    std::memmove(text, line, kept);
  }
  ::close(file);
}

TEST(LeakCheckingResource, AtTheMappingLimitEveryFreedBlockIsInaccessibleOrReported) {
  std::ifstream limit_file("/proc/sys/vm/max_map_count");
  std::size_t limit = 0;
  limit_file >> limit;
  if (limit == 0 || limit > 300000) GTEST_SKIP() << "mapping limit " << limit;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime cannot work without new mappings";
#endif
  LeakCheckingResource resource;
  // Untouched blocks mapped one after another share one mapping, so freeing every other one of
  // them at the limit needs a new mapping each time.
  std::vector<void*> run;
  for (int i = 0; i < 200; ++i) run.push_back(resource.allocate(16, 8));
  // At the limit the heap may not grow: every container gets its room now.
  std::vector<void*> live, freed, accessible;
  live.reserve(limit);
  freed.reserve(2 * limit);
  accessible.reserve(2 * limit);
  std::vector<MapEntry> maps;
  maps.reserve(limit + 100);
  const std::uint64_t errors_before = resource.reportCount();
  ::testing::internal::CaptureStderr();
  // A live block beside each freed one, so that no two blocks' mappings merge, until the resource
  // refuses.
  bool refused = false;
  while (!refused && live.size() < limit) {
    try {
      live.push_back(resource.allocate(16, 8));
      freed.push_back(resource.allocate(16, 8));
      resource.deallocate(freed.back(), 16, 8);
    } catch (const std::bad_alloc&) {
      refused = true;
    }
  }
  const std::size_t first_at_limit = freed.size();
  for (std::size_t i = 0; i < run.size(); ++i) (i % 2 == 0 ? freed : live).push_back(run[i]);
  for (std::size_t i = first_at_limit; i < freed.size(); ++i) resource.deallocate(freed[i], 16, 8);
  readMappings(maps);
  for (std::size_t i = 0; i < freed.size(); ++i) {
    const auto address = reinterpret_cast<std::uintptr_t>(freed[i]);
    const auto entry =
        std::upper_bound(maps.begin(), maps.end(), address,
                         [](std::uintptr_t a, const MapEntry& e) { return a < e.end; });
    ASSERT_TRUE(entry != maps.end() && entry->start <= address);
    if (entry->accessible) {
      EXPECT_GE(i, first_at_limit + 10) << "the reserve lets the first frees at the limit through";
      accessible.push_back(freed[i]);
    }
  }
  const std::uint64_t errors = resource.reportCount() - errors_before;
  for (void* p : live) resource.deallocate(p, 16, 8);
  EXPECT_FALSE(resource.close());
  const std::string text = ::testing::internal::GetCapturedStderr();  // the heap can grow again
  ASSERT_TRUE(refused);
  EXPECT_EQ(errors, accessible.size());
  for (void* p : accessible) {
    EXPECT_NE(text.find("Freed block at " + hex(p) + " stays accessible"), std::string::npos)
        << "an accessible freed block must be reported";
  }
  void* p = resource.allocate(16, 8);
  resource.deallocate(p, 16, 8);
  EXPECT_FALSE(resource.close());
}

// A fault in the child is reported with its address and turned into exit status 42, so the test
// sees where it faulted whatever handler a sanitizer would have installed.
void reportFaultAndExit(int, siginfo_t* info, void*) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "fault at 0x%lx\n",
                              reinterpret_cast<unsigned long>(info->si_addr));
  (void)!::write(2, text, static_cast<std::size_t>(n));
  ::_exit(42);
}

// The address a fault at `p` reports: s390x names only the page of a faulting access.
std::string faultAt(const void* p) {
#if defined(__s390x__)
  return "fault at " + hex(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) &
                                                         ~std::uintptr_t{kPage - 1}));
#else
  return "fault at " + hex(p);
#endif
}

void catchFaults() {
  struct sigaction action {};
  action.sa_sigaction = reportFaultAndExit;
  action.sa_flags = SA_SIGINFO;
  ::sigaction(SIGSEGV, &action, nullptr);
  ::sigaction(SIGBUS, &action, nullptr);
}

using LeakCheckingResourceDeathTest = ::testing::Test;

TEST_F(LeakCheckingResourceDeathTest, UseAfterFreeFaults) {
  // The child must see the parent's mappings as they are: "fast" forks without re-running.
  GTEST_FLAG_SET(death_test_style, "fast");
  LeakCheckingResource resource;
  auto* p = static_cast<volatile char*>(resource.allocate(64, 8));
  p[10] = 1;
  resource.deallocate(const_cast<char*>(p), 64, 8);
  EXPECT_EXIT(
      {
        catchFaults();
        p[10] = 2;
      },
      ::testing::ExitedWithCode(42), faultAt(const_cast<char*>(p) + 10));
  EXPECT_EXIT(
      {
        catchFaults();
        (void)p[0];
      },
      ::testing::ExitedWithCode(42), faultAt(const_cast<char*>(p)));
}

TEST_F(LeakCheckingResourceDeathTest, AForkedChildsFreesStayInTheChild) {
  GTEST_FLAG_SET(death_test_style, "fast");
  LeakCheckingResource resource;
  void* p = resource.allocate(16, 8);
  EXPECT_EXIT(
      {
        resource.deallocate(p, 16, 8);
        ::_exit(resource.close() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
  // The parent's first change after the fork copies the records, before any was written out.
  void* q = nullptr;
  EXPECT_NO_THROW(q = resource.allocate(16, 8));
  auto [text, errors] = captured(resource, [&] {
    resource.deallocate(p, 16, 8);
    if (q != nullptr) resource.deallocate(q, 16, 8);
  });
  EXPECT_EQ(errors, 0u) << text;
  EXPECT_FALSE(resource.close());
}

// The parent goes on after the fork: what it frees and writes out must not show in the child.
TEST(LeakCheckingResource, AParentsFreesAfterAForkStayOutOfTheChild) {
  LeakCheckingResource resource;
  void* p = resource.allocate(16, 8);
  std::vector<void*> others;  // enough operations that p's record is written out before the fork
  for (int i = 0; i < 100; ++i) others.push_back(resource.allocate(16, 8));
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    (void)!::read(go[0], &byte, 1);
    const std::uint64_t before = resource.reportCount();
    ::testing::internal::CaptureStderr();
    for (void* q : others) resource.deallocate(q, 16, 8);
    (void)resource.close();
    (void)::testing::internal::GetCapturedStderr();
    ::_exit(static_cast<int>(std::min<std::uint64_t>(resource.reportCount() - before, 100)));
  }
  resource.deallocate(p, 16, 8);
  for (void* q : others) resource.deallocate(q, 16, 8);
  EXPECT_FALSE(resource.close());
  (void)!::write(go[1], "x", 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(go[0]);
  ::close(go[1]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "the child frees its blocks once and still holds p";
}

TEST_F(LeakCheckingResourceDeathTest, BookkeepingIsReadOnly) {
  // The child must see the parent's mappings as they are: "fast" forks without re-running.
  GTEST_FLAG_SET(death_test_style, "fast");
  selfcheck::detail::BlockLog log;
  ASSERT_TRUE(log.reserveOne());
  selfcheck::detail::BlockRecord record{};
  record.address = 0x10000;
  const std::size_t sequence = log.add(record);
  void* frames[1] = {};
  ASSERT_TRUE(log.markFreed(sequence, frames, 1));
  EXPECT_EQ(log.written(sequence), nullptr);  // waiting
  ASSERT_TRUE(log.flush());
  const selfcheck::detail::BlockRecord* stored = log.written(sequence);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->address, 0x10000u);
  EXPECT_TRUE(stored->freed);
  EXPECT_EXIT(
      {
        catchFaults();
        const_cast<selfcheck::detail::BlockRecord*>(stored)->size = 99;
      },
      ::testing::ExitedWithCode(42), faultAt(&stored->size));
}

}  // namespace
