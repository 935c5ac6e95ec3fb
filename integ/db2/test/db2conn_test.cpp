// DB2 connections through the stand-in's client library: the structure
// layouts, attach with the stored credentials, partition switches that fail,
// node and table-space lists over two partitions, container checks and the
// two report forms.
#include "db2/db2conn.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
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
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "csa/csa.h"
#include "db2/testing/db2_standin.h"
#include "ipc/ipc.h"
#include "tarn_test.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/test/db2conn_test.cpp");

namespace {

using barutiltest::List;
using barutiltest::Owned;

TEST(Db2ApiLayout, StructuresMatchDb2ByteForByte) {
  EXPECT_EQ(sizeof(sqlca), 136u);
  EXPECT_EQ(offsetof(sqlca, sqlcode), 12u);
  EXPECT_EQ(offsetof(sqlca, sqlerrmc), 18u);
  EXPECT_EQ(offsetof(sqlca, sqlerrd), 96u);
  EXPECT_EQ(offsetof(sqlca, sqlwarn), 120u);
  EXPECT_EQ(offsetof(sqlca, sqlstate), 131u);
  EXPECT_EQ(sizeof(sqle_conn_setting), 4u);
  EXPECT_EQ(offsetof(sqle_conn_setting, value), 2u);
  EXPECT_EQ(sizeof(sqledinfo), 1588u);
  EXPECT_EQ(offsetof(sqledinfo, dbname), 8u);
  EXPECT_EQ(offsetof(sqledinfo, com_codepage), 298u);
  EXPECT_EQ(offsetof(sqledinfo, type), 300u);
  EXPECT_EQ(offsetof(sqledinfo, authentication), 302u);
  EXPECT_EQ(offsetof(sqledinfo, cat_nodenum), 1584u);
  EXPECT_EQ(sizeof(SQLB_TBSPQRY_DATA), 176u);
  EXPECT_EQ(offsetof(SQLB_TBSPQRY_DATA, id), 8u);
  EXPECT_EQ(offsetof(SQLB_TBSPQRY_DATA, nameLen), 12u);
  EXPECT_EQ(offsetof(SQLB_TBSPQRY_DATA, name), 16u);
  EXPECT_EQ(offsetof(SQLB_TBSPQRY_DATA, tbsState), 172u);
  EXPECT_EQ(sizeof(SQLB_TBSCONTQRY_DATA), 292u);
  EXPECT_EQ(offsetof(SQLB_TBSCONTQRY_DATA, name), 16u);
  EXPECT_EQ(offsetof(SQLB_TBSCONTQRY_DATA, ok), 288u);
  EXPECT_EQ(sizeof(sqlu_tablespace_entry), 24u);
  EXPECT_EQ(offsetof(sqlu_tablespace_entry, tablespace_entry), 4u);
  EXPECT_EQ(sizeof(sqlu_tablespace_bkrst_list), 16u);
  EXPECT_EQ(sizeof(sqlu_vendor), 520u);
  EXPECT_EQ(offsetof(sqlu_vendor, filename), 264u);
  EXPECT_EQ(sizeof(sqlu_media_entry), 220u);
  EXPECT_EQ(sizeof(sqlu_location_entry), 260u);
  EXPECT_EQ(offsetof(sqlu_media_list, sessions), 4u);
  EXPECT_EQ(offsetof(sqlu_media_list, target), 8u);
  EXPECT_EQ(sizeof(rfwd_input), 136u);
  EXPECT_EQ(offsetof(rfwd_input, CallerAction), 16u);
  EXPECT_EQ(offsetof(rfwd_input, pStopTime), 24u);
  EXPECT_EQ(offsetof(rfwd_input, ConnectMode), 72u);
  EXPECT_EQ(offsetof(rfwd_input, AllNodeFlag), 88u);
  EXPECT_EQ(offsetof(rfwd_input, NumNodeInfo), 104u);
  EXPECT_EQ(offsetof(rfwd_input, pExportDir), 128u);
  EXPECT_EQ(sizeof(sqlurf_info), 76u);
  EXPECT_EQ(offsetof(sqlurf_info, nextarclog), 8u);
  EXPECT_EQ(offsetof(sqlurf_info, lastcommit), 47u);
  EXPECT_EQ(sizeof(rfwd_output), 24u);
}

std::vector<std::string> reports;

void CaptureReport(const char* text) {
  Owned expanded(NlsFormatPackedMessage(text));
  reports.push_back(expanded.p != nullptr ? expanded.str() : std::string(text));
}

class Db2ConnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("db2conntest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    ErhSetHooks(&saved_, CaptureReport, CaptureReport);
    reports.clear();
    DB2MessageBuffer(2, nullptr);
    server_ = std::make_unique<tarn::test::CellServerStandIn>();
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    glBindTimeout = 0;
    root_.write("/etc/opt/tarn/client/cell_server", "127.0.0.1\n");
  }
  void TearDown() override {
    ErhSetHooks(nullptr, saved_.report, saved_.console);
    CsaExitEx(0);
    IpcExit();
    ErhClearErrorM("db2conn_test", 0);
  }
  // Stores the instance's configuration with these credentials and nodes.
  void Configure(const char* user, const char* password,
                 const std::vector<std::pair<int, std::string>>& nodes = {},
                 bool withNodes = false) {
    List config;
    Owned encoded(EncodePassword(password));
    BP_AddStr(&config.v, "Username", user);
    BP_AddStr(&config.v, "Password", encoded.p);
    if (withNodes) {
      CmnVar* list = nullptr;
      BP_AddList(&config.v, "DB2_NODES", &list);
      for (const auto& [node, host] : nodes)
        BP_AddStr(list, std::to_string(node).c_str(), host.c_str());
    }
    ASSERT_EQ(BU_PutConfig("127.0.0.1", cmnHostname, "DB2", "db2inst1", config.v), kBuOk);
  }
  std::vector<std::string> Union(bool onHost, int expected) {
    int count = 0;
    char** names = nullptr;
    const int rc = onHost ? GetTablespacesListOnHost("SAMPLE", &count, &names, "db2inst1", "x")
                          : GetTablespacesList("SAMPLE", &count, &names, "db2inst1");
    EXPECT_EQ(rc, expected);
    std::vector<std::string> out(names, names + count);
    FreeTablespaceNames(names, count);
    return out;
  }

