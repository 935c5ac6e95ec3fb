// The vendor library inside the stand-in DB2's own session processes, which
// load the installed libwren_32bit.so the way DB2 does, against the stand-in
// cell server and media agent: paced backups of two partitions with two
// sessions each, the start and end handshakes, deletion (twice in one
// process), a media agent that dies mid-backup, a commit that fails and a
// short options record.
#include <dlfcn.h>
#include <signal.h>
#include <sys/sem.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "db2/engine.h"
#include "db2/nodesem.h"
#include "db2/testing/db2_standin.h"
#include "db2/vendoropts.h"
#include "libwren/vendorapi.h"
#include "libwren_test_util.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"
#include "task/task.h"

namespace {

using tarn::test::ChildProcess;
using namespace wren_test;

int Value(int set) {
  return semctl(set, 0, GETVAL);
}

// True once `done()` holds, checked every 10 ms for up to 10 s.
template <class Done>
bool Eventually(Done done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool WaitForValue(int set, int value) {
  return Eventually([&] { return Value(set) == value; });
}

// True once `count` processes are blocked on `set` waiting for its value to
// rise: sessions held at the gate, which cannot go on until it is released.
bool WaitForWaiters(int set, int count) {
  return Eventually([&] { return semctl(set, 0, GETNCNT) == count; });
}

void Release(int set, int n) {
  sembuf op{0, static_cast<short>(n), 0};
  ASSERT_EQ(semop(set, &op, 1), 0);
}

class WrenDb2Test : public WrenDb2 {};

// A partition backup as the agent runs it: the node's sets, its coordinator,
// DB2's backup call, the sets deleted, the coordinator reaped. 0 when the
// backup and the coordinator succeeded.
int PacedPartition(const WrenDb2& t, int node, int sessions) {
  if (DB2NodeSemsCreate(node) != 0) return 10;
  BackupCoordinatorArg arg{node, sessions};
  Task coordinator{};
  TaskInit(&coordinator);
  if (TaskRun(&coordinator, BackupCoordinator, &arg, "BackupCoordinator") != 0) return 11;
  const db2sim::Result r = t.Backup(node, sessions);
  SemaphoreDelete(&arg);
  int rc = r.sqlcode == 0 ? 0 : 1;
  if (TaskWait(&coordinator, 0, -1) != 0 || coordinator.status != 0) rc = 12;
  return rc;
}

TEST_F(WrenDb2Test, TwoPartitionsWithTwoSessionsEachBackUpPacedByTheirCoordinators) {
  ASSERT_NO_FATAL_FAILURE(Start(4));
  WriteData(0, 300000, 1);
  WriteData(1, 200000, 2);
  Db2GlobalSems global;
  ASSERT_EQ(DB2GlobalSemsCreate(&global, 2), 0);
  tarn::test::SysVGuard guard;
  guard.semaphore(global.globalLock);
  guard.semaphore(global.device);
  std::vector<ChildProcess> partitions;
  for (int node : {0, 1}) {
    ASSERT_EQ(DB2DeviceWait(&global, 30000), 0);
    partitions.emplace_back([this, node] { return PacedPartition(*this, node, 2); }, 90);
  }
  for (ChildProcess& p : partitions) EXPECT_EQ(p.ExitCode(90), 0);
  // Each coordinator gave its device back and left the global lock free.
  EXPECT_EQ(Value(global.device), 2);
  EXPECT_EQ(Value(global.globalLock), 1);
  DB2GlobalSemsDelete(&global);
  for (int node : {0, 1})
    for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i)
      EXPECT_EQ(DB2SemOpen(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), node), -1);

  // One object per session, named by instance, database, node, timestamp,
  // type and sequence, with the application label.
  const std::vector<std::string> names = CatalogueObjects();
  const std::string host = Hostname();
  EXPECT_EQ(names, (std::vector<std::string>{
                       "05 " + host + ":db2inst1:SAMPLE#0:20261209120000:0:001 // DB2",
                       "05 " + host + ":db2inst1:SAMPLE#0:20261209120000:0:002 // DB2",
                       "05 " + host + ":db2inst1:SAMPLE#1:20261209120000:0:001 // DB2",
                       "05 " + host + ":db2inst1:SAMPLE#1:20261209120000:0:002 // DB2"}));
  const std::string calls = db2_.Calls();
  EXPECT_EQ(CountCalls(calls, "sqlubkp-result", "sqlcode=0 timestamp=20261209120000"), 2);
  EXPECT_EQ(CountCalls(calls, "sqluvend-result", " rc=0"), 4) << calls;
  EXPECT_EQ(CountCalls(calls, "dlopen", "library=" + library()), 4);
}

