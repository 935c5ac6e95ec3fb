// The administrative and call-level interface over the stand-in's state:
// attach, directory scans, table-space queries, redirection, CLI handles and
// diagnostics, fault settings, message texts, and backup and restore calls.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "db2/engine.h"
#include "db2/sqladmin.h"
#include "db2/sqlcli.h"
#include "db2/store.h"
#include "db2/util.h"
#include "tarn_test.h"

namespace db2sim {
namespace {

class Api : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TARN_DB2_STATE", state.path().c_str(), 1);
    ::setenv("DB2INSTANCE", "db2inst1", 1);
    Store store(state.path());
    store.CreateInstance({"db2inst1", home.path(), "db2inst1", "admin", "secret", true});
    store.CreateInstance({"stopped", home.path(), "x", "", "", false});
    store.CreateDatabase("db2inst1", {"SAMPLE", {0, 2}, 2, false}, {"SYSCATSPACE", "USERSPACE1"});
    store.CreateDatabase("db2inst1", {"TOOLS", {0}, 0, false}, {"TS"});
  }
  void TearDown() override {
    sqlca ca;
    sqledtin_api(&ca);
    ::unsetenv("TARN_DB2_STATE");
    ::unsetenv("DB2INSTANCE");
    ::unsetenv("TARN_DB2_FAULTS");
  }
  int Connect(SQLHENV& env, SQLHDBC& dbc, const char* db) {
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), SQL_SUCCESS);
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
    SQLCHAR empty[] = "";
    return SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(const_cast<char*>(db)), SQL_NTS, empty,
                      SQL_NTS, empty, SQL_NTS);
  }
  void Close(SQLHENV env, SQLHDBC dbc) {
    SQLDisconnect(dbc);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
  }

  // Media list naming the test vendor library with `sessions` sessions.
  struct VendorMedia {
    sqlu_vendor vendor{};
    sqlu_media_list list{};
    explicit VendorMedia(int sessions) {
      std::strcpy(vendor.shr_lib, TARN_DB2_TESTVENDOR);
      list.media_type = SQLU_OTHER_MEDIA;
      list.sessions = sessions;
      list.target.vendor = &vendor;
    }
    VendorMedia(const VendorMedia&) = delete;
    VendorMedia& operator=(const VendorMedia&) = delete;
  };
  // Every partition's sessions go to partition `node`.
  static void UseNode(std::uint16_t node) {
    sqlca ca;
    sqle_conn_setting s[2] = {{SQL_CONNECT_NODE, node}, {SQL_ATTACH_NODE, node}};
    EXPECT_EQ(sqlesetc_api(s, 2, &ca), 0);
  }

  tarn::test::TempDir state, home, media;
};

TEST_F(Api, AttachChecksInstanceStateAndCredentials) {
  sqlca ca;
  EXPECT_EQ(sqleatin_api("nosuch", nullptr, nullptr, &ca), -1097);
  EXPECT_EQ(sqleatin_api("stopped", nullptr, nullptr, &ca), kSqlNotStarted);
  EXPECT_EQ(std::string(ca.sqlstate, 5), "57019");
  EXPECT_EQ(sqleatin_api("db2inst1", "admin", "wrong", &ca), -30082);
  EXPECT_EQ(sqleatin_api("db2inst1", "admin", "secret", &ca), 0);
  EXPECT_EQ(std::string(ca.sqlstate, 5), "00000");
  EXPECT_EQ(sqledtin_api(&ca), 0);
}

TEST_F(Api, DirectoryScanGivesPaddedNamesAndCatalogPartitions) {
  sqlca ca;
  std::uint16_t handle = 0, count = 0;
  ASSERT_EQ(sqledosd_api("", &handle, &count, &ca), 0);
  ASSERT_EQ(count, 2);
  sqledinfo* e = nullptr;
  ASSERT_EQ(sqledgne_api(handle, &e, &ca), 0);
  EXPECT_EQ(std::string(e->dbname, 8), "SAMPLE  ");
  EXPECT_EQ(e->cat_nodenum, 2);
  EXPECT_EQ(e->type, '0');
  ASSERT_EQ(sqledgne_api(handle, &e, &ca), 0);
  EXPECT_EQ(std::string(e->alias, 8), "TOOLS   ");
  EXPECT_EQ(sqledgne_api(handle, &e, &ca), -1014);
  EXPECT_EQ(sqledcls_api(handle, &ca), 0);
  EXPECT_EQ(sqledcls_api(handle, &ca), -1015);

  Store(state.path()).CreateInstance({"empty", home.path(), "", "", "", true});
  ASSERT_EQ(sqleatin_api("empty", nullptr, nullptr, &ca), 0);
  EXPECT_EQ(sqledosd_api(nullptr, &handle, &count, &ca), 1057);
  EXPECT_EQ(count, 0);
  sqledcls_api(handle, &ca);
}

