// The DB2 integration's shared functions: the instance configuration,
// credentials and version read from the stand-in cell server, file-name
// formatting, debug options and the configuration's environment.
#include "db2/db2common.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "barutil/buconfig.h"
#include "barutil/test/barutil_test_util.h"
#include "barutil/vekdebug.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/global.h"
#include "cmn/paths.h"
#include "csa/csa.h"
#include "ipc/ipc.h"
#include "tarn_test.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/test/db2common_test.cpp");

namespace {

using barutiltest::List;
using barutiltest::Owned;

class Db2CommonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("db2commontest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
  }
  void TearDown() override {
    CsaExitEx(0);
    IpcExit();
    ErhClearErrorM("db2common_test", 0);
  }
  // A stand-in cell server named in the client's cell_server file.
  void StartServer() {
    server_ = std::make_unique<tarn::test::CellServerStandIn>();
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    glBindTimeout = 0;
    root_.write("/etc/opt/tarn/client/cell_server", "127.0.0.1\n");
  }
  void Store(const char* instance, const List& config) {
    ASSERT_EQ(BU_PutConfig("127.0.0.1", cmnHostname, "DB2", instance, config.v), kBuOk);
  }

  tarn::test::TempRoot root_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
};

TEST_F(Db2CommonTest, ConfigurationCredentialsAndVersionComeFromTheCellServer) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  List config;
  Owned encoded(EncodePassword("s3cr\xC3\xA9t"));
  BP_AddStr(&config.v, "Username", "db2inst1");
  BP_AddStr(&config.v, "Password", encoded.p);
  BP_AddStr(&config.v, "Version", "11.5");
  ASSERT_NO_FATAL_FAILURE(Store("db2inst1", config));

  BpList* read = GetCfg("db2inst1");
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(CmnVarCmp(config.v, *read), 0);
  DB2FreeCfg(read);

  Owned user, password;
  GetUserAndPass("db2inst1", &user.p, &password.p);
  EXPECT_EQ(user.str(), "db2inst1");
  EXPECT_EQ(password.str(), "s3cr\xC3\xA9t");
  EXPECT_EQ(Owned(GetCfgVersion("db2inst1")).str(), "11.5");
  EXPECT_FALSE(CsaIsInitialized());
  // The letters reverse into the password: they never reach the trace.
  EXPECT_EQ(root_.read("/var/opt/tarn/log/debug.log").find(encoded.p), std::string::npos);
}

TEST_F(Db2CommonTest, AUserWithoutPasswordMeansTheProcessAccount) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  List config;
  BP_AddStr(&config.v, "Username", "db2inst1");
  ASSERT_NO_FATAL_FAILURE(Store("db2inst1", config));
  char stale[] = "stale";
  char* user = stale;
  char* password = stale;
  GetUserAndPass("db2inst1", &user, &password);
  EXPECT_EQ(user, nullptr);
  EXPECT_EQ(password, nullptr);
  EXPECT_EQ(GetCfgVersion("db2inst1"), nullptr);
}

TEST_F(Db2CommonTest, AMissingConfigurationLeavesTheOutputsAlone) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  EXPECT_EQ(GetCfg("nosuch"), nullptr);
  EXPECT_EQ(GetCfg(""), nullptr);
  EXPECT_EQ(GetCfg(nullptr), nullptr);
  char keep[] = "keep";
  char* user = keep;
  char* password = keep;
  GetUserAndPass("nosuch", &user, &password);
  GetUserAndPass(nullptr, &user, &password);
  EXPECT_EQ(user, keep);
  EXPECT_EQ(password, keep);
  EXPECT_EQ(GetCfgVersion("nosuch"), nullptr);
  EXPECT_EQ(GetCfgVersion(nullptr), nullptr);
  EXPECT_FALSE(CsaIsInitialized());
}

TEST_F(Db2CommonTest, NoCellServerFileGivesNoConfiguration) {
  EXPECT_EQ(GetCfg("db2inst1"), nullptr);
  EXPECT_EQ(GetCfgVersion("db2inst1"), nullptr);
}

