// Restores the agent runs through the stand-in session manager: the latest
// and a named session of a whole database, and each restored partition
// checksum-identical to the state that was backed up.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "db2/logs.h"
#include "kestrel_fixture.h"

TARN_RCSID("integ/db2/kestrel/test/restore_test.cpp");

namespace {

class KestrelRestoreTest : public KestrelTest {
 protected:
  void Fill(char base) const {
    for (int node : {0, 1, 2})
      db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1",
                             std::string(20000, static_cast<char>(base + node)));
  }
  // A backup of the whole database; its session key ("YYYY/MM/DD-N").
  std::string Backup() {
    const AgentRun r = Agent("-backup -dbname SAMPLE -conc 2");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return Field(r.record, "key");
  }
  std::string Content(int node, const std::string& ts) const {
    return tarn::test::ReadFile(db2_.store().Containers(kInstance, kDatabase, node, ts)[0]);
  }
  int Restores() const {
    int n = 0;
    for (const Call& c : Calls(tarn::test::ReadFile(db2_.store().CallsLog())))
      n += c.call == "sqlurestore-result" && c.text.rfind("sqlcode=0", 0) == 0;
    return n;
  }
};

TEST_F(KestrelRestoreTest, LatestAndNamedSessionsComeBackIdentical) {
  ASSERT_NO_FATAL_FAILURE(Start(12, 30));
  Fill('a');
  const Checksums first = Sums();
  const std::string firstKey = Backup();
  Fill('k');
  const Checksums second = Sums();
  // Image timestamps count seconds; DB2 never gives one database two images
  // of the same second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_NE(first, second);
  const std::string secondKey = Backup();
  ASSERT_FALSE(firstKey.empty());
  ASSERT_NE(firstKey, secondKey);
  Fill('u');

  struct Case {
    const char* what;
    std::string line;
    const Checksums& expected;
  };
  // "YYYY/MM/DD-N" on the option line is the agent's "YYYY/MM/DD NNNN".
  const Case cases[] = {
      {"latest session", "-restore -dbname SAMPLE", second},
      {"named earlier session", "-restore -dbname SAMPLE -sessionID " + firstKey, first},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Restores(), 3) << tarn::test::ReadFile(db2_.store().CallsLog());
    EXPECT_EQ(Sums(), c.expected);
  }
}

TEST_F(KestrelRestoreTest, ARestoreWithoutImageOrInstanceFailsWithAReport) {
  ASSERT_NO_FATAL_FAILURE(Start(0, 6));
  struct Case {
    const char* what;
    std::string line;
    const char* says;
  };
  const Case cases[] = {
      {"no backup at all", "-restore -dbname SAMPLE", "No backup of database SAMPLE"},
      {"named session without image", "-restore -dbname SAMPLE -sessionID 2001/01/01-7", "SAMPLE"},
  };
  const Checksums before = Sums();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AgentRun r = Agent(c.line);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(Sums(), before);
  }
  db2_.Fault("sqleatin_api", -1032);
  const AgentRun stopped = Agent("-restore -dbname SAMPLE");
  EXPECT_NE(stopped.exitCode, 0) << stopped.output;
  EXPECT_NE(stopped.output.find("SQL1032N"), std::string::npos) << stopped.output;
}

