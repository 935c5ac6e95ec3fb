// The request catalogue against the stand-in cell server: each request's id
// and items on the wire, the items behind results, argument checks that fail
// before sending, resources, type items, the composites over single files
// and the user list.
#include <functional>
#include <string>
#include <vector>

#include "cmn/strmsg.h"
#include "csa_test_util.h"
#include "parse/userlist.h"

TARN_RCSID("cs/csa/test/ops_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::kHost;
using csatest::Owned;

class OpsTest : public CsaTest {};

TEST_F(OpsTest, EveryRequestGoesOutWithItsIdAndItems) {
  ASSERT_NO_FATAL_FAILURE(Init("certificate c1 PEM\ncustom 5 cell_format fmt\nitem 12 old x\n"));
  Owned t;
  char** out = &t.p;
  struct Row {
    std::function<int()> call;
    const char* line;
  };
  const std::vector<Row> rows = {
      {[&] { return MCsaRedebug(0, "1-99", "p", "s"); }, "< 227 \"1-99\" \"p\" \"s\""},
      {[&] { return MCsaIsRunning(0, 3); }, "< 235 \"3\""},
      {[&] { return MCsaImportHost(0, "h1", 5, out); }, "< 228 \"h1\" \"5\""},
      {[&] { return MCsaExportHostEx(0, "h1", 4000000000u, out); }, "< 229 \"h1\" \"4000000000\""},
      {[&] { return MCsaUpdateHostEx(0, "h1", 1, out); }, "< 231 \"h1\" \"1\""},
      {[&] { return MCsaImportCluster(0, "c", out); }, "< 246 \"c\""},
      {[&] { return MCsaImportClusterNode(0, "c", "n", out); }, "< 247 \"n\" \"c\""},
      {[&] { return MCsaImportClusterVS(0, "c", "v", out); }, "< 248 \"v\" \"c\""},
      {[&] { return MCsaExportCluster(0, "c", out); }, "< 249 \"c\""},
      {[&] { return MCsaExportClusterNode(0, "c", "n", out); }, "< 250 \"n\" \"c\""},
      {[&] { return MCsaExportClusterVS(0, "c", "v", out); }, "< 251 \"v\" \"c\""},
      {[&] { return MCsaImportInstallServer(0, "is", out); }, "< 261 \"is\""},
      {[&] { return MCsaExportInstallServer(0, "is", out); }, "< 262 \"is\""},
      {[&] { return MCsaImportNDMPHost(0, "nd", 1, 10000, "u", "pw", 1, out); },
       "< 258 \"nd\" \"1\" \"10000\" \"u\" \"pw\" \"1\""},
      {[&] { return MCsaImportAppServer(0, "as", 1, 2, 3, "u", "pw", "cert", out); },
       "< 302 \"as\" \"1\" \"2\" \"3\" \"u\" \"pw\" \"cert\""},
      {[&] { return MCsaGetHostId(0, "a", 4, "b", "c", "d", "e", out); },
       "< 303 \"a\" \"4\" \"b\" \"c\" \"d\" \"e\""},
      {[&] { return MCsaEventLogTrigger(0, 7, "packed"); }, "< 304 \"7\" \"packed\""},
      {[&] { return MCsaGetDatalists(0, out); }, "< 212"},
      {[&] { return MCsaGetTemplates(0, out); }, "< 238"},
      {[&] { return MCsaGetFilteredDatalists(0, 3, out); }, "< 275 \"3\""},
      {[&] { return MCsaGetBackups(0, 1, out); }, "< 213 \"1\""},
      {[&] { return MCsaGetNotifications(0, out); }, "< 244"},
      {[&] { return MCsaGetAmos(0, out); }, "< 266"},
      {[&] { return MCsaGetBackupFileList(0, out); }, "< 254"},
      {[&] { return MCsaGetScheduledCopySpecs(0, out); }, "< 270"},
      {[&] { return MCsaGetScheduledConsolidationSpecs(0, out); }, "< 271"},
      {[&] { return MCsaGetScheduledVerificationSpecs(0, out); }, "< 272"},
      {[&] { return MCsaGetSessionOverview(0, out); }, "< 209"},
      {[&] { return MCsaListCertificates(0, out); }, "< 1090"},
      {[&] { return MCsaGetCertificate(0, "c1", out); }, "< 1092 \"c1\""},
      {[&] { return MCsaAddCertificate(0, "c2", "PEM2"); }, "< 1091 \"c2\" \"4\""},
      {[&] { return MCsaGetCustomFile(0, 5, "cell_format", out); }, "< 259 \"5\" \"cell_format\""},
      {[&] { return MCsaPutCustomFile(0, 5, "other", "abc"); }, "< 260 \"5\" \"other\" \"3\""},
      {[&] { return MCsaRemoveCustomFile(0, 5, "other"); }, "< 264 \"5\" \"other\""},
      {[&] { return MCsaRenameGroupItem(0, 12, "old", "new"); }, "< 219 \"12\" \"old\" \"new\""},
      {[&] { return MCsaRemoveGroupItem(0, 12, "new", 0); }, "< 216 \"12\" \"new\""},
      {[&] { return MCsaPutSingleFileAndPushToMoM(0, 8, "srv\n"); }, "< 256 \"8\" \"4\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(row.call(), 0) << ErhErrno();
    EXPECT_TRUE(
        server().waitForTraffic(std::string("request ") + row.line, std::chrono::seconds(2)));
    if (t.p != nullptr) safe_free(t.p, TARN_HERE);
    t.p = nullptr;
    ErhClearError();
  }
}

TEST_F(OpsTest, ItemsBehindTheResultReachTheCaller) {
  ASSERT_NO_FATAL_FAILURE(
      Init("answer 234 42\nanswer 265 \"client info\"\nanswer 303 host-id-7\nanswer 282 2048\n"));
  int value = 0;
  EXPECT_EQ(MCsaExec(0, "cmd", &value), 0);
  EXPECT_EQ(value, 42);
  Owned info;
  EXPECT_EQ(MCsaGetClientInfo(0, "a", "b", &info.p), 0);
  EXPECT_EQ(info.str(), "client info");
  Owned id;
  EXPECT_EQ(MCsaGetHostId(0, "a", 1, "b", "c", "d", "e", &id.p), 0);
  EXPECT_EQ(id.str(), "host-id-7");
  EXPECT_EQ(MCsaImpersonate(0, "u", "g", "h", nullptr, nullptr), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 282 \"u\" \"g\" \"h\" \"\" \"\""));
  std::uint32_t rights = 0;
  EXPECT_EQ(MCsaGetAcl(0, &rights), 0);
  EXPECT_EQ(rights, 2048u);
  char path[8];
  EXPECT_EQ(MCsaGetGroupPath(0, 12, path, sizeof path), 0);
  EXPECT_EQ(std::string(path), server().stateDir().substr(0, 7));
}

TEST_F(OpsTest, ServerExplanationComesWithTheFailure) {
  ASSERT_NO_FATAL_FAILURE(Init("fault 228 error 1949 times=1\nanswer 228 \"managed by cs2\"\n"));
  Owned why;
  EXPECT_EQ(MCsaImportHost(0, "h1", 0, &why.p), -1);
  EXPECT_EQ(ErhErrno(), 1949);
  EXPECT_EQ(why.str(), "managed by cs2");
  ErhClearError();
  Owned none;
  EXPECT_EQ(MCsaImportHost(0, "h1", 0, &none.p), 0);
  EXPECT_EQ(none.p, nullptr);
}

TEST_F(OpsTest, ArgumentChecksFailBeforeAnythingIsSent) {
  Owned text;
  EXPECT_EQ(MCsaGetGroupItem(0, 12, "x", &text.p, 0), -1);
  EXPECT_EQ(ErhErrno(), ECSANOTINIT);
  ErhClearError();
  EXPECT_EQ(MCsaSemaphoreControl(0, 7), -1);
  EXPECT_EQ(ErhErrno(), ECSANOTINIT);
  ErhClearError();

  ASSERT_NO_FATAL_FAILURE(Init());
  const int before = Count("request <");
  struct Case {
    std::function<int()> call;
    int error;
  };
  const std::vector<Case> cases = {
      {[&] { return MCsaGetGroupItem(0, 12, "", &text.p, 0); }, ERH_INVALID_NAME},
      {[&] { return MCsaGetGroupItem(0, 12, "x", &text.p, 2); }, ECSAARG},
      {[&] { return MCsaGetGroupItem(0, 1, "x", &text.p, 0); }, ECSAARG},
      {[&] { return MCsaGetGroupItem(1, 12, "x", &text.p, 0); }, ECSARANGE},
      {[&] { return MCsaGetGroupItem(-1, 12, "x", &text.p, 0); }, ECSARANGE},
      {[&] { return MCsaPutGroupItem(0, 12, "x", "v", 3); }, ECSAARG},
      {[&] { return MCsaPutGroupItem(0, 12, "a/b", "v", 1); }, ERH_INVALID_NAME},
      {[&] { return MCsaPutBinaryGroupItem(0, 12, "x", nullptr, 5, 1); }, ECSAARG},
      {[&] { return MCsaGetSingleFile(0, 4, &text.p, 0); }, ECSAARG},
      {[&] { return MCsaGetSingleFile(0, 8, &text.p, 2); }, ECSAARG},
      {[&] { return MCsaSingleFileLock(0, 8, 3); }, ECSAARG},
      {[&] { return MCsaSemaphoreControl(0, 9); }, ECSAARG},
      {[&] { return MCsaUserAdd(0, "u", "", "h", "admin"); }, ECSAEMPTYARG},
      {[&] { return MCsaGetTypeItem(0, "datalist", "NOSUCHTYPE x", &text.p, 0); },
       ERH_INVALID_NAME},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].call(), -1);
    EXPECT_EQ(ErhErrno(), cases[i].error);
    ErhClearError();
  }
  EXPECT_EQ(Count("request <"), before);
  EXPECT_EQ(MCsaSingleFileLock(0, 8, 2), 0);
  EXPECT_EQ(MCsaGroupItemLock(0, 12, "x", 1), 0);
  // Group 80 needs no item name: the request goes out.
  EXPECT_EQ(MCsaPutGroupItem(0, 80, "", "v", 1), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 215 \"80\" \"\" \"1\""));
}

