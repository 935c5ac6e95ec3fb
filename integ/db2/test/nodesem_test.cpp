// Node semaphores across processes: an agent, its partition tasks, their
// coordinators and two or three session processes per node pace object
// starts and ends; failed sessions, fast-failing backups and a coordinator
// that dies holding the global lock end every run, and no set is left.
#include "db2/nodesem.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "cmn/sem.h"
#include "cmn/sysio.h"
#include "tarn_test.h"
#include "task/task.h"

namespace {

using tarn::test::ChildProcess;

constexpr unsigned kWatchdogSeconds = 60;

enum SessionFault { kHealthy, kFailsBeforeStart, kObjectStartFails, kDiesWithItsPermit };

int Value(int set) {
  return semctl(set, 0, GETVAL);
}

void Pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The set that says which run holds which sets, and the semaphore of a
// node's hold in it.
unsigned HoldsKey() {
  return static_cast<unsigned>(ftok(DB2GlobalLockPath().c_str(), 2));
}
int HoldsSet() {
  return semget(static_cast<key_t>(HoldsKey()), 0, 0);
}
constexpr int kNodeHoldBase = 2;

// Every ftok key the tests of one root may use, and those `ipcs` still lists.
std::set<unsigned> OurKeys(int nodes) {
  std::set<unsigned> keys;
  for (const std::string& path : {DB2GlobalLockPath(), DB2DeviceSemPath()})
    keys.insert(static_cast<unsigned>(ftok(path.c_str(), 1)));
  keys.insert(HoldsKey());
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i)
    for (int node = 0; node < nodes; ++node)
      keys.insert(static_cast<unsigned>(
          ftok(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), node + 1)));
  return keys;
}

std::set<unsigned> IpcsKeys() {
  std::set<unsigned> keys;
  FILE* p = popen("ipcs -s 2>/dev/null", "r");
  if (p == nullptr) return keys;
  char line[512];
  unsigned key = 0;
  while (std::fgets(line, sizeof line, p) != nullptr)
    if (std::sscanf(line, "0x%x", &key) == 1) keys.insert(key);
  pclose(p);
  return keys;
}

class NodeSemTest : public ::testing::Test {
 protected:
  static constexpr int kNodes = 2;

  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    root_.writeKeyPrograms();
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("nodesemtest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    log_ = root_.at("/var/opt/tarn/tmp/pace.log");
  }