TEST_F(WrenDb2Test, SessionsStartAndEndTheirObjectsOnlyWhenTheNodeLetsThem) {
  ASSERT_NO_FATAL_FAILURE(Start(2));
  WriteData(0, 50000, 3);
  ASSERT_EQ(DB2NodeSemsCreate(0), 0);
  tarn::test::SysVGuard guard;
  int sets[DB2_NODE_SEM_COUNT];
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i) {
    sets[i] = DB2SemOpen(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), 0);
    ASSERT_NE(sets[i], -1);
    guard.semaphore(sets[i]);
  }
  // The test is the node's coordinator.
  ChildProcess backup([this] { return Backup(0, 2).sqlcode == 0 ? 0 : 1; }, 60);
  ASSERT_TRUE(WaitForValue(sets[DB2_SEM_LIB_READY], 2));
  ASSERT_TRUE(WaitForWaiters(sets[DB2_SEM_START_CAN], 2));
  EXPECT_EQ(Value(sets[DB2_SEM_FINISHED_START]), 0);
  EXPECT_TRUE(CatalogueObjects().empty());
  EXPECT_EQ(Count(cs_->traffic(), "\"db2inst1:SAMPLE#0:"), 0);

  Release(sets[DB2_SEM_START_CAN], 2);
  ASSERT_TRUE(WaitForValue(sets[DB2_SEM_FINISHED_START], 2));
  // Both ready to end their objects; none ends before it may.
  ASSERT_TRUE(WaitForValue(sets[DB2_SEM_LIB_READY], 4));
  ASSERT_TRUE(WaitForWaiters(sets[DB2_SEM_END_CAN], 2));
  EXPECT_EQ(Value(sets[DB2_SEM_FINISHED_END]), 0);
  EXPECT_TRUE(backup.Running());

  Release(sets[DB2_SEM_END_CAN], 2);
  EXPECT_EQ(backup.ExitCode(60), 0);
  EXPECT_EQ(Value(sets[DB2_SEM_FINISHED_END]), 2);
  EXPECT_EQ(CatalogueObjects().size(), 2u);
  BackupCoordinatorArg arg{0, 2};
  SemaphoreDelete(&arg);
}

TEST_F(WrenDb2Test, DeleteGivesUpEachObjectOfTheImageAndWorksTwiceInOneProcess) {
  ASSERT_NO_FATAL_FAILURE(Start(3));
  WriteData(0, 40000, 4);
  WriteData(1, 40000, 5);
  ASSERT_EQ(Backup(0, 2).sqlcode, 0);
  ASSERT_EQ(Backup(1, 1).sqlcode, 0);
  const std::vector<std::string> before = CatalogueLines("cat-version ");
  ASSERT_EQ(before.size(), 3u);

  const std::string lib = library();
  const std::string options = Options(false);
  // DB2's delete, twice in one process (one image per partition), then an
  // image that does not exist.
  ChildProcess deleter(
      [&] {
        void* h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return 20;
        auto del = reinterpret_cast<int (*)(Init_input*, Init_output*, Return_code*)>(
            dlsym(h, "sqluvdel"));
        if (del == nullptr) return 21;
        int result = 0;
        const struct {
          int node;
          const char* timestamp;
          int expected;
          int code;
        } calls[] = {{0, kTimestamp, 0, 0}, {1, kTimestamp, 0, 0}, {0, "20200101000000", -1, 6}};
        int bit = 1;
        for (const auto& c : calls) {
          Db2Input input(c.node, c.timestamp, "W", options);
          Init_output out{};
          Return_code rc{};
          rc.return_code = 99;
          if (del(&input.in, &out, &rc) != c.expected || rc.return_code != c.code) result |= bit;
          bit <<= 1;
        }
        return result;
      },
      60);
  EXPECT_EQ(deleter.ExitCode(60), 0);
  // One protection change (none, 0) per object, each for that object's version.
  std::set<std::string> protectedIds, versionIds;
  for (const std::string& line : CatalogueLines("cat-protection ")) {
    const std::string rest = line.substr(15);
    EXPECT_EQ(rest.substr(rest.find(' ')), " 0 0");
    protectedIds.insert(rest.substr(0, rest.find(' ')));
  }
  for (const std::string& line : before) {
    const std::string rest = line.substr(12);
    versionIds.insert(rest.substr(0, rest.find(' ')));
  }
  EXPECT_EQ(protectedIds, versionIds);
}

