// Node semaphores: key paths, the coordinator of a partition's sessions and
// the session side of the start and end handshakes.
#include "db2/nodesem.h"

#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/sem.h"
#include "db2/db2common.h"
#include "db2/db2msg.h"

TARN_RCSID("integ/db2/nodesem.cpp");

namespace {

constexpr int kLevel = 30;
constexpr int kMaxSessions = 32767;
constexpr int kPaceTimeoutMax = 86400;
// How many times DB2PaceTimeout() a coordinator waits for GlobalLock, and a
// session for its permit: a live coordinator gives the permit within one
// hold of its own and one wait for the lock.
constexpr unsigned kLockWaitFactor = 2;
constexpr unsigned kPermitWaitFactor = 4;
// How often a coordinator waiting for its sessions looks whether the
// partition task that forked it still lives.
constexpr unsigned kParentCheckMs = 500;

unsigned Milliseconds(int seconds, unsigned factor) {
  return static_cast<unsigned>(seconds) * factor * 1000u;
}

// Permits handed between processes: an undone wait or release at process exit
// would change the count the other side relies on.
constexpr CmnSemUndo kHandOff = CMN_SEM_NO_UNDO;
// GlobalLock is taken and given by the same process: undo frees it when that
// process dies holding it.
constexpr CmnSemUndo kLock = CMN_SEM_UNDO;

using NodeSets = std::array<int, DB2_NODE_SEM_COUNT>;

bool OpenAll(int node, NodeSets* sets) {
  bool all = true;
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i) {
    (*sets)[i] = DB2SemOpen(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), node);
    all = all && (*sets)[i] != -1;
  }
  return all;
}

void DeleteAll(const NodeSets& sets) {
  for (int id : sets)
    if (id != -1) CmnSemDelete(id);
}

bool ValidArg(const BackupCoordinatorArg* arg) {
  return arg != nullptr && arg->node >= 0 && arg->sessions >= 1 && arg->sessions <= kMaxSessions;
}

// The three sets one handshake phase uses, opened for that phase.
struct PhaseSets {
  int ready = -1;
  int can = -1;
  int finished = -1;
  bool Open(int node, Db2NodeSem can_, Db2NodeSem finished_) {
    ready = DB2SemOpen(DB2NodeSemPath(DB2_SEM_LIB_READY).c_str(), node);
    can = DB2SemOpen(DB2NodeSemPath(can_).c_str(), node);
    finished = DB2SemOpen(DB2NodeSemPath(finished_).c_str(), node);
    return ready != -1 && can != -1 && finished != -1;
  }
};

int PhaseBegin(Db2PaceState* state, Db2NodeSem can, Db2NodeSem finished, int waitingPhase,
               const char* what) {
  static const char kFn[] = "DB2Pace";
  PhaseSets sets;
  int result = 0;
  state->paced = 0;
  state->phase = waitingPhase;
  if (!sets.Open(state->node, can, finished)) {
    DbgPlain(kLevel, "[%s] node %d: no semaphores, %s without pacing", kFn, state->node, what);
    return 0;
  }
  const int seconds = DB2PaceTimeout();
  if (CmnSemRelease(sets.ready, 1, kHandOff) == 0)
    result = CmnSemWait(sets.can, 1, Milliseconds(seconds, kPermitWaitFactor), kHandOff);
  if (result == -2) {
    // The coordinator is gone without its sets: it still waits for nobody,
    // but counting this session as done keeps any count it left right.
    DbgPlain(kDbgUnexpected, "[%s] node %d: no permit for %s within %d seconds", kFn, state->node,
             what, seconds * static_cast<int>(kPermitWaitFactor));
    ErhFullReportPacked(kFn, kErhMajor,
                        NlsPackMessage(kDb2MsgSet, kDb2MsgNoPermit, state->node,
                                       seconds * static_cast<int>(kPermitWaitFactor)));
    state->paced = 1;
    return -1;
  }
  if (result != 0) {
    DbgPlain(kLevel, "[%s] node %d: semaphores gone, %s without pacing", kFn, state->node, what);
    return 0;
  }
  state->paced = 1;
  return 1;
}

