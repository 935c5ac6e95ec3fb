// Node semaphores: the agent's partition backups, their coordinators and the
// vendor sessions inside DB2 pace the start and the end of each object backup
// through one-semaphore System V sets found by install paths and the node.
//
// Who creates what:
//   the agent, per database:      GlobalLock (1) and sem_dev (0, then the
//                                 device count), deleted after all partitions;
//   the partition task, per node: the five node sets (0), before it forks the
//                                 coordinator, and SemaphoreDelete after the
//                                 backup call returned;
//   the coordinator:              opens all seven, deletes the node's five
//                                 when it ends.
// Permits that travel between processes (sem_dev and the node sets) are taken
// and given without undo; only GlobalLock, taken and given by the same
// coordinator, uses undo, so a coordinator that dies holding it frees it.
//
// Two backups on one host (two databases, or two instances of one install)
// meet on the same keys. A set of our own beside them, keyed on the
// agent's path with id 1, says who holds what, through counts made with
// undo, so a run that dies lets go of its holds by itself: the runs that
// hold GlobalLock and sem_dev (the first makes them, later ones join them,
// the last one to leave deletes them), and for each node key the one
// partition backup that holds the node's five sets. Their counts are the
// handshake between one coordinator and its own sessions, so a second
// partition of the same number waits until the first has deleted them and
// then makes them new. Sets that nobody holds were left by a run that died:
// the next run that needs them makes them new, and a coordinator whose task
// died deletes them.
//
// No wait of one partition's processes may hold another partition up for
// ever: a coordinator keeps GlobalLock at most DB2PaceTimeout() seconds for
// one phase and waits at most twice that to get it; then it stops pacing its
// node (the node's sets go, its sessions go on unpaced). A session waits for
// its permit at most four times as long (the longest a live coordinator
// takes to give it); then its coordinator is taken for dead and the session
// fails. A partition waits as long for the node's sets another backup
// holds, then goes on unpaced. Waits that hold nothing another partition
// needs (for the node's sessions to arrive, for the data to flow) are not
// bounded: they end with the backup call, when the partition task deletes
// the node's sets, or with the partition task itself when it dies before it
// could.
#pragma once

#include <sys/types.h>

#include <string>

// The five sets of a node, in the order the coordinator uses them.
enum Db2NodeSem : int {
  DB2_SEM_LIB_READY = 0,       // sessions ready to start (or end) their object
  DB2_SEM_START_CAN = 1,       // permits to start the object
  DB2_SEM_FINISHED_START = 2,  // sessions that started their object
  DB2_SEM_END_CAN = 3,         // permits to end the object
  DB2_SEM_FINISHED_END = 4,    // sessions that ended their object
  DB2_NODE_SEM_COUNT = 5,
};

// Key paths under the install root (the path must exist for a key).
std::string DB2NodeSemPath(Db2NodeSem which);
std::string DB2GlobalLockPath();  // <lbin>/kestrel, id 0
std::string DB2DeviceSemPath();   // <lbin>/plover, id 0

// The setting that bounds the waits of the pacing, in seconds (1 to 86400).
inline constexpr char kDb2PaceTimeoutVariable[] = "VEKDB2PACETIMEOUT";
inline constexpr int kDb2PaceTimeoutDefault = 3600;
// The longest a coordinator holds GlobalLock for one phase, in seconds: the
// setting, or its default when unset or out of range.
int DB2PaceTimeout();

// CmnSemCreate and CmnSemOpen: the set of (path, id); -1 on failure.
int DB2SemCreate(const char* path, int id, int value, int flags);
int DB2SemOpen(const char* path, int id);

