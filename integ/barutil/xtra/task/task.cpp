// Task pool: forks a child per task, reaps it by polling and maps its end to a
// status the parent can trust.
#include "task/task.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/sysio.h"

TARN_RCSID("integ/barutil/xtra/task/task.cpp");

namespace {

constexpr int kLevel = 51;

void Trace(const char* function, const Task* task, const char* event) {
  DbgPlain(kLevel, "[%s] Task(handle=%d state=%d job=%s arg=%p status=%d) %s ", function,
           static_cast<int>(task->handle), task->state, task->name, task->arg, task->status, event);
}

void TraceOsError(const char* function, const Task* task, int sysErrno) {
  DbgPlain(kLevel, "[%s] Task(handle=%d state=%d job=%s arg=%p status=%d) OS Error: %s", function,
           static_cast<int>(task->handle), task->state, task->name, task->arg, task->status,
           ErhSysErrnoToText(sysErrno));
}

// A zeroed record holds 0: never hand 0 or a negative id to kill or waitpid,
// which would reach the whole process group or every child.
bool HasChild(const Task* task) {
  return task->handle > 0;
}

void SetName(Task* task, const char* name) {
  StrCopy(task->name, name != nullptr && *name != '\0' ? name : "<unknown>", kTaskNameMax);
}

// With SIGCHLD ignored (or SA_NOCLDWAIT) the kernel reaps children itself and
// waitpid can only answer ECHILD: the task's outcome would be lost. A host
// process owns its signal handlers, so there the loss is reported instead.
void KeepChildrenReapable() {
  if (CmnInHostProcess()) return;
  struct sigaction current {};
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return;
  const bool ignored = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
  if (!ignored && (current.sa_flags & SA_NOCLDWAIT) == 0) return;
  struct sigaction wanted = current;
  if (ignored) {
    wanted = {};
    wanted.sa_handler = SIG_DFL;
    sigemptyset(&wanted.sa_mask);
  }
  wanted.sa_flags &= ~SA_NOCLDWAIT;
  if (sigaction(SIGCHLD, &wanted, nullptr) == 0) {
    DbgPlain(kLevel, "[%s] SIGCHLD set back to its default so tasks can be reaped", "TaskRun");
  }
}

// Records how a reaped child ended.
void NoteEnd(const char* function, Task* task, int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    task->status = WEXITSTATUS(waitStatus);
    DbgPlain(
        kLevel,
        "[%s] Task(handle=%d state=%d job=%s arg=%p status=%d) Task Exit (normal exit with: %d)",
        function, static_cast<int>(task->handle), task->state, task->name, task->arg, task->status,
        task->status);
  } else if (WIFSIGNALED(waitStatus)) {
    task->status = TASK_STATUS_KILLED;
    DbgPlain(
        kLevel,
        "[%s] Task(handle=%d state=%d job=%s arg=%p status=%d) Task Exit (killed by signal: %d)",
        function, static_cast<int>(task->handle), task->state, task->name, task->arg, task->status,
        WTERMSIG(waitStatus));
  } else {
    task->status = TASK_STATUS_UNKNOWN;
    Trace(function, task, "Task Exit (unknown reason. traced process?)");
  }
}

void NoteLost(const char* function, Task* task) {
  task->status = TASK_STATUS_LOST;
  Trace(function, task, "Task Exit (lost: reaped elsewhere, outcome unknown)");
}

// One waitpid on the task's child, EINTR retried. 0 ended (recorded, record
// reset), -1 still running, -2 system error.
int Reap(const char* function, Task* task, bool block) {
  int waitStatus = 0;
  const pid_t rc =
      cmn::RetryEintr([&] { return waitpid(task->handle, &waitStatus, block ? 0 : WNOHANG); });
  if (rc == 0) return -1;
  if (rc < 0) {
    if (errno != ECHILD) {
      TraceOsError(function, task, errno);
      return -2;
    }
    NoteLost(function, task);
  } else if (WIFSTOPPED(waitStatus) || WIFCONTINUED(waitStatus)) {
    // A traced child that stopped still lives: keep it.
    Trace(function, task, "Task stopped (traced process?)");
    return -1;
  } else {
    NoteEnd(function, task, waitStatus);
  }
  TaskInit(task);
  return 0;
}

Task* PoolTask(const TaskPool* pool, int index) {
  return static_cast<Task*>(array_get(&pool->tasks, index));
}

using Probe = int (*)(Task* task, int flags, int timeoutMs);

int PoolWait(TaskPool* pool, int flags, int timeoutMs, Task** out, Probe probe) {
  DbgPlain(kLevel, "\tflag=%d (%s %s) timeout=%dms", flags,
           (flags & WAIT_NOHANG) != 0 ? "WAIT_NOHANG" : "",
           (flags & WAIT_ALL) != 0 ? "WAIT_ALL" : "", timeoutMs);
  if (out != nullptr) *out = nullptr;
  const int size = pool != nullptr ? pool->tasks.count : 0;
  if (size <= 0) return -2;
  int result = -1;
  int remaining = size;
  for (;;) {
    remaining = size;
    for (int i = 0; i < size; ++i) {
      Task* task = PoolTask(pool, i);
      const int rc = task != nullptr ? probe(task, WAIT_NOHANG, 0) : 0;
      if (rc == -2) return -2;
      if (rc != 0) continue;
      result = i;
      if ((flags & WAIT_ALL) == 0) {
        if (out != nullptr) *out = task;
        return i;
      }
      --remaining;
    }
    if ((flags & WAIT_NOHANG) != 0 || remaining == 0) break;
    if (timeoutMs != -1) {
      timeoutMs -= kTaskPollMs;
      if (timeoutMs < 1) break;
    }
    cmn::SleepFor(std::chrono::milliseconds(kTaskPollMs));
  }
  // Tasks that still run mean WAIT_ALL was not reached, whatever ended.
  if ((flags & WAIT_ALL) != 0 && remaining != 0) result = -1;
  if (out != nullptr && result >= 0) *out = PoolTask(pool, result);
  return result;
}

