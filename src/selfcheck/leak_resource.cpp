#include <cstdio>
#include <new>
#include <selfcheck/leak_resource.hpp>
#include <selfcheck/log.hpp>
#include <string>

namespace selfcheck {

LeakCheckingResource::~LeakCheckingResource() { close(); }

void* LeakCheckingResource::do_allocate(std::size_t bytes, std::size_t alignment) {
  void* p = ::operator new(bytes, std::align_val_t{alignment});
  std::lock_guard lock(mutex_);
  live_.emplace(p, Block{bytes, alignment});
  return p;
}

void LeakCheckingResource::do_deallocate(void* p, std::size_t, std::size_t alignment) {
  {
    std::lock_guard lock(mutex_);
    live_.erase(p);
  }
  ::operator delete(p, std::align_val_t{alignment});
}

bool LeakCheckingResource::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
  return this == &other;
}

bool LeakCheckingResource::close() {
  std::lock_guard lock(mutex_);
  bool leaked = !live_.empty();
  for (auto& [p, block] : live_) {
    char addr[32];
    std::snprintf(addr, sizeof addr, "%lx", reinterpret_cast<unsigned long>(p));
    log("gpa", LogLevel::err, std::string("memory address 0x") + addr + " leaked: ");
    ::operator delete(p, std::align_val_t{block.alignment});
  }
  live_.clear();
  return leaked;
}

}  // namespace selfcheck
