// The allocator a check hands to the objects it builds: the running check's leak-checking
// resource (check_context.hpp), fresh for every check.
#ifndef SELFCHECK_CHECK_TEST_ALLOCATOR_HPP
#define SELFCHECK_CHECK_TEST_ALLOCATOR_HPP

#include <memory_resource>

namespace selfcheck {

// The current check's allocator. Outside a check it is std::pmr::new_delete_resource().
std::pmr::memory_resource* testAllocator();

}  // namespace selfcheck

#endif