TEST_F(OpsTest, ResourcesAndTheirFailures) {
  ASSERT_NO_FATAL_FAILURE(Init("fault 281 error 1001 times=1\n"));
  EXPECT_EQ(MCsaResourceCleanup(0), -1);  // a server error is no result
  EXPECT_EQ(ErhErrno(), 1001);
  ErhClearError();
  EXPECT_EQ(MCsaResourceCreate(0, "tape", 1, 2), 1);
  EXPECT_EQ(MCsaResourceCreate(0, "disk", 1, 2), 2);
  EXPECT_TRUE(server().waitForTraffic("request < 281 \"1\" \"tape\" \"1\" \"2\""));
  EXPECT_EQ(MCsaResourceAcquire(0, 1, 1, 30), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 281 \"6\" \"1\" \"-1\""));
  EXPECT_EQ(MCsaResourceAcquire(0, 1, 0, 30), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 281 \"4\" \"1\" \"30\""));
  EXPECT_EQ(MCsaResourceRelease(0, 1), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 281 \"5\" \"1\" \"1\""));
  EXPECT_EQ(MCsaResourceClose(0, 1), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 281 \"2\" \"1\""));
  EXPECT_EQ(MCsaSemaphoreControl(0, 3, 1, 2, 3), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 281 \"3\" \"1\" \"2\" \"3\""));
}