// Releases `n` into the node's set `which` when it exists.
void CountOut(int node, Db2NodeSem which, int n) {
  const int id = DB2SemOpen(DB2NodeSemPath(which).c_str(), node);
  if (id != -1) CmnSemRelease(id, n, kHandOff);
}

void PhaseEnd(Db2PaceState* state, Db2NodeSem finished, int donePhase) {
  if (state->paced != 0) CountOut(state->node, finished, 1);
  state->paced = 0;
  state->phase = donePhase;
}

}  // namespace

std::string DB2NodeSemPath(Db2NodeSem which) {
  switch (which) {
    case DB2_SEM_LIB_READY: return cmnFenBin;
    case DB2_SEM_START_CAN: return cmnFenLib;
    case DB2_SEM_FINISHED_START: return std::string(cmnFenLBin) + "/heron";
    case DB2_SEM_END_CAN: return cmnFenTmp;
    case DB2_SEM_FINISHED_END: return std::string(cmnFenLBin) + "/linnet";
    default: return std::string();
  }
}

std::string DB2GlobalLockPath() {
  return std::string(cmnFenLBin) + "/kestrel";
}

std::string DB2DeviceSemPath() {
  return std::string(cmnFenLBin) + "/plover";
}

int DB2PaceTimeout() {
  int seconds = kDb2PaceTimeoutDefault;
  EnvReadInt(kDb2PaceTimeoutVariable, &seconds);
  return seconds >= 1 && seconds <= kPaceTimeoutMax ? seconds : kDb2PaceTimeoutDefault;
}

int DB2SemCreate(const char* path, int id, int value, int flags) {
  return CmnSemCreate(path, id, value, flags);
}

int DB2SemOpen(const char* path, int id) {
  return CmnSemOpen(path, id);
}

int DB2GlobalSemsCreate(Db2GlobalSems* sems, int devices) {
  if (sems == nullptr || devices < 1 || devices > kMaxSessions) return -1;
  sems->globalLock = DB2SemCreate(DB2GlobalLockPath().c_str(), 0, 1, 0);
  sems->device = DB2SemCreate(DB2DeviceSemPath().c_str(), 0, 0, 0);
  if (sems->globalLock == -1 || sems->device == -1 ||
      CmnSemRelease(sems->device, devices, kHandOff) != 0) {
    DbgPlain(kDbgUnexpected, "[DB2GlobalSemsCreate] Can not create the global semaphores");
    DB2GlobalSemsDelete(sems);
    return -1;
  }
  return 0;
}

void DB2GlobalSemsDelete(Db2GlobalSems* sems) {
  if (sems == nullptr) return;
  if (sems->globalLock != -1) CmnSemDelete(sems->globalLock);
  if (sems->device != -1) CmnSemDelete(sems->device);
  sems->globalLock = -1;
  sems->device = -1;
}

int DB2DeviceAcquire(const Db2GlobalSems* sems) {
  if (sems == nullptr || sems->device == -1) return -1;
  return CmnSemWait(sems->device, 1, kCmnSemForever, kHandOff) == 0 ? 0 : -1;
}

int DB2DeviceWait(const Db2GlobalSems* sems, unsigned timeoutMs) {
  if (sems == nullptr || sems->device == -1) return -1;
  const int rc = CmnSemWait(sems->device, 1, timeoutMs, kHandOff);
  return rc == 0 || rc == -2 ? rc : -1;
}

int DB2DeviceRelease(const Db2GlobalSems* sems, int n) {
  if (sems == nullptr || sems->device == -1 || n < 0 || n > kMaxSessions) return -1;
  return CmnSemRelease(sems->device, n, kHandOff) == 0 ? 0 : -1;
}

int DB2DeviceTopUp(const Db2GlobalSems* sems, int free) {
  if (sems == nullptr || sems->device == -1) return -1;
  const int value = ::semctl(sems->device, 0, GETVAL);
  if (value < 0) return -1;
  const int missing = std::min(free, kMaxSessions) - value;
  if (missing <= 0) return 0;
  return DB2DeviceRelease(sems, missing) == 0 ? missing : -1;
}

