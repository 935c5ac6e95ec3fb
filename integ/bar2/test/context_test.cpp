// The integration context against the stand-in cell server: opening and
// closing it with the layers below, access rights, the call-order rule,
// VEK_Global, the accessors without a context and the report hooks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barimpl.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbgimpl.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/sysio.h"
#include "csa/csa.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "tarn_test.h"

TARN_RCSID("integ/bar2/test/context_test.cpp");

namespace {

constexpr char kPostfix[] = "bartest";

std::string FindTrace(const std::string& dir) {
  const std::string suffix = std::string("_") + kPostfix;
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        found = dir + "/" + name;
    }
    closedir(d);
  }
  return found;
}

// What the link hooks saw.
struct LinkLog {
  std::vector<int> aborts;
  std::vector<int> forcedStatus;
  std::vector<std::string> sent;
  int endOpenWork = 0;
};
LinkLog linkLog;

BarLinkHooks RecordingHooks() {
  BarLinkHooks hooks{};
  hooks.abort = [](BarContext* ctx, int code) {
    linkLog.aborts.push_back(code);
    ctx->session.smHandle = kIpcNoHandle;
    return 0;
  };
  hooks.updateStatus = [](BarContext* ctx, int64_t, int force) {
    if (force != 0) linkLog.forcedStatus.push_back(ctx->object.counters.worstLevel);
    return 0;
  };
  hooks.sendReport = [](BarContext*, char* message) {
    char* text = NlsGetSingleFromSM(message);
    linkLog.sent.emplace_back(text != nullptr ? text : message);
    safe_free(text, "context_test", 0);
    return 0;
  };
  hooks.endOpenWork = [](BarContext*) { ++linkLog.endOpenWork; };
  return hooks;
}

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    for (const char* name : {"VEKOPTS", "VEKBARUPDATE", "VEKAPPNAME_RPT", "VEKDBG",
                             "VEK_CELL_SERVER_HOSTNAME", "VEKBARHOSTNAME"})
      unsetenv(name);
    setenv("VEKDBGDIR", traceDir().c_str(), 1);
    // Plain logs that find no log folder (a script's child run as another
    // user) fall back here rather than to the system's temporary folder.
    DbgSetTmpDir(traceDir().c_str());
    VEK_SetFlags(0);
    bar2_detail::ResetGlobals();
    BarSetLinkHooks(nullptr);
    linkLog = LinkLog{};
  }
  void TearDown() override {
    if (BarContext* ctx = VEK_GetContext()) {
      ctx->mode = BAR_MODE_IDLE;
      ctx->session.smHandle = kIpcNoHandle;
      VEK_Exit(ctx);
    }
    BarSetLinkHooks(nullptr);
    VEK_SetFlags(0);
    if (CmnIsInitialized()) CmnExit();
    unsetenv("VEKOPTS");
    unsetenv("VEKDBGDIR");
    DbgSetTmpDir(nullptr);
  }

  std::string traceDir() const { return root_.at("/var/opt/tarn/tmp"); }

  // The stand-in, with VEKOPTS naming it and switching tracing on.
  void StartServer(std::string fixture = {}) {
    server_ = std::make_unique<tarn::test::CellServerStandIn>(
        tarn::test::CellServerStandIn::Options{.fixture = std::move(fixture)});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    const std::string opts = std::string("-server 127.0.0.1 -debug 1-200 ") + kPostfix;
    setenv("VEKOPTS", opts.c_str(), 1);
  }

  BarContext* Open() {
    BarContext* ctx = nullptr;
    EXPECT_EQ(VEK_Init("DB2", "inst1", "DB2LIB", 0, &ctx), 0) << "error " << ErhErrno();
    return ctx;
  }

  tarn::test::TempRoot root_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
};

