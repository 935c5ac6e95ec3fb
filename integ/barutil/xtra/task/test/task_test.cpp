// Task pool: children that return codes or die by signals, waits with short
// time-outs, reaping after kills, lost children and the SIGCHLD disposition.
#include "task/task.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cmn/ctx.h"
#include "cmn/sysio.h"
#include "tarn_test.h"

TARN_RCSID("integ/barutil/xtra/task/test/task_test.cpp");

namespace {

using Clock = std::chrono::steady_clock;

int ReturnArg(void* arg) {
  return static_cast<int>(reinterpret_cast<intptr_t>(arg));
}
void* Code(int code) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(code));
}
int SleepLong(void*) {
  sleep(30);
  return 0;
}
int RaiseArg(void* arg) {
  raise(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
  return 0;
}

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Kills and reaps every task still running when a test ends.
struct PoolGuard {
  TaskPool pool{};
  explicit PoolGuard(int size) { EXPECT_EQ(TaskPoolCreate(&pool, size, 7), 0); }
  ~PoolGuard() {
    for (int i = 0; i < TaskPoolSize(&pool); ++i) TaskKill(TaskPoolGet(&pool, i));
    TaskPoolFree(&pool);
  }
  Task* at(int i) { return TaskPoolGet(&pool, i); }
};

TEST(TaskStatus, ChildResultsKeepTheirCodeOrBecomeFailureNeverTruncated) {
  tarn::test::Watchdog dog(20);
  PoolGuard g(6);
  // A result an exit code cannot carry must not read as 0 (or as another code).
  const int codes[] = {0, 7, 255, -2048, 256, -1};
  const int statuses[] = {TASK_STATUS_OK,    7, 255, TASK_STATUS_FAILED, TASK_STATUS_FAILED,
                          TASK_STATUS_FAILED};
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(TaskRun(g.at(i), ReturnArg, Code(codes[i]), "ReturnArg"), 0);
  EXPECT_EQ(TaskPoolWait(&g.pool, WAIT_ALL, -1, nullptr), 5);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(g.at(i)->status, statuses[i]) << "result " << codes[i];
    EXPECT_EQ(g.at(i)->state, TASK_IDLE);
    EXPECT_EQ(g.at(i)->handle, -1);
    EXPECT_EQ(g.at(i)->type, 7);
  }
}

TEST(TaskStatus, ChildrenDyingBySignalsAreKilled) {
  tarn::test::Watchdog dog(20);
  PoolGuard g(2);
  ASSERT_EQ(TaskRun(g.at(0), RaiseArg, Code(SIGKILL), "kill"), 0);
  ASSERT_EQ(TaskRun(g.at(1), RaiseArg, Code(SIGTERM), "term"), 0);
  EXPECT_EQ(TaskWait(g.at(0), 0, -1), 0);
  EXPECT_EQ(TaskWait(g.at(1), 0, -1), 0);
  EXPECT_EQ(g.at(0)->status, TASK_STATUS_KILLED);
  EXPECT_EQ(g.at(1)->status, TASK_STATUS_KILLED);
}

TEST(TaskRunAndKill, RunningTaskStartsNothingAndKillReaps) {
  tarn::test::Watchdog dog(20);
  Task task{};
  TaskInit(&task);
  ASSERT_EQ(TaskRun(&task, SleepLong, nullptr, "sleeper"), 0);
  const pid_t pid = task.handle;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(TaskRun(&task, ReturnArg, Code(0), "second"), -1);
  EXPECT_EQ(task.handle, pid);
  EXPECT_STREQ(task.name, "sleeper");

  const auto start = Clock::now();
  EXPECT_EQ(TaskWait(&task, 0, 0), -1);  // flags 0, time-out 0: no blocking
  EXPECT_EQ(TaskWait(&task, WAIT_NOHANG, -1), -1);
  // A blocking wait would last the sleeper's 30 s; a busy machine stays far below.
  EXPECT_LT(MsSince(start), 10000);
  // A task whose end no wait has seen never reads as a success.
  EXPECT_EQ(task.status, TASK_STATUS_NOT_ENDED);

  EXPECT_EQ(TaskKill(&task), 0);
  EXPECT_EQ(task.status, TASK_STATUS_KILLED);
  EXPECT_EQ(task.state, TASK_IDLE);
  EXPECT_EQ(task.handle, -1);
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // no zombie left behind
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(TaskWait(&task, 0, -1), 0);  // nothing left to wait for
}

TEST(TaskRunAndKill, ZeroedRecordIsIdleAndNeverSignalsTheGroup) {
  tarn::test::Watchdog dog(20);
  // In a process group of its own, so a kill(0) could only hit the child.
  const int raw = tarn::test::RunInChild([] {
    setpgid(0, 0);
    Task zeroed[2]{};
    if (TaskKill(&zeroed[0]) != 0 || zeroed[0].handle != -1) return 2;
    if (TaskWait(&zeroed[1], 0, -1) != 0) return 3;
    return TaskPoolWaitAll(zeroed, 2, WAIT_ALL) == 1 ? 0 : 4;
  });
  ASSERT_TRUE(WIFEXITED(raw)) << raw;
  EXPECT_EQ(WEXITSTATUS(raw), 0);
}