int DB2NodeSemsCreate(int node) {
  NodeSets sets;
  sets.fill(-1);
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i) {
    sets[i] = DB2SemCreate(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), node, 0, 0);
    if (sets[i] == -1) {
      DbgPlain(kDbgUnexpected, "[DB2NodeSemsCreate] node %d: Can not create semaphore %d", node, i);
      DeleteAll(sets);
      return -1;
    }
  }
  return 0;
}

int BackupCoordinator(void* argument) {
  static const char kFn[] = "BackupCoordinator";
  const auto* arg = static_cast<const BackupCoordinatorArg*>(argument);
  DB2StartForkedTask("DB2_BC");
  if (!ValidArg(arg)) {
    DbgPlain(kDbgUnexpected, "[%s] Invalid argument", kFn);
    return 0;
  }
  const int node = arg->node;
  const int n = arg->sessions;

  Db2GlobalSems global;
  global.device = DB2SemOpen(DB2DeviceSemPath().c_str(), 0);
  global.globalLock = DB2SemOpen(DB2GlobalLockPath().c_str(), 0);
  NodeSets sets;
  const bool nodeSets = OpenAll(node, &sets);
  if (global.device == -1 || global.globalLock == -1) {
    DbgPlain(kDbgUnexpected,
             "[%s] Can not initialize semaphores for balancing. Backup will proceed without load "
             "balancing",
             kFn);
    ErhFullReportPacked(kFn, 0, NlsPackMessage(kDb2MsgSet, kDb2MsgUnpaced));
    DB2GlobalSemsDelete(&global);
    DeleteAll(sets);
    return 0;
  }
  if (!nodeSets) {
    // The partition task made these sets before it forked us; missing now,
    // they were deleted because the backup already ended. The device is free.
    DbgPlain(kLevel, "[%s] node %d: semaphores of the node are gone, no pacing", kFn, node);
    CmnSemRelease(global.device, 1, kHandOff);
    DeleteAll(sets);
    return 0;
  }

  const int ready = sets[DB2_SEM_LIB_READY];
  const int seconds = DB2PaceTimeout();
  bool holding = false;
  bool ok = true;
  bool timedOut = false;
  // Every wait ends early once the partition task is gone: a task that died
  // deletes nothing, so its end counts as the sets' end. The waits for the
  // node's sessions have no limit of their own: they end when the task
  // deletes the node's sets after its backup call. A zero `timeout` is none.
  const pid_t task = arg->task > 0 ? arg->task : getppid();
  bool taskGone = false;
  auto waitWhileTaskLives = [&](int id, int count, CmnSemUndo undo, unsigned timeout) {
    for (unsigned waited = 0;;) {
      const unsigned slice =
          timeout == 0 ? kParentCheckMs : std::min(kParentCheckMs, timeout - waited);
      const int r = CmnSemWait(id, count, slice, undo);
      if (r != -2) return r;
      waited += slice;
      if (getppid() != task) {
        DbgPlain(kLevel, "[%s] node %d: the partition task %d is gone", kFn, node,
                 static_cast<int>(task));
        taskGone = true;
        return -1;
      }
      if (timeout != 0 && waited >= timeout) return -2;
    }
  };
  auto waitFor = [&](int id, int count, CmnSemUndo undo, unsigned timeout) {
    if (!ok) return false;
    const int r = waitWhileTaskLives(id, count, undo, timeout);
    timedOut = r == -2;
    ok = r == 0;
    return ok;
  };
  auto waitForSessions = [&](int count) {
    if (!ok) return false;
    ok = waitWhileTaskLives(ready, count, kHandOff, 0) == 0;
    return ok;
  };
  auto release = [&](int id, int count, CmnSemUndo undo) {
    ok = ok && CmnSemRelease(id, count, undo) == 0;
    return ok;
  };
  auto phase = [&](const char* what, const char* lockText, Db2NodeSem can, Db2NodeSem finished) {
    DbgPlain(kLevel, "[%s] node %d: Wait for library is ready for %s", kFn, node, what);
    if (!waitForSessions(1)) return;
    DbgPlain(kLevel, "[%s] node %d: GlobalLock - no action on other node is %s", kFn, node,
             lockText);
    if (!waitFor(global.globalLock, 1, kLock, Milliseconds(seconds, kLockWaitFactor))) return;
    holding = true;
    DbgPlain(kLevel, "[%s] node %d: Allow current node to start %s", kFn, node, what);
    if (!release(sets[can], n, kHandOff)) return;
    DbgPlain(kLevel, "[%s] node %d: Wait until all %s is finished", kFn, node, what);
    if (!waitFor(sets[finished], n, kHandOff, Milliseconds(seconds, 1))) return;
    DbgPlain(kLevel, "[%s] node %d: Release global semaphore", kFn, node);
    holding = false;
    release(global.globalLock, 1, kLock);
  };

  phase("StartObjectBackup", "allowed", DB2_SEM_START_CAN, DB2_SEM_FINISHED_START);
  // The start-phase readiness of the other sessions.
  waitForSessions(n - 1);
  phase("EndObjectBackup", "alloed", DB2_SEM_END_CAN, DB2_SEM_FINISHED_END);
  if (timedOut) {
    // A session that died, or another node that does not let go: other
    // nodes get GlobalLock, and this node's sessions go on unpaced (their
    // waits fail when the sets go below) rather than wait for nobody.
    DbgPlain(kDbgUnexpected, "[%s] node %d: waited %d seconds in vain, pacing ends", kFn, node,
             seconds);
    ErhFullReportPacked(kFn, kErhWarning,
                        NlsPackMessage(kDb2MsgSet, kDb2MsgPaceGaveUp, node, seconds));
  } else if (!ok && !taskGone) {
    DbgPlain(kLevel, "[%s] node %d: semaphores of the node are gone, pacing ends", kFn, node);
  }
  if (!ok && holding) CmnSemRelease(global.globalLock, 1, kLock);
  if (CmnSemRelease(global.device, 1, kHandOff) == 0)
    DbgPlain(kLevel, "[%s] Release semaphore sem_dev on value 1", kFn);
  DeleteAll(sets);
  return 0;
}

