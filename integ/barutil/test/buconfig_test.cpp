// Integration configuration: item paths, the round trip through the stand-in
// cell server, the client stop on every path, local files and error codes.
#include "barutil/buconfig.h"

#include <string>

#include "barutil/vekhost.h"
#include "barutil_test_util.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/dbg.h"
#include "cmn/global.h"
#include "cmn/str.h"
#include "cmn/test/cmn_test_util.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "ipc/ipc.h"

namespace {

using barutiltest::Owned;
using barutiltest::ScopedEnv;

constexpr char kCellHost[] = "127.0.0.1";

using barutiltest::List;

std::string Path(const char* host, const char* type, const char* name) {
  char out[kBuConfigPathMax + 1];
  return BU_GetConfigPath(out, sizeof out, host, type, name) == kBuOk ? std::string(out) : "<none>";
}

class BuConfigPathTest : public barutiltest::BarutilTest {};

TEST_F(BuConfigPathTest, HostAloneIsEncodedHostWithNameIsExpandedAndNameEncoded) {
  EXPECT_EQ(Path("db:host%1", "DB2", nullptr), "config/DB2/db%3Ahost%%1");
  EXPECT_EQ(Path("no-such-host.invalid", "DB2", "inst/1%x"),
            "config/DB2/no-such-host.invalid%inst%2F1%%x");
  const std::string own = cmnHostname;
  EXPECT_EQ(Path(nullptr, "DB2", "db2inst1"), "config/DB2/" + own + "%db2inst1");
  EXPECT_EQ(Path("localhost", "DB2", "i"),
            std::string("config/DB2/") + VEK_ExpandHostname("localhost") + "%i");
}

TEST_F(BuConfigPathTest, NoTypeNoHostAndNameOrNoRoomGiveNoPath) {
  EXPECT_EQ(Path("h", nullptr, "i"), "<none>");
  EXPECT_EQ(Path("h", "", "i"), "<none>");
  EXPECT_EQ(Path(nullptr, "DB2", nullptr), "<none>");
  char small[12];
  EXPECT_EQ(BU_GetConfigPath(small, sizeof small, "host", "DB2", nullptr), kBuBadArg);
  EXPECT_STREQ(small, "");
  const std::string huge(2000, 'n');
  EXPECT_EQ(Path("h", "DB2", huge.c_str()), "<none>");
}

TEST(BuErhErrnoTest, MapsResultsAndNeverTurnsAFailureIntoSuccess) {
  ErhClearErrorM("barutil_test", 0);
  EXPECT_EQ(BU_ErhErrno(0), 0);
  for (int code : {1, 2, 3, 4}) EXPECT_EQ(BU_ErhErrno(code), 1008) << code;
  EXPECT_EQ(BU_ErhErrno(5), 1007);
  EXPECT_EQ(BU_ErhErrno(7), 1007);
  EXPECT_EQ(BU_ErhErrno(9), 1026);
  EXPECT_EQ(BU_ErhErrno(10), 1024);
  EXPECT_EQ(BU_ErhErrno(8), 1000);
  for (int code : {6, 11, -1}) EXPECT_NE(BU_ErhErrno(code), 0) << code;
  ErhMarkM(1613, 0, "test", kErhMajor, "barutil_test", 0);
  EXPECT_EQ(BU_ErhErrno(8), 1613);
  ErhClearErrorM("barutil_test", 0);
}

class BuConfigServerTest : public barutiltest::BarutilTest {
 protected:
  void SetUp() override {
    BarutilTest::SetUp();
    glBindTimeout = 0;
    unsetenv("VEK_PROTNEG_CSA_CRS");
    unsetenv("VEK_PROTNEG_CSA_SM");
  }
  void TearDown() override {
    CsaExitEx(0);
    IpcExit();
    BarutilTest::TearDown();
  }
  void StartServer() {
    server_ = std::make_unique<tarn::test::CellServerStandIn>();
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
  }
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
};

TEST_F(BuConfigServerTest, PutThenGetRoundTripsAndStopsTheClientItStarted) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  List l;
  ASSERT_EQ(BP_AddStr(&l.v, "Username", "db2inst1"), kBpOk);
  ASSERT_EQ(BP_AddStr(&l.v, "Version", "11.5"), kBpOk);
  CmnVar* env = nullptr;
  ASSERT_EQ(BP_AddList(&l.v, "Environment", &env), kBpOk);
  ASSERT_EQ(BP_AddStr(env, "VEKOPTS", "-debug 1-200"), kBpOk);