TEST_F(OpsTest, SingleFilesAndTypeItemsRoundTrip) {
  ASSERT_NO_FATAL_FAILURE(Init());
  ASSERT_EQ(MCsaPutSingleFile(0, 8, "cs1\ncs2\n"), 0);
  Owned file;
  ASSERT_EQ(MCsaGetSingleFile(0, 8, &file.p, 1), 0);
  EXPECT_EQ(file.str(), "cs1\ncs2\n");

  ASSERT_EQ(MCsaPutTypeItem(0, "datalist", "DB2 nightly", "BARLIST nightly\n", 1), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 215 \"91\" \"nightly\""));
  Owned item;
  ASSERT_EQ(MCsaGetTypeItem(0, "datalist", "DB2 nightly", &item.p, 0), 0);
  EXPECT_EQ(item.str(), "BARLIST nightly\n");
  Owned list;
  ASSERT_EQ(MCsaGetListForType(0, "DB2", "datalist", &list.p), 0);
  StrMsg parse;
  StrMsgInitL(&parse);
  EXPECT_EQ(StrParseStartL(&parse, list.p), 102);
  EXPECT_STREQ(StrParseNextL(&parse), "nightly");
  StrMsgFreeL(&parse);
  ASSERT_EQ(MCsaRemoveTypeItem(0, "datalist", "DB2 nightly", 0), 0);
}