TEST_F(ContextTest, OpensAndClosesWithTheLayersItStarted) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_FALSE(CmnIsInitialized());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(VEK_GetContext(), ctx);
  EXPECT_EQ(VEK_GetMode(nullptr), BAR_MODE_IDLE);
  EXPECT_NE(ctx->access, 0u);
  EXPECT_STREQ(VEK_AppType(nullptr), "DB2");
  EXPECT_STREQ(VEK_AppName(ctx), "inst1");
  EXPECT_STREQ(CmnGetProgname(), "VEKBAR_DB2LIB");
  EXPECT_STREQ(ctx->dbgRanges, "1-200");
  EXPECT_STREQ(ctx->dbgPostfix.get(), kPostfix);
  EXPECT_EQ(ctx->cmnStarted, 1);
  EXPECT_EQ(ctx->ipcStarted, 1);
  EXPECT_EQ(ctx->csaStarted, 1);
  EXPECT_TRUE(CsaIsInitialized());

  BarContext* second = nullptr;
  EXPECT_EQ(VEK_Init("DB2", "other", "", 0, &second), BAR_EEXISTS);
  EXPECT_EQ(second, ctx);
  EXPECT_STREQ(VEK_AppName(nullptr), "inst1");

  EXPECT_EQ(VEK_Exit(ctx), 0);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  EXPECT_FALSE(CsaIsInitialized());
  EXPECT_FALSE(IpcIsInitialized());
  EXPECT_FALSE(CmnIsInitialized());
  EXPECT_EQ(VEK_Exit(nullptr), 0);
  EXPECT_TRUE(server_->waitForTraffic("request < 0"));
}

TEST_F(ContextTest, EmptyModuleGivesThePlainIdentity) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = nullptr;
  setenv("VEKAPPNAME_RPT", "reported", 1);
  ASSERT_EQ(VEK_Init("DB2", "inst1", "", 0, &ctx), 0);
  EXPECT_STREQ(CmnGetProgname(), "VEKBAR");
  EXPECT_STREQ(ctx->reportName, "reported");
  EXPECT_STREQ(CmnGetAdditionalId(), "reported");
}

TEST_F(ContextTest, MissingNamesFailBeforeAnythingStarts) {
  BarContext* ctx = reinterpret_cast<BarContext*>(1);
  EXPECT_EQ(VEK_Init(nullptr, "inst1", "", 0, &ctx), BAR_EPARAM);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(VEK_Init("DB2", nullptr, "", 0, &ctx), BAR_EPARAM);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  EXPECT_FALSE(CmnIsInitialized());
}

TEST_F(ContextTest, UserWithoutRightsIsRefused) {
  ASSERT_NO_FATAL_FAILURE(StartServer("login 0 0 \"tarn cell server\" \"\" 0 \"\"\n"));
  BarContext* ctx = nullptr;
  EXPECT_EQ(VEK_Init("DB2", "inst1", "", 0, &ctx), BAR_EPERM);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  EXPECT_FALSE(CsaIsInitialized());
  EXPECT_FALSE(IpcIsInitialized());
  EXPECT_FALSE(CmnIsInitialized());
}

TEST_F(ContextTest, UnreachableCellServerGivesUpAfterElevenAttempts) {
  // A port nobody listens on: every bind is refused at once, and the
  // pauses between attempts pass on the manual clock.
  setenv("TARN_INET_PORT", "1", 1);
  setenv("VEKOPTS", "-server 127.0.0.1", 1);
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  BarContext* ctx = nullptr;
  EXPECT_EQ(VEK_Init("DB2", "inst1", "", 0, &ctx), BAR_ECOMM);
  unsetenv("TARN_INET_PORT");
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(clock.sleeps(), 10);
  EXPECT_FALSE(IpcIsInitialized());
  EXPECT_FALSE(CmnIsInitialized());
}