// ---- agent side, per database
struct Db2GlobalSems {
  int globalLock = -1;
  int device = -1;
  pid_t holder = 0;  // the process whose hold DB2GlobalSemsCreate took
};
// Takes a hold of GlobalLock and sem_dev: makes them (1 and 0) when no live
// run holds them, else joins them as they are; then releases `devices` (1
// or more) into sem_dev. 0; -1 when they could not be set up (no hold then).
int DB2GlobalSemsCreate(Db2GlobalSems* sems, int devices);
// Gives up the hold (the last holder deletes both sets) and marks them
// invalid; sets opened without a hold are only marked.
void DB2GlobalSemsDelete(Db2GlobalSems* sems);
// "" when GlobalLock and sem_dev can be opened; else why not, for a report.
std::string DB2GlobalSemsProblem();
// The report of partition `node` of `database` backed up without pacing,
// `cause` saying why (DB2GlobalSemsProblem, DB2NodeSemsCreate's `why`).
std::string DB2UnpacedText(int node, const std::string& database, const std::string& cause);
// Takes one device from sem_dev without undo (a coordinator gives it
// back), waiting at most `timeoutMs`: 0 taken, -2 none came free in time,
// -1 the set is gone (run unpaced).
int DB2DeviceWait(const Db2GlobalSems* sems, unsigned timeoutMs);
// Gives `n` devices back to sem_dev at once (0 gives none). 0; -1 when the
// set is gone.
int DB2DeviceRelease(const Db2GlobalSems* sems, int n);
// Raises the free devices to at least `free`, for devices whose holders
// ended without giving them back. The number added; -1 when the set is gone.
int DB2DeviceTopUp(const Db2GlobalSems* sems, int free);

// ---- partition task and coordinator
// What the coordinator and SemaphoreDelete are given: the node, the
// number of DB2 sessions of its backup (1 to 32767), the partition task
// that forks the coordinator (0: the coordinator's parent when it starts,
// which a task that dies at once may no longer be) and the database, for
// reports (may be null; must outlive the coordinator's start).
struct BackupCoordinatorArg {
  int node;
  int sessions;
  pid_t task = 0;
  const char* database = nullptr;
};
// Takes the hold of the node's five sets for this process, waiting while
// another partition backup of the same node key holds them (at most four
// times DB2PaceTimeout()), and makes them new with value 0. 0; -1 when they
// could not be set up, with the cause in `why` (when given): a missing key
// path, a failed set, or the other backup's hold (nothing is held then).
int DB2NodeSemsCreate(int node, std::string* why = nullptr);
// The coordinator task ("BackupCoordinator"): `arg` is a
// BackupCoordinatorArg. Lets the node's sessions start together, then end
// together, each phase under GlobalLock, gives the device back to sem_dev and
// deletes the node's sets. When a node set is gone (the backup already ended)
// it stops pacing, frees GlobalLock if it held it and gives the device back;
// when its sessions or GlobalLock keep it waiting past its bound it does the
// same and reports that the node goes on unpaced; when a global set is
// missing it reports that the backup runs unpaced and deletes the global
// sets. Returns 0.
int BackupCoordinator(void* arg);
// Deletes the node's five sets (those that exist); a coordinator waiting on
// one of them fails out of the wait. The hold of this process on them, when
// it has one, goes as well. Returns 0.
int SemaphoreDelete(void* arg);

// ---- vendor session side
enum Db2PacePhase : int {
  DB2_PACE_NONE = 0,      // no handshake yet
  DB2_PACE_STARTING = 1,  // start permit taken, object start under way
  DB2_PACE_STARTED = 2,   // start handshake done
  DB2_PACE_ENDING = 3,    // end permit taken, object end under way
  DB2_PACE_ENDED = 4,     // both handshakes done
};
// One per session; set `node` before the first call.
struct Db2PaceState {
  int node = 0;
  int phase = DB2_PACE_NONE;
  int paced = 0;  // 1 while the current phase runs under the coordinator
};
// Announces readiness and waits for the permit to start the object. 1 paced;
// 0 unpaced (the sets are missing or vanished in the wait); -1 when no permit
// came in time (reported): the session must fail, and still counts itself
// as started with DB2PaceStartEnd.
int DB2PaceStartBegin(Db2PaceState* state);
// After the object start, succeeded or not: counts this session as started.
void DB2PaceStartEnd(Db2PaceState* state);
// The same two steps for the end of the object; after -1 the object must
// end in failure.
int DB2PaceEndBegin(Db2PaceState* state);
void DB2PaceEndEnd(Db2PaceState* state);
// A session that gives up (before its start handshake, or after a failed
// object start) counts itself out of whatever handshake steps it has not
// made, without waiting, so its node's coordinator and sessions go on.
void DB2PaceWithdraw(Db2PaceState* state);
