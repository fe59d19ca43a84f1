#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

#include <selfcheck/leak/pages.hpp>

namespace selfcheck::detail {

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t roundUpToPages(std::size_t bytes) {
  std::size_t page = pageSize();
  return (bytes + page - 1) / page * page;
}

void* mapAnonymous(std::size_t length, int protection, int extra_flags) {
  void* p = ::mmap(nullptr, length, protection, MAP_PRIVATE | MAP_ANONYMOUS | extra_flags, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* mapGuarded(std::size_t bytes) {
  const std::size_t page = pageSize();
  const std::size_t length = roundUpToPages(bytes);
  void* mapped = mapAnonymous(length + 2 * page, PROT_NONE, MAP_NORESERVE);
  if (mapped == nullptr) return nullptr;
  void* inside = static_cast<char*>(mapped) + page;
  if (::mprotect(inside, length, PROT_READ | PROT_WRITE) != 0) {
    const int error = errno;
    ::munmap(mapped, length + 2 * page);
    errno = error;
    return nullptr;
  }
  return inside;
}

void unmapGuarded(void* inside, std::size_t bytes) {
  const std::size_t page = pageSize();
  ::munmap(static_cast<char*>(inside) - page, roundUpToPages(bytes) + 2 * page);
}

}  // namespace selfcheck::detail