TEST_F(Api, TableSpacesAndContainersOfTheConnectPartition) {
  sqlca ca;
  UseNode(2);
  SQLHENV env;
  SQLHDBC dbc;
  ASSERT_EQ(Connect(env, dbc, "SAMPLE"), SQL_SUCCESS);
  std::uint32_t count = 0;
  SQLB_TBSPQRY_DATA** ts = nullptr;
  ASSERT_EQ(sqlbmtsq(&ca, &count, &ts, SQLB_RESERVED1, SQLB_RESERVED2), 0);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(std::string(ts[1]->name, ts[1]->nameLen), "USERSPACE1");
  std::uint32_t n = 0;
  SQLB_TBSCONTQRY_DATA* c = nullptr;
  ASSERT_EQ(sqlbtcq(&ca, ts[1]->id, &n, &c), 0);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(c[0].ok, 1u);

  // A container that is gone is reported, then redirected to a new path.
  ::unlink(c[0].name);
  sqlefmem_api(&ca, c);
  ASSERT_EQ(sqlbtcq(&ca, ts[1]->id, &n, &c), 0);
  EXPECT_EQ(c[0].ok, 0u);
  std::string moved = media.path() + "/moved.dat";
  std::memset(c[0].name, 0, sizeof c[0].name);
  std::memcpy(c[0].name, moved.c_str(), moved.size());
  ASSERT_EQ(sqlbstsc(&ca, SQLB_SET_CONT_FINAL_STATE, ts[1]->id, 1, c), 0);
  EXPECT_EQ(Store(state.path()).Containers("db2inst1", "SAMPLE", 2, "USERSPACE1"),
            (std::vector<std::string>{moved}));
  std::strcpy(c[0].name, "relative");
  EXPECT_EQ(sqlbstsc(&ca, SQLB_SET_CONT_FINAL_STATE, ts[1]->id, 1, c), kSqlBadParameter);
  EXPECT_EQ(sqlbtcq(&ca, 99, &n, &c), -293);
  sqlefmem_api(&ca, c);
  sqlefmem_api(&ca, ts);
  Close(env, dbc);
  EXPECT_EQ(sqlbmtsq(&ca, &count, &ts, SQLB_RESERVED1, SQLB_RESERVED2), -1024);
}

TEST_F(Api, FailedConnectLeavesADiagnosticRecord) {
  SQLHENV env;
  SQLHDBC dbc;
  ASSERT_EQ(Connect(env, dbc, "NOSUCH"), SQL_ERROR);
  SQLCHAR state5[6], text[32];
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, state5, &native, text, sizeof text, &len),
            SQL_SUCCESS_WITH_INFO);  // the text was cut to the buffer
  EXPECT_EQ(std::string(reinterpret_cast<char*>(state5)), "42705");
  EXPECT_EQ(native, kSqlDbNotFound);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(text)), sizeof text - 1);
  EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 2, state5, &native, text, sizeof text, &len),
            SQL_NO_DATA_FOUND);
  EXPECT_EQ(SQLDisconnect(dbc), SQL_ERROR);
  // The environment cannot go while its connection is allocated.
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_ERROR);
  Close(env, dbc);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLDisconnect(-2), SQL_INVALID_HANDLE);
}