  ASSERT_EQ(BU_PutConfig(kCellHost, "no-such-host.invalid", "DB2", "db2inst1", l.v), kBuOk)
      << ErhErrno();
  EXPECT_FALSE(CsaIsInitialized());
  EXPECT_EQ(tarn::test::ReadFile(server_->stateDir() +
                                 "/items/80/config%2FDB2%2Fno-such-host.invalid%25db2inst1"),
            "Username='db2inst1';\n"
            "Version='11.5';\n"
            "Environment={\n"
            "\tVEKOPTS='-debug 1-200';\n"
            "};\n");

  List back;
  ASSERT_EQ(BU_GetConfig(kCellHost, "no-such-host.invalid", "DB2", "db2inst1", &back.v), kBuOk)
      << ErhErrno();
  EXPECT_FALSE(CsaIsInitialized());
  EXPECT_EQ(CmnVarCmp(l.v, back.v), 0);

  List other;
  EXPECT_EQ(BU_GetConfig(kCellHost, "no-such-host.invalid", "DB2", "db2inst2", &other.v),
            kBuCellServer);
  EXPECT_FALSE(CsaIsInitialized());
}

TEST_F(BuConfigServerTest, UnparsableItemGives2AndNoListAndTheClientStops) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_EQ(MCsaInit(kCellHost), 0);
  char path[kBuConfigPathMax + 1];
  ASSERT_EQ(BU_GetConfigPath(path, sizeof path, "h1", "DB2", nullptr), kBuOk);
  ASSERT_EQ(MCsaPutGroupItem(0, 80, path, "Username={'x';", 1), 0);
  CsaExitEx(kCsaStartedIpc);

  List l;
  EXPECT_EQ(BU_GetConfig(kCellHost, "h1", "DB2", nullptr, &l.v), kBuParseFailed);
  EXPECT_EQ(BP_TypeOf(l.v), BP_KIND_NONE);
  EXPECT_FALSE(CsaIsInitialized());
}

TEST_F(BuConfigServerTest, ARunningClientKeepsRunning) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  ASSERT_EQ(MCsaInit(kCellHost), 0);
  List l;
  ASSERT_EQ(BP_AddInt(&l.v, "Nodes", 2), kBpOk);
  EXPECT_EQ(BU_PutConfig(kCellHost, "h2", "DB2", nullptr, l.v), kBuOk);
  List back;
  EXPECT_EQ(BU_GetConfig(kCellHost, "h2", "DB2", nullptr, &back.v), kBuOk);
  EXPECT_TRUE(CsaIsInitialized());
  EXPECT_EQ(CmnVarCmp(l.v, back.v), 0);
}

TEST_F(BuConfigServerTest, NoServerGives8AndLeavesNoClientRunning) {
  tarn::test::CellServerStandIn server;
  ASSERT_TRUE(server.ready());
  server.exportInetPort();
  ASSERT_NE(server.stop(), -1);
  List l;
  EXPECT_EQ(BU_GetConfig(kCellHost, "h3", "DB2", nullptr, &l.v), kBuCellServer);
  EXPECT_FALSE(CsaIsInitialized());
  EXPECT_NE(BU_ErhErrno(kBuCellServer), 0);
  EXPECT_EQ(BU_PutConfig(kCellHost, "h3", "DB2", nullptr, l.v), kBuCellServer);
  EXPECT_FALSE(CsaIsInitialized());
  EXPECT_EQ(BU_GetConfig(kCellHost, nullptr, "DB2", nullptr, &l.v), kBuBadArg);
}