TEST(TaskRunAndKill, NamesAreDefaultedAndCut) {
  tarn::test::Watchdog dog(20);
  Task a{};
  Task b{};
  ASSERT_EQ(TaskRun(&a, ReturnArg, Code(0), nullptr), 0);
  const std::string longName(300, 'n');
  ASSERT_EQ(TaskRun(&b, ReturnArg, Code(0), longName.c_str()), 0);
  EXPECT_STREQ(a.name, "<unknown>");
  EXPECT_EQ(std::string(b.name), longName.substr(0, kTaskNameMax));
  EXPECT_EQ(TaskPoolWaitAll(&a, 1, WAIT_ALL), 0);
  EXPECT_EQ(TaskWait(&b, 0, -1), 0);
  EXPECT_EQ(TaskRun(&a, ReturnArg, Code(0), ""), 0);
  EXPECT_STREQ(a.name, "<unknown>");
  EXPECT_EQ(TaskWait(&a, 0, -1), 0);
}

// A positive time-out polls until it has passed, short ones too (not one look
// and out); counted on the process clock, so nothing here really waits.
TEST(TaskTimeouts, PositiveTimeoutPollsThenGivesUp) {
  tarn::test::Watchdog dog(20);
  Task task{};
  ASSERT_EQ(TaskRun(&task, SleepLong, nullptr, "sleeper"), 0);
  struct Case {
    int timeoutMs;
    long sleeps;
  };
  for (const Case c : {Case{1, 1}, Case{50, 1}, Case{100, 1}, Case{101, 2}, Case{250, 3}}) {
    SCOPED_TRACE(c.timeoutMs);
    cmn::ManualClock manual;
    cmn::ScopedClock scoped(manual);
    const auto start = cmn::ClockNow();
    EXPECT_EQ(TaskWait(&task, 0, c.timeoutMs), -1);
    EXPECT_EQ(cmn::ClockNow() - start, std::chrono::milliseconds(c.timeoutMs));
    EXPECT_EQ(manual.sleeps(), c.sleeps);
  }
  EXPECT_EQ(TaskKill(&task), 0);
}

TEST(TaskTimeouts, PoolWaitTimesOutAfterThreePasses) {
  tarn::test::Watchdog dog(20);
  PoolGuard g(2);
  ASSERT_EQ(TaskRun(g.at(0), SleepLong, nullptr, "a"), 0);
  ASSERT_EQ(TaskRun(g.at(1), SleepLong, nullptr, "b"), 0);
  Task* out = g.at(0);
  {
    cmn::ManualClock manual;
    cmn::ScopedClock scoped(manual);
    const auto start = cmn::ClockNow();
    EXPECT_EQ(TaskPoolWait(&g.pool, 0, 250, &out), -1);
    // Two sleeps of 100 ms between three passes.
    EXPECT_EQ(manual.sleeps(), 2);
    EXPECT_EQ(cmn::ClockNow() - start, std::chrono::milliseconds(200));
  }
  EXPECT_EQ(out, nullptr);

  cmn::ManualClock manual;
  cmn::ScopedClock scoped(manual);
  EXPECT_EQ(TaskPoolWaitIdle(&g.pool, WAIT_NOHANG, -1, nullptr), -1);
  EXPECT_EQ(TaskPoolWait(&g.pool, WAIT_ALL, 0, nullptr), -1);
  EXPECT_EQ(manual.sleeps(), 0) << "one pass, no sleeping";
}

TEST(TaskPoolWaits, IdleTasksCountAsEnded) {
  tarn::test::Watchdog dog(20);
  PoolGuard g(3);
  Task* out = nullptr;
  EXPECT_EQ(TaskPoolWait(&g.pool, 0, -1, &out), 0);
  EXPECT_EQ(out, g.at(0));
  EXPECT_EQ(TaskPoolWaitIdle(&g.pool, WAIT_ALL, -1, &out), 2);
  EXPECT_EQ(out, g.at(2));

  TaskPool empty{};
  EXPECT_EQ(TaskPoolCreate(&empty, 0, 0), 0);
  EXPECT_EQ(TaskPoolWait(&empty, 0, -1, &out), -2);
  EXPECT_EQ(out, nullptr);
  TaskPoolFree(&empty);
  EXPECT_EQ(TaskPoolCreate(&empty, -1, 0), -1);
  EXPECT_EQ(TaskPoolWaitAll(nullptr, 0, WAIT_ALL), -2);
}

