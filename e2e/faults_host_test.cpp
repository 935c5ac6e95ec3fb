// Faults on the database host during a backup the session manager started:
// processes killed, a session that dies before its pacing handshake, refused
// access, the link to the cell server down at the first connection. Each
// run ends within its bound with a failure that DB2 (its SQLCODE),
// the session manager (its launch record) and the administrator (the report
// lines) all see, and leaves no process of the run behind.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "bar2/bar2.h"
#include "cmn/sysio.h"
#include "db2/db2common.h"
#include "db2/logs.h"
#include "kestrel_fixture.h"
#include "leftovers.h"
#include "link_cut.h"

TARN_RCSID("e2e/faults_host_test.cpp");

namespace {

using Clock = std::chrono::steady_clock;

// What a run may take at most, kills and clean-up included.
constexpr auto kBound = std::chrono::seconds(45);

struct Proc {
  pid_t pid = 0;
  pid_t ppid = 0;
  std::string exe;  // the program's file name
};

// The processes whose environment carries this TARN_ROOT, this one excepted.
std::vector<Proc> ProcessesOf(const std::string& root) {
  std::vector<Proc> found;
  const std::string mark = "TARN_ROOT=" + root;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
  if (!dir) return found;
  while (const dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == getpid()) continue;
    const std::string env = tarn::test::ReadFile("/proc/" + name + "/environ");
    if (env.find(std::string(1, '\0') + mark + '\0') == std::string::npos &&
        env.rfind(mark + '\0', 0) != 0)
      continue;
    const std::string stat = tarn::test::ReadFile("/proc/" + name + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size() || stat[close + 2] == 'Z') continue;
    Proc p{pid, static_cast<pid_t>(std::atoi(stat.c_str() + close + 4)), ""};
    std::error_code ec;
    p.exe = std::filesystem::read_symlink("/proc/" + name + "/exe", ec).filename();
    found.push_back(p);
  }
  return found;
}

// The pid of the first calls-log line of `call` whose text holds `with`, of
// a process that has not yet logged `unlessAfter`; 0 when there is none.
pid_t CallerOf(const std::string& log, const std::string& call, const std::string& with = "",
               const std::string& unlessAfter = "") {
  const std::vector<Call> calls = Calls(log);
  for (const Call& c : calls) {
    if (c.call != call || c.text.find(with) == std::string::npos) continue;
    const bool ended =
        !unlessAfter.empty() && std::any_of(calls.begin(), calls.end(), [&](const Call& d) {
          return d.pid == c.pid && d.call == unlessAfter;
        });
    if (!ended) return static_cast<pid_t>(std::stoi(c.pid));
  }
  return 0;
}

class HostFaultsTest : public KestrelTest {
 protected:
  // The session manager's run of the agent, against a media agent that holds
  // each stream at a block, while a watcher thread kills: whenever every open
  // stream waits at its held block, nothing of the run moves, and when the
  // DB2 calls so far let `target` name processes, those are killed; else the
  // held streams go on. After the kill every stream goes on. (A thread, not a forked
  // child: a fork while the leftover check's thread holds a lock of the
  // allocator may leave the child stuck.)
  AgentRun RunKilling(const std::string& line, const std::vector<std::string>& extra,
                      const std::function<std::vector<pid_t>(const std::string& calls)>& target) {
    const std::string log = db2_.store().CallsLog();
    std::atomic<bool> done{false};
    std::atomic<bool> killed{false};
    std::thread watcher([&] {
      const auto released = [this] {
        const std::vector<std::string> traffic = ma_->traffic();
        return std::count_if(traffic.begin(), traffic.end(), [](const std::string& l) {
          return l.find(" fault released ") != std::string::npos;
        });
      };
      const Clock::time_point until = Clock::now() + kBound;
      bool fired = false;
      while (!done && Clock::now() < until) {
        const int held = ma_->held();
        if (held == 0 || (!fired && held != ma_->openConnections())) {
          usleep(2000);
          continue;
        }
        if (!fired) {
          const std::vector<pid_t> pids = target(tarn::test::ReadFile(log));
          for (pid_t pid : pids)
            if (::kill(pid, SIGKILL) == 0) killed = true;
          fired = !pids.empty();
        }
        const auto before = released();
        ma_->release();
        while (!done && released() < before + held && Clock::now() < until) usleep(2000);
      }
    });
    AgentRun r = Agent(line, {}, extra);
    done = true;
    watcher.join();
    EXPECT_TRUE(killed) << "nothing was killed";
    return r;
  }

