// The configuration utility as its caller sees it: the program run against
// the stand-in DB2 and the stand-in cell server, one result line per
// command, the stored configuration, the instance list and the user-exit link.
#include "heron/heron.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "barutil/buconfig.h"
#include "barutil/test/barutil_test_util.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "csa/csa.h"
#include "db2/testing/db2_standin.h"
#include "ipc/ipc.h"
#include "tarn_test.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/heron/test/heron_test.cpp");

namespace {

using barutiltest::List;
using barutiltest::Owned;

constexpr char kInstance[] = "db2inst1";
constexpr char kUser[] = "db2user";
constexpr char kPassword[] = "pa55word";

TEST(HeronNodesFile, LinesWithoutPartitionAndHostAreSkipped) {
  using Nodes = std::vector<std::pair<int, std::string>>;
  struct Case {
    std::string text;
    Nodes expected;
  };
  const Case cases[] = {
      {"0 hosta 0\n1 hostb 1 hostb-ib\n", {{0, "hosta"}, {1, "hostb"}}},
      {"3 h\t0\r\n", {{3, "h"}}},
      {"7\n", {}},                // no blank
      {"x 1\n 2 h\n", {}},        // no number at the start
      {"12345 h\n1000 h\n", {}},  // no partition number
      {"4 \n", {}},               // no host
      {std::string(5000, '1') + " h\n5 h", {{5, "h"}}},
      // A host name of 64 characters is one; 65 are not.
      {"6 " + std::string(64, 'h') + "\n", {{6, std::string(64, 'h')}}},
      {"6 " + std::string(65, 'h') + "\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(ParseNodesFile(c.text), c.expected);
  }
}

TEST(HeronDebugWords, TakenAfterDebugWhereverItStandsInVekopts) {
  struct Case {
    const char* vekopts;
    const char* ranges;
    const char* postfix;
    const char* select;
  };
  const Case cases[] = {
      {"-debug 1-99 x", "1-99", "x", ""},
      {"-server h -debug 1-99 x", "1-99", "x", ""},
      {"-server h -debug 1-99 x sel -session 7", "1-99", "x", "sel"},
      {"-debug 1-99 -server h", "1-99", "", ""},
      {"-server h", "", "", ""},
  };
  const char* argv[] = {"heron_32bit", "-app"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vekopts);
    barutiltest::ScopedEnv vekopts("VEKOPTS", c.vekopts);
    OptReset();
    OptParseDebugArgs(2, argv);
    EXPECT_EQ(HeronOpts().debugRanges, c.ranges);
    EXPECT_EQ(HeronOpts().debugPostfix, c.postfix);
    EXPECT_EQ(HeronOpts().debugSelect, c.select);
  }
  OptReset();
}

class HeronTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("herontest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    root_.write("/etc/opt/tarn/client/cell_server", "127.0.0.1\n");
  }
  void TearDown() override {
    CsaExitEx(0);
    IpcExit();
    ErhClearErrorM("heron_test", 0);
  }
  void StartServer(const std::string& fixture = "") {
    server_ = std::make_unique<tarn::test::CellServerStandIn>(
        tarn::test::CellServerStandIn::Options{.fixture = fixture});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    glBindTimeout = 0;
  }

  // Runs the program (its first argument `name`) with the instance owner's
  // account; its standard output.
  std::string Run(const std::vector<std::string>& args, const char* name = "heron_32bit") {
    const std::string out = root_.at("/heron.out");
    const std::vector<std::string> env = db2_.AccountEnvironment();
    tarn::test::ChildProcess child(
        [&] {
          const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          if (fd < 0 || ::dup2(fd, 1) < 0) return 126;
          for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
          std::vector<char*> argv{const_cast<char*>(name)};
          for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
          argv.push_back(nullptr);
          ::execv(TARN_HERON_PROGRAM, argv.data());
          return 127;
        },
        60);
    EXPECT_EQ(child.ExitCode(60), 0);
    return tarn::test::ReadFile(out);
  }
  std::vector<std::string> Configure(const char* password = kPassword) {
    return {"-config", kInstance, kUser, password};
  }