TEST_F(KestrelRestoreTest, AForkedPartitionFailingInDb2ShowsDb2sReportForIt) {
  // The session manager's answers go in order: the first backup's six, the
  // failing backup's four, then the restore's.
  ASSERT_NO_FATAL_FAILURE(Start(10, 6));
  const std::string key = Backup();
  ASSERT_FALSE(key.empty());
  // Partition 1 is the catalog partition, run in the agent's own process;
  // partition 2 runs in a forked task and fails there.
  struct Case {
    const char* what;
    std::string line;
    const char* fault;
    const char* started;
  };
  const Case cases[] = {
      {"backup", "-backup -dbname SAMPLE -conc 2", "TARN_DB2_FAULTS=sqlubkp.node2=-2079",
       "Starting backup of database SAMPLE, partition 2."},
      {"restore", "-restore -dbname SAMPLE -sessionID " + key,
       "TARN_DB2_FAULTS=sqlurestore.node2=-2079",
       "Starting restore of database SAMPLE, partition 2."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AgentRun r = Agent(c.line, {}, {c.fault});
    EXPECT_EQ(r.exitCode, kExitPartitionFailed) << r.output;
    EXPECT_NE(r.output.find(c.started), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("SQLCODE           = -2079"), std::string::npos) << r.output;
    EXPECT_NE(
        r.output.find(std::string("The ") + c.what + " of database SAMPLE on partition 2 failed."),
        std::string::npos)
        << r.output;
  }
}

TEST_F(KestrelRestoreTest, NewNameAndTableSpaceRestores) {
  ASSERT_NO_FATAL_FAILURE(Start(6, 18));
  db2_.CreateDatabase("OTHER", {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"});
  Fill('a');
  const Checksums backedUp = Sums();
  std::vector<std::string> spaces;
  for (int node : {0, 1, 2}) spaces.push_back(Content(node, "USERSPACE1"));
  ASSERT_FALSE(Backup().empty());

  std::filesystem::remove(db2_.store().CallsLog());
  AgentRun r = Agent("-restore -dbname SAMPLE -newdbname OTHER");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Sums("OTHER"), backedUp);
  // OTHER existed: each partition's restore waited on DB2's warning until
  // the agent continued it.
  const std::string calls = tarn::test::ReadFile(db2_.store().CallsLog());
  int continued = 0;
  for (const Call& c : Calls(calls)) continued += c.text == "action=continue pending=1";
  EXPECT_EQ(continued, 3) << calls;
  for (const Call& c : Calls(tarn::test::ReadFile(db2_.store().CallsLog())))
    if (c.call == "sqlurestore" && c.text.rfind("instance=", 0) == 0) {
      EXPECT_EQ(Field(c.text, "alias"), "SAMPLE");
      EXPECT_EQ(Field(c.text, "target"), "OTHER");
    }

  // "continue" keeps the new name's storage-definition action on the first call.
  std::filesystem::remove(db2_.store().CallsLog());
  r = Agent("-restore -dbname SAMPLE -newdbname OTHER -continue");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  int stordef = 0;
  for (const Call& c : Calls(tarn::test::ReadFile(db2_.store().CallsLog())))
    stordef += c.call == "sqlurestore" && c.text == "caller=100";
  EXPECT_EQ(stordef, 3) << db2_.Calls();

  // Only the table space comes back; the catalog table space keeps what it has.
  Fill('u');
  db2_.store().WriteData(kInstance, kDatabase, 1, "SYSCATSPACE", "changed catalog");
  r = Agent("-restore -tsname SAMPLE*USERSPACE1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (int node : {0, 1, 2}) EXPECT_TRUE(Content(node, "USERSPACE1") == spaces[node]) << node;
  EXPECT_EQ(Content(1, "SYSCATSPACE"), "changed catalog");
}

// DB2 can refuse the buffers only once the restore goes on: the continue
// after its warning still tells the administrator what to raise.
TEST_F(KestrelRestoreTest, AUtilityHeapTooSmallForTheContinueIsReported) {
  ASSERT_NO_FATAL_FAILURE(Start(6, 6));
  db2_.CreateDatabase("OTHER", {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"});
  ASSERT_FALSE(Backup().empty());
  std::filesystem::remove(db2_.store().CallsLog());
  const AgentRun r =
      Agent("-restore -dbname SAMPLE -newdbname OTHER", {},
            {"TARN_DB2_FAULTS=sqlurestore=-2073", "NUM_DB2_BUFFERS=4", "DB2_BUFFER_SIZE=1024"});
  EXPECT_EQ(r.exitCode, kExitPartitionFailed) << r.output;
  EXPECT_NE(db2_.Calls().find("action=continue pending=1"), std::string::npos) << db2_.Calls();
  EXPECT_NE(r.output.find("DB2 returned SQLCODE -2073. Database UTIL_HEAP_SZ > num-buff * "
                          "buffer-size num-buff = 4; buffer-size = 1024; num-buff * buffer-size "
                          "= 4096"),
            std::string::npos)
      << r.output;
}

TEST_F(KestrelRestoreTest, MissingContainersAreRedirectedOrTheRestoreIsTerminated) {
  ASSERT_NO_FATAL_FAILURE(Start(6, 18));
  Fill('a');
  const Checksums backedUp = Sums();
  ASSERT_FALSE(Backup().empty());
  Fill('u');
  // The catalog partition's container lies in a folder that is gone.
  const std::string gone = root_.at("/work/gone/C0001.DAT");
  const std::string moved = root_.at("/work/moved.dat");
  const std::string wrong = root_.at("/work/wrong.dat");
  std::filesystem::create_directories(root_.at("/work"));
  tarn::test::WriteFile(db2_.store().NodeDir(kInstance, kDatabase, 1) + "/ts/USERSPACE1/containers",
                        gone + "\n");
  std::string upper = gone;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  auto redirect = [&](const std::vector<std::pair<std::string, std::string>>& entries) {
    return PutConfig([&](BpList* config) {
      if (entries.empty()) return;
      CmnVar* redirection = nullptr;
      BP_AddList(config, "Redirection", &redirection);
      CmnVar* database = nullptr;
      BP_AddList(redirection, kDatabase, &database);
      for (const auto& [from, to] : entries) BP_AddStr(database, from.c_str(), to.c_str());
    });
  };
  const std::string done = "Restore of database SAMPLE, partition 1 completed";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> entries;
    bool restored;
  };
  // A new name longer than DB2's container field is refused, never cut.
  const std::string longName = root_.at("/work/") + std::string(300, 'x');
  const Case cases[] = {
      {"no redirection", {}, false},
      {"new name too long", {{gone, longName}}, false},
      {"exact match before one that differs in case", {{upper, wrong}, {gone, moved}}, true},
      {"a match that differs in case", {{upper, moved}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(redirect(c.entries));
    std::filesystem::remove(db2_.store().CallsLog());
    std::filesystem::remove(moved);
    const AgentRun r = Agent("-restore -dbname SAMPLE");
    if (!c.restored) {
      EXPECT_NE(r.exitCode, 0) << r.output;
      EXPECT_NE(db2_.Calls().find("sqlurestore action=terminate pending=1"), std::string::npos)
          << db2_.Calls();
      EXPECT_EQ(Occurrences(r.output, done), 0) << r.output;
      EXPECT_NE(r.output.find("partition 1 was aborted"), std::string::npos) << r.output;
      EXPECT_FALSE(std::filesystem::exists(moved));
      continue;
    }
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Sums(), backedUp);
    EXPECT_TRUE(std::filesystem::exists(moved));
    EXPECT_FALSE(std::filesystem::exists(wrong));
    // Reported done once: by the continue, not by the call that asked for containers.
    EXPECT_EQ(Occurrences(r.output, done), 1) << r.output;
  }
}

// Stop times the agent must refuse before it restores anything, under a
// zone with daylight saving: a day the month lacks, an hour the clock skips,
// and a time cut at its colons.
TEST_F(KestrelRestoreTest, BadStopTimesAreRefusedBeforeAnyRestore) {
  ASSERT_NO_FATAL_FAILURE(Start(6, 6));
  ASSERT_FALSE(Backup().empty());
  std::vector<std::string> zones = {"CET-1CEST,M3.5.0,M10.5.0/3"};
  if (std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin"))
    zones.push_back("Europe/Berlin");
  else
    std::printf("Europe/Berlin is left out: the zone files (tzdata) are not installed\n");
  const std::pair<const char*, const char*> times[] = {
      {"2026-02-30-10.00.00", "a day the month does not have"},
      {"2026-03-29-02.30.00", "the hour the clock skips"},
      {"2026-01-01-11:00:00", "not a valid point in time"},
  };
  for (const std::string& zone : zones)
    for (const auto& [time, says] : times) {
      SCOPED_TRACE(zone + " " + time);
      std::filesystem::remove(db2_.store().CallsLog());
      const AgentRun r = Agent(std::string("-restore -dbname SAMPLE -rollforward -time ") + time,
                               {}, {"TZ=" + zone});
      EXPECT_EQ(r.exitCode, 1) << r.output;
      EXPECT_NE(r.output.find(says), std::string::npos) << r.output;
      EXPECT_EQ(db2_.Calls().find("sqlurestore"), std::string::npos) << db2_.Calls();
    }
  // The hour the clock repeats takes its earlier instant and says which; every
  // image here is later than it, so nothing is restored either.
  for (const std::string& zone : zones) {
    SCOPED_TRACE(zone);
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent("-restore -dbname SAMPLE -rollforward -time 2025-10-26-02.30.00", {},
                             {"TZ=" + zone});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("the earlier instant, 2025-10-26-00.30.00.000000 UTC, is used"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("taken before the roll-forward time"), std::string::npos) << r.output;
    EXPECT_EQ(db2_.Calls().find("sqlurestore"), std::string::npos) << db2_.Calls();
  }
}

TEST_F(KestrelRestoreTest, RollForwardToAPointInTimeBetweenLoggedWrites) {
  // Object answers: two backups of three partition images, then archived logs.
  ASSERT_NO_FATAL_FAILURE(Start(9, 30));
  ASSERT_NO_FATAL_FAILURE(PutLogsConfig("LOGGED"));
  db2_.CreateDatabase("LOGGED", {0, 1, 2}, 0, {"USERSPACE1"}, true);
  db2_.InstallUserExit(TARN_PLOVER_PROGRAM);
  auto log = [&](const std::string& data, const std::string& time) {
    db2sim::WriteLogged(db2_.store(), kInstance, "LOGGED", 0, "USERSPACE1", data, time);
  };
  auto sums = [&] { return Sums("LOGGED"); };
  // Image times are the wall clock's; the logged writes after the second
  // image are stamped next year.
  const std::string next = std::to_string(std::stoi(UtcTime(std::time(nullptr)).substr(0, 4)) + 1);
  log("r1.", UtcTime(std::time(nullptr) - 3600));
  const AgentRun b = Agent("-backup -dbname LOGGED");
  ASSERT_EQ(b.exitCode, 0) << b.output;
  // A stop time after the first image and before the second.
  const std::time_t between = std::time(nullptr);
  log("r2.", UtcTime(between));
  const Checksums atBetween = sums();
  log("r2b.", next + "-01-01-08.00.00");
  const std::string firstLog = tarn::test::ReadFile(db2_.store().NodeDir(kInstance, "LOGGED", 0) +
                                                    "/logs/" + db2sim::LogFileName(0));
  ASSERT_FALSE(firstLog.empty());
  ASSERT_EQ(db2sim::ArchiveLog(db2_.store(), kInstance, "LOGGED", 0, 60000), 0) << db2_.Calls();
  while (std::time(nullptr) <= between + 1) usleep(100000);
  const AgentRun b2 = Agent("-backup -dbname LOGGED");
  ASSERT_EQ(b2.exitCode, 0) << b2.output;
  log("r3.", next + "-01-01-10.00.00");
  const Checksums atEleven = sums();
  ASSERT_EQ(db2sim::ArchiveLog(db2_.store(), kInstance, "LOGGED", 0, 60000), 0) << db2_.Calls();
  log("r4.", next + "-01-01-12.00.00");
  ASSERT_EQ(db2sim::ArchiveLog(db2_.store(), kInstance, "LOGGED", 0, 60000), 0) << db2_.Calls();
  ASSERT_NE(sums(), atEleven);

  struct Case {
    const char* what;
    std::string time;  // local, in `zone`
    const char* zone;
    std::string utc;  // what DB2 is given
    const Checksums& expected;
  };
  const std::string eleven = next + "-01-01-11.00.00";
  const Case cases[] = {
      // The second image is later than the stop time: the first one is restored.
      {"before the last image", UtcTime(between), "UTC0", UtcTime(between), atBetween},
      {"between logged writes", eleven, "UTC0", eleven, atEleven},
      // A zone with daylight saving, in its winter time (one hour east).
      {"between logged writes, CET", next + "-01-01-12.00.00", "CET-1CEST,M3.5.0,M10.5.0/3",
       eleven, atEleven},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AgentRun r = Agent("-restore -dbname LOGGED -rollforward -time " + c.time, {},
                             {std::string("TZ=") + c.zone});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(sums(), c.expected) << db2_.Calls();
    EXPECT_FALSE(db2_.store().ReadNodeState(kInstance, "LOGGED", 0).rfPending);
    EXPECT_NE(db2_.Calls().find("stop=" + c.utc + ".000000"), std::string::npos) << db2_.Calls();
  }
  // What the run leaves alone, and what it brings back. A log item of the
  // option line comes back to the path it was archived from, never over a
  // file there (a log of a newer log chain, say). A refused run still runs
  // the post-execution script once the pre-execution one ran.
  const std::string wanted =
      db2_.store().NodeDir(kInstance, "LOGGED", 0) + "/logs/" + db2sim::LogFileName(0);
  const std::string ran = MarkPostScript();
  struct Tail {
    const char* what;
    std::string line;
    const char* there;  // the file at the log's path before the run; null for none
    int exitCode;
    const char* says;
    const std::string& after;  // the file at the log's path after the run
  };
  const std::string newer = "a log of a newer log chain";
  const Tail tails[] = {
      {"no image before the stop time",
       "-restore -dbname LOGGED -rollforward -time 2001-01-01-00.00.00", newer.c_str(), 1,
       "No backup of database LOGGED taken before", newer},
      {"a log file in the way", "-restore -logname LOGGED*" + wanted, newer.c_str(),
       kExitPartitionFailed, "is already there; it is kept", newer},
      {"a log file not there", "-restore -logname LOGGED*" + wanted, nullptr, 0, "", firstLog},
  };
  for (const Tail& t : tails) {
    SCOPED_TRACE(t.what);
    std::filesystem::remove(db2_.store().CallsLog());
    std::filesystem::remove(ran);
    std::filesystem::remove(wanted);
    if (t.there != nullptr) tarn::test::WriteFile(wanted, t.there);
    const AgentRun r = Agent(t.line + " -pre mark_post -post mark_post", {}, {"TZ=UTC0"});
    EXPECT_EQ(r.exitCode, t.exitCode) << r.output;
    EXPECT_NE(r.output.find(t.says), std::string::npos) << r.output;
    EXPECT_EQ(db2_.Calls().find("sqlurestore"), std::string::npos) << db2_.Calls();
    EXPECT_TRUE(tarn::test::ReadFile(wanted) == t.after);
    EXPECT_EQ(tarn::test::ReadFile(ran), "ran\nran\n");
  }
}

TEST_F(KestrelRestoreTest, ARunThatCannotDoAllItWasAskedFailsWithAReport) {
  ASSERT_NO_FATAL_FAILURE(Start(4, 8));
  db2_.CreateDatabase("OTHER", {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"});
  // While these backups run the stored partition list lacks partition 2.
  ASSERT_NO_FATAL_FAILURE(Nodes({0, 1}));
  const AgentRun other = Agent("-backup -dbname OTHER");
  ASSERT_EQ(other.exitCode, 0) << other.output;
  ASSERT_EQ(Agent("-backup -dbname SAMPLE").exitCode, 0);
  ASSERT_NO_FATAL_FAILURE(PutConfig());

  struct Case {
    const char* what;
    std::string line;
    int exitCode;
    const char* says;
    int restores;
  };
  const Case cases[] = {
      {"named session of another database",
       "-restore -dbname SAMPLE -sessionID " + Field(other.record, "key"), kExitPartitionFailed,
       "holds no image of database SAMPLE", 0},
      {"newest session lacks a partition", "-restore -dbname SAMPLE", kExitPartitionFailed,
       "partition 2 of database SAMPLE", 0},
      {"log never archived", "-restore -logname SAMPLE*/nolog/S9999999.LOG", kExitPartitionFailed,
       "S9999999.LOG", 0},
      {"restore without item", "-restore", kExitRefused, "names no database", 0},
      {"backup without item", "-backup", kExitRefused, "names no database", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(Restores(), c.restores);
  }
}

TEST_F(KestrelRestoreTest, ADroppedDatabaseComesBackOnlyWhenItsCatalogPartitionIsKnown) {
  ASSERT_NO_FATAL_FAILURE(Start(6, 4));
  db2_.CreateDatabase("PAIR", {0, 1}, 1, {"SYSCATSPACE", "USERSPACE1"});
  db2_.CreateDatabase("SOLO", {0}, 0, {"SYSCATSPACE", "USERSPACE1"});
  struct Case {
    const char* what;
    const char* database;
    std::vector<int> nodes;
    std::string line;
    const char* says;
    int restores;
  };
  // The stand-in makes a missing database without log archiving, so DB2
  // answers the roll-forward of SOLO with its "not pending" error: what
  // counts is that the roll-forward ran after the catalog partition.
  const Case cases[] = {
      {"three partitions", kDatabase, {0, 1, 2}, "-restore -dbname SAMPLE", "catalog partition", 0},
      {"two partitions, roll-forward asked",
       "PAIR",
       {0, 1},
       "-restore -dbname PAIR -rollforward",
       "catalog partition",
       0},
      {"the instance's only partition",
       "SOLO",
       {0},
       "-restore -dbname SOLO -rollforward",
       "Rollforward of database SOLO started",
       1},
  };
  for (const Case& c : cases) {
    ASSERT_NO_FATAL_FAILURE(Nodes(c.nodes));
    const AgentRun b = Agent(std::string("-backup -dbname ") + c.database);
    ASSERT_EQ(b.exitCode, 0) << b.output;
    db2_.DropDatabase(c.database);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Nodes(c.nodes));
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line);
    EXPECT_EQ(r.exitCode, kExitPartitionFailed) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(Restores(), c.restores);
  }
}

TEST_F(KestrelRestoreTest, PartitionsThatCannotBeReadFailTheRun) {
  ASSERT_NO_FATAL_FAILURE(Start(3, 6));
  ASSERT_EQ(Agent("-backup -dbname SAMPLE").exitCode, 0);
  // A pre-execution script takes the instance's configuration away after the
  // agent's start has read it.
  root_.write("/opt/tarn/bin/lose_config",
              "#!/bin/sh\nfind '" + cs_->stateDir() +
                  "' -type f -path '*items*' -exec grep -la DB2_NODES {} + | xargs rm -f\n");
  std::filesystem::permissions(root_.at("/opt/tarn/bin/lose_config"),
                               std::filesystem::perms::owner_all);
  struct Case {
    const char* what;
    std::string line;
    std::vector<std::string> extra;
    const char* says;
  };
  const std::string directory = "TARN_DB2_FAULTS=sqledosd_api=-1031";
  const Case cases[] = {
      {"backup, directory", "-backup -dbname SAMPLE", {directory}, "database directory"},
      {"restore, directory", "-restore -dbname SAMPLE", {directory}, "database directory"},
      {"backup, configuration", "-backup -dbname SAMPLE -pre lose_config", {}, "configuration"},
      {"restore, configuration", "-restore -dbname SAMPLE -pre lose_config", {}, "configuration"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(PutConfig());
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line, {}, c.extra);
    EXPECT_EQ(r.exitCode, kExitPartitionFailed) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    const std::string calls = db2_.Calls();
    EXPECT_EQ(calls.find("sqlubkp"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("sqlurestore"), std::string::npos) << calls;
  }
}

TEST_F(KestrelRestoreTest, AWholeDatabaseAndItsTableSpaceComeFromOneSession) {
  ASSERT_NO_FATAL_FAILURE(Start(6, 12));
  ASSERT_EQ(Agent("-backup -dbname SAMPLE").exitCode, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  // The newer backup no longer holds USERSPACE1, so the table space alone
  // would be found in the older session.
  for (int node : {0, 1, 2})
    std::filesystem::remove_all(db2_.store().NodeDir(kInstance, kDatabase, node) +
                                "/ts/USERSPACE1");
  ASSERT_EQ(Agent("-backup -dbname SAMPLE").exitCode, 0);
  std::filesystem::remove(db2_.store().CallsLog());
  const AgentRun r = Agent("-restore -dbname SAMPLE -tsname SAMPLE*USERSPACE1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  // The three partitions of the newer session, and no table-space restore
  // from the older one after them.
  EXPECT_EQ(Restores(), 3) << db2_.Calls();
}

// A table-space image holds its table spaces' entries only: a table-space
// restore finds it, a restore of the whole database passes over it for the
// older whole image.
TEST_F(KestrelRestoreTest, ATableSpaceImageServesTableSpaceRestoresOnly) {
  ASSERT_NO_FATAL_FAILURE(Start(9, 12));
  Fill('a');
  const Checksums whole = Sums();
  ASSERT_FALSE(Backup().empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Fill('k');
  std::vector<std::string> spaces;
  for (int node : {0, 1, 2}) spaces.push_back(Content(node, "USERSPACE1"));
  const AgentRun ts = Agent("-backup -tsname SAMPLE*USERSPACE1");
  ASSERT_EQ(ts.exitCode, 0) << ts.output;
  std::string stored;
  for (const std::string& v : tarn::test::FileLines(cs_->stateDir() + "/catalogue"))
    if (v.rfind("cat-version ", 0) == 0 && v.find(Field(ts.record, "key")) != std::string::npos)
      stored += v + "\n";
  // The catalogue's state file writes the separator escaped.
  EXPECT_NE(stored.find(R"(DBtree=/db2inst1/SAMPLE/USERSPACE1/\x01})"), std::string::npos)
      << stored;
  EXPECT_EQ(stored.find(R"(/db2inst1/SAMPLE/\x01)"), std::string::npos) << stored;

  Fill('u');
  AgentRun r = Agent("-restore -tsname SAMPLE*USERSPACE1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (int node : {0, 1, 2}) EXPECT_TRUE(Content(node, "USERSPACE1") == spaces[node]) << node;
  r = Agent("-restore -dbname SAMPLE");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Sums(), whole);
}

// A restore decides everything it can before the first partition is
// overwritten: a database comes back whole from one session, or is left as
// it was with a report. Session A holds every partition; the newer session B
// lacks partition 2, whose backup failed in DB2. Of database PART, table
// space TS0 lies on partition 0 only and TS1 on partitions 0 and 1; session C
// holds TS0, session D TS1 of partition 1 only (partition 0's failed).
TEST_F(KestrelRestoreTest, ARestoreDecidesBeforeAnyPartitionIsOverwritten) {
  ASSERT_NO_FATAL_FAILURE(Start(12, 30));
  db2_.CreateDatabase("OTHER", {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"});
  Fill('a');
  const Checksums a = Sums();
  const std::string keyA = Backup();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Fill('k');
  const AgentRun failed =
      Agent("-backup -dbname SAMPLE -conc 2", {}, {"TARN_DB2_FAULTS=sqlubkp.node2=-2079"});
  ASSERT_EQ(failed.exitCode, kExitPartitionFailed) << failed.output;
  const std::string keyB = Field(failed.record, "key");
  ASSERT_NE(keyA, keyB);
  db2_.CreateDatabase("PART", {0, 1, 2}, 1, {"SYSCATSPACE"}, true);
  db2_.store().EnsurePartition(kInstance, "PART", 0, {{"TS0", 1}, {"TS1", 1}}, true);
  db2_.store().EnsurePartition(kInstance, "PART", 1, {{"TS1", 1}}, true);
  // No log was archived: the roll-forward ends at once.
  root_.write("/opt/tarn/bin/no_logs", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(root_.at("/opt/tarn/bin/no_logs"),
                               std::filesystem::perms::owner_all);
  db2_.InstallUserExit(root_.at("/opt/tarn/bin/no_logs"));
  db2_.store().WriteData(kInstance, "PART", 0, "TS0", "backed up");
  const Checksums t = Sums("PART");
  ASSERT_EQ(Agent("-backup -tsname PART*TS0").exitCode, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const AgentRun ts1 =
      Agent("-backup -tsname PART*TS1", {}, {"TARN_DB2_FAULTS=sqlubkp.node0=-2079"});
  ASSERT_EQ(ts1.exitCode, kExitPartitionFailed) << ts1.output;
  // Reports name a session in the agent's form "YYYY/MM/DD NNNN".
  auto agentForm = [](const std::string& key) {
    const std::size_t dash = key.rfind('-');
    char number[8];
    std::snprintf(number, sizeof number, "%04d", std::stoi(key.substr(dash + 1)));
    return key.substr(0, dash) + " " + number;
  };
  // A stop time later than every image, in the zone the agent runs in.
  const std::string stop = UtcTime(std::time(nullptr) + 86400);
  const std::string elsewhere = "localhost";
  ASSERT_NE(std::string(CmnExpandHostname(elsewhere.c_str())), std::string(cmnHostname));

  struct Case {
    const char* what;
    std::function<void()> setUp;  // after the database is reset to u
    std::string line;
    int exitCode;
    std::vector<std::string> says;
    std::string database;  // whose partitions are compared
    std::string states;    // of partitions 0, 1, 2: 'a' as in session A, 't' in C, 'u' before
  };
  const std::string noImage = "Session " + agentForm(keyB) +
                              " holds no image of partition 2 of database SAMPLE; nothing of "
                              "the database is restored.";
  const Case cases[] = {
      {"newest session lacks a partition",
       {},
       "-restore -dbname SAMPLE",
       kExitPartitionFailed,
       {noImage, "The newest session that holds an image of every partition of database SAMPLE "
                 "is " + agentForm(keyA) + ";"},
       kDatabase,
       "uuu"},
      {"named session lacks a partition",
       {},
       "-restore -dbname SAMPLE -sessionID " + keyB,
       kExitPartitionFailed,
       {noImage},
       kDatabase,
       "uuu"},
      {"the stop time's session lacks a partition",
       {},
       "-restore -dbname SAMPLE -rollforward -time " + stop,
       kExitPartitionFailed,
       {noImage, "every partition of database SAMPLE before the roll-forward time is " +
                     agentForm(keyA) + ";"},
       kDatabase,
       "uuu"},
      {"a table-space item names the session of the whole database",
       {},
       "-restore -dbname SAMPLE -tsname SAMPLE*USERSPACE1 -sessionID " + keyA,
       0,
       {"Restore of database SAMPLE, partition 1 completed"},
       kDatabase,
       "aaa"},
      {"the whole database and its table space name two sessions",
       {},
       "-restore -dbname SAMPLE -sessionID " + keyA + " -tsname SAMPLE*USERSPACE1 -sessionID " +
           keyB,
       kExitRefused,
       {"The items of database SAMPLE name two sessions"},
       kDatabase,
       "uuu"},
      {"no partition on this host",
       [&] { Nodes({}, elsewhere); },
       "-restore -dbname SAMPLE -sessionID " + keyA + " -rollforward",
       kExitPartitionFailed,
       {"No partition of database SAMPLE runs on this host (" + std::string(cmnHostname) +
        "); the database is not restored."},
       kDatabase,
       "uuu"},
      {"a partition DB2 will not switch to",
       [&] { db2sim::SetFault(db2_.store().root(), "sqlesetc_api.node2", -1024); },
       "-restore -dbname SAMPLE -sessionID " + keyA,
       kExitPartitionFailed,
       {"Partition 2 of database SAMPLE cannot be attached; nothing of the database is "
        "restored."},
       kDatabase,
       "uuu"},
      {"the catalog partition on another host",
       [&] { Nodes({0, 2}, elsewhere); },
       "-restore -dbname SAMPLE -sessionID " + keyA + " -rollforward",
       0,
       {"The roll-forward of database SAMPLE is run by the restore on host " +
        std::string(CmnExpandHostname(elsewhere.c_str())) + " (catalog partition 1)."},
       kDatabase,
       "aua"},
      {"a table space on one partition only",
       [&] {
         db2_.store().WriteData(kInstance, "PART", 0, "TS0", "changed");
         db2_.store().WriteData(kInstance, "PART", 1, "SYSCATSPACE", "changed catalog");
       },
       "-restore -tsname PART*TS0 -rollforward",
       0,
       {"Restore of database PART, partition 0 completed",
        "Rollforward of database PART completed."},
       "PART",
       "tuu"},
      {"a table space on two partitions, one without image",
       [&] { db2_.store().WriteData(kInstance, "PART", 0, "TS1", "changed"); },
       "-restore -tsname PART*TS1",
       kExitPartitionFailed,
       {"holds no image of partition 0 of database PART; nothing of the database is restored."},
       "PART",
       "uuu"},
      // Last: SAMPLE is gone from DB2's directory after it.
      {"a new name in the directory, the source not",
       [&] { db2_.DropDatabase(kDatabase); },
       "-restore -dbname SAMPLE -sessionID " + keyA + " -newdbname OTHER",
       0,
       {"Restore of database SAMPLE, partition 1 completed"},
       "OTHER",
       "aaa"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(PutConfig());
    db2sim::SetFault(db2_.store().root(), "sqlesetc_api.node2", 0, true);
    Fill('u');
    db2_.store().WriteData(kInstance, kDatabase, 1, "SYSCATSPACE", "changed catalog");
    if (c.setUp) {
      ASSERT_NO_FATAL_FAILURE(c.setUp());
    }
    const Checksums u = Sums(c.database);
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line, {}, {"TZ=UTC0"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    for (const std::string& text : c.says)
      EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
    const Checksums now = Sums(c.database);
    for (int node : {0, 1, 2})
      EXPECT_EQ(now[node], (c.states[node] == 'a' ? a : c.states[node] == 't' ? t : u)[node])
          << "partition " << node;
    if (c.states == "uuu") {
      EXPECT_EQ(db2_.Calls().find("sqlurestore"), std::string::npos) << db2_.Calls();
    }
  }
}

}  // namespace
