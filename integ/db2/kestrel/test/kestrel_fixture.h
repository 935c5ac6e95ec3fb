// The agent as a program started by the stand-in session manager, beside the
// stand-in DB2, cell server and media agent: the fixture of the agent's tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "barutil/bp.h"
#include "barutil/buconfig.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "db2/engine.h"
#include "db2/testing/db2_standin.h"
#include "db2/vendoropts.h"
#include "kestrel/agent.h"
#include "mediaagent/testing/mediaagent_standin.h"
#include "tarn_test.h"
#include "xtra/passwd.h"


namespace {

constexpr char kInstance[] = "db2inst1";
constexpr char kDatabase[] = "SAMPLE";
constexpr char kBarlist[] = "nightly";

struct AgentRun {
  int exitCode = -1;
  std::string output;
  std::string record;  // the session manager's line on the run
};

using Checksums = std::vector<std::uint64_t>;

// One line of the calls log: "<pid> <call> <text>".
struct Call {
  std::string pid, call, text;
};

std::vector<Call> Calls(const std::string& log) {
  std::vector<Call> calls;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const std::size_t a = line.find(' ');
    const std::size_t b = line.find(' ', a + 1);
    if (a == std::string::npos) continue;
    calls.push_back({line.substr(0, a), line.substr(a + 1, b == std::string::npos ? b : b - a - 1),
                     b == std::string::npos ? "" : line.substr(b + 1)});
  }
  return calls;
}

std::string Field(const std::string& text, const std::string& name) {
  const std::size_t at = text.find(name + "=");
  if (at == std::string::npos) return "";
  const std::size_t start = at + name.size() + 1;
  return text.substr(start, text.find(' ', start) - start);
}

class KestrelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    ASSERT_NO_FATAL_FAILURE(PrepareRoot());
    root_.write("/etc/opt/tarn/client/cell_server", hosts_.cellServer.address + "\n");
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("kestreltest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    db2_.CreateDatabase(kDatabase, {0, 1, 2}, 1, {"SYSCATSPACE", "USERSPACE1"});
    for (int node : {0, 1, 2})
      db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1",
                             std::string(30000, 'a' + node));
  }

  // What the root holds of the product: the empty key programs, the built
  // vendor library and siskin; the agent runs from the build.
  virtual void PrepareRoot() {
    root_.writeKeyPrograms();
    std::filesystem::copy_file(TARN_WREN_LIBRARY, root_.at("/opt/tarn/lib/libwren_32bit.so"));
    std::filesystem::copy_file(TARN_SISKIN_PROGRAM, root_.at("/opt/tarn/bin/siskin"));
  }

  // The stand-ins, with `objects` backup and `restores` restore answers of
  // the session manager; the instance's configuration names partitions 0 to
  // 2 on this host. `maArgs` go to the media agent (its faults, say);
  // `smWords` follow the words of each object answer, and `smFixture` the
  // session manager's answers (its faults, say).
  void Start(int objects, int restores = 0, const std::vector<std::string>& maArgs = {},
             const std::string& smWords = "", const std::string& smFixture = "") {
    std::vector<std::string> args = {"--buffer-size", "4096", "--buffer-count", "4"};
    args.insert(args.end(), maArgs.begin(), maArgs.end());
    ma_ = std::make_unique<tarn::test::MediaAgentStandIn>(
        tarn::test::MediaAgentStandIn::Options{.args = args});
    ASSERT_TRUE(ma_->ready());
    const std::string fixture = smFixture + AgentAnswers(objects, restores, smWords);
    launchFile_ = root_.at("/var/opt/tarn/tmp/launch");
    cs_ = std::make_unique<tarn::test::CellServerStandIn>(tarn::test::CellServerStandIn::Options{
        .fixture = fixture,
        .args = {"--media-events", ma_->eventsPath(), "--launch", launchFile_}});
    ASSERT_TRUE(cs_->ready());
    cs_->exportInetPort();
    // The client service of this host; the agents it starts inherit its
    // settings (the install root, the stand-in DB2, the cell server's port).
    clientsvc_ = std::make_unique<tarn::test::ServerProgram>();
    const std::string ports = root_.at("/var/opt/tarn/tmp/clientsvc.ports");
    std::filesystem::remove(ports);
    ASSERT_TRUE(clientsvc_->Start(
        {TARN_CLIENTSVC_PROGRAM, "--bind", hosts_.self, "--ports-file", ports}, "", ports,
        [](const std::string& t) { return t.find("pid") != std::string::npos; },
        std::chrono::seconds(10), "client service"));
    clientPort_ = std::stoi(tarn::test::ReadFile(ports).substr(5));
    // DB2's session processes get the install root only: the rc file leads
    // them to the stand-in cell server.
    WriteRc();
    ASSERT_NO_FATAL_FAILURE(PutConfig());
  }

  // The session manager's answers: the media agent for `objects` backups
  // (DA ids 1, 2, ...), then for `restores` restores, each with `words` added.
  std::string AgentAnswers(int objects, int restores, const std::string& words) const {
    const std::string agent =
        "baropt connect -ma " + hosts_.mediaAgent.address + " " + std::to_string(ma_->port());
    std::string answers;
    for (int da = 1; da <= objects; ++da)
      answers += agent + " -daid " + std::to_string(da) + words + "\n";
    for (int i = 0; i < restores; ++i) answers += agent + " -daid ${da}" + words + "\n";
    return answers;
  }

  // Asks the session manager to start the agent (see Agent) and returns at once.
  void Launch(const std::string& line, const std::vector<std::string>& args = {},
              const std::vector<std::string>& extra = {}) const {
    std::string spec = "barlist " + std::string(kBarlist) + "\nappname " + kInstance + "\nclient " +
                       hosts_.self + " " + std::to_string(clientPort_) + "\nclienthost " +
                       cmnHostname + "\nprogram " + kestrel_ + "\ntimeout 120\n";
    for (const std::string& a : args) spec += "arg " + a + "\n";
    for (const std::string& e : extra) spec += "env " + e + "\n";
    spec += "input " + line + "\n";
    tarn::test::WriteFile(launchFile_ + ".new", spec);
    std::filesystem::rename(launchFile_ + ".new", launchFile_);
  }

  // The instance's configuration: credentials and partitions 0 to 2 on this
  // host, and what `more` adds.
  void PutConfig(const std::function<void(BpList*)>& more = {}) {
    BpList config{};
    BP_InitAsList(&config);
    char* encoded = EncodePassword("pa55word");
    BP_AddStr(&config, "Username", "db2user");
    BP_AddStr(&config, "Password", encoded);
    safe_free(encoded, "kestrel_fixture.h", __LINE__);
    CmnVar* nodes = nullptr;
    BP_AddList(&config, "DB2_NODES", &nodes);
    for (int node : {0, 1, 2}) BP_AddStr(nodes, std::to_string(node).c_str(), cmnHostname);
    if (more) more(&config);
    ASSERT_EQ(BU_PutConfig(hosts_.cellServer.address.c_str(), cmnHostname, "DB2", kInstance, config), 0);
    CmnVarFree(&config);
  }

  // The stored partition list holds only `keep` of partitions 0 to 2; the
  // others are left out, or run on `elsewhere` when it is given.
  void Nodes(const std::vector<int>& keep, const std::string& elsewhere = "") {
    PutConfig([&](BpList* config) {
      CmnVar* nodes = nullptr;
      ASSERT_EQ(BP_GetListByName(*config, "DB2_NODES", &nodes), kBpOk);
      for (int node : {0, 1, 2}) {
        if (std::find(keep.begin(), keep.end(), node) != keep.end()) continue;
        BP_RemoveOptByName(nodes, std::to_string(node).c_str());
        if (!elsewhere.empty()) BP_AddStr(nodes, std::to_string(node).c_str(), elsewhere.c_str());
      }
    });
  }

  // The session manager starts the agent for the barlist through the client
  // service, with `line` on its standard input and `extra` settings
  // ("NAME=value"; an empty value stands for a missing setting).
  AgentRun Agent(const std::string& line, const std::vector<std::string>& args = {},
                 const std::vector<std::string>& extra = {}) {
    const std::string launches = cs_->stateDir() + "/launches";
    const std::size_t before = tarn::test::FileLines(launches).size();
    const std::size_t outBefore = tarn::test::ReadFile(launches + ".out").size();
    Launch(line, args, extra);
    AgentRun r;
    for (int i = 0; i < 1500 && tarn::test::FileLines(launches).size() == before; ++i)
      usleep(100000);
    const std::vector<std::string> lines = tarn::test::FileLines(launches);
    if (lines.size() == before) {
      ADD_FAILURE() << "the session manager recorded no end of the agent";
      return r;
    }
    r.record = lines.back();
    const std::string end = Field(r.record, "end");
    if (end == "exit") r.exitCode = std::stoi(Field(r.record, "status"));
    r.output = tarn::test::ReadFile(launches + ".out").substr(outBefore);
    return r;
  }

  // The content checksums of the database's partitions 0 to 2.
  Checksums Sums(const std::string& database = kDatabase) const {
    Checksums sums;
    for (int node : {0, 1, 2})
      sums.push_back(db2_.store().ContentChecksum(kInstance, database, node));
    return sums;
  }

  // Restores the partition's image of `timestamp` through the vendor library.
  int Restore(int node, const std::string& timestamp) const {
    VendorOptions o;
    o.variables = VendorOptionsVariables(kBarlist, "-server " + hosts_.cellServer.address);
    o.barlist = kBarlist;
    std::vector<std::uint8_t> record;
    EXPECT_EQ(VendorOptionsWrite(o, &record), 0);
    db2sim::RestoreRequest req;
    req.instance = kInstance;
    req.alias = kDatabase;
    req.node = node;
    req.library = root_.at("/opt/tarn/lib/libwren_32bit.so");
    req.sessions = 2;
    req.bufferSize = 4096;
    req.timestamp = timestamp;
    req.options.assign(record.begin(), record.end());
    return db2sim::RunRestore(req).sqlcode;
  }

  // The install root's rc file, as an installation writes it: it leads DB2's
  // session processes to the cell server; `more` lines follow.
  void WriteRc(const std::string& more = "") const {
    root_.write("/opt/tarn/.tarnrc", "TARN_INET_PORT=" + std::to_string(cs_->inetPort()) +
                                         "\nVEK_CELL_SERVER_HOSTNAME=" +
                                         hosts_.cellServer.address +
                                         "\nVEKSHUTDOWNTIMEOUT=1\nVEKDBGDIR=" +
                                         root_.at("/var/opt/tarn/tmp") + "\n" + more);
  }

  // The instance's configuration, with the user exit's logs of `database`
  // going to the barlist "logs".
  void PutLogsConfig(const char* database = kDatabase) {
    PutConfig([database](BpList* config) {
      CmnVar* barlists = nullptr;
      BP_AddList(config, "USEREXIT_BARLISTS", &barlists);
      BP_AddStr(barlists, database, "logs");
    });
  }

  // How often `what` is in `text`.
  static int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  }

  // `t` as the agent's -time takes it, in UTC.
  static std::string UtcTime(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d-%H.%M.%S", &tm);
    return text;
  }

  // Stops the stand-ins, the client service first, so that what a run left
  // behind can be counted.
  void StopStandIns() {
    clientsvc_.reset();
    cs_.reset();
    ma_.reset();
  }

  // Installs the post-execution script "mark_post", which adds the line "ran"
  // to the file whose path is returned (removed first).
  std::string MarkPostScript() const {
    const std::string ran = root_.at("/var/opt/tarn/tmp/post.ran");
    std::filesystem::remove(ran);
    root_.write("/opt/tarn/bin/mark_post", "#!/bin/sh\necho ran >> '" + ran + "'\n");
    std::filesystem::permissions(root_.at("/opt/tarn/bin/mark_post"),
                                 std::filesystem::perms::owner_all);
    return ran;
  }

  tarn::test::Watchdog watchdog_{170};
  // Where the stand-ins run: loopback, or namespaces of their own.
  const tarn::test::Hosts hosts_ = tarn::test::TestHosts();
  tarn::test::TempRoot root_;
  db2sim::testing::Db2StandIn db2_{kInstance, "db2user", "pa55word"};
  std::unique_ptr<tarn::test::MediaAgentStandIn> ma_;
  std::unique_ptr<tarn::test::CellServerStandIn> cs_;
  std::unique_ptr<tarn::test::ServerProgram> clientsvc_;
  std::string launchFile_;
  int clientPort_ = 0;
  std::string kestrel_ = TARN_KESTREL_PROGRAM;  // the program the session manager starts
};

// The agent as an installation holds it: the build installed into the root,
// nothing else of the product added.
class KestrelInstalledTest : public KestrelTest {
 protected:
  void PrepareRoot() override {
    ASSERT_TRUE(root_.install());
    kestrel_ = root_.at("/opt/tarn/lbin/kestrel");
  }
};

}  // namespace