  tarn::test::TempRoot root_;
  db2sim::testing::Db2StandIn db2_{"db2inst1", "db2user", "pa55word"};
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
  ErhHooks saved_{};
};

TEST_F(Db2ConnTest, AttachTakesTheStoredCredentials) {
  struct Case {
    const char* what;
    const char* user;
    const char* password;
    bool store;
    int expected;
  };
  const Case cases[] = {
      {"no configuration", "", "", false, kDb2NoConfig},
      {"empty password", "db2user", "", true, kDb2EmptyCredentials},
      {"wrong password", "db2user", "wrong", true, -30082},
      {"right credentials", "db2user", "pa55word", true, kDb2Ok},
  };
  EXPECT_EQ(GetCfgAndAttach(""), kDb2NoConfig);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.store) {
      ASSERT_NO_FATAL_FAILURE(Configure(c.user, c.password));
    }
    EXPECT_EQ(GetCfgAndAttach("db2inst1"), c.expected);
  }
  EXPECT_STREQ(std::getenv("DB2INSTANCE"), "db2inst1");
  // Neither the password nor its stored form reaches a log line.
  Owned encoded(EncodePassword("pa55word"));
  const std::string log = root_.read("/var/opt/tarn/log/debug.log");
  EXPECT_EQ(log.find("pa55word"), std::string::npos);
  EXPECT_EQ(log.find(encoded.p), std::string::npos);
  EXPECT_EQ(db2_.Calls().find("pa55word"), std::string::npos);
}

