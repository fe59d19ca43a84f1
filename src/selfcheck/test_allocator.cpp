#include <atomic>

#include <selfcheck/test_allocator.hpp>

namespace selfcheck {
namespace {
std::atomic<std::pmr::memory_resource*> g_resource{nullptr};
}

std::pmr::memory_resource* testAllocator() {
  auto* r = g_resource.load();
  return r != nullptr ? r : std::pmr::new_delete_resource();
}

void setTestAllocator(std::pmr::memory_resource* resource) { g_resource.store(resource); }

}  // namespace selfcheck