  // What every failed run must show: the agent's non-zero exit, the session
  // manager's failed outcome, `says` in what the administrator reads (the
  // agent's output the session manager keeps, and the report lines it got),
  // all within the bound; and once the stand-ins are stopped, nothing of the
  // run that `leftovers` watched.
  void ExpectVisibleFailure(const AgentRun& r, Clock::time_point began, const std::string& says,
                            const tarn::test::Leftovers& leftovers) {
    EXPECT_GT(r.exitCode, 0) << r.record << "\n" << r.output;
    // A sanitizer's report would also end the agent non-zero.
    EXPECT_EQ(r.output.find("Sanitizer"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("runtime error:"), std::string::npos) << r.output;
    EXPECT_NE(r.record.find("outcome=failed"), std::string::npos) << r.record;
    std::string seen = r.output;
    for (const std::string& t : cs_->traffic())
      if (t.find("report") != std::string::npos) seen += t + "\n";
    EXPECT_NE(seen.find(says), std::string::npos) << seen;
    EXPECT_LT(Clock::now() - began, kBound);
    StopStandIns();
    EXPECT_EQ(leftovers.Remaining(), "");
  }

  // DB2's answers to the backup calls, as "node=<n> sqlcode=<c>" by pid order.
  std::vector<std::string> BackupResults() const {
    const std::vector<Call> calls = Calls(tarn::test::ReadFile(db2_.store().CallsLog()));
    std::map<std::string, std::string> node;
    std::vector<std::string> results;
    for (const Call& c : calls) {
      if (c.call == "sqlubkp") node[c.pid] = Field(c.text, "node");
      if (c.call == "sqlubkp-result")
        results.push_back("node=" + node[c.pid] + " sqlcode=" + Field(c.text, "sqlcode"));
    }
    return results;
  }
};

// A backup's processes killed while its data flows: a partition task of the
// agent, one of DB2's session processes, a network process. The media agent
// holds each stream at its sixth block, so that the data still flows when the
// kill comes.
TEST_F(HostFaultsTest, ProcessesKilledMidBackupFailTheBackupEverywhere) {
  for (int node : {0, 1, 2})
    db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1", std::string(400000, 'x'));
  struct Case {
    const char* what;
    std::string rc;  // added to the install root's rc file
    std::function<std::vector<pid_t>(const std::string&)> target;
    bool db2Answers;  // false where the process that called DB2 is the one killed
  };
  auto one = [](pid_t pid) { return pid > 0 ? std::vector<pid_t>{pid} : std::vector<pid_t>{}; };
  const std::string root = root_.path();
  const Case cases[] = {
      {"partition task", "",
       [one](const std::string& log) {
         // A partition other than the catalog partition runs in a task.
         return one(CallerOf(log, "sqluvint-result", "node=0 ", "sqluvend-result") > 0
                        ? CallerOf(log, "sqlubkp", "node=0", "sqlubkp-result")
                        : 0);
       },
       false},
      {"DB2 session process", "",
       // One whose stream is open (held with the others), until its end
       // returns: behind a network process the puts only fill the ring, and
       // the session waits in its end for the stream.
       [one](const std::string& log) {
         return one(CallerOf(log, "sqluvint-result", "rc=0", "sqluvend-result"));
       },
       true},
      {"network process", "VEKBDANET=1\n",
       [root](const std::string& log) {
         // Every network process there is, while a session has yet to end:
         // one whose stream has ended may linger on its way out (long under
         // the sanitizers), and killing only that one would change nothing.
         std::vector<pid_t> found;
         if (CallerOf(log, "sqluvint-result", "rc=0", "sqluvend-result") == 0) return found;
         const std::vector<Proc> procs = ProcessesOf(root);
         // DB2's session processes are children of the agent's tasks, the
         // middle of the network process's double fork a child of a session;
         // the network process itself is left to whoever adopts orphans.
         for (const Proc& p : procs) {
           if (p.exe != "db2standin-session") continue;
           const auto parent = std::find_if(procs.begin(), procs.end(),
                                            [&](const Proc& q) { return q.pid == p.ppid; });
           if (parent == procs.end() ||
               (parent->exe != "kestrel" && parent->exe != "db2standin-session"))
             found.push_back(p.pid);
         }
         return found;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const tarn::test::Leftovers leftovers(root_.path());
    ASSERT_NO_FATAL_FAILURE(Start(6, 0, {"--fault", "hold=5"}));
    root_.write("/opt/tarn/.tarnrc", root_.read("/opt/tarn/.tarnrc") + c.rc);
    std::filesystem::remove(db2_.store().CallsLog());
    const Clock::time_point began = Clock::now();
    const AgentRun r = RunKilling("-backup -dbname SAMPLE -conc 2", {}, c.target);
    const std::vector<std::string> results = BackupResults();
    if (c.db2Answers) {
      EXPECT_TRUE(std::any_of(results.begin(), results.end(), [](const std::string& s) {
        return s.find("sqlcode=-") != s.npos;
      })) << testing::PrintToString(results);
    }
    ExpectVisibleFailure(r, began, "partition backup(s) failed", leftovers);
  }
}

// One of DB2's session processes of each partition dies before its pacing
// handshake: the partition's other session, its coordinator and the agent
// must not wait for it.
TEST_F(HostFaultsTest, ASessionDyingBeforeItsHandshakeFailsThePartitionsBackup) {
  const tarn::test::Leftovers leftovers(root_.path());
  ASSERT_NO_FATAL_FAILURE(Start(6));
  db2_.Fault("session-dies", 1);
  std::filesystem::remove(db2_.store().CallsLog());
  const Clock::time_point began = Clock::now();
  const AgentRun r = Agent("-backup -dbname SAMPLE -conc 2");
  const std::vector<std::string> results = BackupResults();
  EXPECT_FALSE(results.empty());
  for (const std::string& result : results)
    EXPECT_EQ(result.find("sqlcode=0"), std::string::npos) << result;
  ExpectVisibleFailure(r, began, "SQL2079N", leftovers);
}

// DB2 archives a closed log through the user exit while the cell server is
// down: the archive fails, DB2 keeps the log, and the integration log says why.
TEST_F(HostFaultsTest, UserExitWithTheCellServerDownLeavesTheLogWithDb2) {
  const tarn::test::Leftovers leftovers(root_.path());
  const db2sim::Store store = db2_.store();
  db2_.CreateDatabase("LOGDB", {0}, 0, {"USERSPACE1"}, true);
  db2_.InstallUserExit(TARN_PLOVER_PROGRAM);
  root_.write("/opt/tarn/.tarnrc", "TARN_INET_PORT=" + std::to_string(tarn::test::FreePort()) +
                                       "\nVEK_CELL_SERVER_HOSTNAME=" + hosts_.cellServer.address +
                                       "\n");
  db2sim::WriteLogged(store, kInstance, "LOGDB", 0, "USERSPACE1", "x", "");
  const std::string log = store.NodeDir(kInstance, "LOGDB", 0) + "/logs/" + db2sim::LogFileName(0);
  const Clock::time_point began = Clock::now();
  EXPECT_EQ(db2sim::ArchiveLog(store, kInstance, "LOGDB", 0, 120000), db2sim::kSqlLogArchive);
  const auto took = Clock::now() - began;
  EXPECT_TRUE(std::filesystem::exists(log));
  EXPECT_NE(db2_.Calls().find("userexit-result exit=16"), std::string::npos) << db2_.Calls();
  EXPECT_NE(root_.read("/var/opt/tarn/log/db2.log").find("VEK_Init failed for instance db2inst1"),
            std::string::npos);
  // The cell-server client keeps trying to connect for its bind time-out,
  // which only the cell server itself could shorten: about 50 s in all.
  EXPECT_LT(took, std::chrono::seconds(90));
  EXPECT_EQ(leftovers.Remaining(), "");
}

// ---------------------------------------------------------------- a frozen cell server

// The cell-server client's bounds in these runs: a connect and the port
// request, and each reply.
constexpr int kBindSeconds = 2;
constexpr int kReplySeconds = 4;
// What a run may take beyond the bounds it meets: starting the user exit,
// the context, DB2's own steps.
constexpr auto kSlack = std::chrono::seconds(8);

// A frozen cell server (SIGSTOP: the kernel still takes its connections and
// requests, nobody answers) while DB2 archives a log through the user exit,
// while it retrieves one, and while the agent's restore rolls forward with
// the logs the user exit brings back. The freeze comes at an event of the
// stand-ins: DB2 has started the user exit (so the cell server takes its
// port request and never answers it), or the cell server holds the user
// exit's login or session start (a delay fault) when it is stopped. Each
// run ends within the one bound it meets plus a few seconds, whatever the
// eleven tries of the start and the session start's attempts would add:
// the archive with 16 and the log left with DB2, the retrieval with 16 and
// no file, the agent's restore with a failure; nothing stays behind.
TEST_F(HostFaultsTest, AFrozenCellServerEndsEachRunWithinItsBound) {
  enum class Run { kArchive, kRetrieve, kAgentRestore };
  struct Case {
    const char* what;
    Run run;
    std::string fixture;  // answers held, so that the freeze finds them waiting
    std::function<bool()> at;
    std::chrono::seconds bound;  // from the freeze to the end of the run
  };
  const auto exitStarted = [this](const char* request) {
    return [this, request] {
      return CallerOf(tarn::test::ReadFile(db2_.store().CallsLog()), "userexit",
                      std::string("-RQ") + request) != 0;
    };
  };
  const auto holds = [this](const char* traffic) {
    return [this, traffic] { return cs_->waitForTraffic(traffic, std::chrono::milliseconds(0)); };
  };
  const Case cases[] = {
      {"archive, port request unanswered", Run::kArchive, "", exitStarted("ARCHIVE"),
       std::chrono::seconds(kBindSeconds)},
      {"archive, session start unanswered", Run::kArchive, "fault 205 delay 30000\n",
       holds("request < 205 \"7\""), std::chrono::seconds(kReplySeconds)},
      // The test's own two logins (its configuration) go through first.
      {"retrieval, login unanswered", Run::kRetrieve, "fault 0 delay 30000 after=2\n",
       holds("request < 0 \"VEKBAR_PLOVER\""), std::chrono::seconds(kReplySeconds)},
      {"agent's restore, retrieval's port request unanswered", Run::kAgentRestore, "",
       exitStarted("RETRIEVE"), std::chrono::seconds(kBindSeconds)},
  };
  const db2sim::Store store = db2_.store();
  db2_.DropDatabase(kDatabase);
  db2_.CreateDatabase(kDatabase, {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"}, true);
  db2_.InstallUserExit(TARN_PLOVER_PROGRAM);
  const std::string logDir = store.NodeDir(kInstance, kDatabase, 0) + "/logs";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const tarn::test::Leftovers leftovers(root_.path());
    // The agent's backup has an object for each of its three partitions,
    // the archive of the log one more; then come the restores.
    const int objects = c.run == Run::kAgentRestore ? 4 : 1;
    ASSERT_NO_FATAL_FAILURE(Start(objects, 4, {}, "", c.fixture));
    WriteRc("VEKCSBINDTIMEOUT=" + std::to_string(kBindSeconds) +
            "\nVEKCSREPLYTIMEOUT=" + std::to_string(kReplySeconds) + "\n");
    ASSERT_NO_FATAL_FAILURE(PutLogsConfig());
    if (c.run == Run::kAgentRestore) {
      // An image, then a log that only the user exit can bring back.
      const AgentRun backup = Agent("-backup -dbname SAMPLE");
      ASSERT_EQ(backup.exitCode, 0) << backup.output;
      db2sim::WriteLogged(store, kInstance, kDatabase, 0, "USERSPACE1", "logged", "");
      ASSERT_EQ(db2sim::ArchiveLog(store, kInstance, kDatabase, 0, 60000), 0) << db2_.Calls();
    } else {
      db2sim::WriteLogged(store, kInstance, kDatabase, 0, "USERSPACE1", "x", "");
    }
    const std::uint32_t active = store.ReadNodeState(kInstance, kDatabase, 0).log;
    std::filesystem::remove(store.CallsLog());

    // The watcher freezes the cell server at the case's event and lets it go
    // on once the run is over: the user exit has ended, or the agent has.
    std::atomic<bool> over{false};
    std::optional<Clock::duration> frozenFor;
    std::thread watcher([&] {
      const Clock::time_point until = Clock::now() + std::chrono::seconds(150);
      while (!over && !c.at() && Clock::now() < until) usleep(1000);
      if (over || ::kill(cs_->pid(), SIGSTOP) != 0) return;
      const Clock::time_point frozen = Clock::now();
      const auto agentRuns = [&] {
        for (const Proc& p : ProcessesOf(root_.path()))
          if (p.exe == "kestrel") return true;
        return false;
      };
      while (!over && (c.run != Run::kAgentRestore || agentRuns()) && Clock::now() < until)
        usleep(10000);
      frozenFor = Clock::now() - frozen;
      ::kill(cs_->pid(), SIGCONT);
    });
    int sqlcode = 0;
    AgentRun agent;
    if (c.run == Run::kArchive) {
      sqlcode = db2sim::ArchiveLog(store, kInstance, kDatabase, 0, 120000);
    } else if (c.run == Run::kRetrieve) {
      sqlcode = db2sim::RunUserExit(store, store.ReadInstance(kInstance), "RETRIEVE", kDatabase, 0,
                                    logDir, db2sim::LogFileName(active + 5), 120000);
    } else {
      db2_.store().WriteData(kInstance, kDatabase, 0, "USERSPACE1", "damaged");
      agent = Agent("-restore -dbname SAMPLE -rollforward");
    }
    over = true;
    watcher.join();
    ASSERT_TRUE(frozenFor) << "the cell server was never frozen\n" << db2_.Calls();
    EXPECT_LT(*frozenFor, c.bound + kSlack);
    const std::string calls = db2_.Calls();
    EXPECT_NE(calls.find("userexit-result exit=16"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("killed after time-out"), std::string::npos) << calls;
    switch (c.run) {
      case Run::kArchive:
        EXPECT_EQ(sqlcode, db2sim::kSqlLogArchive);
        EXPECT_TRUE(db2sim::Exists(logDir + "/" + db2sim::LogFileName(active)));
        break;
      case Run::kRetrieve: EXPECT_EQ(sqlcode, 16); break;
      case Run::kAgentRestore:
        EXPECT_GT(agent.exitCode, 0) << agent.record << "\n" << agent.output;
        EXPECT_NE(agent.record.find("outcome=failed"), std::string::npos) << agent.record;
        break;
    }
    // Neither a retrieved log nor its temporary file.
    if (c.run != Run::kArchive) {
      for (const std::string& name : db2sim::ListDir(logDir))
        EXPECT_NE(name[0], '.') << name;
    }
    StopStandIns();
    EXPECT_EQ(leftovers.Remaining(), "");
  }
}

// The session manager's link of a DB2 session breaks while its object is
// open. With a reconnect port the session reconnects and the backup
// completes with every image; without one the backup fails where all see it.
TEST_F(HostFaultsTest, ASessionManagerLinkDroppedMidObject) {
  struct Case {
    const char* what;
    std::string words;
    bool completes;
  };
  const Case cases[] = {
      {"reconnect port", " -lport ${host} ${lport}", true},
      {"no reconnect port", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const tarn::test::Leftovers leftovers(root_.path());
    ASSERT_NO_FATAL_FAILURE(Start(6, 0, {"--fault", "delay=20"}, c.words, "sm-drop report 1\n"));
    root_.write("/opt/tarn/.tarnrc",
                root_.read("/opt/tarn/.tarnrc") + "VEKRECONNECT_RETRY=5\nVEKRECONNECT_ACK=5\n");
    std::filesystem::remove(db2_.store().CallsLog());
    const Clock::time_point began = Clock::now();
    const AgentRun r = Agent("-backup -dbname SAMPLE -conc 2");
    const std::vector<std::string> results = BackupResults();
    EXPECT_TRUE(cs_->waitForTraffic("dropped by the fixture", std::chrono::seconds(1)));
    if (c.completes) {
      EXPECT_EQ(r.exitCode, 0) << r.output;
      EXPECT_NE(r.record.find("outcome=completed"), std::string::npos) << r.record;
      EXPECT_EQ(results, std::vector<std::string>(
                             {"node=1 sqlcode=0", "node=0 sqlcode=0", "node=2 sqlcode=0"}));
      EXPECT_TRUE(cs_->waitForTraffic("reconnect", std::chrono::seconds(1)));
      EXPECT_LT(Clock::now() - began, kBound);
      StopStandIns();
      EXPECT_EQ(leftovers.Remaining(), "");
    } else {
      EXPECT_NE(results.at(0).find("sqlcode=-"), std::string::npos) << results.at(0);
      ExpectVisibleFailure(r, began, "SQL", leftovers);
    }
  }
}

// The cell server restarts while DB2's sessions send their data: the
// session manager that started the agent is gone, so no launch record comes;
// DB2 must see its backup fail and every process of the run must end.
TEST_F(HostFaultsTest, ACellServerRestartedMidBackupFailsItAndLeavesNothing) {
  const tarn::test::Leftovers leftovers(root_.path());
  const tarn::test::TempDir state;
  const std::vector<std::string> ports = {"--inet-port", std::to_string(tarn::test::FreePort()),
                                          "--request-port", std::to_string(tarn::test::FreePort())};
  ASSERT_NO_FATAL_FAILURE(Start(6, 0, {"--fault", "delay=20"}));
  // The same cell server, on ports that stay across its restart.
  std::vector<std::string> args = {"--media-events", ma_->eventsPath(), "--launch", launchFile_};
  args.insert(args.end(), ports.begin(), ports.end());
  const std::string fixture = AgentAnswers(6, 0, " -lport ${host} ${lport}");
  cs_.reset();
  cs_ = std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
      .fixture = fixture, .stateDir = state.path(), .args = args});
  ASSERT_TRUE(cs_->ready());
  cs_->exportInetPort();
  root_.write("/opt/tarn/.tarnrc", "TARN_INET_PORT=" + std::to_string(cs_->inetPort()) +
                                       "\nVEK_CELL_SERVER_HOSTNAME=" + hosts_.cellServer.address +
                                       "\nVEKSHUTDOWNTIMEOUT=1\nVEKRECONNECT_RETRY=5\n");
  ASSERT_NO_FATAL_FAILURE(PutConfig());
  const std::string log = db2_.store().CallsLog();
  std::filesystem::remove(log);
  const Clock::time_point began = Clock::now();
  Launch("-backup -dbname SAMPLE -conc 2");
  for (int i = 0; i < 1500 && CallerOf(tarn::test::ReadFile(log), "sqluvput") == 0; ++i)
    usleep(20000);
  ASSERT_NE(CallerOf(tarn::test::ReadFile(log), "sqluvput"), 0);
  // A crash: a stop would wait for the agent it launched.
  ::kill(cs_->pid(), SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(cs_->stop()));
  cs_ = std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
      .fixture = fixture, .stateDir = state.path(), .args = args});
  ASSERT_TRUE(cs_->ready());
  // Every process of the run but the stand-ins ends within the bound.
  const std::vector<pid_t> standIns = {cs_->pid(), ma_->pid(), clientsvc_->pid()};
  std::string running;
  do {
    running.clear();
    for (const Proc& p : ProcessesOf(root_.path()))
      if (std::find(standIns.begin(), standIns.end(), p.pid) == standIns.end() &&
          p.exe != "tarn-clientsvc")
        running += std::to_string(p.pid) + " " + p.exe + "\n";
    usleep(100000);
  } while (!running.empty() && Clock::now() - began < kBound);
  EXPECT_EQ(running, "");
  const std::vector<std::string> results = BackupResults();
  EXPECT_TRUE(std::any_of(results.begin(), results.end(), [](const std::string& s) {
    return s.find("sqlcode=-") != s.npos;
  })) << testing::PrintToString(results);
  StopStandIns();
  EXPECT_EQ(leftovers.Remaining(), "");
}

// A cell server started again on its state after a whole road (backup,
// archived logs, a restore to a point in time) keeps numbering its sessions:
// the next backup has a session of its own, and a restore with roll-forward
// takes that backup's images to the end of the logs written after it.
TEST_F(HostFaultsTest, ARestoreAfterACellServerRestartRollsTheNewestBackupForward) {
  const tarn::test::Leftovers leftovers(root_.path());
  const tarn::test::TempDir state;
  ASSERT_NO_FATAL_FAILURE(Start(0));
  db2_.DropDatabase(kDatabase);
  db2_.CreateDatabase(kDatabase, {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"}, true);
  for (int node : {0, 1, 2})
    db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1",
                           std::string(30000, 'a' + node));
  db2_.InstallUserExit(TARN_PLOVER_PROGRAM);
  // The session manager's answers: the backups' objects on data-path ids of
  // their own in each run of the cell server, then restores.
  auto answers = [&](int firstDa, int backups) {
    const std::string agent =
        "baropt connect -ma " + hosts_.mediaAgent.address + " " + std::to_string(ma_->port());
    std::string text;
    for (int da = firstDa; da < firstDa + backups; ++da)
      text += agent + " -daid " + std::to_string(da) + "\n";
    for (int i = 0; i < 20; ++i) text += agent + " -daid ${da}\n";
    return text;
  };
  std::vector<std::string> args = {"--media-events", ma_->eventsPath(),
                                   "--launch",       launchFile_,
                                   "--inet-port",    std::to_string(tarn::test::FreePort()),
                                   "--request-port", std::to_string(tarn::test::FreePort())};
  auto startCellServer = [&](const std::string& fixture) {
    cs_.reset();
    cs_ = std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
        .fixture = fixture, .stateDir = state.path(), .args = args});
    ASSERT_TRUE(cs_->ready());
    cs_->exportInetPort();
    WriteRc();
  };
  // Three partition images and two archived logs, then the restores.
  ASSERT_NO_FATAL_FAILURE(startCellServer(answers(1, 5)));
  ASSERT_NO_FATAL_FAILURE(PutLogsConfig());

  auto logAndArchive = [&](char fill) {
    db2sim::WriteLogged(db2_.store(), kInstance, kDatabase, 0, "USERSPACE1",
                        std::string(5000, fill), "");
    return db2sim::ArchiveLog(db2_.store(), kInstance, kDatabase, 0, 60000);
  };
  auto damage = [&] {
    for (int node : {0, 1, 2})
      db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1", "damaged");
  };

  // The whole road: a backup, logged writes, a point in time, more logged
  // writes, and the restore to that point.
  const AgentRun first = Agent("-backup -dbname SAMPLE");
  ASSERT_EQ(first.exitCode, 0) << first.output;
  ASSERT_EQ(logAndArchive('p'), 0) << db2_.Calls();
  const std::time_t pointTime = std::time(nullptr) + 1;
  const Checksums atPoint = Sums();
  while (std::time(nullptr) <= pointTime) usleep(20000);
  ASSERT_EQ(logAndArchive('q'), 0) << db2_.Calls();
  damage();
  const AgentRun toPoint =
      Agent("-restore -dbname SAMPLE -rollforward -time " + UtcTime(pointTime), {}, {"TZ=UTC0"});
  ASSERT_EQ(toPoint.exitCode, 0) << toPoint.output;
  ASSERT_EQ(Sums(), atPoint) << db2_.Calls();

  // The cell server again on its state; another backup and logged writes.
  ASSERT_NO_FATAL_FAILURE(startCellServer(answers(11, 4)));
  const AgentRun second = Agent("-backup -dbname SAMPLE");
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_NE(Field(second.record, "key"), Field(first.record, "key"));
  ASSERT_EQ(logAndArchive('r'), 0) << db2_.Calls();
  const Checksums atEnd = Sums();
  damage();

  std::filesystem::remove(db2_.store().CallsLog());
  const AgentRun r = Agent("-restore -dbname SAMPLE -rollforward");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Sums(), atEnd) << db2_.Calls();
  for (int node : {0, 1, 2})
    EXPECT_FALSE(db2_.store().ReadNodeState(kInstance, kDatabase, node).rfPending) << node;
  StopStandIns();
  EXPECT_EQ(leftovers.Remaining(), "");
}

