// System-call helpers shared by every layer: an owning descriptor, EINTR
// retries, whole-buffer reads and writes, and the process clock that sleeps
// and time-outs go through (tests replace it).
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <span>

namespace cmn {

// Repeats `call` while it fails with EINTR. `call` returns a signed count or
// descriptor; a negative result with another errno is returned as it is.
template <typename Call>
auto RetryEintr(Call call) {
  for (;;) {
    auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

// RetryEintr when `retry` holds, else a single call. For calls that repeat
// only in host-process mode, where the host's own signals interrupt them,
// while elsewhere a signal may be how the caller bounds a blocking call.
template <typename Call>
auto RetryEintrIf(bool retry, Call call) {
  return retry ? RetryEintr(call) : call();
}

// open(2), read(2) and write(2), repeated on EINTR.
int OpenRetry(const char* path, int flags, mode_t mode = 0);
ssize_t ReadRetry(int fd, void* data, std::size_t count);
ssize_t WriteRetry(int fd, const void* data, std::size_t count);

// Writes all of `data`, repeating partial writes and EINTR. Returns the bytes
// written: fewer than data.size() only on an error (errno set) or when the
// system accepted nothing more (errno 0).
std::size_t WriteAll(int fd, std::span<const std::byte> data);
std::size_t WriteAll(int fd, const void* data, std::size_t count);

// Reads until `data` is full, end of file or an error; EINTR is repeated.
// Returns the bytes read, or -1 on an error (errno set).
ssize_t ReadAll(int fd, std::span<std::byte> data);
ssize_t ReadAll(int fd, void* data, std::size_t count);

// Closes `fd` (when >= 0) without changing errno, so a failure path can
// release a descriptor and still report the error that led there.
void CloseKeepErrno(int fd);

// An owned descriptor: closed when the owner goes, keeping errno across the
// close. Move-only; -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { CloseKeepErrno(fd_); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor (keeping errno) and takes `fd`.
  void reset(int fd = -1) {
    CloseKeepErrno(fd_);
    fd_ = fd;
  }
  // Closes the held descriptor and reports close(2)'s result: 0, or -1 with
  // errno set (a failed close can mean lost data on a written file).
  int close();

 private:
  int fd_ = -1;
};

// Opens a stdio stream (fdopen) that from then on owns the descriptor. Null
// when `fd` is empty (errno untouched) or fdopen fails; the descriptor is
// then closed and errno tells why.
FILE* OpenStream(UniqueFd fd, const char* mode);

// The process clock. Sleeps and time-out deadlines in the product go through
// it so tests can run minutes of waiting without waiting.
class Clock {
 public:
  using Duration = std::chrono::microseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;
  virtual ~Clock() = default;
  virtual TimePoint Now() = 0;
  // Sleeps `duration`; a real clock continues after a signal with the time left.
  virtual void Sleep(Duration duration) = 0;
};

// The clock in force: the steady system clock unless a test installed another.
Clock& ProcessClock();
// Installs `clock` (null restores the system clock); returns the previous one
// (null when that was the system clock). The caller keeps `clock` alive.
Clock* SetProcessClock(Clock* clock);

// Shorthands for ProcessClock().Now() and ProcessClock().Sleep(); a duration
// of zero or less returns at once.
Clock::TimePoint ClockNow();
void SleepFor(Clock::Duration duration);

// Milliseconds left until `deadline` on the process clock, never below 0.
long MillisecondsUntil(Clock::TimePoint deadline);

// A clock that only moves when told to, or when something sleeps on it: a
// sleep advances it by the duration at once. For tests of time-outs.
class ManualClock final : public Clock {
 public:
  TimePoint Now() override { return now_; }
  void Sleep(Duration duration) override {
    if (duration.count() > 0) now_ += duration;
    ++sleeps_;
  }
  void Advance(Duration duration) { now_ += duration; }
  // Number of Sleep calls so far.
  long sleeps() const { return sleeps_; }

 private:
  TimePoint now_{std::chrono::hours(1)};
  long sleeps_ = 0;
};

// Installs a clock for the lifetime of the guard and puts the previous back.
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) : previous_(SetProcessClock(&clock)) {}
  ~ScopedClock() { SetProcessClock(previous_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

}  // namespace cmn
