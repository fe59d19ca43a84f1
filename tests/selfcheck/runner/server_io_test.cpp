#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include <selfcheck/runner/process.hpp>
#include <selfcheck/runner/server_io.hpp>

namespace {

std::atomic<int> g_signals{0};
void countSignal(int) { g_signals.fetch_add(1); }

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  void closeEnd(int i) {
    ::close(fds[i]);
    fds[i] = -1;
  }
};

// Signals arriving while the server waits for a request (a profiler's timer, a terminal resize)
// interrupt read(); the source must retry instead of reporting an error.
TEST(FdSourceReading, RetriesReadsInterruptedBySignals) {
  struct sigaction action {};
  action.sa_handler = countSignal;  // no SA_RESTART: read() fails with EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  Pipe pipe;
  const pthread_t reader = ::pthread_self();
  std::thread interrupter([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ::pthread_kill(reader, SIGUSR1);
    }
    EXPECT_EQ(::write(pipe.fds[1], "abc", 3), 3);
  });
  selfcheck::FdSource source(pipe.fds[0]);
  std::byte buffer[8];
  auto got = source.read(buffer);
  interrupter.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  ASSERT_TRUE(got) << "error " << got.error();
  EXPECT_EQ(*got, 3u);
  EXPECT_GE(g_signals.load(), 1);  // signals sent while one is pending may merge
}

// More than a pipe holds: the write completes in pieces as the reader drains it.
TEST(WriteAllWriting, DeliversEveryByteThroughAFullPipe) {
  Pipe pipe;
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  std::string received;
  std::thread reader([&] {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(pipe.fds[0], chunk, sizeof chunk)) > 0)
      received.append(chunk, static_cast<std::size_t>(n));
  });
  auto written = selfcheck::writeAll(pipe.fds[1], data);
  pipe.closeEnd(1);
  reader.join();
  EXPECT_TRUE(written);
  EXPECT_TRUE(received == data);
}

TEST(WriteAllWriting, ClosedReaderIsEpipeNotDeath) {
  selfcheck::makeSigpipeHarmless();
  Pipe pipe;
  pipe.closeEnd(0);
  auto written = selfcheck::writeAll(pipe.fds[1], "response");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), EPIPE);
}

}  // namespace
