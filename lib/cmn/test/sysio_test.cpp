// Descriptor ownership, whole-buffer transfers and the replaceable clock.
#include "cmn/sysio.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tarn_test.h"

namespace {

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, ClosesOnceAndKeepsErrno) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    cmn::UniqueFd reader(fds[0]);
    cmn::UniqueFd moved(std::move(reader));
    EXPECT_EQ(reader.get(), -1);
    EXPECT_EQ(moved.get(), fds[0]);
    errno = ENOSPC;
  }
  EXPECT_EQ(errno, ENOSPC) << "closing must not change errno";
  EXPECT_FALSE(IsOpen(fds[0]));

  cmn::UniqueFd writer(fds[1]);
  const int raw = writer.release();
  EXPECT_FALSE(writer);
  EXPECT_TRUE(IsOpen(raw));
  writer.reset(raw);
  EXPECT_EQ(writer.close(), 0);
  EXPECT_FALSE(IsOpen(raw));
  EXPECT_EQ(writer.close(), 0) << "closing an empty owner is a no-op";
}

TEST(RetryTest, RepeatsOnlyInterruptedCallsAndOnlyWhenAsked) {
  int calls = 0;
  auto interruptedTwice = [&] {
    ++calls;
    errno = calls <= 2 ? EINTR : EAGAIN;
    return calls <= 2 ? -1 : 5;
  };
  EXPECT_EQ(cmn::RetryEintr(interruptedTwice), 5);
  EXPECT_EQ(calls, 3);

  calls = 0;
  EXPECT_EQ(cmn::RetryEintrIf(false, interruptedTwice), -1);
  EXPECT_EQ(errno, EINTR) << "outside host mode the caller sees the interruption";
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_EQ(cmn::RetryEintrIf(true, interruptedTwice), 5);
  EXPECT_EQ(calls, 3);

  calls = 0;
  auto failsOtherwise = [&] {
    ++calls;
    errno = EBADF;
    return -1;
  };
  EXPECT_EQ(cmn::RetryEintr(failsOtherwise), -1);
  EXPECT_EQ(calls, 1);
}

TEST(UniqueFdTest, StreamTakesTheDescriptorOrClosesIt) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* stream = cmn::OpenStream(cmn::UniqueFd(fds[1]), "w");
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(IsOpen(fds[1])) << "the stream owns the descriptor now";
  EXPECT_EQ(std::fclose(stream), 0);
  EXPECT_FALSE(IsOpen(fds[1]));

  errno = ENOENT;
  EXPECT_EQ(cmn::OpenStream(cmn::UniqueFd(), "r"), nullptr);
  EXPECT_EQ(errno, ENOENT) << "an empty owner keeps the open's errno";

  // A mode the descriptor was not opened for fails, and the descriptor goes.
  EXPECT_EQ(cmn::OpenStream(cmn::UniqueFd(fds[0]), "w"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(IsOpen(fds[0]));
}

TEST(WholeTransferTest, MovesMoreThanThePipeHoldsInOneCall) {
  tarn::test::Watchdog watchdog(30);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  cmn::UniqueFd reader(fds[0]), writer(fds[1]);
  std::vector<std::byte> out(300000);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::byte(i * 7);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    reader.reset();
    _exit(cmn::WriteAll(writer.get(), out) == out.size() ? 0 : 1);
  }
  writer.reset();
  std::vector<std::byte> in(out.size() + 10);
  const ssize_t n = cmn::ReadAll(reader.get(), in);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(n, static_cast<ssize_t>(out.size())) << "a short count means end of file";
  EXPECT_EQ(0, std::memcmp(in.data(), out.data(), out.size()));
}

TEST(ClockTest, ManualClockAdvancesOnSleepAndDeadlinesFollowIt) {
  cmn::ManualClock manual;
  cmn::ScopedClock scoped(manual);
  const auto start = cmn::ClockNow();
  const auto deadline = start + std::chrono::minutes(5);
  EXPECT_EQ(cmn::MillisecondsUntil(deadline), 300000);
  cmn::SleepFor(std::chrono::minutes(4));
  EXPECT_EQ(cmn::MillisecondsUntil(deadline), 60000);
  cmn::SleepFor(std::chrono::milliseconds(0));
  EXPECT_EQ(manual.sleeps(), 1) << "a zero sleep does not reach the clock";
  manual.Advance(std::chrono::minutes(2));
  EXPECT_EQ(cmn::MillisecondsUntil(deadline), 0);
}

TEST(ClockTest, SystemClockIsBackAfterTheGuard) {
  {
    cmn::ManualClock manual;
    cmn::ScopedClock scoped(manual);
    EXPECT_EQ(&cmn::ProcessClock(), &manual);
  }
  const auto before = cmn::ClockNow();
  cmn::SleepFor(std::chrono::milliseconds(2));
  EXPECT_GE((cmn::ClockNow() - before).count(), 2000);
}

}  // namespace