TEST_F(Api, FaultSettingsFailTheNamedCall) {
  SetFault(state.path(), "sqleatin_api", -1032);
  sqlca ca;
  EXPECT_EQ(sqleatin_api("db2inst1", nullptr, nullptr, &ca), -1032);
  SetFault(state.path(), "sqleatin_api", 0, true);
  EXPECT_EQ(sqleatin_api("db2inst1", nullptr, nullptr, &ca), 0);

  ::setenv("TARN_DB2_FAULTS", "sqledosd_api=-1031,SQLConnect=-30081", 1);
  std::uint16_t handle, count;
  EXPECT_EQ(sqledosd_api("", &handle, &count, &ca), -1031);
  SQLHENV env;
  SQLHDBC dbc;
  EXPECT_EQ(Connect(env, dbc, "SAMPLE"), SQL_ERROR);
  SQLINTEGER native = 0;
  SQLCHAR st[6];
  SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, st, &native, nullptr, 0, nullptr);
  EXPECT_EQ(native, -30081);
  Close(env, dbc);
  std::string calls = ReadWholeFile(state.path() + "/calls.log");
  EXPECT_NE(calls.find("sqledosd_api-result sqlcode=-1031"), std::string::npos);
}

TEST_F(Api, MessageTextsComeFromTheOwnTable) {
  sqlca ca;
  sqleatin_api("stopped", nullptr, nullptr, &ca);
  char buf[1024];
  int n = sqlaintp_api(buf, sizeof buf, 30, "db2sql.mo", &ca);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf), "SQL1032N  The instance has not\nbeen started.");
  EXPECT_LT(sqlaintp_api(buf, 8, 80, "db2sql.mo", &ca), 0);
  char state[5];
  std::memcpy(state, ca.sqlstate, 5);
  ASSERT_GE(sqlogstt(buf, sizeof buf, 80, state), 0);
  EXPECT_EQ(std::string(buf), "SQLSTATE 57019: The instance has not been started.");
  ca.sqlcode = 4242;
  EXPECT_LT(sqlaintp_api(buf, sizeof buf, 80, "db2sql.mo", &ca), 0);
}

TEST_F(Api, BackupAndRestoreCallsRunTheVendorLibrary) {
  tarn::test::Watchdog watchdog(60);
  Store(state.path()).WriteData("db2inst1", "SAMPLE", 2, "USERSPACE1", "rows of node 2");
  std::uint64_t before = Store(state.path()).ContentChecksum("db2inst1", "SAMPLE", 2);
  sqlca ca;
  UseNode(2);
  VendorMedia vm(2);
  sqlu_media_list& media_list = vm.list;
  std::string options = "dir=" + media.path() + "\n";
  char appId[33] = {}, timestamp[15] = {};
  std::uint32_t size = 99;

  sqlubkp("SAMPLE", 1, SQLUB_OFFLINE, 0, SQLUB_PARM_CHECK_ONLY, appId, timestamp, 4, nullptr,
          &media_list, nullptr, nullptr, nullptr, options.size(), options.data(), 2, &size, nullptr,
          nullptr, &ca);
  EXPECT_EQ(ca.sqlcode, 0);
  EXPECT_TRUE(ListDir(media.path()).empty());

  sqlubkp("SAMPLE", 1, SQLUB_OFFLINE, 0, SQLUB_BACKUP, appId, timestamp, 4, nullptr, &media_list,
          nullptr, nullptr, nullptr, options.size(), options.data(), 2, &size, nullptr, nullptr,
          &ca);
  ASSERT_EQ(ca.sqlcode, 0) << std::string(ca.sqlerrmc, ca.sqlerrml);
  EXPECT_EQ(std::strlen(timestamp), 14u);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(ListDir(media.path()).size(), 2u);
  EXPECT_EQ(
      ListDir(media.path())[0].find("db2inst1:SAMPLE#2:" + std::string(timestamp) + ":D 0:001"),
      0u);

  Store(state.path()).WriteData("db2inst1", "SAMPLE", 2, "USERSPACE1", "later");
  sqlurestore("SAMPLE", nullptr, 1, 0, 0, 0, 0, SQLUD_NOINTERRUPT, appId, timestamp, nullptr, 4,
              nullptr, nullptr, &media_list, nullptr, nullptr, nullptr, options.size(),
              options.data(), 2, nullptr, nullptr, nullptr, &ca);
  ASSERT_EQ(ca.sqlcode, 0) << std::string(ca.sqlerrmc, ca.sqlerrml);
  EXPECT_EQ(Store(state.path()).ContentChecksum("db2inst1", "SAMPLE", 2), before);

  // Into a new database name: made from the image, same content.
  sqlurestore("SAMPLE", "COPY", 1, 0, 0, 0, 0, SQLUD_RESTORE_STORDEF, appId, timestamp, nullptr, 4,
              nullptr, nullptr, &media_list, nullptr, nullptr, nullptr, options.size(),
              options.data(), 2, nullptr, nullptr, nullptr, &ca);
  ASSERT_EQ(ca.sqlcode, 0) << std::string(ca.sqlerrmc, ca.sqlerrml);
  EXPECT_EQ(Store(state.path()).ContentChecksum("db2inst1", "COPY", 2), before);

  // A table-space list with entries but no array is refused before any session.
  sqlu_tablespace_bkrst_list broken{3, nullptr};
  sqlubkp("SAMPLE", 1, SQLUB_OFFLINE, 3, SQLUB_BACKUP, appId, timestamp, 4, &broken, &media_list,
          nullptr, nullptr, nullptr, options.size(), options.data(), 2, &size, nullptr, nullptr,
          &ca);
  EXPECT_EQ(ca.sqlcode, kSqlBadParameter);

  SetFault(state.path(), "sqlubkp", -2009);
  sqlubkp("SAMPLE", 1, SQLUB_OFFLINE, 0, SQLUB_BACKUP, appId, timestamp, 4, nullptr, &media_list,
          nullptr, nullptr, nullptr, options.size(), options.data(), 2, &size, nullptr, nullptr,
          &ca);
  EXPECT_EQ(ca.sqlcode, -2009);
  media_list.media_type = 'L';
  sqlurestore("SAMPLE", nullptr, 1, 0, 0, 0, 0, SQLUD_NOINTERRUPT, appId, timestamp, nullptr, 4,
              nullptr, nullptr, &media_list, nullptr, nullptr, nullptr, options.size(),
              options.data(), 2, nullptr, nullptr, nullptr, &ca);
  EXPECT_EQ(ca.sqlcode, kSqlBadParameter);
}