// Access the instance refuses: DB2 answers the attach with its error, the
// agent starts no backup and ends non-zero.
TEST_F(HostFaultsTest, RefusedAccessFailsBeforeAnyBackup) {
  struct Case {
    const char* what;
    std::function<void(db2sim::Instance&)> change;
    const char* says;
  };
  const Case cases[] = {
      {"refused login", [](db2sim::Instance& i) { i.user = "someone"; }, "-30082"},
      {"wrong password", [](db2sim::Instance& i) { i.password = "other"; }, "-30082"},
      {"stopped instance", [](db2sim::Instance& i) { i.started = false; }, "-1032"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const tarn::test::Leftovers leftovers(root_.path());
    ASSERT_NO_FATAL_FAILURE(Start(0));
    const db2sim::Instance kept = db2_.store().ReadInstance(kInstance);
    db2sim::Instance changed = kept;
    c.change(changed);
    db2_.store().CreateInstance(changed);
    std::filesystem::remove(db2_.store().CallsLog());
    const Clock::time_point began = Clock::now();
    const AgentRun r = Agent("-backup -dbname SAMPLE");
    EXPECT_TRUE(BackupResults().empty());
    ExpectVisibleFailure(r, began, c.says, leftovers);
    db2_.store().CreateInstance(kept);
  }
}

// The integration context's first connection to the cell server is tried
// again, five seconds apart, while the link to the cell server is down: the
// link comes back in the first pause (a clock that does not wait brings it
// up) and the context opens. The configuration fetch that follows has no
// tries of its own: it runs on the connection the context made.
TEST_F(HostFaultsTest, TheFirstConnectionToTheCellServerOutlastsALinkCut) {
  if (!hosts_.apart) GTEST_SKIP() << "the veth links are there in the namespaces only";
  ASSERT_NO_FATAL_FAILURE(Start(0));
  class LinkBackInThePause final : public cmn::Clock {
   public:
    explicit LinkBackInThePause(tarn::test::LinkCut& cut) : cut_(cut) {}
    TimePoint Now() override {
      return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
    }
    void Sleep(Duration duration) override {
      pauses.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
      cut_.up();
    }
    std::vector<long long> pauses;

   private:
    tarn::test::LinkCut& cut_;
  };
  tarn::test::LinkCut cut(tarn::test::kLinkToCellServer);
  ASSERT_TRUE(cut.ok());
  LinkBackInThePause clock(cut);
  BarContext* ctx = nullptr;
  {
    const cmn::ScopedClock scoped(clock);
    EXPECT_EQ(VEK_Init("DB2", kInstance, "faults", 0, &ctx), 0);
  }
  ASSERT_FALSE(clock.pauses.empty()) << "the first try did not meet the cut";
  EXPECT_EQ(clock.pauses.front(), 5000);
  char* user = nullptr;
  char* password = nullptr;
  GetUserAndPass(kInstance, &user, &password);
  EXPECT_STREQ(user, "db2user");
  safe_free(user, "faults_host_test.cpp", __LINE__);
  safe_free(password, "faults_host_test.cpp", __LINE__);
  if (ctx != nullptr) {
    EXPECT_EQ(VEK_Exit(ctx), 0);
  }
}

}  // namespace