  void TearDown() override {
    // Anything still there is a failure; the guard removes it all the same.
    tarn::test::SysVGuard guard;
    for (int id :
         {DB2SemOpen(DB2GlobalLockPath().c_str(), 0), DB2SemOpen(DB2DeviceSemPath().c_str(), 0)}) {
      if (id != -1) {
        ADD_FAILURE() << "global set left";
        guard.semaphore(id);
      }
    }
    for (int node = 0; node < kNodes; ++node) {
      for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i) {
        const int id = DB2SemOpen(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), node);
        if (id != -1) {
          ADD_FAILURE() << "set " << i << " of node " << node << " left";
          guard.semaphore(id);
        }
      }
    }
    const std::set<unsigned> listed = IpcsKeys();
    for (unsigned key : OurKeys(kNodes)) EXPECT_EQ(listed.count(key), 0u) << std::hex << key;
  }

  void Note(const char* what, int node) const {
    const std::string line = std::string(what) + std::to_string(node) + "\n";
    const int fd = open(log_.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) return;
    [[maybe_unused]] auto n = write(fd, line.data(), line.size());
    close(fd);
  }

  // A vendor session: 0 when it was paced in every phase it took part in.
  int Session(int node, SessionFault fault) const {
    Db2PaceState pace;
    pace.node = node;
    if (fault == kFailsBeforeStart) {
      DB2PaceWithdraw(&pace);
      return 0;
    }
    int paced = DB2PaceStartBegin(&pace);
    if (fault == kDiesWithItsPermit) return 0;  // never counted as started
    Note("S", node);
    Pause(15);
    DB2PaceStartEnd(&pace);
    if (fault == kObjectStartFails) {
      DB2PaceWithdraw(&pace);
      return paced == 1 ? 0 : 3;
    }
    Pause(20);
    paced &= DB2PaceEndBegin(&pace);
    Note("E", node);
    Pause(15);
    DB2PaceEndEnd(&pace);
    return paced == 1 ? 0 : 3;
  }

  // A partition backup task: makes the node's sets, forks the coordinator
  // and the sessions (DB2's backup call), deletes the sets, reaps.
  int Partition(int node, const std::vector<SessionFault>& sessions) const {
    if (DB2NodeSemsCreate(node) != 0) return 2;
    BackupCoordinatorArg arg{node, static_cast<int>(sessions.size())};
    Task coordinator{};
    TaskInit(&coordinator);
    if (TaskRun(&coordinator, BackupCoordinator, &arg, "BackupCoordinator") != 0) return 3;
    int result = 0;
    {
      std::vector<ChildProcess> children;
      for (SessionFault fault : sessions)
        children.emplace_back([this, node, fault] { return Session(node, fault); });
      for (ChildProcess& child : children)
        if (child.ExitCode(kWatchdogSeconds) != 0) result = 4;
    }
    SemaphoreDelete(&arg);
    if (TaskWait(&coordinator, 0, -1) != 0 || coordinator.status != 0) result = 5;
    return result;
  }

  // The agent: global sets, one device per partition in progress. Each
  // partition task's exit code is checked against `codes` (0 when not given).
  void RunBackup(int devices, const std::vector<std::vector<SessionFault>>& nodes,
                 const std::vector<int>& codes = {}) {
    Db2GlobalSems global;
    ASSERT_EQ(DB2GlobalSemsCreate(&global, devices), 0);
    tarn::test::SysVGuard guard;
    std::vector<ChildProcess> partitions;
    for (int node = 0; node < static_cast<int>(nodes.size()); ++node) {
      ASSERT_EQ(DB2DeviceWait(&global, 30000), 0);
      const std::vector<SessionFault> sessions = nodes[node];
      partitions.emplace_back([this, node, sessions] { return Partition(node, sessions); },
                              kWatchdogSeconds);
    }
    for (std::size_t i = 0; i < partitions.size(); ++i)
      EXPECT_EQ(partitions[i].ExitCode(kWatchdogSeconds), i < codes.size() ? codes[i] : 0)
          << "partition " << i;
    // Every device came back, and stays back after the coordinators ended.
    EXPECT_EQ(Value(global.device), devices);
    EXPECT_EQ(Value(global.globalLock), 1);
    DB2GlobalSemsDelete(&global);
  }

  // The log's runs of equal lines, e.g. {"S0", 3}, {"E0", 3}, ...
  std::vector<std::pair<std::string, int>> Runs() const {
    std::vector<std::pair<std::string, int>> runs;
    const std::string text = root_.read("/var/opt/tarn/tmp/pace.log");
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      at = end + 1;
      if (!runs.empty() && runs.back().first == line)
        ++runs.back().second;
      else
        runs.emplace_back(line, 1);
    }
    return runs;
  }

  tarn::test::TempRoot root_;
  std::string log_;
};

TEST_F(NodeSemTest, SessionsOfANodeStartAndEndTogetherOneNodeAtATime) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  for (int devices : {1, 2}) {
    for (int sessions : {2, 3}) {
      SCOPED_TRACE("devices " + std::to_string(devices) + ", sessions " + std::to_string(sessions));
      std::remove(log_.c_str());
      const std::vector<SessionFault> node(sessions, kHealthy);
      ASSERT_NO_FATAL_FAILURE(RunBackup(devices, {node, node}));
      const auto runs = Runs();
      // Every phase of every node is one unbroken run of all its sessions.
      ASSERT_EQ(runs.size(), 4u);
      std::set<std::string> phases;
      for (const auto& [what, count] : runs) {
        EXPECT_EQ(count, sessions) << what;
        phases.insert(what);
      }
      EXPECT_EQ(phases, (std::set<std::string>{"S0", "E0", "S1", "E1"}));
      if (devices == 1) {
        // One device: the second partition waits until the first gave it back.
        EXPECT_EQ(runs[0].first.substr(1), runs[1].first.substr(1));
        EXPECT_EQ(runs[2].first.substr(1), runs[3].first.substr(1));
      }
    }
  }
}

TEST_F(NodeSemTest, OneSessionPerNodeNeedsNoFurtherReadiness) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  ASSERT_NO_FATAL_FAILURE(RunBackup(1, {{kHealthy}, {kHealthy}}));
  EXPECT_EQ(Runs().size(), 4u);
}