TEST_F(WrenDb2Test, AMediaAgentKilledMidBackupGivesDb2AnError) {
  ASSERT_NO_FATAL_FAILURE(Start(1, {"--fault", "delay=20"}));
  WriteData(0, 2000000, 6);
  ChildProcess backup(
      [this] {
        const db2sim::Result r = Backup(0, 1);
        return r.sqlcode == 0 ? 0 : r.sqlcode == db2sim::kSqlVendorError ? 2 : 3;
      },
      90);
  ASSERT_TRUE(ma_->waitForTraffic(" 24", std::chrono::seconds(30)));
  ma_->stop();
  EXPECT_EQ(backup.ExitCode(90), 2);
  const std::string calls = db2_.Calls();
  EXPECT_EQ(CountCalls(calls, "sqlubkp-result", "sqlcode=0"), 0);
  EXPECT_EQ(CountCalls(calls, "sqluvend-result", " rc=0"),
            CountCalls(calls, "sqluvend", "action=abort"))
      << calls;
}

TEST_F(WrenDb2Test, AnAbortIsNeverCommittedEvenBySessionsThatHadNoError) {
  // One session's stream is refused early; DB2 then aborts both sessions,
  // and the healthy one must not store its object either.
  ASSERT_NO_FATAL_FAILURE(Start(2, {"--fault", "abort-at=2"}));
  WriteData(0, 600000, 9);
  const db2sim::Result r = Backup(0, 2);
  EXPECT_EQ(r.sqlcode, db2sim::kSqlVendorError);
  const std::string calls = db2_.Calls();
  EXPECT_EQ(CountCalls(calls, "sqluvend", "action=abort"), 2) << calls;
  // The session manager stored no version: both objects ended in failure.
  EXPECT_TRUE(CatalogueObjects().empty());
}

TEST_F(WrenDb2Test, ACommitWhoseObjectCannotBeStoredFailsTheBackup) {
  // The data fits the first block, which is sent only when the object ends:
  // every put succeeds and the commit is what fails.
  ASSERT_NO_FATAL_FAILURE(Start(1, {"--fault", "abort-at=0"}));
  WriteData(0, 100, 7);
  const db2sim::Result r = Backup(0, 1);
  EXPECT_EQ(r.sqlcode, db2sim::kSqlVendorError);
  const std::string calls = db2_.Calls();
  EXPECT_EQ(CountCalls(calls, "sqluvput"), CountCalls(calls, "sqluvput", " rc=0")) << calls;
  EXPECT_EQ(CountCalls(calls, "sqluvend", "action=commit"), 1);
  EXPECT_EQ(CountCalls(calls, "sqluvend-result", " rc=17"), 1);
}

TEST_F(WrenDb2Test, AFailedCommitOfOneSessionLeavesNoImageARestoreFinds) {
  // Both sessions put all their data; one commit then fails, after the
  // other session's object was stored. DB2 gives the image up, so a restore
  // finds nothing rather than half an image.
  ASSERT_NO_FATAL_FAILURE(Start(2, {"--fault", "abort-at=0"}));
  WriteData(0, 100, 10);
  EXPECT_EQ(Backup(0, 2).sqlcode, db2sim::kSqlVendorError);
  const std::string calls = db2_.Calls();
  ASSERT_EQ(CountCalls(calls, "sqluvend-result", " rc=17"), 1) << calls;
  ASSERT_EQ(CountCalls(calls, "sqluvend-result", " rc=0"), 1) << calls;
  EXPECT_EQ(CountCalls(calls, "sqluvdel-result", "rc=0 return_code=0"), 1) << calls;
  ASSERT_EQ(CatalogueObjects().size(), 1u);
  EXPECT_EQ(CatalogueLines("cat-protection ").size(), 1u);

  WriteData(0, 100, 11);
  const std::uint64_t before = Checksum(0);
  EXPECT_EQ(Restore(0, 2).sqlcode, db2sim::kSqlVendorError);
  EXPECT_GE(CountCalls(db2_.Calls(), "sqluvint-result",
                       "rc=" + std::to_string(SQLUV_OBJ_NOT_FOUND) + " "),
            1)
      << db2_.Calls();
  EXPECT_EQ(CountCalls(db2_.Calls(), "sqluvget"), 0);
  EXPECT_EQ(Checksum(0), before);
}

