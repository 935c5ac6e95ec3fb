// Log records, archiving and retrieval through a script standing in for the
// user exit, and roll-forward after a restore.
#include "db2/logs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "db2/engine.h"
#include "db2/sqladmin.h"
#include "db2/testing/db2_standin.h"
#include "db2/util.h"
#include "tarn_test.h"

namespace db2sim {
namespace {

TEST(LogRecords, LineLayoutAndRefusals) {
  LogRecord r{7, "2026-01-02-03.04.05", "USERSPACE1", std::string("a\n\xff", 3)};
  EXPECT_EQ(EncodeLogRecord(r), "7 2026-01-02-03.04.05 USERSPACE1 610aff\n");
  auto back = DecodeLogRecord("7 2026-01-02-03.04.05 USERSPACE1 610aff");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->data, r.data);
  EXPECT_EQ(LogFileName(12), "S0000012.LOG");
  for (const char* bad :
       {"", "7 2026-01-02-03.04.05 USERSPACE1", "x 2026-01-02-03.04.05 TS 61",
        "-1 2026-01-02-03.04.05 TS 61", "7 2026-01-02 TS 61", "7 2026-01-02-03.04.05 ../x 61",
        "7 2026-01-02-03.04.05 TS 6", "7 2026-01-02-03.04.05 TS zz"})
    EXPECT_FALSE(DecodeLogRecord(bad)) << bad;
}

class RollForward : public ::testing::Test {
 protected:
  void SetUp() override {
    db2.CreateDatabase("LOGGED", {0}, 0, {"USERSPACE1"}, true);
    // The user exit: a script behind the instance's link, keeping archived
    // logs in its own folder and recording its arguments.
    std::string script = archive.path() + "/userexit.sh";
    WriteWholeFile(script,
                   "#!/bin/sh\n"
                   "A=" +
                       archive.path() +
                       "\n"
                       "echo \"$@\" >> $A/args\n"
                       "for a; do case \"$a\" in -RQ*) rq=${a#-RQ};; -LP*) lp=${a#-LP};;"
                       " -LN*) ln=${a#-LN};; esac; done\n"
                       "[ -f $A/fail ] && exit 16\n"
                       "case $rq in\n"
                       "ARCHIVE) cp \"$lp$ln\" $A/$ln || exit 28;;\n"
                       "RETRIEVE) [ -f $A/$ln ] && cp $A/$ln \"$lp$ln\";;\n"
                       "esac\n"
                       "exit 0\n");
    ::chmod(script.c_str(), 0755);
    db2.InstallUserExit(script);
  }
  void Log(const std::string& data, const std::string& time) {
    WriteLogged(store, "db2inst1", "LOGGED", 0, "USERSPACE1", data, time);
  }
  std::string Content() {
    return ReadWholeFile(store.Containers("db2inst1", "LOGGED", 0, "USERSPACE1")[0]);
  }
  // A backup now (through the test vendor library), then: r2 archived in
  // log 0, r3 archived in log 1, r4 in the active log 2; then the restore.
  void BackupLogAndRestore() {
    Log("r1.", "2026-01-01-09.00.00");
    ASSERT_NO_FATAL_FAILURE(Backup("20260101090500"));
    Log("r2.", "2026-01-01-10.00.00");
    ASSERT_NO_FATAL_FAILURE(Archive());
    Log("r3.", "2026-01-01-12.00.00");
    ASSERT_NO_FATAL_FAILURE(Archive());
    Log("r4.", "2026-01-01-13.00.00");
    EXPECT_FALSE(Exists(store.NodeDir("db2inst1", "LOGGED", 0) + "/logs/S0000000.LOG"));
    EXPECT_TRUE(Exists(archive.path() + "/S0000001.LOG"));
    ASSERT_NO_FATAL_FAILURE(Restore("20260101090500"));
    EXPECT_EQ(Content(), "r1.");
    EXPECT_TRUE(store.ReadNodeState("db2inst1", "LOGGED", 0).rfPending);
  }
  void Backup(const std::string& timestamp) {
    BackupRequest b;
    b.instance = "db2inst1";
    b.alias = "LOGGED";
    b.library = testing::Db2StandIn::TestVendorLibrary();
    b.timestamp = timestamp;
    b.options = "dir=" + media.path() + "\n";
    ASSERT_EQ(RunBackup(b).sqlcode, 0);
  }
  void Restore(const std::string& timestamp) {
    RestoreRequest r;
    r.instance = "db2inst1";
    r.alias = "LOGGED";
    r.library = testing::Db2StandIn::TestVendorLibrary();
    r.timestamp = timestamp;
    r.options = "dir=" + media.path() + "\n";
    ASSERT_EQ(RunRestore(r).sqlcode, 0);
  }
  void Archive() { ASSERT_EQ(ArchiveLog(store, "db2inst1", "LOGGED", 0, 5000), 0); }
  int Roll(const char* stop) {
    char alias[] = "LOGGED";
    std::string stopText = stop != nullptr ? stop : "";
    rfwd_input in{};
    in.version = 5;
    in.pDbAlias = alias;
    in.CallerAction = SQLUM_ROLLFWD_STOP;
    in.pStopTime = stop != nullptr ? stopText.data() : nullptr;
    in.NumNodeInfo = 1;
    char appId[33] = {};
    std::int32_t replies = 0;
    sqlurf_info info[1];
    rfwd_output out{appId, &replies, info};
    sqlca ca;
    return sqluroll_api(&in, &out, &ca);
  }

