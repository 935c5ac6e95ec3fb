// The agent as a program against the stand-in DB2, cell server and media
// agent: partition order and the device bound in DB2's calls log, backup
// levels, table-space backups, the test run, refused runs, and images that
// the vendor library restores.
#include "cmn/sem.h"
#include "db2/nodesem.h"
#include "kestrel_fixture.h"
#include "leftovers.h"
#include "pacewatch.h"

TARN_RCSID("integ/db2/kestrel/test/backup_test.cpp");

namespace {

// The partitions in the order their backups started, and the most that ran
// at once (a backup runs from its sqlubkp line to the result line of the
// same process).
struct Schedule {
  std::vector<int> order;
  int most = 0;
  std::vector<std::string> timestamps;  // per partition in `order`
};

Schedule ReadSchedule(const std::string& log) {
  Schedule s;
  std::map<std::string, int> open;
  for (const Call& c : Calls(log)) {
    if (c.call == "sqlubkp") {
      open[c.pid] = std::stoi(Field(c.text, "node"));
      s.order.push_back(open[c.pid]);
      s.timestamps.emplace_back();
      s.most = std::max(s.most, static_cast<int>(open.size()));
    } else if (c.call == "sqlubkp-result" && open.count(c.pid) != 0) {
      const int node = open[c.pid];
      open.erase(c.pid);
      for (std::size_t i = 0; i < s.order.size(); ++i)
        if (s.order[i] == node) s.timestamps[i] = Field(c.text, "timestamp");
    }
  }
  return s;
}

TEST_F(KestrelTest, PartitionsRunCatalogFirstAndNeverMoreThanTheDevices) {
  for (int devices : {1, 2}) {
    SCOPED_TRACE(devices);
    ASSERT_NO_FATAL_FAILURE(Start(6, 6));
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r =
        Agent("-backup -dbname sample -conc 2 -dev_number " + std::to_string(devices));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.record.find("outcome=completed"), std::string::npos) << r.record;
    // Every image DB2's sessions stored belongs to the agent's session.
    const std::string key = Field(r.record, "key");
    ASSERT_FALSE(key.empty());
    int images = 0;
    for (const std::string& v : tarn::test::FileLines(cs_->stateDir() + "/catalogue")) {
      if (v.rfind("cat-version ", 0) != 0) continue;
      const std::size_t close = v.find('"', v.find('"') + 1);
      EXPECT_EQ(v.substr(close + 2, key.size() + 2), "\"" + key + "\"") << v;
      ++images;
    }
    EXPECT_EQ(images, 6);
    const std::string log = tarn::test::ReadFile(db2_.store().CallsLog());
    const Schedule s = ReadSchedule(log);
    ASSERT_EQ(s.order.size(), 3u) << log;
    EXPECT_EQ(s.order[0], 1);
    // The others start in the order of the partition list; with two devices
    // both start at once, either first.
    std::vector<int> others(s.order.begin() + 1, s.order.end());
    if (devices > 1) std::sort(others.begin(), others.end());
    EXPECT_EQ(others, (std::vector<int>{0, 2}));
    EXPECT_LE(s.most, devices) << log;
    for (std::size_t i = 0; i < s.order.size(); ++i) {
      ASSERT_FALSE(s.timestamps[i].empty()) << log;
      EXPECT_EQ(Restore(s.order[i], s.timestamps[i]), 0) << s.order[i];
    }
    StopStandIns();
  }
}

TEST_F(KestrelTest, LevelsAndTableSpacesReachDb2) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string line;
    const char* type;  // of every sqlubkp-parameters line
    int partitions;
    const char* options = "";  // the vendor-options size, when it is fixed
  };
  // A table-space record holds only its table space's entry:
  // "/db2inst1/SAMPLE/USERSPACE1/" and its separator, 29 bytes, after the
  // 4512 fixed bytes, then the NUL and the spare byte.
  const Case cases[] = {
      {"incremental", {"-incr"}, "-backup -dbname SAMPLE", "type=16", 3},
      {"delta", {"-incr", "-delta"}, "-backup -dbname SAMPLE -offline", "type=48", 3},
      {"table space", {}, "-backup -tsname SAMPLE*USERSPACE1", "type=3", 3, "options=4543"},
  };
  ASSERT_NO_FATAL_FAILURE(Start(12));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line, c.args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::vector<Call> calls = Calls(tarn::test::ReadFile(db2_.store().CallsLog()));
    int params = 0, ok = 0;
    for (const Call& call : calls) {
      if (call.call == "sqlubkp-parameters") {
        ++params;
        const bool offline = c.line.find("offline") != std::string::npos;
        EXPECT_EQ(call.text.rfind(std::string("mode=") + (offline ? "0 " : "1 ") + c.type, 0), 0u)
            << call.text;
        if (*c.options != '\0') {
          EXPECT_TRUE(call.text.ends_with(c.options)) << call.text;
        }
      }
      if (call.call == "sqlubkp-result" && call.text.rfind("sqlcode=0", 0) == 0) ++ok;
    }
    EXPECT_EQ(params, c.partitions);
    EXPECT_EQ(ok, c.partitions);
  }
}