  void Store(const char* name, const List& config) {
    ASSERT_EQ(BU_PutConfig("127.0.0.1", cmnHostname, "DB2", name, config.v), kBuOk);
  }
  // The stored configuration, as its text form.
  std::string Stored(const char* name) {
    List config;
    if (BU_GetConfig("127.0.0.1", cmnHostname, "DB2", name, &config.v) != kBuOk) return "<none>";
    return Owned(BP_Pack(config.v, 0)).str();
  }
  // Every trace and log file, one after the other.
  std::string Logs() const {
    std::string all;
    for (const auto& file : std::filesystem::directory_iterator(root_.at("/var/opt/tarn/log")))
      all += tarn::test::ReadFile(file.path().string());
    return all;
  }
  std::string Link() const { return db2_.home() + "/sqllib/adm/db2uext2"; }
  std::string Plover() const { return root_.at("/opt/tarn/lbin/plover"); }
  static std::string LinkTarget(const std::string& path) {
    char buffer[1024];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n < 0 ? std::string("<no link>") : std::string(buffer, static_cast<std::size_t>(n));
  }

  tarn::test::TempRoot root_;
  db2sim::testing::Db2StandIn db2_{kInstance, kUser, kPassword};
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
};

TEST_F(HeronTest, UsageVersionAndMissingValues) {
  struct Case {
    std::vector<std::string> args;
    std::string starts;  // what the output begins with
    bool resultLine;
  };
  const std::string version = Run({"-version"});
  EXPECT_NE(version.find(": HERON, internal build "), std::string::npos) << version;
  EXPECT_EQ(version.find('\n'), version.size() - 1) << version;
  const Case cases[] = {
      {{}, "Usage: heron -objs0", false},
      {{"-help"}, "Usage: heron -objs0", false},
      {{"-bogus"}, "Usage: heron -objs0", false},
      {{"-ver"}, version, false},
      {{"-objs0"}, "*RETVAL*15013\n", true},
      {{"-objs1", kInstance}, "*RETVAL*15013\n", true},
      {{"-config", kInstance, kUser}, "*RETVAL*15013\n", true},
      {{"-econfig", kInstance}, "*RETVAL*15013\n", true},
  };
  for (const Case& c : cases) {
    const std::string out = Run(c.args);
    SCOPED_TRACE(out);
    EXPECT_EQ(out.rfind(c.starts, 0), 0u);
    EXPECT_EQ(out.find("*RETVAL*") != std::string::npos, c.resultLine);
  }
}

TEST_F(HeronTest, ConfigStoresCredentialsListsTheInstanceAndLinksTheUserExit) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  EXPECT_EQ(
      Run({}),
      "Usage: heron -objs0 <instance> | -objs1 <instance> <database> | -app | -config <instance> "
      "<user> <password> [<DB2 home>] | -econfig <instance> <user> <encoded password> [<DB2 home>] "
      "| -chkconf <instance> | -version | -help [-debug <ranges> [<postfix> [<select>]]]\n");
  barutiltest::ScopedEnv traceDir("VEKDBGDIR", root_.at("/var/opt/tarn/log").c_str());
  std::vector<std::string> traced = Configure();
  traced.insert(traced.end(), {"-debug", "1-500", "trc"});
  EXPECT_EQ(Run(traced), "*RETVAL*0\n");
  List config;
  ASSERT_EQ(BU_GetConfig("127.0.0.1", cmnHostname, "DB2", kInstance, &config.v), kBuOk);
  EXPECT_STREQ(BP_GetStr(config.v, "Username"), kUser);
  Owned decoded(DecodePassword(BP_GetStr(config.v, "Password")));
  EXPECT_STREQ(decoded.p, kPassword);
  EXPECT_STREQ(BP_GetStr(config.v, "Version"), "32bit");
  EXPECT_EQ(BP_GetStr(config.v, "DB2_HOME_DIR"), nullptr);
  EXPECT_EQ(LinkTarget(Link()), Plover());

  const std::string encoded = BP_GetStr(config.v, "Password");
  EXPECT_EQ(Run({"-app"}), "db2inst1 db2user " + encoded + "\n*RETVAL*0\n");
  EXPECT_EQ(Run({"-chkconf", kInstance}), "*RETVAL*0\n");
  // Neither form of the password is in a trace or log file.
  const std::string all = Logs();
  EXPECT_NE(all.find("[Config] Can not get option INSTANCE_LIST from configuration"),
            std::string::npos)
      << "no trace was written";
  EXPECT_EQ(all.find(kPassword), std::string::npos);
  EXPECT_EQ(all.find(encoded), std::string::npos);
}

