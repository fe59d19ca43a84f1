#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <selfcheck/runner/server_io.hpp>

namespace selfcheck {

std::expected<std::size_t, int> FdSource::read(std::span<std::byte> buffer) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<DriverChannel, int> takeOverStandardStreams() {
  DriverChannel channel;
  // Duplicates at 3 or above, so they can never land on 0, 1 or 2 even if one of those is closed.
  channel.in = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (channel.in < 0) return std::unexpected(errno);
  channel.out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (channel.out < 0) {
    int error = errno;
    ::close(channel.in);
    return std::unexpected(error);
  }
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    // No standard error to send stray output to: close descriptor 1 instead, so a stray write
    // fails rather than corrupting the channel.
    ::close(STDOUT_FILENO);
  }
  int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    if (null != STDIN_FILENO) {
      ::dup2(null, STDIN_FILENO);
      ::close(null);
    }
  } else {
    ::close(STDIN_FILENO);
  }
  return channel;
}

}  // namespace selfcheck