int SemaphoreDelete(void* argument) {
  const auto* arg = static_cast<const BackupCoordinatorArg*>(argument);
  if (arg == nullptr) return 0;
  NodeSets sets;
  OpenAll(arg->node, &sets);
  DeleteAll(sets);
  return 0;
}

int DB2PaceStartBegin(Db2PaceState* state) {
  return PhaseBegin(state, DB2_SEM_START_CAN, DB2_SEM_FINISHED_START, DB2_PACE_STARTING,
                    "StartObjectBackup");
}

void DB2PaceStartEnd(Db2PaceState* state) {
  PhaseEnd(state, DB2_SEM_FINISHED_START, DB2_PACE_STARTED);
}

int DB2PaceEndBegin(Db2PaceState* state) {
  return PhaseBegin(state, DB2_SEM_END_CAN, DB2_SEM_FINISHED_END, DB2_PACE_ENDING,
                    "EndObjectBackup");
}

void DB2PaceEndEnd(Db2PaceState* state) {
  PhaseEnd(state, DB2_SEM_FINISHED_END, DB2_PACE_ENDED);
}

void DB2PaceWithdraw(Db2PaceState* state) {
  const int node = state->node;
  switch (state->phase) {
    case DB2_PACE_NONE:
      // Readiness for both phases, and counted as started and ended; the
      // permits meant for this session stay unused until the sets go.
      CountOut(node, DB2_SEM_LIB_READY, 2);
      CountOut(node, DB2_SEM_FINISHED_START, 1);
      CountOut(node, DB2_SEM_FINISHED_END, 1);
      break;
    case DB2_PACE_STARTING: DB2PaceStartEnd(state); [[fallthrough]];
    case DB2_PACE_STARTED:
      CountOut(node, DB2_SEM_LIB_READY, 1);
      CountOut(node, DB2_SEM_FINISHED_END, 1);
      break;
    case DB2_PACE_ENDING: DB2PaceEndEnd(state); break;
    default: break;
  }
  state->paced = 0;
  state->phase = DB2_PACE_ENDED;
}
