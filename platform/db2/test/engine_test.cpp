// Backup and restore through a vendor library loaded in session processes:
// a round trip, and every way a library can misbehave ends in DB2's error,
// never in a changed database.
#include "db2/engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "db2/store.h"
#include "db2/util.h"
#include "tarn_test.h"

namespace db2sim {
namespace {

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TARN_DB2_STATE", state.path().c_str(), 1);
    Store store(state.path());
    store.CreateInstance({"db2inst1", home.path(), "db2inst1", "", "", true});
    store.CreateDatabase("db2inst1", {"SAMPLE", {0, 1}, 0, false}, {"SYSCATSPACE", "USERSPACE1"});
    store.WriteData("db2inst1", "SAMPLE", 1, "USERSPACE1", std::string(50000, 'u') + "end");
    store.WriteData("db2inst1", "SAMPLE", 1, "SYSCATSPACE", "catalog rows");
    before = store.ContentChecksum("db2inst1", "SAMPLE", 1);
  }
  void TearDown() override { ::unsetenv("TARN_DB2_STATE"); }

  std::string Options(const std::string& extra = "") const {
    return "dir=" + media.path() + "\n" + extra;
  }
  // The fields backup and restore requests share, for partition 1 of SAMPLE.
  template <typename Request>
  Request Fill(int sessions, const std::string& extra) const {
    Request r;
    r.instance = "db2inst1";
    r.alias = "SAMPLE";
    r.node = 1;
    r.library = TARN_DB2_TESTVENDOR;
    r.sessions = sessions;
    r.bufferSize = 4096;
    r.timestamp = "20261209101500";
    r.options = Options(extra);
    r.timeoutMs = 3000;
    return r;
  }
  BackupRequest Backup(int sessions, const std::string& extra = "") const {
    return Fill<BackupRequest>(sessions, extra);
  }
  RestoreRequest Restore(int sessions, const std::string& extra = "") const {
    return Fill<RestoreRequest>(sessions, extra);
  }
  // Overwrites the partition so a restore has something to put back.
  void Scribble() const {
    Store(state.path()).WriteData("db2inst1", "SAMPLE", 1, "USERSPACE1", "changed");
  }
  std::uint64_t Now() const { return Store(state.path()).ContentChecksum("db2inst1", "SAMPLE", 1); }
  std::vector<std::string> MediaFiles() const { return ListDir(media.path()); }
  std::string Calls() const { return ReadWholeFile(state.path() + "/calls.log"); }

  tarn::test::Watchdog watchdog{90};
  tarn::test::TempDir state, home, media;
  std::uint64_t before = 0;
};

TEST_F(Engine, ImageWrittenBySessionsIsReadBackInWaves) {
  Result b = RunBackup(Backup(3));
  ASSERT_EQ(b.sqlcode, 0) << b.message;
  EXPECT_EQ(b.timestamp, "20261209101500");
  EXPECT_EQ(MediaFiles(), (std::vector<std::string>{"db2inst1:SAMPLE#1:20261209101500:0:001",
                                                    "db2inst1:SAMPLE#1:20261209101500:0:002",
                                                    "db2inst1:SAMPLE#1:20261209101500:0:003"}));
  // Every session answered sqluvint before any of them wrote data: all three
  // were alive at once.
  std::string calls = Calls();
  std::size_t lastInit = calls.rfind(" sqluvint-result ");
  std::size_t firstPut = calls.find(" sqluvput ");
  ASSERT_NE(firstPut, std::string::npos);
  EXPECT_LT(lastInit, firstPut);
  EXPECT_EQ(calls.find("action=abort"), std::string::npos);

  Scribble();
  ASSERT_NE(Now(), before);
  Result r = RunRestore(Restore(2));  // three objects, two sessions: two waves
  ASSERT_EQ(r.sqlcode, 0) << r.message;
  EXPECT_EQ(r.objects, 3);
  EXPECT_EQ(Now(), before);
}

TEST_F(Engine, TableSpaceImagesAndRestoresTouchOnlyTheirTableSpaces) {
  BackupRequest b = Backup(1);
  b.tableSpaces = {"USERSPACE1"};
  ASSERT_EQ(RunBackup(b).sqlcode, 0);
  Store store(state.path());
  store.WriteData("db2inst1", "SAMPLE", 1, "USERSPACE1", "later");
  store.WriteData("db2inst1", "SAMPLE", 1, "SYSCATSPACE", "later");
  RestoreRequest r = Restore(1);
  r.tableSpaces = {"SYSCATSPACE"};  // not in this image
  EXPECT_EQ(RunRestore(r).sqlcode, kSqlNoTableSpace);
  r.tableSpaces = {"USERSPACE1"};
  ASSERT_EQ(RunRestore(r).sqlcode, 0);
  EXPECT_EQ(ReadWholeFile(store.Containers("db2inst1", "SAMPLE", 1, "USERSPACE1")[0]),
            std::string(50000, 'u') + "end");
  EXPECT_EQ(ReadWholeFile(store.Containers("db2inst1", "SAMPLE", 1, "SYSCATSPACE")[0]),
            "catalog rowslater");
  b.tableSpaces = {"NOSUCH"};
  EXPECT_EQ(RunBackup(b).sqlcode, kSqlNoTableSpace);
}