  tarn::test::Watchdog watchdog{60};
  testing::Db2StandIn db2;
  tarn::test::TempDir archive, media;
  Store store = db2.store();
};

TEST_F(RollForward, StopsAtTheStopTimeRetrievingArchivedLogs) {
  BackupLogAndRestore();
  ASSERT_EQ(Roll("2026-01-01-11.00.00.000000"), 0);
  EXPECT_EQ(Content(), "r1.r2.");
  EXPECT_FALSE(store.ReadNodeState("db2inst1", "LOGGED", 0).rfPending);
  std::string args = ReadWholeFile(archive.path() + "/args");
  EXPECT_NE(args.find("-OSLinux -RL110 -RQRETRIEVE -DBLOGGED -NNNODE0000 -LP" +
                      store.NodeDir("db2inst1", "LOGGED", 0) + "/logs/ -LNS0000000.LOG"),
            std::string::npos)
      << args;
  EXPECT_EQ(Roll(nullptr), kSqlNotPending);
}

TEST_F(RollForward, ToTheEndOfLogsEndsWhereTheUserExitHasNoFile) {
  BackupLogAndRestore();
  ASSERT_EQ(Roll("9999-12-31-23.59.59.999999"), 0);
  EXPECT_EQ(Content(), "r1.r2.r3.r4.");
  // Log 3 was asked for and the exit answered 0 without a file.
  EXPECT_NE(ReadWholeFile(archive.path() + "/args")
                .find("-RQRETRIEVE -DBLOGGED -NNNODE0000 -LP" +
                      store.NodeDir("db2inst1", "LOGGED", 0) + "/logs/ -LNS0000003.LOG"),
            std::string::npos);
}

TEST_F(RollForward, FailingUserExitOrDamagedLogLeavesItPending) {
  BackupLogAndRestore();
  WriteWholeFile(archive.path() + "/fail", "");
  EXPECT_EQ(Roll(nullptr), kSqlLogRetrieve);
  EXPECT_TRUE(store.ReadNodeState("db2inst1", "LOGGED", 0).rfPending);
  EXPECT_EQ(ArchiveLog(store, "db2inst1", "LOGGED", 0, 5000), kSqlLogArchive);
  ::unlink((archive.path() + "/fail").c_str());

  // Log 0 applies, log 1 is cut short: r2 stays applied once, the rest waits.
  WriteWholeFile(archive.path() + "/S0000001.LOG", "3 2026-01-01-12.00.00 USERSPACE1 7");
  EXPECT_EQ(Roll(nullptr), kSqlLogCorrupt);
  EXPECT_TRUE(store.ReadNodeState("db2inst1", "LOGGED", 0).rfPending);
  EXPECT_EQ(Content(), "r1.r2.");
  WriteWholeFile(archive.path() + "/S0000001.LOG", "3 2026-01-01-12.00.00 USERSPACE1 72332e\n");
  ::unlink((store.NodeDir("db2inst1", "LOGGED", 0) + "/logs/S0000001.LOG").c_str());
  EXPECT_EQ(Roll(nullptr), 0);
  EXPECT_EQ(Content(), "r1.r2.r3.r4.");
}

// A roll-forward to a point in time leaves the later records behind, and the
// database logs on in a new file. Which image then follows which logs.
TEST_F(RollForward, LogsLeftBehindByAStopAtAPointInTimeFollowOnlyTheirOwnImages) {
  Log("r1.", "2026-01-01-09.00.00");
  ASSERT_NO_FATAL_FAILURE(Backup("20260101090500"));  // before the stop
  Log("r2.", "2026-01-01-10.00.00");
  ASSERT_NO_FATAL_FAILURE(Archive());
  Log("r3.", "2026-01-01-12.00.00");
  ASSERT_NO_FATAL_FAILURE(Backup("20260101120500"));  // after it, on the chain left behind
  ASSERT_NO_FATAL_FAILURE(Archive());
  Log("r4.", "2026-01-01-13.00.00");  // in the active log
  ASSERT_NO_FATAL_FAILURE(Restore("20260101090500"));
  ASSERT_EQ(Roll("2026-01-01-11.00.00.000000"), 0);
  ASSERT_EQ(Content(), "r1.r2.");
  const NodeState forked = store.ReadNodeState("db2inst1", "LOGGED", 0);
  EXPECT_EQ(forked.leftBehind, (std::vector<LeftBehind>{{2, 1, 3}}));
  EXPECT_EQ(forked.log, 3u);
  // The chain the database goes on with: the same record numbers again.
  Log("n3.", "2026-01-01-14.00.00");
  ASSERT_NO_FATAL_FAILURE(Archive());
  ASSERT_NO_FATAL_FAILURE(Backup("20260101140500"));
  Log("n4.", "2026-01-01-15.00.00");
  EXPECT_EQ(Content(), "r1.r2.n3.n4.");

  struct Case {
    const char* what;
    const char* image;
    const char* stop;
    int sqlcode;
    const char* content;
  };
  const Case cases[] = {
      {"an image before the stop, to the end", "20260101090500", nullptr, kSqlLogOtherChain,
       "r1.r2."},
      {"an image after the stop", "20260101140500", nullptr, kSqlOk, "r1.r2.n3.n4."},
      // Its chain ends where the database's logging went on.
      {"an image of the chain left behind", "20260101120500", nullptr, kSqlOk, "r1.r2.r3.r4."},
      {"an image before the stop, to that stop", "20260101090500", "2026-01-01-11.00.00.000000",
       kSqlOk, "r1.r2."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Restore(c.image));
    EXPECT_EQ(Roll(c.stop), c.sqlcode);
    EXPECT_EQ(Content(), c.content);
    EXPECT_EQ(store.ReadNodeState("db2inst1", "LOGGED", 0).rfPending, c.sqlcode != kSqlOk);
  }
  // A stop again leaves the database's chain too; the file it goes on in is new.
  const NodeState again = store.ReadNodeState("db2inst1", "LOGGED", 0);
  EXPECT_EQ(again.leftBehind, (std::vector<LeftBehind>{{2, 1, 3}, {2, 1, 5}}));
  EXPECT_EQ(again.log, 5u);
}

}  // namespace
}  // namespace db2sim