// The child's exit code for the function's result: the result itself when an
// exit code can carry it unchanged, else TASK_STATUS_FAILED, so that a result
// such as an SQLCODE of -2048 (or 256) never reads as 0 once cut to eight bits.
int ChildExitCode(int result) {
  return result >= 0 && result <= 255 ? result : TASK_STATUS_FAILED;
}

// Ends a task child. The exit handlers and static objects are the parent's
// (exit would run them here too); the child stops only the common library it
// started itself and flushes its own output before _exit.
[[noreturn]] void EndChild(int code) {
  if (CmnIsInitialized() != 0) CmnExit();
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace

void TaskInit(Task* task) {
  if (task == nullptr) return;
  task->handle = -1;
  task->handle2 = -1;
  task->state = TASK_IDLE;
}

int TaskRun(Task* task, TaskFn fn, void* arg, const char* name) {
  if (task == nullptr) return -1;
  Trace("TaskRun", task, "Entered");
  if (task->state != TASK_IDLE || fn == nullptr) return -1;
  SetName(task, name);
  task->fn = fn;
  task->arg = arg;
  // A record's status is the last end seen (0 in a zeroed record): a task
  // whose wait failed or never came must not read as a success.
  task->status = TASK_STATUS_NOT_ENDED;
  KeepChildrenReapable();
  std::fflush(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    const int sysErrno = errno;
    task->state = TASK_IDLE;
    TraceOsError("TaskRun", task, sysErrno);
    return -1;
  }
  if (pid == 0) {
    CmnContextAtFork();
    task->handle = getpid();
    Trace("TaskRun", task, "Task Child Started.");
    task->status = task->fn(task->arg);
    Trace("TaskRun", task, "Task Exit.");
    EndChild(ChildExitCode(task->status));
  }
  task->handle = pid;
  Trace("TaskRun", task, "Task Started.");
  task->state = TASK_RUNNING;
  return 0;
}

int TaskWait(Task* task, int flags, int timeoutMs) {
  if (task == nullptr || task->state == TASK_IDLE || !HasChild(task)) return 0;
  if ((flags & WAIT_NOHANG) != 0 || timeoutMs == 0) return Reap("TaskWait", task, false);
  if (timeoutMs < 0) return Reap("TaskWait", task, true);
  const auto deadline = cmn::ClockNow() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int rc = Reap("TaskWait", task, false);
    if (rc != -1) return rc;
    const long left = cmn::MillisecondsUntil(deadline);
    if (left <= 0) return -1;
    cmn::SleepFor(std::chrono::milliseconds(std::min<long>(left, kTaskPollMs)));
  }
}

int TaskWaitNoHang(Task* task, int flags, int timeoutMs) {
  return TaskWait(task, flags, timeoutMs);
}

int TaskKill(Task* task) {
  if (task == nullptr || !HasChild(task)) {
    TaskInit(task);
    return 0;
  }
  int result = 0;
  if (kill(task->handle, SIGKILL) == 0 || errno == ESRCH) {
    // SIGKILL cannot be caught: the blocking wait ends.
    if (Reap("TaskKill", task, true) == 0) return 0;
  } else {
    TraceOsError("TaskKill", task, errno);
    result = -1;
  }
  TaskInit(task);
  return result;
}

int TaskPoolCreate(TaskPool* pool, int size, int type) {
  if (pool == nullptr) return -1;
  array_init(&pool->tasks, ARRAY_BLOCKS, static_cast<int>(sizeof(Task)), nullptr);
  DbgPlain(kLevel, "[TaskPoolCreate] pool=%p (size=%d, type=%d)", static_cast<void*>(pool), size,
           type);
  if (size < 0) return -1;
  Task blank{};
  blank.type = type;
  SetName(&blank, nullptr);
  TaskInit(&blank);
  for (int i = 0; i < size; ++i) {
    if (array_push(&pool->tasks, &blank) == nullptr) {
      array_free(&pool->tasks);
      return -1;
    }
  }
  KeepChildrenReapable();
  return 0;
}

void TaskPoolFree(TaskPool* pool) {
  if (pool != nullptr) array_free(&pool->tasks);
}

int TaskPoolSize(const TaskPool* pool) {
  return pool != nullptr ? pool->tasks.count : 0;
}

Task* TaskPoolGet(const TaskPool* pool, int index) {
  return pool != nullptr ? PoolTask(pool, index) : nullptr;
}

int TaskPoolWait(TaskPool* pool, int flags, int timeoutMs, Task** out) {
  return PoolWait(pool, flags, timeoutMs, out, TaskWait);
}

int TaskPoolWaitIdle(TaskPool* pool, int flags, int timeoutMs, Task** out) {
  return PoolWait(pool, flags, timeoutMs, out, TaskWaitNoHang);
}

int TaskPoolWaitAll(Task* tasks, int count, int flags) {
  TaskPool pool{};
  array_init(&pool.tasks, ARRAY_POINTERS);
  for (int i = 0; tasks != nullptr && i < count; ++i) {
    if (array_push(&pool.tasks, &tasks[i]) == nullptr) {
      array_free(&pool.tasks);
      return -2;
    }
  }
  const int result = PoolWait(&pool, flags, -1, nullptr, TaskWait);
  array_free(&pool.tasks);
  return result;
}