TEST_F(HeronTest, ConfigKeepsWhatOtherToolsStored) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  List config;
  CmnVar* section = nullptr;
  BP_AddStr(&config.v, "Username", "old");
  BP_AddList(&config.v, "Environment", &section);
  BP_AddStr(section, "DB2_VENDOR", "1");
  BP_AddList(&config.v, "USEREXIT_BARLISTS", &section);
  BP_AddStr(section, "SAMPLE", "logs");
  ASSERT_NO_FATAL_FAILURE(Store(kInstance, config));
  List list;
  CmnVar* names = nullptr;
  BP_AddStrList(&list.v, "INSTANCE_LIST", &names);
  BP_ChangeStrListAdd(&list.v, "INSTANCE_LIST", "other");
  BP_ChangeStrListAdd(&list.v, "INSTANCE_LIST", "DB2INST1");
  ASSERT_NO_FATAL_FAILURE(Store("INSTANCE_LIST", list));

  EXPECT_EQ(Run(Configure()), "*RETVAL*0\n");
  const std::string stored = Stored(kInstance);
  EXPECT_NE(stored.find("DB2_VENDOR"), std::string::npos) << stored;
  EXPECT_NE(stored.find("USEREXIT_BARLISTS"), std::string::npos) << stored;
  EXPECT_NE(stored.find("db2user"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("old"), std::string::npos) << stored;
  // One entry per instance, whatever the case.
  EXPECT_EQ(Stored("INSTANCE_LIST"), Owned(BP_Pack(list.v, 0)).str());
}

TEST_F(HeronTest, AFailedReadWritesNothing) {
  // Every read of a configuration fails for another reason than "not there".
  ASSERT_NO_FATAL_FAILURE(StartServer("fault 214 error 1012\n"));
  auto writes = [&] {
    int n = 0;
    for (const auto& line : server_->traffic())
      n += line.find("request < 215") != std::string::npos;
    return n;
  };
  List config;
  CmnVar* section = nullptr;
  BP_AddList(&config.v, "Redirection", &section);
  ASSERT_NO_FATAL_FAILURE(Store(kInstance, config));
  const int before = writes();
  EXPECT_EQ(before, 1);
  EXPECT_EQ(Run(Configure()), "*RETVAL*15001\n");
  EXPECT_EQ(writes(), before);
  EXPECT_EQ(LinkTarget(Link()), "<no link>");
  // An instance list that cannot be read is no empty one.
  EXPECT_EQ(Run({"-app"}), "*RETVAL*15001\n");
}

TEST_F(HeronTest, TheUserExitLinkIsKeptOrMovedAsideOnce) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  EXPECT_EQ(Run(Configure()), "*RETVAL*0\n");
  struct stat first {};
  ASSERT_EQ(::lstat(Link().c_str(), &first), 0);
  EXPECT_EQ(Run(Configure()), "*RETVAL*0\n");
  struct stat again {};
  ASSERT_EQ(::lstat(Link().c_str(), &again), 0);
  EXPECT_EQ(first.st_ino, again.st_ino);

  ASSERT_EQ(::unlink(Link().c_str()), 0);
  tarn::test::WriteFile(Link(), "administrator's own");
  EXPECT_EQ(Run(Configure()), "*RETVAL*0\n");
  EXPECT_EQ(LinkTarget(Link()), Plover());
  EXPECT_EQ(tarn::test::ReadFile(Link() + ".orig"), "administrator's own");

  // A second foreign file would overwrite the first one moved aside.
  ASSERT_EQ(::unlink(Link().c_str()), 0);
  tarn::test::WriteFile(Link(), "second");
  EXPECT_EQ(Run(Configure()), "*RETVAL*15010\n");
  EXPECT_EQ(tarn::test::ReadFile(Link() + ".orig"), "administrator's own");
  EXPECT_EQ(tarn::test::ReadFile(Link()), "second");

  // A foreign link is replaced; the file moved aside stays.
  ASSERT_EQ(::unlink(Link().c_str()), 0);
  ASSERT_EQ(::symlink("/nowhere/plover", Link().c_str()), 0);
  EXPECT_EQ(Run(Configure()), "*RETVAL*0\n");
  EXPECT_EQ(LinkTarget(Link()), Plover());
  EXPECT_EQ(tarn::test::ReadFile(Link() + ".orig"), "administrator's own");
}