TEST_F(ContextTest, ExitFollowsTheMode) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const BarLinkHooks hooks = RecordingHooks();
  BarSetLinkHooks(&hooks);
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);

  ctx->mode = BAR_MODE_BACKUP;
  EXPECT_EQ(VEK_Exit(ctx), BAR_ESESSION);
  EXPECT_EQ(VEK_GetContext(), ctx);
  EXPECT_EQ(VEK_GetErrno(ctx), BAR_ESESSION);
  ctx->mode = BAR_MODE_RESTORE;
  EXPECT_EQ(VEK_Exit(nullptr), BAR_ESESSION);

  // Mode 0: refused with the call-sequence trace; nothing else changes.
  ctx->mode = BAR_MODE_NONE;
  ctx->session.smHandle = 7;
  EXPECT_EQ(VEK_Exit(ctx), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_GetContext(), ctx);
  EXPECT_EQ(ctx->mode, BAR_MODE_NONE);
  EXPECT_EQ(ctx->session.smHandle, 7);
  EXPECT_TRUE(linkLog.aborts.empty());
  ctx->session.smHandle = kIpcNoHandle;

  // An object open: everything behind it is ended, the context goes, and
  // the caller still learns of the wrong sequence.
  ctx->mode = BAR_MODE_ITEM_BACKUP;
  EXPECT_EQ(VEK_Exit(ctx), BAR_ESEQUENCE);
  EXPECT_EQ(linkLog.endOpenWork, 1);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  EXPECT_FALSE(CmnIsInitialized());

  const std::string trace = tarn::test::ReadFile(FindTrace(traceDir()));
  EXPECT_NE(trace.find("[VEK_Exit] Invalid function call sequence.(current mode: 0, should be: 1)"),
            std::string::npos);
  EXPECT_NE(trace.find("[VEK_Exit] Invalid function call sequence.(current mode: 4, should be: 1)"),
            std::string::npos);
}

TEST_F(ContextTest, IdleExitAbortsAForgottenSession) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const BarLinkHooks hooks = RecordingHooks();
  BarSetLinkHooks(&hooks);
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ctx->session.smHandle = 9;
  EXPECT_EQ(VEK_Exit(ctx), 0);
  EXPECT_EQ(linkLog.aborts, std::vector<int>{8003});
  EXPECT_EQ(VEK_GetContext(), nullptr);
}

TEST_F(ContextTest, CallSequenceCheckChangesOnlyTheLastCode) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  // Every mode against every required mode of the call-order table.
  for (int mode = BAR_MODE_NONE; mode <= BAR_MODE_ITEM_RESTORE; ++mode) {
    for (int required = BAR_MODE_IDLE; required <= BAR_MODE_ITEM_RESTORE; ++required) {
      ctx->mode = mode;
      ctx->lastCode = 0;
      ctx->lastError = 0;
      const int expected = mode == required ? 0 : BAR_ESEQUENCE;
      EXPECT_EQ(BarCheckMode(ctx, "Call", required), expected) << mode << " " << required;
      EXPECT_EQ(ctx->mode, mode);
      EXPECT_EQ(ctx->lastCode, expected);
      EXPECT_EQ(ctx->lastError, 0);
    }
  }
  ctx->mode = BAR_MODE_BACKUP;
  EXPECT_EQ(BarCheckMode(ctx, "VEK_EndBackup", BAR_MODE_BACKUP, BAR_MODE_IDLE), 0);
  ctx->mode = BAR_MODE_OBJECT_BACKUP;
  EXPECT_EQ(BarCheckMode(ctx, "VEK_EndBackup", BAR_MODE_BACKUP, BAR_MODE_IDLE), BAR_ESEQUENCE);
  EXPECT_EQ(BarCheckMode(nullptr, "x", BAR_MODE_IDLE), BAR_ENOCONTEXT);
  ctx->mode = BAR_MODE_IDLE;
  ASSERT_EQ(VEK_Exit(ctx), 0);
  const std::string trace = tarn::test::ReadFile(FindTrace(traceDir()));
  EXPECT_NE(trace.find("[VEK_EndBackup] Invalid function call sequence.(current mode: 3, should "
                       "be: 2 or 1)"),
            std::string::npos);
}