TEST_F(Db2ConnTest, AFailedPartitionSwitchStopsBeforeTheNextCall) {
  ASSERT_NO_FATAL_FAILURE(Configure("db2user", "pa55word"));
  db2_.CreateDatabase("SAMPLE", {0, 1}, 0, {"SYSCATSPACE"});
  db2_.Fault("sqlesetc_api", -1013);
  EXPECT_EQ(AttachToNode(1, "db2inst1"), -1013);
  SQLHDBC dbc = 7;
  SQLHENV env = 7;
  EXPECT_EQ(DB2_ConnectToDB("SAMPLE", "db2inst1", 1, &dbc, &env), -1013);
  EXPECT_EQ(dbc, kCliNoHandle);
  EXPECT_EQ(env, kCliNoHandle);
  EXPECT_EQ(TestContainersOnNode("SAMPLE", 1, "db2inst1", nullptr), -1013);
  const std::string calls = db2_.Calls();
  EXPECT_EQ(calls.find("SQLConnect"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("sqleatin_api"), std::string::npos) << calls;
}

TEST_F(Db2ConnTest, AFailedAttachAfterTheSwitchKeepsThePartition) {
  // Nothing is stored for the instance: the attach after the switch fails,
  // the switch itself worked and the partition's table spaces are listed.
  db2_.CreateDatabase("SAMPLE", {0, 1}, 0, {"SYSCATSPACE", "USERSPACE1"});
  EXPECT_EQ(AttachToNode(1, "db2inst1"), 0);
  std::uint32_t count = 0;
  SQLB_TBSPQRY_DATA** spaces = nullptr;
  EXPECT_EQ(GetTablespacesListOnNode("SAMPLE", &count, &spaces, 1, "db2inst1"), kDb2Ok);
  EXPECT_EQ(count, 2u);
  sqlca ca{};
  if (spaces != nullptr) sqlefmem_api(&ca, spaces);
  EXPECT_NE(db2_.Calls().find("SQLConnect db=SAMPLE node=1"), std::string::npos) << db2_.Calls();
}

TEST_F(Db2ConnTest, NodesComeFromTheConfigurationAndOnlyThisHostsAreKept) {
  ASSERT_NO_FATAL_FAILURE(Configure("db2user", "pa55word"));
  int* nodes = nullptr;
  EXPECT_EQ(GetNodes("db2inst1", &nodes), 0);
  EXPECT_EQ(nodes, nullptr);
  ASSERT_NO_FATAL_FAILURE(Configure(
      "db2user", "pa55word", {{0, cmnHostname}, {1, cmnHostname}, {2, "elsewhere.invalid"}}, true));
  ASSERT_EQ(GetNodes("db2inst1", &nodes), 3);
  EXPECT_EQ(std::vector<int>(nodes, nodes + 3), (std::vector<int>{0, 1, 2}));
  FreeNodeList(nodes);
  ASSERT_EQ(GetNodesOnHost("db2inst1", &nodes, nullptr), 2);
  EXPECT_EQ(std::vector<int>(nodes, nodes + 2), (std::vector<int>{0, 1}));
  FreeNodeList(nodes);
  EXPECT_EQ(GetNodes("nosuch", &nodes), -1);
  EXPECT_EQ(ErhErrno(), 0);
}

TEST_F(Db2ConnTest, TableSpacesOfTwoPartitionsAreListedOnceEach) {
  db2_.CreateDatabase("SAMPLE", {0, 1}, 0, {"SYSCATSPACE", "USERSPACE1"});
  db2_.store().EnsurePartition("db2inst1", "SAMPLE", 1, {{"ONLYON1", 1}}, false);
  ASSERT_NO_FATAL_FAILURE(
      Configure("db2user", "pa55word", {{0, cmnHostname}, {1, cmnHostname}}, true));
  const std::vector<std::string> all{"SYSCATSPACE", "USERSPACE1", "ONLYON1"};
  EXPECT_EQ(Union(false, kDb2Ok), all);
  EXPECT_EQ(Union(true, kDb2Ok), all);

  // A partition that cannot be listed is reported; the others still are.
  ASSERT_NO_FATAL_FAILURE(
      Configure("db2user", "pa55word", {{0, cmnHostname}, {5, cmnHostname}}, true));
  EXPECT_EQ(Union(false, kDb2SomeNodesUnlisted),
            (std::vector<std::string>{"SYSCATSPACE", "USERSPACE1"}));
  EXPECT_NE(DB2MessageBufferGet(), nullptr);

  // Without DB2_NODES the host form asks partition 0.
  ASSERT_NO_FATAL_FAILURE(Configure("db2user", "pa55word"));
  EXPECT_EQ(Union(true, kDb2Ok), (std::vector<std::string>{"SYSCATSPACE", "USERSPACE1"}));
  EXPECT_EQ(Union(false, kDb2Ok), std::vector<std::string>{});
}

TEST_F(Db2ConnTest, MissingContainersAreCounted) {
  ASSERT_NO_FATAL_FAILURE(Configure("db2user", "pa55word"));
  db2_.CreateDatabase("SAMPLE", {0}, 0, {"SYSCATSPACE", "USERSPACE1"});
  int missing = -1;
  EXPECT_EQ(TestContainersOnNode("SAMPLE", 0, "db2inst1", &missing), kDb2Ok);
  EXPECT_EQ(missing, 0);
  const auto paths = db2_.store().Containers("db2inst1", "SAMPLE", 0, "USERSPACE1");
  ASSERT_FALSE(paths.empty());
  ASSERT_EQ(::unlink(paths[0].c_str()), 0);
  EXPECT_EQ(TestContainersOnNode("SAMPLE", 0, "db2inst1", &missing), kDb2ContainersMissing);
  EXPECT_EQ(missing, 1);
  // A table space whose containers cannot be queried is not known to be
  // accessible: each counts once.
  db2_.Fault("sqlbtcq", -1001);
  EXPECT_EQ(TestContainersOnNode("SAMPLE", 0, "db2inst1", &missing), kDb2ContainersMissing);
  EXPECT_EQ(missing, 2);
  EXPECT_EQ(TestContainersOnNode("NOSUCH", 0, "db2inst1", &missing), -1);
  EXPECT_EQ(TestContainersOnNode(nullptr, 0, "db2inst1", &missing), -1);
}

TEST_F(Db2ConnTest, ReportsKeepTheirTwoForms) {
  sqlca ca{};
  std::memcpy(ca.sqlstate, "57019", 5);
  ca.sqlcode = -1032;
  EXPECT_EQ(SqlInfoPrint2Debug("attach", &ca, 7, "f.cpp"), -1032);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("---- DB2 error report ----\n"
                            "  app. message      = attach\n"
                            "  line              = 7\n"
                            "  file              = f.cpp\n"
                            "  SQLCODE           = -1032\n"
                            "SQL1032N  The instance has not been started.\n"
                            "SQLSTATE 57019: The instance has not been started.\n"
                            "--- DB2 end error report ---\n"),
            std::string::npos)
      << reports[0];
  EXPECT_EQ(VEKSqlInfoPrint("attach", &ca, 7, "f.cpp"), 0);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("\n---- error report ----\n"
                            "app. message      = attach\n"
                            "line              = 7\n"
                            "file              = f.cpp\n"
                            "SQLCODE           = -1032\n"),
            std::string::npos)
      << reports[1];
  EXPECT_NE(reports[1].find("--- end error report ---\n"), std::string::npos);

  struct Case {
    int sqlcode;
    int agentReports;  // VEKSqlInfoPrint
    int sharedResult;  // SqlInfoPrint2Debug
    int sharedReports;
  };
  const Case cases[] = {{0, 0, 0, 0},    {100, 0, 0, 0},       {1277, 0, 0, 1},
                        {2540, 0, 0, 1}, {-2066, 1, -2066, 1}, {5, 1, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sqlcode);
    ca.sqlcode = c.sqlcode;
    reports.clear();
    EXPECT_EQ(VEKSqlInfoPrint("m", &ca, 1, "f"), 0);
    EXPECT_EQ(static_cast<int>(reports.size()), c.agentReports);
    if (c.sqlcode == -2066) {
      EXPECT_NE(reports[0].find("---- warning report ----"), std::string::npos);
    }
    reports.clear();
    EXPECT_EQ(SqlInfoPrint2Debug("m", &ca, 1, "f"), c.sharedResult);
    EXPECT_EQ(static_cast<int>(reports.size()), c.sharedReports);
  }
  ca.sqlcode = 1277;
  reports.clear();
  SqlInfoPrint2Debug("m", &ca, 1, "f");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("--- DB2 end warning report ---"), std::string::npos);
}