TEST(TaskPoolWaits, FirstEndedTaskIsReturnedAndWaitAllNeedsThemAll) {
  tarn::test::Watchdog dog(20);
  PoolGuard g(2);
  ASSERT_EQ(TaskRun(g.at(0), SleepLong, nullptr, "slow"), 0);
  ASSERT_EQ(TaskRun(g.at(1), ReturnArg, Code(3), "fast"), 0);
  Task* out = nullptr;
  EXPECT_EQ(TaskPoolWait(&g.pool, 0, 5000, &out), 1);
  EXPECT_EQ(out, g.at(1));
  EXPECT_EQ(g.at(1)->status, 3);
  // One task ended, the other runs: WAIT_ALL is not reached.
  EXPECT_EQ(TaskPoolWait(&g.pool, WAIT_ALL, 250, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(TaskPoolWait(&g.pool, WAIT_ALL | WAIT_NOHANG, -1, nullptr), -1);
  EXPECT_EQ(g.at(0)->state, TASK_RUNNING);
}

TEST(TaskSigchld, IgnoredSigchldIsPutBackSoTheOutcomeIsKept) {
  tarn::test::Watchdog dog(20);
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &saved), 0);
  Task task{};
  ASSERT_EQ(TaskRun(&task, ReturnArg, Code(-2048), "failing"), 0);
  EXPECT_EQ(TaskWait(&task, 0, -1), 0);
  EXPECT_EQ(task.status, TASK_STATUS_FAILED);
  struct sigaction now {};
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  sigaction(SIGCHLD, &saved, nullptr);
}

TEST(TaskSigchld, ChildReapedElsewhereIsLostNotSuccess) {
  tarn::test::Watchdog dog(20);
  Task task{};
  ASSERT_EQ(TaskRun(&task, ReturnArg, Code(0), "first"), 0);
  ASSERT_EQ(TaskWait(&task, 0, -1), 0);
  ASSERT_EQ(task.status, TASK_STATUS_OK);
  ASSERT_EQ(TaskRun(&task, ReturnArg, Code(5), "second"), 0);
  ASSERT_EQ(waitpid(task.handle, nullptr, 0), task.handle);  // someone else reaps it
  EXPECT_EQ(TaskWait(&task, 0, -1), 0);
  EXPECT_EQ(task.status, TASK_STATUS_LOST);
  EXPECT_EQ(task.state, TASK_IDLE);
}

// Module state of the parent must not leak into a task.
constexpr int kSpareSlot = 23;
int forkHookRan = 0;
void NoteFork(void*) {
  forkHookRan = 1;
}
const PtdDescriptor kSpareDescriptor = {"TaskTest", nullptr, 16, nullptr, NoteFork, nullptr};

int ChildSeesCleanContext(void*) {
  if (forkHookRan != 1) return 1;
  return CmnGetContextEx(pcmnMasterContext, kSpareSlot) == nullptr ? 0 : 1;
}

TEST(TaskChild, DropsInheritedModuleStateFirst) {
  tarn::test::Watchdog dog(20);
  ASSERT_NE(CmnCreateContextEx(&kSpareDescriptor, kSpareSlot), nullptr);
  Task task{};
  ASSERT_EQ(TaskRun(&task, ChildSeesCleanContext, nullptr, "context"), 0);
  EXPECT_EQ(TaskWait(&task, 0, -1), 0);
  EXPECT_EQ(task.status, TASK_STATUS_OK);
  EXPECT_EQ(forkHookRan, 0);  // the hook ran in the child only
  CmnFreeContextEx(pcmnMasterContext, kSpareSlot);
}

// The parent's exit handler: in a task child it leaves a mark.
pid_t exitHandlerOwner = 0;
std::string exitHandlerMark;
void MarkExitInChild() {
  if (getpid() != exitHandlerOwner) tarn::test::WriteFile(exitHandlerMark, "ran\n");
}

std::string childOutput;
int WriteBufferedOutput(void*) {
  FILE* out = std::fopen(childOutput.c_str(), "w");
  if (out == nullptr) return 1;
  std::fputs("the child's last words", out);  // left in the stream's buffer
  return 0;
}

TEST(TaskChild, EndsWithoutTheParentsExitHandlersButFlushesItsOwnOutput) {
  tarn::test::Watchdog dog(20);
  tarn::test::TempRoot root;
  exitHandlerOwner = getpid();
  exitHandlerMark = root.at("/exit-handler-ran");
  childOutput = root.at("/child-output");
  static bool registered = false;
  if (!registered) registered = std::atexit(MarkExitInChild) == 0;
  Task task{};
  ASSERT_EQ(TaskRun(&task, WriteBufferedOutput, nullptr, "output"), 0);
  EXPECT_EQ(TaskWait(&task, 0, -1), 0);
  EXPECT_EQ(task.status, TASK_STATUS_OK);
  EXPECT_FALSE(std::filesystem::exists(exitHandlerMark));
  EXPECT_EQ(tarn::test::ReadFile(childOutput), "the child's last words");
}

}  // namespace