TEST_F(OpsTest, GroupsAndTheCdromTableAreBuiltFromTheirFiles) {
  ASSERT_NO_FATAL_FAILURE(
      Init("file 17 \"alpha\\nbeta\\n\"\nfile 26 \"dev1 /mnt a b\\ndev2 /cd\\n\"\n"));
  ASSERT_EQ(MCsaAddGroup(0, "gamma"), 0);
  EXPECT_EQ(MCsaRemoveGroup(0, "alpha"), 0);
  EXPECT_EQ(MCsaRemoveGroup(0, "alpha"), -1);
  EXPECT_EQ(ErhErrno(), ECSAEXISTS);
  ErhClearError();
  Owned groups;
  ASSERT_EQ(MCsaGetGroups(0, &groups.p), 0);
  StrMsg parse;
  StrMsgInitL(&parse);
  EXPECT_EQ(StrParseStartL(&parse, groups.p), kCsaMsgGroups);
  EXPECT_STREQ(StrParseNextL(&parse), "beta");
  EXPECT_STREQ(StrParseNextL(&parse), "gamma");
  EXPECT_EQ(StrParseNextL(&parse), nullptr);

  Owned table;
  ASSERT_EQ(MCsaGetCDROMTable(0, &table.p), 0);
  EXPECT_EQ(StrParseStartL(&parse, table.p), kCsaMsgCdromTable);
  for (const char* expected : {"dev1", "/mnt", "a", "b", "dev2", "/cd", "", ""}) {
    const char* item = StrParseNextL(&parse);
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(item, expected);
  }
  EXPECT_EQ(StrParseNextL(&parse), nullptr);
  StrMsgFreeL(&parse);
}

TEST_F(OpsTest, ServersOfTheCellAreImportedListedAndExported) {
  setenv("TARN_HOSTS", "cs2.example:127.0.0.1", 1);
  ASSERT_NO_FATAL_FAILURE(Init("login 0x800 0 \"cell server\" four 3 six\n"));
  // Every host name leads to the one stand-in, so the second server's file 16
  // is this cell's own.
  ASSERT_EQ(MCsaImportServer("cs2.example"), 0);
  Owned servers;
  ASSERT_EQ(MCsaGetSingleFile(0, kCsaFileServers, &servers.p, 1), 0);
  EXPECT_EQ(servers.str(), "cs2.example\n");
  Owned manager;
  ASSERT_EQ(MCsaGetSingleFile(0, kCsaFileManager, &manager.p, 1), 0);
  EXPECT_EQ(manager.str(), kHost);

  Owned list;
  ASSERT_EQ(MCsaGetServers(&list.p), 0);
  StrMsg parse;
  StrMsgInitL(&parse);
  EXPECT_EQ(StrParseStartL(&parse, list.p), kCsaMsgServerList);
  char* group[7] = {};
  ASSERT_EQ(StrParseMessageL(&parse, 7, group), 0);
  const std::vector<std::string> row(group, group + 7);
  EXPECT_EQ(row,
            (std::vector<std::string>{"cs2.example", "1", " server", "3", "four", "six", "1"}));
  StrMsgFreeL(&parse);

  EXPECT_EQ(MCsaExportServer(kHost), -1);  // this cell server itself
  EXPECT_EQ(ErhErrno(), ECSAEXISTS);
  ErhClearError();
  ASSERT_EQ(MCsaExportServer("cs2.example"), 0);
  Owned after;
  ASSERT_EQ(MCsaGetSingleFile(0, kCsaFileServers, &after.p, 1), 0);
  EXPECT_EQ(after.str(), "");

  ASSERT_EQ(MCsaPutSingleFile(0, kCsaFileManager, "other.cell\n"), 0);
  EXPECT_EQ(MCsaImportServer("cs2.example"), -1);
  EXPECT_EQ(ErhErrno(), ECSAFOREIGNSERVER);
  unsetenv("TARN_HOSTS");
}