TEST_F(ContextTest, ScriptPasswordNeverReachesTheTrace) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  EXPECT_LT(VEK_ExecuteScript(ctx, "missing.sh -x", 1, "nobody", "s3cr3tpw", 5), 0);
  ASSERT_EQ(VEK_Exit(ctx), 0);
  const std::string trace = tarn::test::ReadFile(FindTrace(traceDir()));
  EXPECT_NE(trace.find("Modified script:"), std::string::npos);
  EXPECT_EQ(trace.find("s3cr3tpw"), std::string::npos);
}

TEST_F(ContextTest, FlagsDecideWhichLayersStop) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_EQ(CmnInit("caller", nullptr, nullptr, nullptr, nullptr, 0), 0);
  VEK_SetFlags(kVekFlagStopStarted);
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->cmnStarted, 0);
  ASSERT_EQ(VEK_Exit(ctx), 0);
  EXPECT_TRUE(CmnIsInitialized());
  EXPECT_FALSE(IpcIsInitialized());
  EXPECT_FALSE(CsaIsInitialized());

  VEK_SetFlags(0);
  ctx = Open();
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(VEK_Exit(ctx), 0);
  EXPECT_FALSE(CmnIsInitialized());
}

TEST_F(ContextTest, StatusIntervalIsClamped) {
  const struct {
    const char* value;
    int update;
  } cases[] = {{nullptr, 20}, {"1", 2},      {"2", 2},  {"45", 45},
               {"300", 300},  {"1000", 300}, {"-7", 2}, {"99999999999999999999", 300}};
  for (const auto& c : cases) {
    bar2_detail::ResetGlobals();
    std::snprintf(VEK_Global.cmHost, sizeof VEK_Global.cmHost, "%s", "cm.example.com");
    if (c.value != nullptr) {
      setenv("VEKBARUPDATE", c.value, 1);
    } else {
      unsetenv("VEKBARUPDATE");
    }
    EXPECT_EQ(VEK_InitGlobals(), 0);
    EXPECT_EQ(VEK_Global.update, c.update) << (c.value != nullptr ? c.value : "unset");
  }
  // The body runs once per process.
  setenv("VEKBARUPDATE", "100", 1);
  VEK_InitGlobals();
  EXPECT_EQ(VEK_Global.update, 300);
  unsetenv("VEKBARUPDATE");
}

TEST_F(ContextTest, CapabilitiesFollowTheHostProcessMark) {
  bar2_detail::ResetGlobals();
  std::snprintf(VEK_Global.cmHost, sizeof VEK_Global.cmHost, "%s", "cm.example.com");
  VEK_Global.capability = kVekCapCompress;
  VEK_InitGlobals();
  EXPECT_EQ(VEK_Global.capability, kVekCapEncode | kVekCapEncrypt);

  bar2_detail::ResetGlobals();
  std::snprintf(VEK_Global.cmHost, sizeof VEK_Global.cmHost, "%s", "cm.example.com");
  VEK_Global.capability = kVekCapEncode;
  cmnDefine_ORACLE8 = 1;
  VEK_InitGlobals();
  cmnDefine_ORACLE8 = 0;
  EXPECT_EQ(VEK_Global.capability, kVekCapEncrypt);
}