TEST_F(NodeSemTest, AFailedSessionDoesNotHoldUpTheOthers) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  // Node 0: one session gives up before its start handshake; node 1: one
  // session's object start fails after its permit.
  ASSERT_NO_FATAL_FAILURE(
      RunBackup(1, {{kHealthy, kFailsBeforeStart, kHealthy}, {kObjectStartFails, kHealthy}}));
  int starts0 = 0, ends0 = 0, starts1 = 0, ends1 = 0;
  for (const auto& [what, count] : Runs()) {
    (what == "S0" ? starts0 : what == "E0" ? ends0 : what == "S1" ? starts1 : ends1) += count;
  }
  EXPECT_EQ(starts0, 2);
  EXPECT_EQ(ends0, 2);
  EXPECT_EQ(starts1, 2);
  EXPECT_EQ(ends1, 1);
}

// A session of node 0 dies holding its start permit while its coordinator
// holds GlobalLock waiting for it. At its bound the coordinator lets go: node
// 1 is paced as if nothing happened, node 0's other session ends unpaced.
TEST_F(NodeSemTest, ASessionThatDiesWithItsPermitDoesNotHoldTheOtherNodesUp) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  setenv(kDb2PaceTimeoutVariable, "2", 1);
  ASSERT_NO_FATAL_FAILURE(
      RunBackup(2, {{kHealthy, kDiesWithItsPermit}, {kHealthy, kHealthy}}, {4, 0}));
  unsetenv(kDb2PaceTimeoutVariable);
  int ends1 = 0;
  for (const auto& [what, count] : Runs()) ends1 += what == "E1" ? count : 0;
  EXPECT_EQ(ends1, 2);
}

// A session whose coordinator is gone (its sets stay) waits four bounds for
// each permit, then fails its phase and still counts itself out.
TEST_F(NodeSemTest, ASessionWithoutALiveCoordinatorGivesUpAtItsBound) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  CmnSemForcePolling(1);
  setenv(kDb2PaceTimeoutVariable, "600", 1);
  ASSERT_EQ(DB2NodeSemsCreate(0), 0);
  int sets[DB2_NODE_SEM_COUNT];
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i)
    sets[i] = DB2SemOpen(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), 0);
  Db2PaceState pace;
  pace.node = 0;
  const auto start = clock.Now();
  EXPECT_EQ(DB2PaceStartBegin(&pace), -1);
  EXPECT_GE(clock.Now() - start, std::chrono::seconds(2400));
  DB2PaceStartEnd(&pace);
  EXPECT_EQ(Value(sets[DB2_SEM_FINISHED_START]), 1);
  EXPECT_EQ(DB2PaceEndBegin(&pace), -1);
  DB2PaceEndEnd(&pace);
  EXPECT_EQ(Value(sets[DB2_SEM_LIB_READY]), 2);
  EXPECT_EQ(Value(sets[DB2_SEM_FINISHED_END]), 1);
  EXPECT_EQ(pace.phase, DB2_PACE_ENDED);
  unsetenv(kDb2PaceTimeoutVariable);
  CmnSemForcePolling(0);
  BackupCoordinatorArg arg{0, 1};
  SemaphoreDelete(&arg);
}

TEST_F(NodeSemTest, ABackupThatEndedBeforeItsCoordinatorRanGivesTheDeviceBack) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  Db2GlobalSems global;
  ASSERT_EQ(DB2GlobalSemsCreate(&global, 1), 0);
  ASSERT_EQ(DB2DeviceWait(&global, 30000), 0);
  BackupCoordinatorArg arg{0, 2};
  ASSERT_EQ(DB2NodeSemsCreate(0), 0);
  SemaphoreDelete(&arg);  // the backup call failed at once
  ChildProcess late([&] { return BackupCoordinator(&arg); });
  EXPECT_EQ(late.ExitCode(kWatchdogSeconds), 0);
  EXPECT_EQ(Value(global.device), 1);

  // A coordinator waiting for its sessions when the task deletes the sets.
  ASSERT_EQ(DB2DeviceWait(&global, 30000), 0);
  ASSERT_EQ(DB2NodeSemsCreate(0), 0);
  ChildProcess waiting([&] { return BackupCoordinator(&arg); });
  Pause(50);
  SemaphoreDelete(&arg);
  EXPECT_EQ(waiting.ExitCode(kWatchdogSeconds), 0);
  EXPECT_EQ(Value(global.device), 1);
  EXPECT_EQ(Value(global.globalLock), 1);
  DB2GlobalSemsDelete(&global);
}

