// Node semaphores: key paths, the coordinator of a partition's sessions and
// the session side of the start and end handshakes.
#include "db2/nodesem.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
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

// ---- holds: the set of our own that says which run holds which sets.
// Semaphore 0 guards every change of a hold and every making or deleting of
// the sets it covers; 1 counts the runs holding GlobalLock and sem_dev;
// 2 + (node & 0xFF) is 1 while a partition backup holds the five sets of the
// node (and of the nodes that share its keys, node + 256 and so on). Every
// change is made with undo.
constexpr int kHoldersId = 1;  // on DB2GlobalLockPath(), whose GlobalLock uses 0
constexpr unsigned short kHoldGuard = 0;
constexpr unsigned short kHoldGlobal = 1;
constexpr unsigned short kHoldNodeBase = 2;
constexpr int kNodeKeys = 256;
constexpr int kHoldSems = kHoldNodeBase + kNodeKeys;
// The guard is held for a few system calls; a holder that died gave it back.
constexpr unsigned kGuardWaitMs = 30000;
// A removed holders' set is made again; a few rounds cover any race.
constexpr int kHoldAttempts = 8;

// Which node holds this process took (a forked child inherits the table but
// not the holds, which the system keeps per process).
std::array<pid_t, kNodeKeys> nodeHolder{};

unsigned short NodeHold(int node) {
  return static_cast<unsigned short>(kHoldNodeBase + (node & 0xFF));
}

sembuf Op(unsigned short num, int op, int flags = SEM_UNDO) {
  sembuf b{};
  b.sem_num = num;
  b.sem_op = static_cast<short>(op);
  b.sem_flg = static_cast<short>(flags);
  return b;
}

// The holders' set, made (all zero) when missing; kHoldersGone when it was
// removed before it could be looked at; -1 when it cannot be, or when the
// key names a set of another size (a key another file shares): its values
// are read whole into a buffer of our size.
constexpr int kHoldersGone = -3;
int HoldersSet() {
  const std::string path = DB2GlobalLockPath();
  const key_t key = ftok(path.c_str(), kHoldersId + 1);
  if (key == static_cast<key_t>(-1)) return -1;
  const int id = semget(key, kHoldSems, IPC_CREAT | 0777);
  if (id < 0) {
    DbgPlain(kLevel, "[DB2Holds] semget of %s: %s", path.c_str(), ErhSysErrnoToText(errno));
    return -1;
  }
  semid_ds ds{};
  if (semctl(id, 0, IPC_STAT, &ds) != 0)
    return errno == EIDRM || errno == EINVAL ? kHoldersGone : -1;
  if (ds.sem_nsems != static_cast<decltype(ds.sem_nsems)>(kHoldSems)) {
    DbgPlain(kDbgUnexpected, "[DB2Holds] the set of key 0x%x on %s has %lu semaphores, not %d",
             static_cast<unsigned>(key), path.c_str(), static_cast<unsigned long>(ds.sem_nsems),
             kHoldSems);
    errno = EEXIST;
    return -1;
  }
  return id;
}

// Makes `ops` on the holders' set, making the set again when it was removed
// in between. The set's id, -2 when they could not be made within
// `timeoutMs`, -1 on failure.
int HoldersOperate(sembuf* ops, std::size_t count, unsigned timeoutMs) {
  for (int attempt = 0; attempt < kHoldAttempts; ++attempt) {
    const int id = HoldersSet();
    if (id == kHoldersGone) continue;
    if (id == -1) return -1;
    const int rc = CmnSemOperate(id, ops, count, timeoutMs);
    if (rc == 0) return id;
    if (rc == -2) return -2;
    if (errno != EIDRM && errno != EINVAL) return -1;
  }
  return -1;
}

// Takes the guard: the holders' set id, or -1.
int GuardTake() {
  sembuf ops[] = {Op(kHoldGuard, 0, 0), Op(kHoldGuard, 1)};
  const int id = HoldersOperate(ops, 2, kGuardWaitMs);
  return id >= 0 ? id : -1;
}

int HoldValue(int holders, unsigned short which) {
  return semctl(holders, which, GETVAL);
}