TEST_F(WrenDb2Test, AnOptionsRecordShorterThanItsFixedPartIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Start(1));
  WriteData(0, 1000, 8);
  const db2sim::Result r = Backup(0, 1, std::string(4000, 'x'));
  EXPECT_EQ(r.sqlcode, db2sim::kSqlVendorError);
  EXPECT_EQ(CountCalls(db2_.Calls(), "sqluvint-result", "rc=11 return_code=11"), 1) << db2_.Calls();
  EXPECT_TRUE(CatalogueObjects().empty());
}

// DB2's calls straight into the installed library, in a process of its own:
// every failure sets return_code, and the library starts as a guest of the
// host process whichever entry point comes first (it leaves the host's locale
// alone).
TEST_F(WrenDb2Test, EntryPointsStartAsGuestsAndSetTheirCodeOnEveryFailure) {
  ASSERT_NO_FATAL_FAILURE(Start(0));
  const std::string lib = library();
  const std::string options = Options(false);
  ChildProcess db2(
      [&] {
        setenv("LC_ALL", "C.utf8", 1);
        setlocale(LC_ALL, "C");
        void* h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return 100;
        auto init = reinterpret_cast<int (*)(Init_input*, Init_output*, Return_code*)>(
            dlsym(h, "sqluvint"));
        auto get = reinterpret_cast<int (*)(void*, Data*, Return_code*)>(dlsym(h, "sqluvget"));
        auto put = reinterpret_cast<int (*)(void*, Data*, Return_code*)>(dlsym(h, "sqluvput"));
        auto end = reinterpret_cast<int (*)(std::int32_t, void*, Init_output*, Return_code*)>(
            dlsym(h, "sqluvend"));
        auto del = reinterpret_cast<int (*)(Init_input*, Init_output*, Return_code*)>(
            dlsym(h, "sqluvdel"));
        int failed = 0, bit = 1;
        const auto check = [&](bool ok) {
          if (!ok) failed |= bit;
          bit <<= 1;
        };
        Return_code rc{};
        Init_output out{};
        char buffer[16];
        Data data{0, 16, 0, buffer, nullptr};
        // The image to delete does not exist; the library starts as a guest.
        Db2Input missing(0, "20200101000000", "D", options);
        check(del(&missing.in, &out, &rc) == -1 && rc.return_code == SQLUV_OBJ_NOT_FOUND);
        check(std::string(setlocale(LC_ALL, nullptr)) == "C");
        rc.return_code = 0;
        check(get(nullptr, &data, &rc) == SQLUV_IO_ERROR && rc.return_code == SQLUV_IO_ERROR);
        rc.return_code = 0;
        check(put(nullptr, &data, &rc) == SQLUV_IO_ERROR && rc.return_code == SQLUV_IO_ERROR);
        rc.return_code = 0;
        check(end(SQLUV_COMMIT, nullptr, &out, &rc) == SQLUV_COMMIT_FAILED &&
              rc.return_code == SQLUV_COMMIT_FAILED);
        // Options shorter than the record's fixed part, or none at all.
        Db2Input shortOptions(0, kTimestamp, "R", options.substr(0, 4511));
        rc.return_code = 0;
        check(init(&shortOptions.in, &out, &rc) == SQLUV_INIT_FAILED &&
              rc.return_code == SQLUV_INIT_FAILED);
        rc.return_code = 0;
        check(del(&shortOptions.in, &out, &rc) == -1 && rc.return_code == SQLUV_INIT_FAILED);
        shortOptions.in.options = nullptr;
        rc.return_code = 0;
        check(init(&shortOptions.in, &out, &rc) == SQLUV_INIT_FAILED &&
              rc.return_code == SQLUV_INIT_FAILED);
        shortOptions.in.DB2_session = nullptr;
        check(init(&shortOptions.in, &out, &rc) == SQLUV_INIT_FAILED);
        check(std::string(setlocale(LC_ALL, nullptr)) == "C");
        return failed;
      },
      60);
  EXPECT_EQ(db2.ExitCode(60), 0);
}

}  // namespace