TEST_F(NodeSemTest, ACoordinatorWhosePartitionTaskDiedEndsAndDeletesTheNodesSets) {
  // The task forks its coordinator, then dies (in DB2's backup call) before
  // it could delete the node's sets: before its sessions came, or while the
  // coordinator holds the global lock for a session that took its permit.
  for (const bool permitTaken : {false, true}) {
    SCOPED_TRACE(permitTaken ? "permit taken" : "no session yet");
    tarn::test::Watchdog watchdog(kWatchdogSeconds);
    Db2GlobalSems global;
    ASSERT_EQ(DB2GlobalSemsCreate(&global, 1), 0);
    ASSERT_EQ(DB2DeviceWait(&global, 30000), 0);
    ChildProcess task([permitTaken] {
      if (DB2NodeSemsCreate(0) != 0) return 2;
      BackupCoordinatorArg arg{0, 1, getpid()};
      Task coordinator{};
      TaskInit(&coordinator);
      if (TaskRun(&coordinator, BackupCoordinator, &arg, "BackupCoordinator") != 0) return 3;
      Db2PaceState pace;
      pace.node = 0;
      if (permitTaken && DB2PaceStartBegin(&pace) != 1) return 4;
      _exit(0);
    });
    EXPECT_EQ(task.ExitCode(kWatchdogSeconds), 0);
    int left = 0;
    for (int i = 0; i < 100; ++i) {
      left = DB2SemOpen(DB2NodeSemPath(DB2_SEM_LIB_READY).c_str(), 0);
      if (left == -1) break;
      Pause(50);
    }
    EXPECT_EQ(left, -1) << "the coordinator still waits for the sessions of a dead task";
    EXPECT_EQ(Value(global.globalLock), 1);
    EXPECT_EQ(Value(global.device), 1);
    DB2GlobalSemsDelete(&global);
  }
}

TEST_F(NodeSemTest, ACoordinatorThatDiesHoldingTheGlobalLockFreesIt) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  Db2GlobalSems global;
  ASSERT_EQ(DB2GlobalSemsCreate(&global, 1), 0);
  ASSERT_EQ(DB2DeviceWait(&global, 30000), 0);
  BackupCoordinatorArg arg{1, 2};
  ASSERT_EQ(DB2NodeSemsCreate(1), 0);
  ChildProcess coordinator([&] { return BackupCoordinator(&arg); });
  Db2PaceState pace;
  pace.node = 1;
  ASSERT_EQ(DB2PaceStartBegin(&pace), 1);  // the coordinator holds the lock now
  EXPECT_EQ(Value(global.globalLock), 0);
  coordinator.Kill();
  EXPECT_EQ(Value(global.globalLock), 1);
  SemaphoreDelete(&arg);
  DB2PaceWithdraw(&pace);  // on vanished sets: nothing to do, nothing fails
  EXPECT_EQ(pace.phase, DB2_PACE_ENDED);
  DB2GlobalSemsDelete(&global);
}

TEST_F(NodeSemTest, WithoutSetsSessionsRunUnpacedAndTheCoordinatorGivesUp) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  Db2PaceState pace;
  pace.node = 0;
  EXPECT_EQ(DB2PaceStartBegin(&pace), 0);
  DB2PaceStartEnd(&pace);
  EXPECT_EQ(DB2PaceEndBegin(&pace), 0);
  DB2PaceEndEnd(&pace);
  EXPECT_EQ(pace.phase, DB2_PACE_ENDED);

  // No global sets: the coordinator deletes the node's sets and returns;
  // the partition task then gives up its hold of them.
  ASSERT_EQ(DB2NodeSemsCreate(0), 0);
  BackupCoordinatorArg arg{0, 2};
  ChildProcess coordinator([&] { return BackupCoordinator(&arg); });
  EXPECT_EQ(coordinator.ExitCode(kWatchdogSeconds), 0);
  EXPECT_EQ(DB2SemOpen(DB2NodeSemPath(DB2_SEM_LIB_READY).c_str(), 0), -1);
  SemaphoreDelete(&arg);
}

TEST_F(NodeSemTest, NodesThatDifferBy256ShareAKey) {
  const std::string path = DB2NodeSemPath(DB2_SEM_LIB_READY);
  EXPECT_EQ(ftok(path.c_str(), 3 + 1), ftok(path.c_str(), 3 + 256 + 1));
  const int a = DB2SemCreate(path.c_str(), 3, 0, 0);
  ASSERT_NE(a, -1);
  tarn::test::SysVGuard guard;
  guard.semaphore(a);
  EXPECT_EQ(DB2SemOpen(path.c_str(), 3 + 256), a);
  EXPECT_EQ(CmnSemDelete(a), 0);
}

