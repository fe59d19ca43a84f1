// A memory_resource for tests that fails on demand and checks its own bookkeeping: it can make
// the k-th allocation from now throw std::bad_alloc, and it records every live block so that a
// test can see what leaked and whether each block came back with its own size and alignment.
#ifndef NEMRA_TESTS_SUPPORT_FAILING_RESOURCE_HPP
#define NEMRA_TESTS_SUPPORT_FAILING_RESOURCE_HPP

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <new>
#include <optional>

namespace nemra_test {

class FailingResource final : public std::pmr::memory_resource {
 public:
  FailingResource() = default;
  FailingResource(const FailingResource&) = delete;
  FailingResource& operator=(const FailingResource&) = delete;
  ~FailingResource() override {
    for (auto& [p, block] : live_) upstream_->deallocate(p, block.size, block.alignment);
  }

  // The k-th allocation from now (0 = the next one) throws std::bad_alloc; later ones succeed.
  void failAllocation(std::size_t k) { fail_in_ = k; }
  // Every allocation from now on throws.
  void failAll() { fail_always_ = true; }
  void succeedAll() {
    fail_in_.reset();
    fail_always_ = false;
  }

  std::size_t liveBlocks() const { return live_.size(); }
  std::size_t allocations() const { return allocations_; }
  std::size_t failures() const { return failures_; }
  // Deallocations of unknown blocks, or with another size or alignment than allocated.
  std::size_t misuses() const { return misuses_; }

 private:
  struct Block {
    std::size_t size;
    std::size_t alignment;
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    bool fail = fail_always_;
    if (fail_in_) {
      if (*fail_in_ == 0) {
        fail = true;
        fail_in_.reset();
      } else {
        --*fail_in_;
      }
    }
    if (fail) {
      ++failures_;
      throw std::bad_alloc();
    }
    void* p = upstream_->allocate(bytes, alignment);
    live_[p] = Block{bytes, alignment};
    ++allocations_;
    return p;
  }

  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    auto it = live_.find(p);
    if (it == live_.end() || it->second.size != bytes || it->second.alignment != alignment) {
      ++misuses_;
      if (it == live_.end()) return;
    }
    upstream_->deallocate(p, it->second.size, it->second.alignment);
    live_.erase(it);
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::pmr::memory_resource* upstream_ = std::pmr::new_delete_resource();
  std::map<void*, Block> live_;
  std::optional<std::size_t> fail_in_;
  bool fail_always_ = false;
  std::size_t allocations_ = 0;
  std::size_t failures_ = 0;
  std::size_t misuses_ = 0;
};

}  // namespace nemra_test

#endif