// Gives the guard back, or removes the holders' set when it holds nothing
// any more (waiters for the guard then make it again).
void GuardGive(int holders) {
  std::array<unsigned short, kHoldSems> values{};
  if (semctl(holders, 0, GETALL, values.data()) == 0 &&
      std::all_of(values.begin() + 1, values.end(), [](unsigned short v) { return v == 0; })) {
    CmnSemDelete(holders);
    return;
  }
  sembuf op = Op(kHoldGuard, -1);
  CmnSemOperate(holders, &op, 1, 0);
}

void ChangeHold(int holders, unsigned short which, int by) {
  sembuf op = Op(which, by);
  CmnSemOperate(holders, &op, 1, 0);
}

void DeleteByKey(const std::string& path, int id) {
  const int set = DB2SemOpen(path.c_str(), id);
  if (set != -1) CmnSemDelete(set);
}

void DeleteNodeSets(int node) {
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i)
    DeleteByKey(DB2NodeSemPath(static_cast<Db2NodeSem>(i)), node);
}

void DeleteGlobalSets() {
  DeleteByKey(DB2GlobalLockPath(), 0);
  DeleteByKey(DB2DeviceSemPath(), 0);
}

// Gives up this process's hold of the node's sets (they are deleted already).
void ReleaseNodeHold(int node) {
  if (nodeHolder[static_cast<std::size_t>(node & 0xFF)] != getpid()) return;
  nodeHolder[static_cast<std::size_t>(node & 0xFF)] = 0;
  const int holders = GuardTake();
  if (holders == -1) return;  // the system gives the hold up when we end
  ChangeHold(holders, NodeHold(node), -1);
  GuardGive(holders);
}

// Deletes the sets of `node` and the global ones when no live run holds
// them: what a run that died left behind.
void SweepUnheld(int node) {
  const int holders = GuardTake();
  if (holders == -1) return;
  if (HoldValue(holders, kHoldGlobal) == 0) DeleteGlobalSets();
  if (HoldValue(holders, NodeHold(node)) == 0) DeleteNodeSets(node);
  GuardGive(holders);
}

// Why the set `name` keyed on `path` is not there: its key path is missing,
// or else `otherwise`.
std::string SetProblem(const char* name, const std::string& path, const std::string& otherwise) {
  if (access(path.c_str(), F_OK) != 0)
    return std::string("the key path ") + path + " of " + name + " is missing";
  return otherwise;
}

constexpr const char* kNodeSemNames[DB2_NODE_SEM_COUNT] = {
    "libReady", "canStart (start phase)", "finishedStart", "canStart (end phase)", "finishedEnd"};

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
  static const char kFn[] = "DB2GlobalSemsCreate";
  if (sems == nullptr || devices < 1 || devices > kMaxSessions) return -1;
  *sems = Db2GlobalSems{};
  const int holders = GuardTake();
  if (holders == -1) {
    DbgPlain(kDbgUnexpected, "[%s] Can not take a hold of the global semaphores", kFn);
    return -1;
  }
  const bool first = HoldValue(holders, kHoldGlobal) == 0;
  if (first) {
    // Sets nobody holds were left by a run that died: made new, not reset
    // under a process of that run that may still use them.
    DeleteGlobalSets();
    sems->globalLock = DB2SemCreate(DB2GlobalLockPath().c_str(), 0, 1, 0);
    sems->device = DB2SemCreate(DB2DeviceSemPath().c_str(), 0, 0, 0);
  } else {
    sems->globalLock = DB2SemOpen(DB2GlobalLockPath().c_str(), 0);
    sems->device = DB2SemOpen(DB2DeviceSemPath().c_str(), 0);
  }
  if (sems->globalLock == -1 || sems->device == -1) {
    DbgPlain(kDbgUnexpected, "[%s] Can not create the global semaphores", kFn);
    if (first) DeleteGlobalSets();
    GuardGive(holders);
    *sems = Db2GlobalSems{};
    return -1;
  }
  ChangeHold(holders, kHoldGlobal, 1);
  GuardGive(holders);
  sems->holder = getpid();
  if (CmnSemRelease(sems->device, devices, kHandOff) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] Can not release the devices", kFn);
    DB2GlobalSemsDelete(sems);
    return -1;
  }
  return 0;
}