TEST_F(Engine, CheckOnlyStopsBeforeAnySession) {
  BackupRequest req = Backup(2);
  req.callerAction = kCallerActionCheckOnly;
  EXPECT_EQ(RunBackup(req).sqlcode, 0);
  EXPECT_TRUE(MediaFiles().empty());
  EXPECT_EQ(Calls().find("dlopen"), std::string::npos);

  req.alias = "NOSUCHDB";
  EXPECT_EQ(RunBackup(req).sqlcode, kSqlDbNotFound);
  req = Backup(1);
  req.node = 7;
  EXPECT_EQ(RunBackup(req).sqlcode, kSqlDbNotFound);
  req = Backup(1);
  req.library = "relative/lib.so";
  EXPECT_EQ(RunBackup(req).sqlcode, kSqlBadParameter);
}

TEST_F(Engine, SessionsSeeAScrubbedEnvironmentAndTheirOwnOptions) {
  ::setenv("TARN_DB2_TEST_SECRET", "leak", 1);
  std::string envFile = media.path() + "/env.txt";
  Result b = RunBackup(Backup(1, "env=" + envFile + "\n"));
  ::unsetenv("TARN_DB2_TEST_SECRET");
  ASSERT_EQ(b.sqlcode, 0) << b.message;
  std::string env = ReadWholeFile(envFile);
  EXPECT_NE(env.find("DB2INSTANCE=db2inst1\n"), std::string::npos);
  EXPECT_NE(env.find("HOME=" + home.path() + "\n"), std::string::npos);
  EXPECT_EQ(env.find("TARN_DB2_TEST_SECRET"), std::string::npos);
}

TEST_F(Engine, ALibraryThatPrintsCannotForgeAnswers) {
  Result b = RunBackup(Backup(2, "chatter=1\nfault=rc\nat=put\nrc=25\n"));
  EXPECT_EQ(b.sqlcode, kSqlVendorError) << b.message;
  ASSERT_EQ(RunBackup(Backup(2, "chatter=1\n")).sqlcode, 0);
}

TEST_F(Engine, MissingLibraryGivesTheLoadError) {
  BackupRequest req = Backup(2);
  req.library = media.path() + "/libnothere.so";
  Result b = RunBackup(req);
  EXPECT_EQ(b.sqlcode, kSqlVendorLoad) << b.message;
}

// Each backup fault: the backup fails, every session that opened is told to
// abort, and no finished object is left on the media.
TEST_F(Engine, FailingBackupSessionsAbortTheWholeBackup) {
  const char* faults[] = {
      "fault=crash\nat=put\nseq=002\n",
      "fault=hang\nat=put\nseq=001\n",
      "fault=rc\nat=put\nrc=25\nseq=002\n",
      "fault=rc\nat=init\nrc=11\nseq=001\n",
      "fault=crash\nat=init\n",
  };
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    BackupRequest req = Backup(2, fault);
    req.timeoutMs = 800;
    Result b = RunBackup(req);
    EXPECT_EQ(b.sqlcode, kSqlVendorError) << b.message;
    for (const auto& f : MediaFiles())
      EXPECT_NE(f.find(".part"), std::string::npos) << "committed object " << f;
    for (const auto& f : MediaFiles()) RemoveTree(media.path() + "/" + f);
  }
  std::string calls = Calls();
  EXPECT_EQ(calls.find("action=commit"), std::string::npos);
  EXPECT_NE(calls.find("action=abort"), std::string::npos);
}

// A commit that fails after another session's commit went through: DB2
// gives the image up, so none of its objects stays on the media.
TEST_F(Engine, AFailedCommitGivesUpTheObjectsOthersCommitted) {
  BackupRequest req = Backup(3, "fault=rc\nat=end\nrc=17\nseq=002\n");
  Result b = RunBackup(req);
  EXPECT_EQ(b.sqlcode, kSqlVendorError) << b.message;
  EXPECT_NE(b.message.find("sqluvend of session 1 answered 17"), std::string::npos) << b.message;
  for (const auto& f : MediaFiles())
    EXPECT_NE(f.find(".part"), std::string::npos) << "committed object " << f;
  std::string calls = Calls();
  EXPECT_NE(calls.find("sqluvdel-result node=1 session=0 rc=0 return_code=0"), std::string::npos)
      << calls;
  // Nothing was committed when a put fails: there is nothing to give up.
  BackupRequest failed = Backup(2, "fault=rc\nat=put\nrc=25\nseq=002\n");
  EXPECT_EQ(RunBackup(failed).sqlcode, kSqlVendorError);
  EXPECT_EQ(Calls().find("sqluvdel", calls.size()), std::string::npos);
}

