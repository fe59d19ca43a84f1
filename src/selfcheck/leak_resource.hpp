// The leak-checking allocator handed to every check.
#ifndef SELFCHECK_LEAK_RESOURCE_HPP
#define SELFCHECK_LEAK_RESOURCE_HPP

#include <cstddef>
#include <memory_resource>
#include <mutex>
#include <unordered_map>

namespace selfcheck {

// A std::pmr::memory_resource that records every live block and reports, through the log
// function under the scope "gpa", each block still allocated when it is closed.
class LeakCheckingResource final : public std::pmr::memory_resource {
 public:
  LeakCheckingResource() = default;
  LeakCheckingResource(const LeakCheckingResource&) = delete;
  LeakCheckingResource& operator=(const LeakCheckingResource&) = delete;
  ~LeakCheckingResource() override;

  // Reports every block still allocated, releases all memory, and returns whether anything
  // leaked. The resource is empty and usable again afterwards.
  bool close();

 private:
  struct Block {
    std::size_t size;
    std::size_t alignment;
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;

  std::mutex mutex_;
  std::unordered_map<void*, Block> live_;
};

}  // namespace selfcheck

#endif
