// System V semaphores: keyed and private sets, waits with and without limit
// between two processes, signals during a wait, the polling fallback, and the
// undo choice that decides whether a permit survives its giver's exit.
#include "cmn/sem.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "cmn/sysio.h"
#include "tarn_test.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int ChildStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + status;
}

using tarn::test::ChildProcess;

// A process clock on which sleeps take no time; `onSleep` runs at each sleep
// with its number (1 for the first), so a test can act between two attempts.
class ScriptedClock final : public cmn::Clock {
 public:
  explicit ScriptedClock(std::function<void(int)> onSleep) : onSleep_(std::move(onSleep)) {}
  TimePoint Now() override { return now_; }
  void Sleep(Duration duration) override {
    now_ += duration;
    onSleep_(++sleeps_);
  }
  int sleeps() const { return sleeps_; }

 private:
  std::function<void(int)> onSleep_;
  TimePoint now_{std::chrono::hours(1)};
  int sleeps_ = 0;
};

void OnSignal(int) {}

// Installs a handler that interrupts system calls (no restart) for the test's
// duration, so that a signal reaches a waiting call as EINTR.
class InterruptingSignal {
 public:
  InterruptingSignal() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &old_);
  }
  ~InterruptingSignal() { sigaction(SIGUSR1, &old_, nullptr); }
  InterruptingSignal(const InterruptingSignal&) = delete;
  InterruptingSignal& operator=(const InterruptingSignal&) = delete;

 private:
  struct sigaction old_ {};
};

class SemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnSemForcePolling(0);
    CmnSemFlags(0, 0);
  }
  void TearDown() override {
    CmnSemForcePolling(0);
    CmnSemFlags(0, 0);
  }
  int Private(int value) {
    const int id = CmnSemCreate(nullptr, 0, value, 0);
    EXPECT_NE(id, -1);
    guard_.semaphore(id);
    return id;
  }
  int Keyed(const char* leaf, int number, int value, int exclusive) {
    const std::string path = KeyFile(leaf);
    const int id = CmnSemCreate(path.c_str(), number, value, exclusive);
    if (id != -1) guard_.semaphore(id);
    return id;
  }
  std::string KeyFile(const char* leaf) {
    const std::string path = tmp_.path() + "/" + leaf;
    tarn::test::WriteFile(path, "");
    EXPECT_TRUE(keys_.claim(path)) << keys_.error();
    return path;
  }
  static int Value(int id) { return semctl(id, 0, GETVAL); }
  // Waits until `count` processes block on the set, so that what follows
  // happens during their wait.
  static void AwaitWaiters(int id, int count) {
    const auto start = Clock::now();
    while (semctl(id, 0, GETNCNT) < count && MillisSince(start) < 5000) usleep(1000);
  }

  tarn::test::TempDir tmp_;
  tarn::test::KeyClaims keys_{tmp_.path() + "/.keys"};
  tarn::test::SysVGuard guard_;
};

TEST_F(SemTest, KeyedSetsAreCreatedOnceAndFoundByPathAndNumber) {
  const int id = Keyed("key", 3, 5, 1);
  ASSERT_NE(id, -1);
  EXPECT_EQ(Value(id), 5);
  const std::string path = KeyFile("key");

  errno = 0;
  EXPECT_EQ(CmnSemCreate(path.c_str(), 3, 1, 1), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Value(id), 5);
  EXPECT_EQ(CmnSemOpen(path.c_str(), 3), id);
  // Without the exclusive bit an existing set is taken and its value reset.
  EXPECT_EQ(CmnSemCreate(path.c_str(), 3, 2, 0), id);
  EXPECT_EQ(Value(id), 2);

  EXPECT_EQ(CmnMutexCreate(path.c_str(), 3), -1);
  EXPECT_EQ(CmnMutexAttach(path.c_str(), 3), id);
  const int mutex = CmnMutexAttach(path.c_str(), 4);
  ASSERT_NE(mutex, -1);
  guard_.semaphore(mutex);
  EXPECT_NE(mutex, id);
  EXPECT_EQ(Value(mutex), 1);
  EXPECT_EQ(CmnMutexOpen(path.c_str(), 4), mutex);

  EXPECT_EQ(CmnSemOpen(path.c_str(), 9), -1);
  EXPECT_EQ(CmnSemOpen((tmp_.path() + "/missing").c_str(), 3), -1);
  EXPECT_EQ(CmnSemCreate((tmp_.path() + "/missing").c_str(), 3, 1, 0), -1);
  EXPECT_EQ(CmnSemOpen(nullptr, 3), -1);
  // A value the semaphore cannot hold fails the creation.
  EXPECT_EQ(CmnSemCreate(nullptr, 0, 40000, 0), -1);
  EXPECT_EQ(errno, ERANGE);
}