TEST_F(Api, RestoreStopsForContainersThatCannotBeCreated) {
  tarn::test::Watchdog watchdog(60);
  Store store(state.path());
  store.WriteData("db2inst1", "TOOLS", 0, "TS", "tool rows");
  std::uint64_t before = store.ContentChecksum("db2inst1", "TOOLS", 0);
  sqlca ca;
  UseNode(0);
  VendorMedia vm(1);
  sqlu_media_list& media_list = vm.list;
  std::string options = "dir=" + media.path() + "\n";
  char appId[33] = {}, timestamp[15] = {};
  std::uint32_t size = 0;
  sqlubkp("TOOLS", 1, SQLUB_OFFLINE, 0, SQLUB_BACKUP, appId, timestamp, 2, nullptr, &media_list,
          nullptr, nullptr, nullptr, options.size(), options.data(), 1, &size, nullptr, nullptr,
          &ca);
  ASSERT_EQ(ca.sqlcode, 0);
  // The container's folder disappears (a different machine, say).
  std::string gone = media.path() + "/gone/C0000.DAT";
  WriteWholeFile(store.NodeDir("db2inst1", "TOOLS", 0) + "/ts/TS/containers", gone + "\n");
  auto restore = [&](std::uint32_t action) {
    sqlurestore("TOOLS", nullptr, 1, 0, 0, 0, 0, action, appId, timestamp, nullptr, 2, nullptr,
                nullptr, &media_list, nullptr, nullptr, nullptr, options.size(), options.data(), 1,
                nullptr, nullptr, nullptr, &ca);
    return ca.sqlcode;
  };

  EXPECT_EQ(restore(SQLUD_NOINTERRUPT), kSqlContainerWarning);
  EXPECT_EQ(restore(SQLUD_CONTINUE), kSqlContainerBad);  // nothing redefined yet
  EXPECT_EQ(restore(SQLUD_TERMINATE), 0);
  EXPECT_EQ(restore(SQLUD_CONTINUE), kSqlNothingToContinue);  // nothing is waiting any more
  EXPECT_FALSE(Exists(gone));

  ASSERT_EQ(restore(SQLUD_NOINTERRUPT), kSqlContainerWarning);
  std::uint32_t count = 0, n = 0;
  SQLB_TBSPQRY_DATA** ts = nullptr;
  SQLB_TBSCONTQRY_DATA* c = nullptr;
  ASSERT_EQ(sqlbmtsq(&ca, &count, &ts, SQLB_RESERVED1, SQLB_RESERVED2), 0);
  ASSERT_EQ(sqlbtcq(&ca, ts[0]->id, &n, &c), 0);
  EXPECT_EQ(c[0].ok, 0u);
  std::string moved = media.path() + "/moved.dat";
  std::memset(c[0].name, 0, sizeof c[0].name);
  std::memcpy(c[0].name, moved.c_str(), moved.size());
  ASSERT_EQ(sqlbstsc(&ca, SQLB_SET_CONT_FINAL_STATE, ts[0]->id, 1, c), 0);
  sqlefmem_api(&ca, c);
  sqlefmem_api(&ca, ts);
  EXPECT_EQ(restore(SQLUD_CONTINUE), 0);
  EXPECT_EQ(ReadWholeFile(moved), "tool rows");
  EXPECT_EQ(store.ContentChecksum("db2inst1", "TOOLS", 0), before);
}

