// Catalogue queries against the stand-in cell server's catalogue: the
// catalogue session, searches by part of a name, versions per backup id and
// the options text written at backup, and a close in the middle of a listing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "barutil/vekhost.h"
#include "barutil/vekquery.h"
#include "barutil_test_util.h"
#include "cellserver/testing/cellserver_standin.h"
#include "csa/csa.h"
#include "ipc/ipc.h"

namespace {

using barutiltest::BarutilTest;
using barutiltest::ScopedEnv;

constexpr char kFixture[] =
    "cat-object \"01 host1:/db // SAMPLE\" 1\n"
    "cat-version 11 \"01 host1:/db // SAMPLE\" \"2026/12/01-1\" 1000 "
    "\"-backupId \\\"B1\\\" -trees \\\"/db/a\\\" \\\"/db/b\\\" -baropt x=1\" copy=1\n"
    "cat-version 12 \"01 host1:/db // SAMPLE\" \"2026/12/01-2\" 1100 "
    "\"-backupId \\\"B1\\\" -trees \\\"/db/a\\\" \\\"/db/b\\\" -baropt x=1\" copy=0\n"
    "cat-version 13 \"01 host1:/db // SAMPLE\" \"2026/12/02-1\" 2000 \"-tree \\\"/db/a\\\"\"\n"
    "cat-object \"01 host1:/logs // LOGS\" 1\n"
    "cat-object \"01 host2:/db // OTHER\" 1\n";

class QueryStandInTest : public BarutilTest {
 protected:
  void SetUp() override {
    BarutilTest::SetUp();
    server_ = std::make_unique<tarn::test::CellServerStandIn>(
        tarn::test::CellServerStandIn::Options{.fixture = kFixture});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    VEK_ResetCellServer();
    ASSERT_EQ(VEK_CatalogStart(&catalog_), 0) << ErhErrnoToText();
  }
  void TearDown() override {
    EXPECT_EQ(VEK_CatalogEnd(&catalog_), 0);
    CsaExitEx(0);
    IpcExit();
    server_.reset();
    VEK_ResetCellServer();
    BarutilTest::TearDown();
  }
  ScopedEnv host_{"VEK_CELL_SERVER_HOSTNAME", "127.0.0.1"};
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
  VEK_Catalog catalog_;
};

TEST_F(QueryStandInTest, StartLeavesTheClientStoppedAndIsIdempotent) {
  EXPECT_FALSE(CsaIsInitialized()) << "started for the session only";
  const IpcHandle handle = catalog_.handle;
  EXPECT_EQ(VEK_CatalogStart(&catalog_), 0);
  EXPECT_EQ(catalog_.handle, handle);
}

TEST_F(QueryStandInTest, PatternSearchByPartOfName) {
  int count = 0;
  VEK_Object* objects = nullptr;
  ASSERT_EQ(VEK_QueryObjectsPartName(&catalog_, 1, "host1", "", &count, &objects), 0)
      << catalog_.query.error << " " << ErhErrno() << " " << ErhErrnoToText();
  ASSERT_EQ(count, 2);
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
  ASSERT_EQ(VEK_QueryObjectsPartName(&catalog_, 1, "host1", "LOGS", &count, &objects), 0);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(objects[0].mountPoint, "/logs");
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
}

TEST_F(QueryStandInTest, VersionsOnePerBackupIdWithTheirOptions) {
  int count = 0;
  VEK_Version* v = nullptr;
  ASSERT_EQ(VEK_QueryObjectVersionsEx(&catalog_, "01 host1:/db // SAMPLE", 1, &count, &v), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(VEK_VersionId(v[0]), 12) << "the original (copy 0) of backup B1";
  EXPECT_STREQ(v[0].backupId, "B1");
  ASSERT_EQ(v[0].trees.count, 2);
  EXPECT_STREQ(static_cast<char*>(array_get(&v[0].trees, 1)), "/db/b");
  EXPECT_STREQ(v[0].barOpt, "x=1");
  EXPECT_STREQ(v[1].backupId, "2026/12/02-1") << "no -backupId: the session id";
  VEK_FreeArray(count, v, sizeof(VEK_Version), VEK_VersionFree);

  VEK_ObjectVersion ov;
  ASSERT_EQ(VEK_QueryGetObjectVersion(&catalog_, 13, &ov), 0);
  EXPECT_EQ(VEK_VersionId(ov.version), 13);
  EXPECT_STREQ(ov.object.description, "SAMPLE");
  VEK_ObjectVersionFree(&ov);
}

TEST_F(QueryStandInTest, CloseMidListingThenAWorkingQuery) {
  ASSERT_EQ(VEK_QueryOpen(&catalog_, 1024, "%s%d%d", "01 host1:/db // SAMPLE", 0, 0), 0);
  ASSERT_TRUE(VEK_QueryRead(&catalog_));
  VEK_QueryClose(&catalog_);
  int count = 0;
  VEK_Object* objects = nullptr;
  ASSERT_EQ(VEK_QueryObjects(&catalog_, 1, "OTHER", &count, &objects), 0);
  EXPECT_EQ(count, 1);
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
  EXPECT_EQ(VEK_ChangeOVProtection(&catalog_, 11, 1, 0), 0);
  EXPECT_EQ(VEK_QueryOpen(&catalog_, 4711, "%d", 1), kVekQueryFailed);
}

int SendNothing(IpcHandle, const char*) {
  return 0;
}

TEST_F(QueryStandInTest, AMissingResultTimesOut) {
  // The request never reaches the catalogue, so nothing ever answers.
  query_setio(VEK_IpcRead, SendNothing);
  catalog_.query.timeout = 1;
  ASSERT_TRUE(query_open(&catalog_.query, catalog_.handle, 1022, "%d", 1));
  EXPECT_FALSE(query_read(&catalog_.query));
  EXPECT_EQ(catalog_.query.error, kQueryReadFailed);
  EXPECT_EQ(ErhErrno(), ECSACONNECTION);
  VEK_QueryClose(&catalog_);
  EXPECT_EQ(catalog_.handle, -1) << "a session out of step is closed";
  query_setio(VEK_IpcRead, VEK_IpcWrite);
}

TEST_F(QueryStandInTest, ARunningClientIsLeftRunning) {
  ASSERT_EQ(VEK_CatalogEnd(&catalog_), 0);
  ASSERT_EQ(MCsaInit("127.0.0.1"), 0);
  ASSERT_EQ(VEK_CatalogStart(&catalog_), 0);
  EXPECT_TRUE(CsaIsInitialized());
  int count = 0;
  VEK_Object* objects = nullptr;
  ASSERT_EQ(VEK_QueryObjects(&catalog_, 1, "", &count, &objects), 0);
  EXPECT_EQ(count, 3);
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
}

}  // namespace
