// System-call helpers: EINTR retries, whole-buffer transfers, owned
// descriptors and the replaceable process clock.
#include "cmn/sysio.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "cmn/defines.h"

TARN_RCSID("lib/cmn/sysio.cpp");

namespace cmn {

int OpenRetry(const char* path, int flags, mode_t mode) {
  return RetryEintr([&] { return ::open(path, flags, mode); });
}

ssize_t ReadRetry(int fd, void* data, std::size_t count) {
  return RetryEintr([&] { return ::read(fd, data, count); });
}

ssize_t WriteRetry(int fd, const void* data, std::size_t count) {
  return RetryEintr([&] { return ::write(fd, data, count); });
}

std::size_t WriteAll(int fd, const void* data, std::size_t count) {
  const char* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = WriteRetry(fd, p + done, count - done);
    if (n < 0) return done;
    if (n == 0) {
      errno = 0;
      return done;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t WriteAll(int fd, std::span<const std::byte> data) {
  return WriteAll(fd, data.data(), data.size());
}

ssize_t ReadAll(int fd, void* data, std::size_t count) {
  char* p = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ReadRetry(fd, p + done, count - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ReadAll(int fd, std::span<std::byte> data) {
  return ReadAll(fd, data.data(), data.size());
}

void CloseKeepErrno(int fd) {
  if (fd < 0) return;
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

int UniqueFd::close() {
  const int fd = release();
  if (fd < 0) return 0;
  // Linux releases the descriptor even when close fails with EINTR, so it is
  // never repeated.
  return ::close(fd);
}

FILE* OpenStream(UniqueFd fd, const char* mode) {
  if (!fd) return nullptr;
  FILE* stream = fdopen(fd.get(), mode);
  if (stream != nullptr) fd.release();
  return stream;
}

namespace {

class SystemClock final : public Clock {
 public:
  TimePoint Now() override {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
  }
  void Sleep(Duration duration) override {
    if (duration.count() <= 0) return;
    const auto us = duration.count();
    timespec want{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
  }
};

SystemClock systemClock;
Clock* installed = nullptr;

}  // namespace

Clock& ProcessClock() {
  return installed != nullptr ? *installed : systemClock;
}

Clock* SetProcessClock(Clock* clock) {
  Clock* previous = installed;
  installed = clock;
  return previous;
}

Clock::TimePoint ClockNow() {
  return ProcessClock().Now();
}

void SleepFor(Clock::Duration duration) {
  if (duration.count() <= 0) return;
  ProcessClock().Sleep(duration);
}

long MillisecondsUntil(Clock::TimePoint deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - ClockNow()).count();
  return left > 0 ? static_cast<long>(left) : 0;
}

}  // namespace cmn