// Two runs on one host meet on the same keys. A second run joins the
// global sets as they are and leaves them to the last holder; a second
// partition backup of a node waits while the first holds the node's sets;
// sets whose holder died are made new by the next run.
TEST_F(NodeSemTest, SetsAnotherLiveRunHoldsAreNeitherResetNorDeleted) {
  tarn::test::Watchdog watchdog(kWatchdogSeconds);
  {
    SCOPED_TRACE("global sets");
    Db2GlobalSems first, second;
    ASSERT_EQ(DB2GlobalSemsCreate(&first, 1), 0);
    ASSERT_EQ(CmnSemWait(first.globalLock, 1, 0, CMN_SEM_UNDO), 0);  // a coordinator of it
    ASSERT_EQ(DB2GlobalSemsCreate(&second, 2), 0);
    EXPECT_EQ(second.globalLock, first.globalLock);
    EXPECT_EQ(Value(first.globalLock), 0);  // not reset under the holder
    EXPECT_EQ(Value(first.device), 3);      // both runs' devices
    DB2GlobalSemsDelete(&second);
    EXPECT_EQ(Value(first.globalLock), 0);  // still there for the first run
    ASSERT_EQ(CmnSemRelease(first.globalLock, 1, CMN_SEM_UNDO), 0);
    DB2GlobalSemsDelete(&first);
    EXPECT_EQ(DB2SemOpen(DB2GlobalLockPath().c_str(), 0), -1);

    // A run that dies holding them: the next one makes them new.
    ChildProcess killed([] {
      Db2GlobalSems sems;
      if (DB2GlobalSemsCreate(&sems, 1) != 0 || CmnSemWait(sems.device, 1, 0, CMN_SEM_NO_UNDO) != 0)
        return 2;
      _exit(0);
    });
    ASSERT_EQ(killed.ExitCode(kWatchdogSeconds), 0);
    const int left = DB2SemOpen(DB2DeviceSemPath().c_str(), 0);
    ASSERT_NE(left, -1);
    ASSERT_EQ(DB2GlobalSemsCreate(&first, 1), 0);
    EXPECT_NE(first.device, left);
    EXPECT_EQ(Value(first.device), 1);
    DB2GlobalSemsDelete(&first);
  }
  {
    SCOPED_TRACE("node sets");
    ASSERT_EQ(DB2NodeSemsCreate(0), 0);
    const int ready = DB2SemOpen(DB2NodeSemPath(DB2_SEM_LIB_READY).c_str(), 0);
    ASSERT_EQ(CmnSemRelease(ready, 1, CMN_SEM_NO_UNDO), 0);  // a session of ours is ready
    // Another partition 0 waits for them, and after a bound gives up.
    setenv(kDb2PaceTimeoutVariable, "1", 1);
    ChildProcess bounded([] {
      std::string why;
      return DB2NodeSemsCreate(0, &why) == -1 &&
                     why == "another backup on this host held the semaphores of partition 0 for "
                            "4 seconds"
                 ? 0
                 : 2;
    });
    EXPECT_EQ(bounded.ExitCode(kWatchdogSeconds), 0);
    unsetenv(kDb2PaceTimeoutVariable);
    ChildProcess waits([] {
      if (DB2NodeSemsCreate(0) != 0) return 2;
      _exit(0);  // dies holding them
    });
    for (int i = 0; i < 2000 && semctl(HoldsSet(), kNodeHoldBase, GETZCNT) < 1; ++i) Pause(5);
    EXPECT_EQ(semctl(HoldsSet(), kNodeHoldBase, GETZCNT), 1);
    EXPECT_EQ(Value(ready), 1);  // neither reset nor deleted under us
    BackupCoordinatorArg arg{0, 1};
    SemaphoreDelete(&arg);
    ASSERT_EQ(waits.ExitCode(kWatchdogSeconds), 0);
    // Its sets outlived it; the next run takes them over and deletes them.
    const int stale = DB2SemOpen(DB2NodeSemPath(DB2_SEM_LIB_READY).c_str(), 0);
    ASSERT_NE(stale, -1);
    ASSERT_EQ(DB2NodeSemsCreate(0), 0);
    EXPECT_NE(DB2SemOpen(DB2NodeSemPath(DB2_SEM_LIB_READY).c_str(), 0), stale);
    SemaphoreDelete(&arg);
  }
  EXPECT_EQ(HoldsSet(), -1);
}

}  // namespace