TEST_F(Db2ConnTest, CliResultsMapToResultCodes) {
  for (SQLRETURN ok : {0, 1, 2, 99, 100}) {
    SCOPED_TRACE(ok);
    EXPECT_EQ(HandleInfoPrint(SQL_HANDLE_ENV, 1, ok, 1, "f"), 0);
  }
  EXPECT_EQ(HandleInfoPrint(SQL_HANDLE_ENV, 1, SQL_INVALID_HANDLE, 1, "f"), kDb2CliInvalidHandle);
  EXPECT_EQ(HandleInfoPrint(SQL_HANDLE_ENV, 1, 5, 1, "f"), kDb2CliOther);

  // A failed connect's diagnostic text ends up in the process-wide text.
  ASSERT_NO_FATAL_FAILURE(Configure("db2user", "pa55word"));
  SQLHDBC dbc = 0;
  SQLHENV env = 0;
  EXPECT_EQ(DB2_ConnectToDB("NOSUCH", "db2inst1", 0, &dbc, &env), kDb2CliError);
  ASSERT_NE(DB2MessageBufferGet(), nullptr);
  EXPECT_NE(std::string(DB2MessageBufferGet()).find("SQL1013N"), std::string::npos)
      << DB2MessageBufferGet();
  EXPECT_EQ(FreeCliHandle(SQL_HANDLE_ENV, kCliNoHandle, "SQL_HANDLE_ENV", "t", 1), SQL_SUCCESS);

  DB2MessageBuffer(0, "a");
  DB2MessageBufferAppend("b");
  EXPECT_STREQ(DB2MessageBufferGet(), "ab");
  DB2MessageBuffer(2, nullptr);
  EXPECT_EQ(DB2MessageBufferGet(), nullptr);
}

}  // namespace
