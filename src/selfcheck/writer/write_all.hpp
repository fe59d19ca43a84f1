// Writing a whole buffer to a file descriptor: the one loop every writer of the program uses.
#ifndef SELFCHECK_WRITER_WRITE_ALL_HPP
#define SELFCHECK_WRITER_WRITE_ALL_HPP

#include <expected>
#include <string_view>

namespace selfcheck {

// Writes all of `bytes` to `fd`, going on after interrupted and partial writes and waiting for
// room on a non-blocking descriptor whose reader is behind, as a blocking one would. Returns the
// errno of the write that failed (EIO for a write that wrote nothing, so that a misbehaving
// descriptor cannot make it spin). Async-signal-safe.
std::expected<void, int> writeAll(int fd, std::string_view bytes) noexcept;

}  // namespace selfcheck

#endif