namespace {

// DB2's calls straight into the installed library, traced: a zero-length
// write without a buffer does nothing and spoils no commit; a control block
// handed back after its end is refused untouched, by every entry point; each
// entry point traces its entry and its exit with the result (while tracing
// runs: the end of the session ends it).
TEST_F(WrenDb2Test, EndedControlBlocksAreRefusedAndEmptyWritesChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(Start(1));
  const std::string lib = library();
  const std::string options = Options(true, "-debug 1-99 wren -server 127.0.0.1");
  const std::string traces = root_.at("/var/opt/tarn/tmp");
  const int failed =
      RunAsDb2(lib, {{"VEKDBG_PATH", traces}}, [&](const WrenEntryPoints& wren, CheckBits& check) {
        Db2Input input(0, kTimestamp, "W", options);
        Init_output out{};
        Return_code rc{};
        check(wren.init(&input.in, &out, &rc) == SQLUV_OK);
        void* cb = out.pVendorCB;
        Data empty{0, 0, -1, nullptr, nullptr};
        check(wren.put(cb, &empty, &rc) == SQLUV_OK && empty.actual_buf_size == 0);
        std::string bytes = Pattern(10000, 5);
        Data data{0, static_cast<std::int32_t>(bytes.size()), 0, bytes.data(), nullptr};
        check(wren.put(cb, &data, &rc) == SQLUV_OK);
        check(wren.end(SQLUV_COMMIT, cb, &out, &rc) == SQLUV_OK && rc.return_code == 0);
        for (std::int32_t action : {SQLUV_COMMIT, SQLUV_ABORT}) {
          rc.return_code = 0;
          check(wren.end(action, cb, &out, &rc) == SQLUV_INV_DEV_HANDLE &&
                rc.return_code == SQLUV_INV_DEV_HANDLE);
        }
        rc.return_code = 0;
        check(wren.put(cb, &data, &rc) == SQLUV_INV_DEV_HANDLE &&
              rc.return_code == SQLUV_INV_DEV_HANDLE);
        rc.return_code = 0;
        check(wren.get(cb, &data, &rc) == SQLUV_INV_DEV_HANDLE &&
              rc.return_code == SQLUV_INV_DEV_HANDLE);
      });
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(CatalogueObjects().size(), 1u);
  EXPECT_EQ(Count(root_.read("/var/opt/tarn/log/debug.log"), "DbgStack"), 0)
      << root_.read("/var/opt/tarn/log/debug.log");
  const std::string trace = TraceText(traces);
  for (const char* line : {"===>> (0) sqluvput {", "sqluvint is exiting with return value 0",
                           "sqluvput is exiting with return value 0", "===>> (0) sqluvend {",
                           "[sqluvint] list of objects:"})
    EXPECT_EQ(Count(trace, line) > 0, true) << line;
}

}  // namespace

namespace {

// The node's sets are there but its coordinator is gone after letting one
// session start: that session's commit and the next session's start each
// fail at the bound, with DB2 told, and nothing is stored.
TEST_F(WrenDb2Test, SessionsWhoseCoordinatorIsGoneFailAtTheirBound) {
  ASSERT_NO_FATAL_FAILURE(Start(2));
  ASSERT_EQ(DB2NodeSemsCreate(0), 0);
  tarn::test::SysVGuard guard;
  for (int i = 0; i < DB2_NODE_SEM_COUNT; ++i)
    guard.semaphore(DB2SemOpen(DB2NodeSemPath(static_cast<Db2NodeSem>(i)).c_str(), 0));
  Release(DB2SemOpen(DB2NodeSemPath(DB2_SEM_START_CAN).c_str(), 0), 1);
  const std::string lib = library();
  const std::string options = Options(true);
  const int failed = RunAsDb2(
      lib, {{kDb2PaceTimeoutVariable, "1"}}, [&](const WrenEntryPoints& wren, CheckBits& check) {
        Db2Input first(0, kTimestamp, "W", options);
        Init_output out{};
        Return_code rc{};
        check(wren.init(&first.in, &out, &rc) == SQLUV_OK);
        std::string bytes = Pattern(5000, 6);
        Data data{0, static_cast<std::int32_t>(bytes.size()), 0, bytes.data(), nullptr};
        check(wren.put(out.pVendorCB, &data, &rc) == SQLUV_OK);
        check(wren.end(SQLUV_COMMIT, out.pVendorCB, &out, &rc) == SQLUV_COMMIT_FAILED);
        Db2Input second(0, kTimestamp, "W", options);
        Init_output out2{};
        check(wren.init(&second.in, &out2, &rc) == SQLUV_INIT_FAILED &&
              rc.return_code == SQLUV_INIT_FAILED);
      });
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(CatalogueObjects().empty());
  BackupCoordinatorArg arg{0, 1};
  SemaphoreDelete(&arg);  // and the hold of them
}

}  // namespace
