// System V semaphores: create, open, timed wait, release and delete of
// one-semaphore sets, and a mutex made of one.
#include "cmn/sem.h"

#include <dlfcn.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/sysio.h"

TARN_RCSID("lib/cmn/sem.cpp");

namespace {

using SemTimedOpFn = int (*)(int, sembuf*, size_t, const timespec*);
using Clock = std::chrono::steady_clock;

constexpr int kLevel = 60;
constexpr unsigned kPollStepMs = 100;

// Process-wide; set before any concurrent use (one thread per process).
int semFlags = 0;
bool timedOpLookedUp = false;
SemTimedOpFn timedOp = nullptr;
bool forcePolling = false;

void LogFailure(const char* function) {
  const int sysErrno = errno;
  DbgPlain(kLevel, "[%s] Last OS call failed with %d (%s)", function, sysErrno,
           ErhSysErrnoToText(sysErrno));
  errno = sysErrno;
}

// The system's timed operation, looked up by name once: some systems lack it.
SemTimedOpFn TimedOp() {
  if (!timedOpLookedUp) {
    timedOpLookedUp = true;
    if (void* self = dlopen(nullptr, RTLD_LAZY)) {
      timedOp = reinterpret_cast<SemTimedOpFn>(dlsym(self, "semtimedop"));
    }
  }
  return forcePolling ? nullptr : timedOp;
}

short UndoFlag(CmnSemUndo undo) {
  switch (undo) {
    case CMN_SEM_UNDO: return SEM_UNDO;
    case CMN_SEM_NO_UNDO: return 0;
    default: return (semFlags & kCmnSemFlagNoUndo) != 0 ? 0 : SEM_UNDO;
  }
}

// The operation field is a short: a larger count would change meaning.
bool CountFits(const char* function, int n) {
  if (n > 0 && n <= SHRT_MAX) return true;
  errno = EINVAL;
  LogFailure(function);
  return false;
}

int KeyOf(const char* function, const char* path, int id, key_t* key) {
  if (path == nullptr) {
    *key = IPC_PRIVATE;
    return 0;
  }
  *key = ftok(path, id + 1);
  if (*key == static_cast<key_t>(-1)) {
    LogFailure(function);
    return -1;
  }
  return 0;
}

timespec ToTimespec(std::chrono::nanoseconds left) {
  if (left.count() < 0) left = std::chrono::nanoseconds(0);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
  return ts;
}

int WaitTimed(SemTimedOpFn op, int id, sembuf* ops, std::size_t count, unsigned timeout) {
  static const char kFn[] = "CmnSemWait";
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
  timespec ts = ToTimespec(std::chrono::milliseconds(timeout));
  for (;;) {
    if (op(id, ops, count, &ts) == 0) return 0;
    if (errno == EAGAIN) return -2;
    if (errno != EINTR) {
      LogFailure(kFn);
      return -1;
    }
    // A signal must not shorten or lengthen the caller's time-out.
    ts = ToTimespec(deadline - Clock::now());
  }
}

int WaitPolling(int id, sembuf* ops, std::size_t count, unsigned timeout) {
  static const char kFn[] = "CmnSemWait";
  for (std::size_t i = 0; i < count; ++i) ops[i].sem_flg |= IPC_NOWAIT;
  std::int64_t remaining = timeout;
  for (;;) {
    if (semop(id, ops, count) == 0) return 0;
    if (errno != EAGAIN && errno != EINTR) {
      LogFailure(kFn);
      return -1;
    }
    if (remaining < kPollStepMs) return -2;
    cmn::SleepFor(std::chrono::milliseconds(kPollStepMs));
    remaining -= kPollStepMs;
  }
}

// Whether `set` is a one-semaphore set. A key that another file's key
// collides with may name a larger set of someone else's, whose first
// semaphore must not be set or waited on as ours.
bool OneSemaphore(const char* function, int set) {
  semid_ds ds{};
  if (semctl(set, 0, IPC_STAT, &ds) != 0) {
    LogFailure(function);
    return false;
  }
  if (ds.sem_nsems == 1) return true;
  errno = EEXIST;
  LogFailure(function);
  return false;
}

}  // namespace