TEST_F(SemTest, WaitAndReleaseCount) {
  tarn::test::Watchdog watchdog(60);
  const int id = Private(0);
  const auto start = Clock::now();
  EXPECT_EQ(CmnSemWait(id, 1, 0, CMN_SEM_UNDO), -2);
  // No time-out means no wait; the bound only has to tell that from a hang.
  EXPECT_LT(MillisSince(start), 5000);

  EXPECT_EQ(CmnSemRelease(id, 3, CMN_SEM_NO_UNDO), 0);
  EXPECT_EQ(Value(id), 3);
  EXPECT_EQ(CmnSemWait(id, 2, 0, CMN_SEM_NO_UNDO), 0);
  EXPECT_EQ(Value(id), 1);
  EXPECT_EQ(CmnSemWait(id, 2, 0, CMN_SEM_NO_UNDO), -2);
  EXPECT_EQ(Value(id), 1);
  EXPECT_EQ(CmnSemWait(id, 1, 1000, CMN_SEM_NO_UNDO), 0);
  EXPECT_EQ(Value(id), 0);
}

TEST_F(SemTest, CountsOutsideTheOperationRangeAreRefused) {
  const int id = Private(5);
  // Zero makes no system call, so even no set at all is fine.
  EXPECT_EQ(CmnSemRelease(-1, 0, CMN_SEM_UNDO), 0);
  EXPECT_EQ(CmnSemWait(-1, 0, 0, CMN_SEM_UNDO), 0);
  EXPECT_EQ(CmnSemRelease(-1, 1, CMN_SEM_UNDO), -1);

  // 65541 would be the operation +5 once cut to 16 bits.
  errno = 0;
  EXPECT_EQ(CmnSemRelease(id, 65541, CMN_SEM_NO_UNDO), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(CmnSemWait(id, 65541, 0, CMN_SEM_NO_UNDO), -1);
  EXPECT_EQ(CmnSemWait(id, -1, 0, CMN_SEM_NO_UNDO), -1);
  EXPECT_EQ(Value(id), 5);
}

TEST_F(SemTest, TimedWaitEndsAfterItsTimeout) {
  const int id = Private(0);
  const auto start = Clock::now();
  EXPECT_EQ(CmnSemWait(id, 1, 250, CMN_SEM_UNDO), -2);
  const long elapsed = MillisSince(start);
  EXPECT_GE(elapsed, 240);
  EXPECT_LT(elapsed, 10000) << "the wait must end, however busy the machine";
}

TEST_F(SemTest, PollingFallbackTriesEveryHundredMilliseconds) {
  tarn::test::Watchdog watchdog(60);
  CmnSemForcePolling(1);
  const int id = Private(0);
  {
    cmn::ManualClock manual;
    cmn::ScopedClock scoped(manual);
    auto start = cmn::ClockNow();
    EXPECT_EQ(CmnSemWait(id, 1, 0, CMN_SEM_UNDO), -2);
    EXPECT_EQ(manual.sleeps(), 0);

    // Four attempts with three sleeps between them: 300 ms, not 399.
    start = cmn::ClockNow();
    EXPECT_EQ(CmnSemWait(id, 1, 399, CMN_SEM_UNDO), -2);
    EXPECT_EQ(manual.sleeps(), 3);
    EXPECT_EQ(cmn::ClockNow() - start, std::chrono::milliseconds(300));
  }

  // Another process gives a permit during the second sleep: the attempt
  // after it takes the permit.
  ScriptedClock scripted([&](int sleep) {
    if (sleep != 2) return;
    ChildProcess giver([&] { return CmnSemRelease(id, 1, CMN_SEM_NO_UNDO) == 0 ? 0 : 1; });
    EXPECT_EQ(giver.ExitCode(), 0);
  });
  cmn::ScopedClock scoped(scripted);
  EXPECT_EQ(CmnSemWait(id, 1, 5000, CMN_SEM_NO_UNDO), 0);
  EXPECT_EQ(scripted.sleeps(), 2);
  EXPECT_EQ(Value(id), 0);
}

TEST_F(SemTest, EndlessWaitSurvivesSignalsUntilAnotherProcessReleases) {
  tarn::test::Watchdog watchdog(60);
  InterruptingSignal interrupting;
  const int id = Private(0);
  for (unsigned forever : {kCmnSemForever, kCmnSemForever2}) {
    // Without undo: the waiter's exit must not hand the permit back.
    ChildProcess waiter([&] { return CmnSemWait(id, 1, forever, CMN_SEM_NO_UNDO) == 0 ? 0 : 1; });
    AwaitWaiters(id, 1);
    for (int i = 0; i < 3; ++i) {
      kill(waiter.pid(), SIGUSR1);
      usleep(20 * 1000);
    }
    EXPECT_TRUE(waiter.Running()) << "the wait ended before the release";
    EXPECT_EQ(CmnSemRelease(id, 1, CMN_SEM_NO_UNDO), 0);
    EXPECT_EQ(waiter.ExitCode(), 0);
  }
}

// Signals keep coming until the wait ends: a wait that started over at each
// one would never end (and is caught by the bound long before the last).
TEST_F(SemTest, SignalsDoNotShortenATimedWait) {
  tarn::test::Watchdog watchdog(60);
  InterruptingSignal interrupting;
  const int id = Private(0);
  for (int polling : {0, 1}) {
    SCOPED_TRACE(polling);
    CmnSemForcePolling(polling);
    ChildProcess waiter([&] {
      const auto start = Clock::now();
      if (CmnSemWait(id, 1, 600, CMN_SEM_UNDO) != -2) return 1;
      const long elapsed = MillisSince(start);
      return elapsed >= 480 && elapsed < 10000 ? 0 : 2;
    });
    const pid_t pid = waiter.pid();
    ASSERT_GT(pid, 0);
    if (polling == 0) AwaitWaiters(id, 1);
    // Running() leaves an ended child unreaped until it says false, so the
    // signal never reaches another process.
    for (int i = 0; i < 300 && waiter.Running(); ++i) {
      kill(pid, SIGUSR1);
      usleep(50 * 1000);
    }
    EXPECT_EQ(waiter.ExitCode(), 0);
  }
}

TEST_F(SemTest, UndoIsChosenPerCall) {
  tarn::test::Watchdog watchdog(60);
  const int id = Private(1);
  auto takeAndExit = [&](CmnSemUndo undo, int flags) {
    return tarn::test::RunInChild([&] {
      CmnSemFlags(flags, 0);
      return CmnSemWait(id, 1, 0, undo) == 0 ? 0 : 1;
    });
  };
  // The system gives back what an ended process took with undo.
  EXPECT_EQ(ChildStatus(takeAndExit(CMN_SEM_UNDO, kCmnSemFlagNoUndo)), 0);
  EXPECT_EQ(Value(id), 1);
  EXPECT_EQ(ChildStatus(takeAndExit(CMN_SEM_UNDO_DEFAULT, 0)), 0);
  EXPECT_EQ(Value(id), 1);
  // Without undo the permit stays taken.
  EXPECT_EQ(ChildStatus(takeAndExit(CMN_SEM_NO_UNDO, 0)), 0);
  EXPECT_EQ(Value(id), 0);
  EXPECT_EQ(CmnSemRelease(id, 1, CMN_SEM_NO_UNDO), 0);
  EXPECT_EQ(ChildStatus(takeAndExit(CMN_SEM_UNDO_DEFAULT, kCmnSemFlagNoUndo)), 0);
  EXPECT_EQ(Value(id), 0);

  EXPECT_EQ(CmnSemFlags(0, 1), 0);
  EXPECT_EQ(CmnSemFlags(kCmnSemFlagNoUndo, 0), 0);
  EXPECT_EQ(CmnSemFlags(0, 1), kCmnSemFlagNoUndo);
}

TEST_F(SemTest, APermitHandedToAnotherProcessSurvivesTheGiversExit) {
  tarn::test::Watchdog watchdog(60);
  const int id = Private(0);
  auto giveAndExit = [&](CmnSemUndo undo) {
    return tarn::test::RunInChild([&] { return CmnSemRelease(id, 1, undo) == 0 ? 0 : 1; });
  };
  EXPECT_EQ(ChildStatus(giveAndExit(CMN_SEM_NO_UNDO)), 0);
  EXPECT_EQ(CmnSemWait(id, 1, 0, CMN_SEM_NO_UNDO), 0);
  // With undo the giver's exit takes the permit back again.
  EXPECT_EQ(ChildStatus(giveAndExit(CMN_SEM_UNDO)), 0);
  EXPECT_EQ(CmnSemWait(id, 1, 0, CMN_SEM_NO_UNDO), -2);
}

TEST_F(SemTest, MutexExcludesAnotherProcessAndIsFreedWhenItsHolderDies) {
  tarn::test::Watchdog watchdog(60);
  const std::string path = KeyFile("mutex");
  const int mutex = CmnMutexCreate(path.c_str(), 0);
  ASSERT_NE(mutex, -1);
  guard_.semaphore(mutex);
  EXPECT_EQ(CmnMutexIsValid(mutex), 1);
  EXPECT_EQ(CmnMutexWait(mutex, 0), 0);

  auto tryInChild = [&](unsigned timeout) {
    return ChildStatus(tarn::test::RunInChild([&] {
      const int m = CmnMutexOpen(path.c_str(), 0);
      if (m != mutex) return 9;
      return -CmnMutexWait(m, timeout);
    }));
  };
  EXPECT_EQ(tryInChild(100), 2);
  EXPECT_EQ(CmnMutexRelease(mutex), 0);
  // The child takes it and ends without releasing: the system gives it back.
  EXPECT_EQ(tryInChild(100), 0);
  EXPECT_EQ(CmnMutexWait(mutex, 0), 0);
  EXPECT_EQ(CmnMutexRelease(mutex), 0);
}

TEST_F(SemTest, DeleteEndsWaitsAndInvalidatesTheId) {
  tarn::test::Watchdog watchdog(60);
  const int id = CmnSemCreate(nullptr, 0, 0, 1);
  ASSERT_NE(id, -1);
  guard_.semaphore(id);
  EXPECT_EQ(CmnSemIsValid(id), 1);
  EXPECT_EQ(CmnSemIsValid(-1), 0);
  ChildProcess waiter([&] { return -CmnSemWait(id, 1, kCmnSemForever, CMN_SEM_UNDO); });
  AwaitWaiters(id, 1);
  EXPECT_EQ(CmnMutexDelete(id), 0);
  EXPECT_EQ(waiter.ExitCode(), 1);
  EXPECT_EQ(CmnSemDelete(id), -1);
  EXPECT_EQ(CmnSemWait(id, 1, 100, CMN_SEM_UNDO), -1);
  EXPECT_EQ(CmnSemRelease(id, 1, CMN_SEM_UNDO), -1);
}

}  // namespace