TEST_F(HeronTest, EveryCommandAnswersWithItsResultLine) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  EXPECT_EQ(Run({"-objs0", kInstance}), "*RETVAL*15016\n");  // nothing stored yet
  EXPECT_EQ(Run({"-app"}), "*RETVAL*0\n");
  EXPECT_EQ(Run(Configure("wrong")), "*RETVAL*15003\n");
  EXPECT_EQ(Run(Configure(), "heron"), "*RETVAL*15018\n");
  EXPECT_EQ(Run(Configure()), "*RETVAL*0\n");
  EXPECT_EQ(Run({"-objs0", kInstance}), "*RETVAL*15017\n");

  db2_.CreateDatabase("SAMPLE", {0, 1}, 0, {"SYSCATSPACE", "USERSPACE1"});
  db2_.CreateDatabase("TEST", {0}, 0, {"SYSCATSPACE"});
  db2_.store().EnsurePartition(kInstance, "SAMPLE", 1, {{"ONLYON1", 1}}, false);
  EXPECT_EQ(Run({"-objs0", kInstance}), "SAMPLE\nTEST\n*RETVAL*0\n");
  // Not yet partitioned in the configuration: partition 0 only.
  EXPECT_EQ(Run({"-objs1", kInstance, "SAMPLE"}), "SYSCATSPACE\nUSERSPACE1\n*RETVAL*0\n");
  std::vector<std::string> eee = Configure();
  eee.insert(eee.end(), {db2_.home(), "-debug", "1-500", "trc"});
  {
    barutiltest::ScopedEnv traceDir("VEKDBGDIR", root_.at("/var/opt/tarn/log").c_str());
    EXPECT_EQ(Run(eee), "*RETVAL*0\n");
  }
  char host[256] = "";
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const std::string logs = Logs();
  for (const std::string& line :
       {"Read 0 " + std::string(host) + " 0\n", "Read 1 " + std::string(host) + " 1\n"})
    EXPECT_NE(logs.find(line), std::string::npos) << line;
  const std::string stored = Stored(kInstance);
  EXPECT_NE(stored.find("DB2_NODES"), std::string::npos) << stored;
  EXPECT_EQ(Run({"-objs1", kInstance, "SAMPLE"}), "SYSCATSPACE\nUSERSPACE1\nONLYON1\n*RETVAL*0\n");
  std::vector<std::string> noHome = Configure();
  noHome.push_back(db2_.home() + "/missing");
  EXPECT_EQ(Run(noHome), "*RETVAL*15019\n");

  Owned encoded(EncodePassword(kPassword));
  EXPECT_EQ(Run({"-econfig", kInstance, kUser, encoded.p}), "*RETVAL*0\n");

  // A stored password that decodes to nothing usable.
  List config;
  BP_AddStr(&config.v, "Username", kUser);
  BP_AddStr(&config.v, "Password", "\x01zz");
  ASSERT_NO_FATAL_FAILURE(Store(kInstance, config));
  EXPECT_EQ(Run({"-chkconf", kInstance}), "*RETVAL*15016\n");

  db2sim::Instance inst = db2_.store().ReadInstance(kInstance);
  inst.started = false;
  db2_.store().CreateInstance(inst);
  EXPECT_EQ(Run(Configure()), "*RETVAL*15011\n");
}

}  // namespace