TEST_F(BuConfigServerTest, UpdateChangesAddsAndRemoves) {
  List l;
  EXPECT_EQ(BU_UpdateConfig(&l.v, "Password", "x"), kBpOk);
  EXPECT_EQ(BU_UpdateConfig(&l.v, "Password", "y"), kBpOk);
  EXPECT_STREQ(BP_GetStr(l.v, "Password"), "y");
  EXPECT_EQ(BU_UpdateConfig(&l.v, "Password", nullptr), kBpOk);
  EXPECT_EQ(BU_UpdateConfig(&l.v, "Password", nullptr), kBpNotFound);
  EXPECT_EQ(CmnVarLength(l.v), 0);
}

TEST_F(BuConfigServerTest, UpdateTraceMasksSecretValues) {
  List l;
  DbgExit();
  const std::string trace = cmntest::Traced("1-200", [&] {
    BU_UpdateConfig(&l.v, "Password", "BCDEFGHI");
    BU_UpdateConfig(&l.v, "Version", "11.5");
  });
  EXPECT_NE(trace.find("Option name  - PasswordOption Value - ****"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Option name  - VersionOption Value - 11.5"), std::string::npos);
  EXPECT_EQ(trace.find("BCDEFGHI"), std::string::npos);
  EXPECT_STREQ(BP_GetStr(l.v, "Password"), "BCDEFGHI");
}

class BuLocalFileTest : public barutiltest::BarutilTest {
 protected:
  tarn::test::TempDir dir_;
};

TEST_F(BuLocalFileTest, PutWritesTheStoredFormAndGetReadsItBack) {
  const std::string path = dir_.path() + "/db2.cfg";
  List l;
  ASSERT_EQ(BP_AddStr(&l.v, "Username", "u"), kBpOk);
  ASSERT_EQ(BP_AddInt(&l.v, "N", -1), kBpOk);
  ASSERT_EQ(BU_PutLocalFile(path.c_str(), l.v), kBuOk);
  EXPECT_EQ(tarn::test::ReadFile(path), "Username='u';\nN=-1;\n");
  List back;
  ASSERT_EQ(BU_GetLocalFile(path.c_str(), &back.v), kBuOk);
  EXPECT_EQ(CmnVarCmp(l.v, back.v), 0);
}

TEST_F(BuLocalFileTest, Utf16FileIsConvertedBrokenAndMissingFilesAreRefused) {
  const std::string wide = dir_.path() + "/wide.cfg";
  tarn::test::WriteFile(wide, std::string("\xFF\xFE"
                                          "A\0=\0"
                                          "1\0;\0",
                                          10));
  List l;
  ASSERT_EQ(BU_GetLocalFile(wide.c_str(), &l.v), kBuOk);
  int64_t n = 0;
  EXPECT_EQ(BP_GetIntByName(l.v, "A", &n), kBpOk);
  EXPECT_EQ(n, 1);

  const std::string broken = dir_.path() + "/broken.cfg";
  tarn::test::WriteFile(broken, "A=1;B={");
  EXPECT_EQ(BU_GetLocalFile(broken.c_str(), &l.v), kBuParseFailed);
  EXPECT_EQ(BP_TypeOf(l.v), BP_KIND_NONE);
  const std::string nul = dir_.path() + "/nul.cfg";
  tarn::test::WriteFile(nul, std::string("A=1;\0B=2;", 9));
  EXPECT_EQ(BU_GetLocalFile(nul.c_str(), &l.v), kBuParseFailed);
  EXPECT_EQ(BU_GetLocalFile((dir_.path() + "/missing").c_str(), &l.v), kBuLocalFile);
  EXPECT_EQ(BU_PutLocalFile((dir_.path() + "/no/such/dir/x").c_str(), l.v), kBuBadArg);
  List empty;
  EXPECT_EQ(BU_PutLocalFile((dir_.path() + "/no/such/dir/x").c_str(), empty.v), kBuLocalFile);
}

}  // namespace