// Sessions that all hang in sqluvend cost one time-out together, not one each
// (four would cost at least four; the slack is for a loaded, sanitized run).
TEST_F(Engine, SessionsThatHangInTheirEndShareOneTimeOut) {
  BackupRequest req = Backup(4, "fault=hang\nat=end\n");
  req.timeoutMs = 2000;
  const std::int64_t start = NowMs();
  const Result b = RunBackup(req);
  const std::int64_t took = NowMs() - start;
  EXPECT_EQ(b.sqlcode, kSqlVendorError) << b.message;
  EXPECT_NE(b.message.find("did not answer in time during sqluvend"), std::string::npos)
      << b.message;
  EXPECT_LT(took, 4 * req.timeoutMs);
}

// Each restore fault: DB2's error, and the partition keeps its content.
TEST_F(Engine, MisbehavingRestoreNeverChangesTheDatabase) {
  ASSERT_EQ(RunBackup(Backup(2)).sqlcode, 0);
  Scribble();
  std::uint64_t scribbled = Now();
  struct Case {
    const char* fault;
    int sqlcode;
  } cases[] = {
      {"fault=crash\nat=get\nseq=002\n", kSqlVendorError},
      {"fault=hang\nat=get\nseq=001\n", kSqlVendorError},
      {"fault=rc\nat=get\nrc=25\n", kSqlVendorError},
      {"fault=overclaim\nat=get\nseq=001\n", kSqlVendorError},
      {"fault=short\nat=get\nseq=002\n", kSqlImageCorrupt},
      {"fault=corrupt\nat=get\nseq=001\n", kSqlImageCorrupt},
      {"fault=rc\nat=init\nrc=6\n", kSqlVendorError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    RestoreRequest req = Restore(2, c.fault);
    req.timeoutMs = 800;
    Result r = RunRestore(req);
    EXPECT_EQ(r.sqlcode, c.sqlcode) << r.message;
    EXPECT_EQ(Now(), scribbled);
  }
  RestoreRequest other = Restore(1);
  other.timestamp = "20000101000000";
  EXPECT_EQ(RunRestore(other).sqlcode, kSqlVendorError);
  EXPECT_EQ(RunRestore(Restore(1)).sqlcode, 0);
  EXPECT_EQ(Now(), before);
}

TEST_F(Engine, RestoreOfAnArchivingDatabaseLeavesItRollForwardPending) {
  Store store(state.path());
  store.CreateDatabase("db2inst1", {"LOGGED", {0}, 0, true}, {"USERSPACE1"});
  store.WriteData("db2inst1", "LOGGED", 0, "USERSPACE1", "rows");
  BackupRequest b = Backup(1);
  b.alias = "LOGGED";
  b.node = 0;
  ASSERT_EQ(RunBackup(b).sqlcode, 0);
  RestoreRequest r = Restore(1);
  r.alias = "LOGGED";
  r.node = 0;
  ASSERT_EQ(RunRestore(r).sqlcode, 0);
  EXPECT_TRUE(store.ReadNodeState("db2inst1", "LOGGED", 0).rfPending);
}

TEST_F(Engine, AdminToolCreatesStateAndPrintsChecksums) {
  tarn::test::TempDir other;
  ::setenv("TARN_DB2_STATE", other.path().c_str(), 1);
  auto run = [](std::vector<std::string> args) {
    args.insert(args.begin(), TARN_DB2_ADMIN);
    return tarn::test::ChildProcess::Program(args).ExitCode();
  };
  EXPECT_EQ(run({"create-instance", "inst2", other.path() + "/home"}), 0);
  EXPECT_EQ(run({"create-database", "inst2", "DB1", "0,3", "3", "TS1,TS2"}), 0);
  EXPECT_EQ(run({"write", "inst2", "DB1", "3", "TS2", "hello"}), 0);
  EXPECT_EQ(run({"create-database", "inst2", "../X", "0", "0", "TS1"}), 1);
  EXPECT_EQ(run({"create-database", "inst2", "TOOLONGNAME", "0", "0", "TS1"}), 1);
  EXPECT_EQ(run({"bogus"}), 2);
  EXPECT_EQ(run({"stop", "inst2"}), 0);
  EXPECT_FALSE(Store(other.path()).ReadInstance("inst2").started);
  EXPECT_EQ(run({"fault", "sqlubkp", "-2009"}), 0);
  EXPECT_EQ(FaultFor(other.path(), "sqlubkp"), -2009);
  Store store(other.path());
  Database db = store.ReadDatabase("inst2", "DB1");
  EXPECT_EQ(db.partitions, (std::vector<int>{0, 3}));
  EXPECT_EQ(db.catalog, 3);
  auto containers = store.Containers("inst2", "DB1", 3, "TS2");
  ASSERT_EQ(containers.size(), 1u);
  EXPECT_EQ(ReadWholeFile(containers[0]), "hello");
  EXPECT_TRUE(Exists(other.path() + "/home/sqllib/adm"));
}

}  // namespace
}  // namespace db2sim
