// File-descriptor plumbing of the server mode: the channel to the driver, taken over from standard
// input and output so that nothing a check does can reach it.
#ifndef SELFCHECK_RUNNER_SERVER_IO_HPP
#define SELFCHECK_RUNNER_SERVER_IO_HPP

#include <expected>
#include <string_view>

#include <selfcheck/runner/server_protocol.hpp>
#include <selfcheck/writer/write_all.hpp>

namespace selfcheck {

// Reads a file descriptor, retrying reads interrupted by a signal.
class FdSource final : public protocol::ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::expected<std::size_t, int> read(std::span<std::byte> buffer) override;

 private:
  int fd_;
};

// The driver's channel: private duplicates of the standard input and output the program was
// started with.
struct DriverChannel {
  int in = -1;
  int out = -1;
};

// Moves the driver's channel off descriptors 0 and 1: afterwards descriptor 1 is a copy of
// standard error (so whatever a check prints lands there) and descriptor 0 reads /dev/null (so a
// check cannot consume requests). Returns the errno of the step that failed.
std::expected<DriverChannel, int> takeOverStandardStreams();

}  // namespace selfcheck

#endif
