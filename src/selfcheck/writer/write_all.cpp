#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <selfcheck/writer/write_all.hpp>

namespace selfcheck {

std::expected<void, int> writeAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return std::unexpected(EIO);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd room{fd, POLLOUT, 0};
      const int ready = ::poll(&room, 1, -1);
      if (ready > 0 && (room.revents & POLLOUT) != 0) continue;
      if (ready < 0 && errno == EINTR) continue;
      return std::unexpected(ready < 0 ? errno : EPIPE);  // no room will come: the reader is gone
    }
    return std::unexpected(errno);
  }
  return {};
}

}  // namespace selfcheck