TEST_F(ContextTest, AccessorsAndSettersWithoutContext) {
  ASSERT_EQ(VEK_GetContext(), nullptr);
  EXPECT_EQ(VEK_GetErrno(nullptr), -21);
  EXPECT_EQ(VEK_GetErhno(nullptr), -21);
  EXPECT_EQ(VEK_GetLastError(nullptr), -21);
  EXPECT_EQ(VEK_GetOutput(nullptr), -21);
  EXPECT_EQ(VEK_GetSMHandle(nullptr), -1);
  EXPECT_EQ(VEK_GetIntegSpecific(nullptr), 0);
  EXPECT_EQ(VEK_GetSessionId(nullptr), nullptr);
  EXPECT_EQ(VEK_GetSessionGuid(nullptr), nullptr);
  EXPECT_EQ(VEK_GetMode(nullptr), -1);
  EXPECT_EQ(VEK_IsMALocal(nullptr), -21);
  EXPECT_EQ(VEK_MABlockSize(nullptr), -21);
  EXPECT_EQ(VEK_DARecOffset(nullptr), -21);
  EXPECT_EQ(VEK_AppType(nullptr), nullptr);
  EXPECT_EQ(VEK_AppName(nullptr), nullptr);
  EXPECT_EQ(VEK_BarList(nullptr), nullptr);
  EXPECT_EQ(VEK_NumErrors(nullptr), -21);
  EXPECT_EQ(VEK_GetTrees(nullptr), nullptr);
  EXPECT_EQ(VEK_DmpContext(nullptr), 0);
  EXPECT_EQ(VEK_GetDaID(nullptr), -1);
  EXPECT_EQ(VEK_SetErrno(nullptr, 1), -21);
  EXPECT_EQ(VEK_SetLastError(nullptr, 1), -21);
  EXPECT_EQ(VEK_SetOutput(nullptr, 0), -21);
  EXPECT_EQ(VEK_SetIntegSpecific(nullptr, 1), -21);
  EXPECT_EQ(VEK_SetAppTypeAppName(nullptr, "a", "b"), -21);
  EXPECT_EQ(VEK_SetObjectSize(nullptr, 1), -21);
  EXPECT_EQ(VEK_SetDatabaseId(nullptr, "x"), -21);
  EXPECT_EQ(VEK_ExecuteScript(nullptr, "x", 1, nullptr, nullptr, 0), -21);
  EXPECT_EQ(BAR2ConsoleHook("text"), -21);
  EXPECT_EQ(BAR2ReportHook("text"), 0);
}

TEST_F(ContextTest, ContextDefaultsAndSetters) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(VEK_GetOutput(ctx), 1);
  EXPECT_EQ(ctx->smLink, 1);
  EXPECT_EQ(VEK_GetSMHandle(ctx), -1);
  EXPECT_EQ(ctx->dbsmHandle, -1);
  EXPECT_EQ(VEK_IsMALocal(ctx), -1);
  EXPECT_STREQ(ctx->object.objName, "<unknownObject>");
  EXPECT_EQ(VEK_SetAppTypeAppName(nullptr, "DB2", std::string(120, 'n').c_str()), 0);
  EXPECT_EQ(std::string(VEK_AppName(ctx)), std::string(80, 'n'));
  EXPECT_EQ(std::string(CmnGetAdditionalId()), std::string(80, 'n'));
  EXPECT_EQ(VEK_SetDatabaseId(ctx, std::string(500, 'd').c_str()), 0);
  EXPECT_EQ(std::string(ctx->databaseId).size(), 400u);
  EXPECT_EQ(VEK_SetObjectSize(ctx, int64_t{1} << 40), 0);
  EXPECT_EQ(ctx->object.counters.objSize, int64_t{1} << 40);
  EXPECT_EQ(VEK_SetErrno(ctx, -17), 0);
  EXPECT_EQ(VEK_GetErrno(nullptr), -17);
}

TEST_F(ContextTest, ReportsAreCountedAndSentToTheSessionManager) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  const BarLinkHooks hooks = RecordingHooks();
  BarSetLinkHooks(&hooks);
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  static std::vector<std::string> seen;
  seen.clear();
  ctx->reportCallback = [](const char* message) { seen.emplace_back(message); };

  // No link: printed locally, counted all the same.
  ErhFullReportPacked("test", kErhMinor, NlsPackMessage(131, 56));
  EXPECT_EQ(ctx->object.counters.errorReports, 1);
  EXPECT_TRUE(linkLog.sent.empty());

  ctx->session.smHandle = 5;
  ErhFullReportPacked("test", kErhMinor, NlsPackMessage(131, 56));
  ErhFullReportPacked("test", kErhCritical, NlsPackMessage(131, 103));
  ErhFullReportPacked("test", kErhMajor, NlsPackMessage(131, 56));
  ErhFullReportPacked("test", kErhNormal, NlsPackMessage(131, 103));
  EXPECT_EQ(ctx->object.counters.errorReports, 3);
  EXPECT_EQ(ctx->object.counters.level0Reports, 1);
  EXPECT_EQ(VEK_NumErrors(nullptr), 3);
  // Level 4 never raises the worst level; 3 after 2 forces a status first.
  EXPECT_EQ(linkLog.forcedStatus, (std::vector<int>{2, 3}));
  EXPECT_EQ(ctx->object.counters.worstLevel, 3);
  ASSERT_EQ(linkLog.sent.size(), 4u);
  EXPECT_NE(linkLog.sent[0].find("No Cell Manager host is known."), std::string::npos)
      << linkLog.sent[0];
  EXPECT_EQ(seen.size(), 5u);

  VEK_SetOutput(ctx, 0);
  ErhFullReportPacked("test", kErhMajor, NlsPackMessage(131, 56));
  EXPECT_EQ(linkLog.sent.size(), 4u);
  EXPECT_EQ(ctx->object.counters.errorReports, 4);
  ctx->session.smHandle = kIpcNoHandle;
}

