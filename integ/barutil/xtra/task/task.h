// Task pool: child processes forked (without exec) to run one function of the
// program each, and the waits that reap them alone or as a pool.
#pragma once

#include <sys/types.h>

#include "cmn/array.h"

// The function a task's child runs. It returns 0 for success and anything else
// for failure. A result of 1 to 255 reaches the parent as it is; any other
// failure reaches it as TASK_STATUS_FAILED (see Task::status).
using TaskFn = int (*)(void* arg);

enum TaskState : int { TASK_IDLE = 0, TASK_RUNNING = 1 };

enum TaskWaitFlags : int {
  WAIT_NOHANG = 1,  // one pass, no sleeping
  WAIT_ALL = 2,     // wait until every task of the pool is idle
};

// End status of a task, kept in Task::status until its next run.
enum TaskStatus : int {
  TASK_STATUS_OK = 0,        // the function returned 0
  TASK_STATUS_FAILED = 1,    // the function failed with a result that no exit code
                             // can carry (below 0 or above 255); results 1..255
                             // and a child's exit of its own come as they are
  TASK_STATUS_KILLED = -1,   // ended by a signal
  TASK_STATUS_UNKNOWN = -2,  // ended, reason unknown
  TASK_STATUS_LOST = -3,     // reaped by someone else: the outcome is unknown
  TASK_STATUS_NOT_ENDED = -4,  // started, and no wait has seen its end: never success
};

inline constexpr int kTaskNameMax = 255;
inline constexpr int kTaskPollMs = 100;

// One child process. A zeroed record is a valid idle task without a child.
struct Task {
  int type;      // the pool creator's value; not interpreted
  int state;     // TaskState
  pid_t handle;  // the child's process id; -1 (or 0 in a zeroed record) for none
  int status;    // TaskStatus or another exit code, after the task ended
  int handle2;   // set to -1 with the handle; not otherwise used
  char name[kTaskNameMax + 1];
  TaskFn fn;
  void* arg;
};

// A growable array of Task pointers; the pool's size is its element count. A
// pool made by TaskPoolCreate owns its records.
struct TaskPool {
  array_t tasks;
};

// Resets the record to idle without a child; type, name and status stay.
void TaskInit(Task* task);

// Starts fn(arg) in a forked child under `name` (null or empty: "<unknown>";
// cut to kTaskNameMax characters). The child first lets every module drop its
// inherited state (CmnContextAtFork), then runs fn and exits with its result
// when that is 0..255 and with TASK_STATUS_FAILED otherwise. Stdio buffers are flushed
// before the fork so the child does not write them again. SIGCHLD is put back
// to its default when it is ignored (outside host-process mode), so the child
// can be reaped. The status reads TASK_STATUS_NOT_ENDED until a wait sees
// the child's end. Returns 0, or -1 when the task is not idle, fn is null or
// the fork failed. `arg` must stay valid in the child; nothing is shared
// after the fork.
int TaskRun(Task* task, TaskFn fn, void* arg, const char* name);

// Reaps the task's child. Returns 0 when it ended (status set, record reset to
// idle) or when there is nothing to wait for, -1 when it still runs, -2 on a
// system error (the task keeps its state). With WAIT_NOHANG or a time-out of 0
// it checks once, with -1 it blocks until the end, with a positive time-out it
// checks every kTaskPollMs (the last sleep cut to the time left) until that
// many milliseconds have passed on the process clock (cmn::ClockNow).
int TaskWait(Task* task, int flags, int timeoutMs);
// The probe of TaskPoolWaitIdle; the same as TaskWait.
int TaskWaitNoHang(Task* task, int flags, int timeoutMs);

// Kills the task's child with SIGKILL and reaps it (status then tells how it
// ended); the record becomes idle without a child. Returns 0, or -1 when the
// signal could not be sent (the child is forgotten all the same).
int TaskKill(Task* task);

// Makes a pool of `size` idle tasks of `type` that it owns. Returns 0, or -1
// for a negative size or when memory ran out. Free it with TaskPoolFree.
int TaskPoolCreate(TaskPool* pool, int size, int type);
// Releases the pool's array (and its records when it owns them). Children
// still running are neither killed nor reaped: wait for them first.
void TaskPoolFree(TaskPool* pool);
int TaskPoolSize(const TaskPool* pool);
// Task `index` of the pool, or null outside 0 to size-1.
Task* TaskPoolGet(const TaskPool* pool, int index);

// Waits on the pool, polling every kTaskPollMs. Returns the index of a task
// that ended or is idle (without WAIT_ALL the first one found; with WAIT_ALL
// the last index, once every task is idle), -1 when that did not happen
// within the time-out (-1 waits without limit) or in the one pass of
// WAIT_NOHANG, -2 for an empty pool or a system error. *out (when given) gets
// the task found, or null.
int TaskPoolWait(TaskPool* pool, int flags, int timeoutMs, Task** out);
// The same with TaskWaitNoHang as the probe.
int TaskPoolWaitIdle(TaskPool* pool, int flags, int timeoutMs, Task** out);
// TaskPoolWait over the caller's `count` records with no time-out.
int TaskPoolWaitAll(Task* tasks, int count, int flags);