int CmnSemCreate(const char* path, int id, int value, int exclusive) {
  static const char kFn[] = "CmnSemCreate";
  key_t key;
  if (KeyOf(kFn, path, id, &key) != 0) return -1;
  int flags = IPC_CREAT | 0777;
  if ((exclusive & 1) != 0) flags |= IPC_EXCL;
  const int set = semget(key, 1, flags);
  if (set < 0) {
    LogFailure(kFn);
    return -1;
  }
  if (!OneSemaphore(kFn, set)) return -1;
  if (semctl(set, 0, SETVAL, value) != 0) {
    LogFailure(kFn);
    // A set we certainly made ourselves would otherwise outlive us unused;
    // one found by its key may be another process's and stays.
    if (path == nullptr || (exclusive & 1) != 0) {
      const int sysErrno = errno;
      semctl(set, 0, IPC_RMID);
      errno = sysErrno;
    }
    return -1;
  }
  return set;
}

int CmnSemOpen(const char* path, int id) {
  static const char kFn[] = "CmnSemOpen";
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  key_t key;
  if (KeyOf(kFn, path, id, &key) != 0) return -1;
  const int set = semget(key, 0, 0);
  if (set < 0) {
    LogFailure(kFn);
    return -1;
  }
  return OneSemaphore(kFn, set) ? set : -1;
}

int CmnSemWait(int id, int n, unsigned timeout, CmnSemUndo undo) {
  static const char kFn[] = "CmnSemWait";
  if (n == 0) return 0;
  if (!CountFits(kFn, n)) return -1;
  sembuf operation{};
  operation.sem_num = 0;
  operation.sem_op = static_cast<short>(-n);
  operation.sem_flg = UndoFlag(undo);
  return CmnSemOperate(id, &operation, 1, timeout);
}

int CmnSemOperate(int id, sembuf* ops, std::size_t count, unsigned timeout) {
  static const char kFn[] = "CmnSemWait";
  if (timeout == kCmnSemForever || timeout == kCmnSemForever2) {
    for (;;) {
      if (semop(id, ops, count) == 0) return 0;
      if (errno != EINTR) {
        LogFailure(kFn);
        return -1;
      }
    }
  }
  if (SemTimedOpFn op = TimedOp()) return WaitTimed(op, id, ops, count, timeout);
  return WaitPolling(id, ops, count, timeout);
}

int CmnSemRelease(int id, int n, CmnSemUndo undo) {
  static const char kFn[] = "CmnSemRelease";
  if (n == 0) return 0;
  if (!CountFits(kFn, n)) return -1;
  sembuf operation{};
  operation.sem_num = 0;
  operation.sem_op = static_cast<short>(n);
  operation.sem_flg = UndoFlag(undo);
  for (;;) {
    if (semop(id, &operation, 1) == 0) return 0;
    if (errno != EINTR) {
      LogFailure(kFn);
      return -1;
    }
  }
}

int CmnSemDelete(int id) {
  if (semctl(id, 0, IPC_RMID) != 0) {
    LogFailure("CmnSemDelete");
    return -1;
  }
  return 0;
}

int CmnSemIsValid(int id) {
  return id != -1 ? 1 : 0;
}

int CmnSemFlags(int value, int query) {
  const int old = semFlags;
  if (query == 0) semFlags = value;
  return old;
}

int CmnMutexCreate(const char* path, int id) {
  return CmnSemCreate(path, id, 1, 1);
}

int CmnMutexOpen(const char* path, int id) {
  return CmnSemOpen(path, id);
}

int CmnMutexAttach(const char* path, int id) {
  const int set = CmnMutexCreate(path, id);
  return set != -1 ? set : CmnMutexOpen(path, id);
}

int CmnMutexWait(int id, unsigned timeout) {
  return CmnSemWait(id, 1, timeout, CMN_SEM_UNDO_DEFAULT);
}

int CmnMutexRelease(int id) {
  return CmnSemRelease(id, 1, CMN_SEM_UNDO_DEFAULT);
}

int CmnMutexDelete(int id) {
  return CmnSemDelete(id);
}

int CmnMutexIsValid(int id) {
  return CmnSemIsValid(id);
}

void CmnSemForcePolling(int force) {
  forcePolling = force != 0;
}