TEST_F(Db2CommonTest, FileNamesGetForwardSlashesUpTo1023Characters) {
  EXPECT_STREQ(DB2_fNameFormatNative("C:\\db2\\NODE0000\\S0000001.LOG"),
               "C:/db2/NODE0000/S0000001.LOG");
  const std::string longest(1023, '\\');
  EXPECT_EQ(std::string(DB2_fNameFormatIDB(longest.c_str())), std::string(1023, '/'));
  const std::string tooLong(1024, 'a');
  EXPECT_STREQ(DB2_fNameFormatIDB(tooLong.c_str()), "");
  EXPECT_STREQ(DB2_fNameFormatNative(nullptr), "");
  // Both share one buffer: the second call overwrites the first's result.
  const char* first = DB2_fNameFormatNative("a\\b");
  DB2_fNameFormatIDB("c");
  EXPECT_STREQ(first, "c");
}

TEST_F(Db2CommonTest, DebugOptionsAreTakenOnlyWithRanges) {
  OptParseDebug("-debug 1-99 post sel");
  EXPECT_STREQ(debugRanges, "1-99");
  EXPECT_STREQ(debugSession, "post");
  EXPECT_STREQ(debugSelect, "sel");
  OptParseDebug("");
  OptParseDebug(nullptr);
  EXPECT_STREQ(debugRanges, "1-99");
}

