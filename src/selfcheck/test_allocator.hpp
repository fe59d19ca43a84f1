// The process-wide accessor to the allocator a check hands to the objects it builds: the runner
// installs a fresh leak-checking resource before every check.
#ifndef SELFCHECK_TEST_ALLOCATOR_HPP
#define SELFCHECK_TEST_ALLOCATOR_HPP

#include <memory_resource>

namespace selfcheck {

// The current check's allocator. Outside a run it is std::pmr::new_delete_resource().
std::pmr::memory_resource* testAllocator();
void setTestAllocator(std::pmr::memory_resource* resource);

}  // namespace selfcheck

#endif