void DB2GlobalSemsDelete(Db2GlobalSems* sems) {
  if (sems == nullptr) return;
  if (sems->holder == getpid()) {
    const int holders = GuardTake();
    if (holders != -1) {
      ChangeHold(holders, kHoldGlobal, -1);
      if (HoldValue(holders, kHoldGlobal) == 0) DeleteGlobalSets();
      GuardGive(holders);
    }
  }
  *sems = Db2GlobalSems{};
}

std::string DB2GlobalSemsProblem() {
  const std::pair<const char*, std::string> sets[] = {{"GlobalLock", DB2GlobalLockPath()},
                                                      {"sem_dev", DB2DeviceSemPath()}};
  for (const auto& [name, path] : sets)
    if (DB2SemOpen(path.c_str(), 0) == -1)
      return SetProblem(name, path, std::string(name) + " could not be set up");
  return std::string();
}

std::string DB2UnpacedText(int node, const std::string& database, const std::string& cause) {
  return "Partition " + std::to_string(node) + " of database " + database +
         " is backed up without pacing: " + cause + ".";
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

int DB2NodeSemsCreate(int node, std::string* why) {
  static const char kFn[] = "DB2NodeSemsCreate";
  auto fail = [&](std::string text) {
    DbgPlain(kDbgUnexpected, "[%s] node %d: %s", kFn, node, text.c_str());
    if (why != nullptr) *why = std::move(text);
    return -1;
  };
  if (node < 0) return fail("no such node");
  const unsigned short hold = NodeHold(node);
  // The guard must be free as well: it is held while the holders' set is
  // looked over for removal.
  sembuf take[] = {Op(kHoldGuard, 0, 0), Op(hold, 0, 0), Op(hold, 1)};
  const int seconds = DB2PaceTimeout() * static_cast<int>(kPermitWaitFactor);
  const int holders = HoldersOperate(take, 3, Milliseconds(DB2PaceTimeout(), kPermitWaitFactor));
  if (holders == -2)
    return fail("another backup on this host held the semaphores of partition " +
                std::to_string(node) + " for " + std::to_string(seconds) + " seconds");
  if (holders == -1)
    return fail(SetProblem("the holds", DB2GlobalLockPath(),
                           std::string("the holds of the semaphores could not be taken (") +
                               ErhSysErrnoToText(errno) + ")"));
  nodeHolder[static_cast<std::size_t>(node & 0xFF)] = getpid();
  // Whatever is there was left by a backup that died: made new.
  DeleteNodeSets(node);
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i) {
    const std::string path = DB2NodeSemPath(static_cast<Db2NodeSem>(i));
    if (DB2SemCreate(path.c_str(), node, 0, 0) == -1) {
      const std::string problem = SetProblem(
          kNodeSemNames[i], path,
          std::string(kNodeSemNames[i]) + " could not be made (" + ErhSysErrnoToText(errno) + ")");
      DbgPlain(kDbgUnexpected, "[%s] node %d: Can not create semaphore %d", kFn, node, i);
      DeleteNodeSets(node);
      ReleaseNodeHold(node);
      return fail(problem);
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
    // The partition task found them before it forked us; another run may
    // still hold the one that is left, so nothing global is deleted here.
    if (arg->database != nullptr)
      ErhFullReport(kFn, kErhWarning,
                    DB2UnpacedText(node, arg->database, DB2GlobalSemsProblem()).c_str());
    else
      ErhFullReportPacked(kFn, 0, NlsPackMessage(kDb2MsgSet, kDb2MsgUnpaced));
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
  // A task that died holds nothing any more; with no other live run, what
  // its agent left goes too.
  if (taskGone) SweepUnheld(node);
  return 0;
}

int SemaphoreDelete(void* argument) {
  const auto* arg = static_cast<const BackupCoordinatorArg*>(argument);
  if (arg == nullptr) return 0;
  NodeSets sets;
  OpenAll(arg->node, &sets);
  DeleteAll(sets);
  ReleaseNodeHold(arg->node);
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