TEST_F(Db2CommonTest, InitDebuggingTracesFromTheConfigurationOnlyWhenTracingIsOff) {
  const std::string traceDir = root_.at("/var/opt/tarn/tmp");
  const int status = tarn::test::RunInChild([&traceDir] {
    unsetenv("VEKOPTS");
    setenv("VEKDBGDIR", traceDir.c_str(), 1);
    List config;
    CmnVar* env = nullptr;
    BP_AddList(&config.v, "Environment", &env);
    BP_AddStr(env, "VEKOPTS", "-debug 1-99 cfg");
    BP_AddStr(env, "DB2_TEST_EXPORTED", "yes");
    if (DbgGetFd() != nullptr) return 1;
    InitDebugging(&config.v);
    if (DbgGetFd() == nullptr) return 2;
    // The trace file lies in the test's own root.
    std::error_code ec;
    const std::string file =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fileno(DbgGetFd())), ec);
    if (file.rfind(traceDir + "/VEKDBG_", 0) != 0) return 7;
    const char* put = std::getenv("VEKOPTS");
    if (put == nullptr || std::string(put) != "-debug 1-99 cfg") return 3;
    if (std::string(DbgGetPostfix()) != std::string(CmnGetProgname()) + "_cfg") return 4;
    // Tracing is on now: a second configuration changes nothing.
    BP_ChangeStr(env, "VEKOPTS", "-debug 5 other");
    InitDebugging(&config.v);
    if (std::string(std::getenv("VEKOPTS")) != "-debug 1-99 cfg") return 5;
    ExportEnvVars(&config.v);
    if (std::getenv("DB2_TEST_EXPORTED") == nullptr) return 6;
    ExportEnvVars(nullptr);
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Db2CommonTest, OptionsWithoutRangesLeaveTracingOff) {
  const int status = tarn::test::RunInChild([] {
    List config;
    CmnVar* env = nullptr;
    BP_AddList(&config.v, "Environment", &env);
    BP_AddStr(env, "VEKOPTS", "-server cs1");
    InitDebugging(&config.v);
    return DbgGetFd() == nullptr ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Db2CommonTest, OptionsWithoutRangesStillReachTheIntegrationApi) {
  // Texts without debug ranges leave tracing off, also after an earlier text
  // with ranges, yet the integration API started afterwards sees them.
  const struct {
    const char* vekopts;
    bool earlierRanges;
  } cases[] = {
      {"-server cs1 -report 3 -lport sm1 4711", false},
      {"-debug", false},
      {"-debug", true},
      {"\"\" -server cs1 -report 3", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vekopts);
    const int status = tarn::test::RunInChild([&c] {
      unsetenv("VEKOPTS");
      if (c.earlierRanges && !OptParseDebug("-debug 1-99 earlier")) return 1;
      List config;
      CmnVar* env = nullptr;
      BP_AddList(&config.v, "Environment", &env);
      BP_AddStr(env, "VEKOPTS", c.vekopts);
      InitDebugging(&config.v);
      if (DbgGetFd() != nullptr) return 2;
      const char* put = std::getenv("VEKOPTS");
      return put != nullptr && std::string(put) == c.vekopts ? 0 : 3;
    });
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// A process the session manager started holds the options and barlist of
// its session; the configuration's Environment puts its words in front, so
// that the process's own win where both set one (the option parser and the
// debug readers take the later word), yet a configured word the process does
// not set itself still counts.
TEST_F(Db2CommonTest, TheSessionManagersOptionsAndBarlistOutliveTheConfiguration) {
  const struct {
    const char* own;      // VEKOPTS the process was started with; null for none
    const char* barlist;  // VEKBARLIST likewise
    const char* configured;
    const char* vekopts;  // VEKOPTS afterwards
    const char* afterBarlist;
    bool traced = false;      // tracing is on before the configuration is read
    const char* ranges = "";  // the debug ranges VEKOPTS gives afterwards
  } cases[] = {
      {"-server sm1 -session 2026/01/01-1", "nightly", "-debug 1-99 cfg -server cs9",
       "-debug 1-99 cfg -server cs9 -server sm1 -session 2026/01/01-1", "nightly", false, "1-99"},
      {"-server sm1 -session 2026/01/01-1", "nightly", "-server cs9 -report 3",
       "-server cs9 -report 3 -server sm1 -session 2026/01/01-1", "nightly"},
      {nullptr, nullptr, "-server cs9", "-server cs9", "other"},
      // The user exit of an instance whose shell exported VEKOPTS.
      {"-report 3", nullptr, "-server cs9 -lport sm1 4711", "-server cs9 -lport sm1 4711 -report 3",
       "other"},
      // The agent traced by its option line: only ExportEnvVars merges.
      {"-debug 1-50 own -server sm1", "nightly", "-debug 1-99 cfg -report 3",
       "-debug 1-99 cfg -report 3 -debug 1-50 own -server sm1", "nightly", true, "1-50"},
      // A configured text that would take the process's own words in.
      {"-server sm1", "nightly", "-report 3 # the nightly runs", "-server sm1", "nightly"},
      {"-server sm1", "nightly", "-report 3 -server \"cs9", "-server sm1", "nightly"},
  };
  const std::string traceDir = root_.at("/var/opt/tarn/tmp");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configured);
    const int status = tarn::test::RunInChild([&c, &traceDir] {
      unsetenv("VEKOPTS");
      unsetenv("VEKBARLIST");
      if (c.own != nullptr) setenv("VEKOPTS", c.own, 1);
      if (c.barlist != nullptr) setenv("VEKBARLIST", c.barlist, 1);
      setenv("VEKDBGDIR", traceDir.c_str(), 1);
      if (c.traced && DbgInit("own", "1-50", "") != 0) return 4;
      List config;
      CmnVar* env = nullptr;
      BP_AddList(&config.v, "Environment", &env);
      BP_AddStr(env, "VEKOPTS", c.configured);
      BP_AddStr(env, "VEKBARLIST", "other");
      InitDebugging(&config.v);
      ExportEnvVars(&config.v);
      const char* vekopts = std::getenv("VEKOPTS");
      const char* barlist = std::getenv("VEKBARLIST");
      if (vekopts == nullptr || std::string(vekopts) != c.vekopts) return 1;
      DebugOpts debug{};
      VEK_DebugOptsFromEnv(&debug);
      if (std::string(debug.ranges) != c.ranges) return 3;
      return barlist != nullptr && std::string(barlist) == c.afterBarlist ? 0 : 2;
    });
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// The agent backs its catalog partition up in its own process: its reports
// keep going where the integration sends them.
TEST_F(Db2CommonTest, TheProgramsOwnProcessKeepsItsReportHooks) {
  const ErhHookFn report = [](const char*) {};
  ErhHooks before{};
  ErhSetHooks(&before, report, nullptr);
  DB2StartForkedTask(nullptr);
  ErhHooks after{};
  ErhSetHooks(&after, before.report, before.console);
  EXPECT_EQ(after.report, report);
}

}  // namespace