TEST_F(Api, ReplacingAnotherDatabaseWaitsForContinueOrTerminate) {
  tarn::test::Watchdog watchdog(60);
  Store store(state.path());
  store.CreateDatabase("db2inst1", {"COPY", {0}, 0, false}, {"TS"});
  store.WriteData("db2inst1", "TOOLS", 0, "TS", "tool rows");
  store.WriteData("db2inst1", "COPY", 0, "TS", "copy rows");
  const std::uint64_t copy = store.ContentChecksum("db2inst1", "COPY", 0);
  sqlca ca;
  UseNode(0);
  VendorMedia vm(1);
  std::string options = "dir=" + media.path() + "\n";
  char appId[33] = {}, timestamp[15] = {};
  std::uint32_t size = 0;
  sqlubkp("TOOLS", 1, SQLUB_OFFLINE, 0, SQLUB_BACKUP, appId, timestamp, 2, nullptr, &vm.list,
          nullptr, nullptr, nullptr, options.size(), options.data(), 1, &size, nullptr, nullptr,
          &ca);
  ASSERT_EQ(ca.sqlcode, 0);
  auto restore = [&](std::uint32_t action, std::uint32_t type = 0) {
    sqlurestore("TOOLS", "COPY", 1, 0, 0, type, 0, action, appId, timestamp, nullptr, 2, nullptr,
                nullptr, &vm.list, nullptr, nullptr, nullptr, options.size(), options.data(), 1,
                nullptr, nullptr, nullptr, &ca);
    return ca.sqlcode;
  };
  struct Case {
    const char* what;
    std::uint32_t action, type;
    int sqlcode;
  };
  const Case cases[] = {
      {"unknown restore type", SQLUD_RESTORE_STORDEF, 7, kSqlBadParameter},
      {"unknown caller action", 9, 0, kSqlBadParameter},
      {"continue without a restore", SQLUD_CONTINUE, 0, kSqlNothingToContinue},
      {"into another database", SQLUD_RESTORE_STORDEF, 0x110, kSqlRestoreOtherDb},
      {"terminated", SQLUD_TERMINATE, 0, 0},
      {"nothing left to continue", SQLUD_CONTINUE, 0, kSqlNothingToContinue},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(restore(c.action, c.type), c.sqlcode);
    EXPECT_EQ(store.ContentChecksum("db2inst1", "COPY", 0), copy);
  }
  ASSERT_EQ(restore(SQLUD_RESTORE_STORDEF), kSqlRestoreOtherDb);
  EXPECT_EQ(restore(SQLUD_CONTINUE), 0);
  EXPECT_EQ(ReadWholeFile(store.Containers("db2inst1", "COPY", 0, "TS")[0]), "tool rows");
}

}  // namespace
}  // namespace db2sim