TEST_F(ContextTest, BuiltInSendPassesTheReportMessageUnchanged) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const IpcHandle ours = IpcAttachConnection(pair[0], pair[0]);
  const IpcHandle peer = IpcAttachConnection(pair[1], pair[1]);
  ASSERT_GE(ours, 0);
  ASSERT_GE(peer, 0);
  ctx->session.smHandle = ours;

  ErhFullReportPacked("test", kErhMajor, NlsPackMessage(131, 54, "no route"));
  StrMsg* rx = StrMsgNew();
  ASSERT_NE(rx, nullptr);
  // A new worst level forces a status before the line itself.
  ASSERT_GT(IpcReceiveStrMsgExL(peer, rx, 5), 0);
  EXPECT_EQ(StrParseStartL(rx, StrMsgGetRBufL(rx)), 33);
  ASSERT_GT(IpcReceiveStrMsgExL(peer, rx, 5), 0);
  EXPECT_EQ(StrParseStartL(rx, StrMsgGetRBufL(rx)), kNlsPackedCode);
  char* text = NlsGetSingleFromSM(StrMsgGetRBufL(rx));
  ASSERT_NE(text, nullptr);
  EXPECT_NE(std::string(text).find("Cannot connect to the Cell Manager: no route"),
            std::string::npos)
      << text;
  safe_free(text, "context_test", 0);
  StrMsgDelete(&rx);
  ctx->session.smHandle = kIpcNoHandle;
  IpcCloseConnection(ours);
  IpcCloseConnection(peer);
}

// A plain text report (not a packed catalogue message) reaches the session
// manager as a message it can read: the report code, the line as its item.
TEST_F(ContextTest, APlainTextReportTravelsAsAReportMessage) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  BarContext* ctx = Open();
  ASSERT_NE(ctx, nullptr);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const IpcHandle ours = IpcAttachConnection(pair[0], pair[0]);
  const IpcHandle peer = IpcAttachConnection(pair[1], pair[1]);
  ASSERT_GE(ours, 0);
  ASSERT_GE(peer, 0);
  ctx->session.smHandle = ours;
  ctx->object.counters.worstLevel = kErhCritical;  // no status before the line

  ErhFullReport("test", kErhCritical, "\tNegotiated with the agent.\n");
  StrMsg* rx = StrMsgNew();
  ASSERT_NE(rx, nullptr);
  ASSERT_GT(IpcReceiveStrMsgExL(peer, rx, 5), 0);
  EXPECT_EQ(StrParseStartL(rx, StrMsgGetRBufL(rx)), kNlsPackedCode);
  const char* item = StrParseNextL(rx);
  ASSERT_NE(item, nullptr);
  EXPECT_NE(std::string(item).find("\tNegotiated with the agent."), std::string::npos) << item;
  StrMsgDelete(&rx);
  ctx->session.smHandle = kIpcNoHandle;
  IpcCloseConnection(ours);
  IpcCloseConnection(peer);
}

}  // namespace