TEST_F(KestrelTest, DebugWordsOfTheLineKeepTheSessionManagersOptions) {
  ASSERT_NO_FATAL_FAILURE(Start(6));
  const AgentRun r = Agent("-backup -dbname SAMPLE -debug 1-99 kt");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::string trace;
  for (const auto& e : std::filesystem::directory_iterator(root_.at("/var/opt/tarn/tmp"))) {
    const std::string name = e.path().filename().string();
    if (name.rfind("VEKDBG_", 0) == 0 && name.find("KESTREL") != std::string::npos &&
        name.ends_with("_kt"))
      trace += tarn::test::ReadFile(e.path().string());
  }
  ASSERT_FALSE(trace.empty());
  // What DB2's sessions get: the merged debug words and -server.
  EXPECT_NE(trace.find("VEKOPTS=-debug 1-99 kt -server 127.0.0.1"), std::string::npos);
}

// The configuration's Environment may carry settings of its own (tracing,
// another server, another barlist); DB2's sessions still join the session
// of the session manager that started the agent.
TEST_F(KestrelTest, TheConfiguredEnvironmentDoesNotDivertTheSessions) {
  ASSERT_NO_FATAL_FAILURE(Start(18));
  const std::pair<const char*, const char*> configured[] = {
      {"VEKOPTS", "-server 127.0.0.3"},
      {"VEKOPTS", "-debug 1-99 cfg -server 127.0.0.3"},
      {"VEKBARLIST", "other"},
  };
  for (const auto& [name, value] : configured) {
    SCOPED_TRACE(std::string(name) + "=" + value);
    ASSERT_NO_FATAL_FAILURE(PutConfig([&](BpList* config) {
      CmnVar* environment = nullptr;
      BP_AddList(config, "Environment", &environment);
      BP_AddStr(environment, name, value);
    }));
    const AgentRun r = Agent("-backup -dbname SAMPLE");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string key = Field(r.record, "key");
    ASSERT_FALSE(key.empty()) << r.record;
    int images = 0;
    for (const std::string& v : tarn::test::FileLines(cs_->stateDir() + "/catalogue")) {
      if (v.rfind("cat-version ", 0) != 0) continue;
      const std::size_t close = v.find('"', v.find('"') + 1);
      images += v.substr(close + 2, key.size() + 2) == "\"" + key + "\"";
    }
    EXPECT_EQ(images, 3);
  }
}

