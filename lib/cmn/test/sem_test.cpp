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

// A child that runs `body` while the parent goes on; Join collects its result.
pid_t Spawn(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int Join(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return ChildStatus(status);
}

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
  const int id = Private(0);
  const auto start = Clock::now();
  EXPECT_EQ(CmnSemWait(id, 1, 0, CMN_SEM_UNDO), -2);
  EXPECT_LT(MillisSince(start), 50);

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
  EXPECT_LT(elapsed, 2000);
}

TEST_F(SemTest, PollingFallbackTriesEveryHundredMilliseconds) {
  CmnSemForcePolling(1);
  const int id = Private(0);
  auto start = Clock::now();
  EXPECT_EQ(CmnSemWait(id, 1, 0, CMN_SEM_UNDO), -2);
  EXPECT_LT(MillisSince(start), 50);

  // Four attempts with three sleeps between them: about 300 ms, not 399.
  start = Clock::now();
  EXPECT_EQ(CmnSemWait(id, 1, 399, CMN_SEM_UNDO), -2);
  const long elapsed = MillisSince(start);
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(elapsed, 390);

  tarn::test::Watchdog watchdog(60);
  const pid_t giver = Spawn([&] {
    usleep(150 * 1000);
    return CmnSemRelease(id, 1, CMN_SEM_NO_UNDO) == 0 ? 0 : 1;
  });
  start = Clock::now();
  EXPECT_EQ(CmnSemWait(id, 1, 5000, CMN_SEM_NO_UNDO), 0);
  EXPECT_LT(MillisSince(start), 2000);
  EXPECT_EQ(Join(giver), 0);
}

TEST_F(SemTest, EndlessWaitSurvivesSignalsUntilAnotherProcessReleases) {
  tarn::test::Watchdog watchdog(60);
  InterruptingSignal interrupting;
  const int id = Private(0);
  for (unsigned forever : {kCmnSemForever, kCmnSemForever2}) {
    // Without undo: the waiter's exit must not hand the permit back.
    const pid_t waiter =
        Spawn([&] { return CmnSemWait(id, 1, forever, CMN_SEM_NO_UNDO) == 0 ? 0 : 1; });
    AwaitWaiters(id, 1);
    for (int i = 0; i < 3; ++i) {
      kill(waiter, SIGUSR1);
      usleep(20 * 1000);
    }
    int status = 0;
    EXPECT_EQ(waitpid(waiter, &status, WNOHANG), 0) << "the wait ended before the release";
    EXPECT_EQ(CmnSemRelease(id, 1, CMN_SEM_NO_UNDO), 0);
    EXPECT_EQ(Join(waiter), 0);
  }
}

TEST_F(SemTest, SignalsDoNotShortenATimedWait) {
  tarn::test::Watchdog watchdog(60);
  InterruptingSignal interrupting;
  const int id = Private(0);
  for (int polling : {0, 1}) {
    SCOPED_TRACE(polling);
    CmnSemForcePolling(polling);
    const pid_t waiter = Spawn([&] {
      const auto start = Clock::now();
      if (CmnSemWait(id, 1, 600, CMN_SEM_UNDO) != -2) return 1;
      const long elapsed = MillisSince(start);
      return elapsed >= 480 && elapsed < 1500 ? 0 : 2;
    });
    if (polling == 0) AwaitWaiters(id, 1);
    for (int i = 0; i < 4; ++i) {
      usleep(60 * 1000);
      kill(waiter, SIGUSR1);
    }
    EXPECT_EQ(Join(waiter), 0);
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
  const pid_t waiter = Spawn([&] { return -CmnSemWait(id, 1, kCmnSemForever, CMN_SEM_UNDO); });
  AwaitWaiters(id, 1);
  EXPECT_EQ(CmnMutexDelete(id), 0);
  EXPECT_EQ(Join(waiter), 1);
  EXPECT_EQ(CmnSemDelete(id), -1);
  EXPECT_EQ(CmnSemWait(id, 1, 100, CMN_SEM_UNDO), -1);
  EXPECT_EQ(CmnSemRelease(id, 1, CMN_SEM_UNDO), -1);
}

}  // namespace