TEST_F(OpsTest, ManagingServerNamedInALocalFileIsBound) {
  setenv("TARN_HOSTS", "mom.example:127.0.0.1", 1);
  ASSERT_NO_FATAL_FAILURE(Init());
  root_.write("/etc/opt/tarn/server/cell/mom_server", "mom.example\n");
  root_.write("/etc/opt/tarn/server/cell/mmdb_server", std::string(cmnHostname) + "\n");
  int slot = -2;
  char host[64];
  ASSERT_EQ(MCsaBindMomServer(&slot, host, sizeof host), 0);
  EXPECT_EQ(slot, 1);
  EXPECT_STREQ(host, "mom.example");
  ASSERT_EQ(MCsaBindCMMDBServer(&slot, host, sizeof host), 0);
  EXPECT_EQ(slot, -1);
  EXPECT_STREQ(host, cmnHostname);
  unsetenv("TARN_HOSTS");
}

TEST_F(OpsTest, UserListIsLoadedChangedAndCommitted) {
  ASSERT_NO_FATAL_FAILURE(
      Init("login 0x800 0 x x 0 x\n"
           "file 1 \"\\\"UNIX\\\" \\\"bob\\\" \\\"staff\\\" hostb \\\"admin\\\"\\n\"\n"));
  UserList* list = MCsaUserGetList(0);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->user, "bob");
  EXPECT_EQ(MCsaUserAdd(0, "bob", "STAFF", "hostb", "admin"), -1);
  EXPECT_EQ(ErhErrno(), ECSAEXISTS);
  ErhClearError();
  ASSERT_EQ(MCsaUserAdd(0, "carol", "db2", "hostc", "operator"), 0);
  EXPECT_EQ(MCsaUserDel(0, "nobody", "g", "h"), -1);
  EXPECT_EQ(ErhErrno(), ECSANOTFOUND);
  ErhClearError();
  ASSERT_EQ(MCsaUserDel(0, "bob", "staff", "hostb"), 0);
  ASSERT_EQ(MCsaUserCommit(-1), 0);
  Owned file;
  ASSERT_EQ(MCsaGetSingleFile(0, kCsaFileUsers, &file.p, 1), 0);
  EXPECT_EQ(file.str(), "\"UNIX\" \"carol\" \"db2\" hostc \"operator\"\n");
}

TEST_F(OpsTest, UserListNeedsTheAdministrationRight) {
  ASSERT_NO_FATAL_FAILURE(Init("login 0x400 0 x x 0 x\n"));
  EXPECT_EQ(MCsaUserGetList(0), nullptr);
  EXPECT_EQ(ErhErrno(), ECSANORIGHTS);
  ErhClearError();
  EXPECT_EQ(MCsaUserAdd(0, "carol", "db2", "hostc", "operator"), -1);
  EXPECT_EQ(ErhErrno(), ECSANORIGHTS);
  ErhClearError();
  EXPECT_EQ(MCsaUserCommit(0), 0);  // nothing loaded, nothing to write
  EXPECT_EQ(Count("< 203"), 0);
}

}  // namespace