TEST_F(KestrelTest, TestRunStartsSiskinAndOnlyChecksTheParameters) {
  ASSERT_NO_FATAL_FAILURE(Start(0));
  const AgentRun r = Agent("-backup -dbname SAMPLE", {}, {"TEST_BAR=1"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(tarn::test::ReadFile(root_.at("/var/opt/tarn/log/siskin.log")),
            "siskin -perform:backup -type:DB2 -appname:db2inst1 -bar:nightly\n");
  const std::vector<Call> calls = Calls(tarn::test::ReadFile(db2_.store().CallsLog()));
  int checked = 0;
  for (const Call& call : calls) checked += call.text == "sqlcode=0 checked only";
  EXPECT_EQ(checked, 3);
}

TEST_F(KestrelTest, RefusedRunsAreReportedAndEndNonZero) {
  ASSERT_NO_FATAL_FAILURE(Start(0));
  struct Case {
    const char* what;
    std::string line;
    std::vector<std::string> extra;
    int exitCode;
    const char* says;
  };
  const Case cases[] = {
      {"missing barlist", "-backup -dbname SAMPLE", {"VEKBARLIST="}, kExitRefused, "VEKBARLIST"},
      {"option line that does not parse",
       "-backup -conc many",
       {},
       kExitRefused,
       "could not be parsed"},
      {"missing instance", "-backup -dbname SAMPLE", {"VEKAPPNAME="}, 255, "VEKAPPNAME"},
      {"failed partition",
       "-backup -dbname SAMPLE",
       {"TARN_DB2_FAULTS=sqlubkp=-2079"},
       kExitPartitionFailed,
       "partition backup(s) failed"},
      {"empty option line", "", {}, kExitRefused, "no action"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AgentRun r = Agent(c.line, {}, c.extra);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
  std::filesystem::remove(db2_.store().CallsLog());
  db2_.Fault("sqleatin_api", -1032);
  const AgentRun stopped = Agent("-backup -dbname SAMPLE");
  EXPECT_EQ(stopped.exitCode, 255) << stopped.output;
  EXPECT_NE(stopped.output.find(kInstance), std::string::npos) << stopped.output;
  int backups = 0;
  for (const Call& c : Calls(tarn::test::ReadFile(db2_.store().CallsLog())))
    backups += c.call == "sqlubkp";
  EXPECT_EQ(backups, 0);
}

// What the session manager's output says of a backup that did less than it
// was asked: the partitions it backed up, and a failure when a database was
// refused or nothing of it was backed up; later databases and the
// post-execution script still run.
TEST_F(KestrelTest, ABackupNamesItsPartitionsAndFailsWhenADatabaseIsLeftOut) {
  ASSERT_NO_FATAL_FAILURE(Start(12));
  db2_.CreateDatabase("OTHER", {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"});
  db2_.CreateDatabase("LONGTS", {0, 1, 2}, 1, {"SYSCATSPACE", "TABLESPACE_NAMED_19"});
  const std::string ran = MarkPostScript();
  // A partition run elsewhere: a host name that is not this one.
  const std::string elsewhere = "localhost";
  ASSERT_NE(std::string(CmnExpandHostname(elsewhere.c_str())), std::string(cmnHostname));
  struct Case {
    const char* what;
    std::vector<int> nodes;  // of the stored partition list on this host
    std::string line;
    int exitCode;
    std::vector<std::string> says;
    int notHere;                    // reports of table spaces not on a partition
    std::vector<std::string> done;  // "<database> <node>" of each backup, in order
  };
  const std::string post = " -post mark_post";
  const Case cases[] = {
      {"partition list without partition 2",
       {0, 1},
       "-backup -dbname SAMPLE",
       0,
       {"Backed up database SAMPLE, partitions 0, 1."},
       0,
       {"SAMPLE 1", "SAMPLE 0"}},
      {"table space on no partition",
       {0, 1, 2},
       "-backup -tsname SAMPLE*NOWHERE" + post,
       kExitPartitionFailed,
       {"Nothing of database SAMPLE was backed up.",
        "Table space NOWHERE of database SAMPLE is on no partition of this host"},
       3,
       {}},
      {"one table space of two on no partition",
       {0, 1, 2},
       "-backup -tsname SAMPLE*NOSUCH -tsname SAMPLE*USERSPACE1" + post,
       kExitPartitionFailed,
       {"Backed up database SAMPLE, partitions 0, 1, 2.",
        "Table space NOSUCH of database SAMPLE is on no partition of this host"},
       0,
       {"SAMPLE 1", "SAMPLE 0", "SAMPLE 2"}},
      {"no partition on this host",
       {},
       "-backup -dbname SAMPLE" + post,
       kExitPartitionFailed,
       {"No partition of database SAMPLE runs on this host"},
       0,
       {}},
      {"table-space name too long, then another database",
       {0, 1, 2},
       "-backup -tsname LONGTS*TABLESPACE_NAMED_19 -tsname OTHER*USERSPACE1" + post,
       kExitPartitionFailed,
       {"TABLESPACE_NAMED_19 of database LONGTS has a name longer than 18 characters",
        "Backed up database OTHER, partitions 0, 1, 2."},
       0,
       {"OTHER 1", "OTHER 0", "OTHER 2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Nodes(c.nodes, elsewhere));
    std::filesystem::remove(db2_.store().CallsLog());
    std::filesystem::remove(ran);
    const AgentRun r = Agent(c.line);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    for (const std::string& text : c.says)
      EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
    EXPECT_EQ(Occurrences(r.output, "Requested tablespaces are not on this node"), c.notHere)
        << r.output;
    std::vector<std::string> done;
    for (const Call& call : Calls(tarn::test::ReadFile(db2_.store().CallsLog())))
      if (call.call == "sqlubkp")
        done.push_back(Field(call.text, "alias") + " " + Field(call.text, "node"));
    EXPECT_EQ(done, c.done);
    if (c.line.ends_with(post)) {
      EXPECT_EQ(tarn::test::ReadFile(ran), "ran\n");
    }
  }
}

// A killed agent cannot delete its two global sets; they are keyed by the
// install's paths, so the next run on the host takes the same sets over and
// deletes them when it ends: a host never collects them run after run.
TEST_F(KestrelTest, SemaphoreSetsOfAKilledAgentAreTakenBackByTheNextRun) {
  // Whatever a failure leaves goes with the test.
  struct RemoveGlobalSets {
    ~RemoveGlobalSets() {
      for (const std::string& path : {DB2GlobalLockPath(), DB2DeviceSemPath()})
        if (const int id = DB2SemOpen(path.c_str(), 0); id != -1) CmnSemDelete(id);
    }
  } removeGlobalSets;
  ASSERT_NO_FATAL_FAILURE(Start(18));
  tarn::test::Leftovers leftovers(root_.path());
  std::filesystem::remove(db2_.store().CallsLog());
  Launch("-backup -dbname SAMPLE -conc 2");
  // The agent backs the catalog partition up in its own process: the pid of
  // that partition's sqlubkp, killed once its sessions write.
  pid_t agent = -1;
  for (int i = 0; i < 1500 && agent < 0; ++i) {
    std::string pid;
    bool writing = false;
    for (const Call& c : Calls(tarn::test::ReadFile(db2_.store().CallsLog()))) {
      if (c.call == "sqlubkp" && pid.empty()) pid = c.pid;
      writing = writing || c.call == "sqluvput";
    }
    if (writing && !pid.empty()) agent = std::stoi(pid);
    if (agent < 0) usleep(10000);
  }
  ASSERT_GT(agent, 0) << tarn::test::ReadFile(db2_.store().CallsLog());
  ASSERT_EQ(kill(agent, SIGKILL), 0);
  const std::string launches = cs_->stateDir() + "/launches";
  for (int i = 0; i < 1500 && tarn::test::FileLines(launches).empty(); ++i) usleep(100000);
  ASSERT_FALSE(tarn::test::FileLines(launches).empty());

  const AgentRun r = Agent("-backup -dbname SAMPLE -conc 2");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  StopStandIns();
  EXPECT_EQ(leftovers.Remaining(), "");
}

}  // namespace

// Where a key path is missing pacing cannot be set up: the partitions are
// backed up all the same, and the report log says so once for each.
TEST_F(KestrelTest, PartitionsThatCannotBePacedAreBackedUpAndSaySoOnce) {
  struct Case {
    const char* program;  // the lbin key path taken away
    const char* set;      // the set the report names
  };
  const Case cases[] = {
      {"linnet", "finishedEnd"}, {"heron", "finishedStart"}, {"kestrel", "GlobalLock"}};
  ASSERT_NO_FATAL_FAILURE(Start(3 * static_cast<int>(std::size(cases))));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const std::string path = root_.at("/opt/tarn/lbin/") + c.program;
    std::filesystem::remove(path);
    const AgentRun r = Agent("-backup -dbname SAMPLE");
    root_.writeKeyPrograms();  // back, on a key of its own
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Backed up database SAMPLE, partitions 0, 1, 2."), std::string::npos)
        << r.output;
    for (int node : {0, 1, 2}) {
      const std::string says = "Partition " + std::to_string(node) +
                               " of database SAMPLE is backed up without pacing: the key path " +
                               path + " of " + c.set + " is missing.";
      EXPECT_EQ(Occurrences(r.output, says), 1) << says << "\n" << r.output;
    }
  }
}

// Two overlapping backups of two databases on an installed root with nothing
// added: the installation's key paths alone give every partition its node
// semaphores, and each one's sessions take their permits from its
// coordinator. The backups share the sets without resetting or deleting what
// the other uses: both are paced, both end 0, both restore whole, and no set
// is left when they are done.
TEST_F(KestrelInstalledTest, BackupsArePacedFromTheInstallationAloneAlsoTwoAtOnce) {
  const char* const databases[] = {kDatabase, "OTHER"};  // the second starts as the first writes
  const std::vector<int> nodes = {0, 1, 2};
  db2_.CreateDatabase(databases[1], nodes, 1, {"SYSCATSPACE", "USERSPACE1"});
  for (int node : nodes)
    db2_.store().WriteData(kInstance, databases[1], node, "USERSPACE1",
                           std::string(30000, 'p' + node));
  const int objects = static_cast<int>(std::size(databases) * nodes.size()) * 2;
  ASSERT_NO_FATAL_FAILURE(Start(objects, objects));
  std::filesystem::remove(db2_.store().CallsLog());
  std::map<std::string, Checksums> sums;
  for (const char* db : databases) sums[db] = Sums(db);
  tarn::test::Leftovers leftovers(root_.path());
  auto watch = std::make_unique<tarn::test::PaceWatch>(root_.path(), nodes);
  const std::string launches = cs_->stateDir() + "/launches";
  for (const char* db : databases) {
    // The next backup starts once DB2's sessions of this one write.
    const std::size_t calls = Calls(tarn::test::ReadFile(db2_.store().CallsLog())).size();
    Launch(std::string("-backup -dbname ") + db + " -conc 2");
    bool writing = false;
    for (int i = 0; i < 3000 && !writing; ++i) {
      const std::vector<Call> now = Calls(tarn::test::ReadFile(db2_.store().CallsLog()));
      for (std::size_t k = calls; k < now.size() && !writing; ++k)
        writing = now[k].call == "sqluvput";
      if (!writing) usleep(5000);
    }
    ASSERT_TRUE(writing) << db;
  }
  // Two backups at once: the first had not ended when the second wrote.
  EXPECT_EQ(tarn::test::FileLines(launches), std::vector<std::string>{});
  for (int i = 0; i < 1500 && tarn::test::FileLines(launches).size() < std::size(databases); ++i)
    usleep(100000);
  const std::vector<std::string> records = tarn::test::FileLines(launches);
  ASSERT_EQ(records.size(), std::size(databases));
  for (const std::string& record : records)
    EXPECT_NE(record.find("end=exit status=0 outcome=completed"), std::string::npos) << record;
  const std::string output = tarn::test::ReadFile(launches + ".out");
  EXPECT_EQ(output.find("without pacing"), std::string::npos) << output;

  // Every set existed; on each partition of each database one of its own
  // DB2 sessions took a start permit (the kernel names the last process
  // to operate on a set); none is left.
  const std::map<std::string, tarn::test::PaceWatch::Seen> sets = watch->Sets();
  EXPECT_EQ(sets.size(), 2 + 5 * nodes.size());
  std::map<std::string, std::set<pid_t>> sessions;  // "<database> <node>"
  const std::vector<Call> calls = Calls(tarn::test::ReadFile(db2_.store().CallsLog()));
  for (const Call& call : calls)
    if (call.call == "sqluvint" && Field(call.text, "action") == "W")
      sessions[Field(call.text, "alias") + " " + Field(call.text, "node")].insert(
          std::stoi(call.pid));
  for (const char* db : databases)
    for (int node : nodes) {
      const std::set<pid_t>& own = sessions[std::string(db) + " " + std::to_string(node)];
      const auto set = sets.find("canStart " + std::to_string(node));
      ASSERT_NE(set, sets.end()) << node;
      bool took = false;
      for (pid_t pid : set->second.lastUsers) took = took || own.count(pid) != 0;
      EXPECT_TRUE(took) << db << " partition " << node;
    }
  EXPECT_EQ(watch->Existing(), std::vector<std::string>{});
  watch.reset();

  // Both databases come back whole from their sessions.
  for (const char* db : databases) {
    SCOPED_TRACE(db);
    for (int node : nodes) db2_.store().WriteData(kInstance, db, node, "USERSPACE1", "damaged");
    const AgentRun r = Agent(std::string("-restore -dbname ") + db);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Sums(db), sums[db]);
  }
  StopStandIns();
  EXPECT_EQ(leftovers.Remaining(), "");
}
