// Catalogue session of an integration context against the stand-in catalogue.
#include "bar2/barquery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bar2/barimpl.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "tarn_test.h"

namespace {

class BarQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    for (const char* name :
         {"VEKOPTS", "VEKBARUPDATE", "VEK_CELL_SERVER_HOSTNAME", "VEKBARHOSTNAME"})
      unsetenv(name);
    VEK_SetFlags(0);
    bar2_detail::ResetGlobals();
    BarSetLinkHooks(nullptr);
  }
  void TearDown() override {
    if (BarContext* ctx = VEK_GetContext()) {
      ctx->mode = BAR_MODE_IDLE;
      ctx->session.smHandle = kIpcNoHandle;
      VEK_Exit(ctx);
    }
    VEK_SetFlags(0);
    if (CmnIsInitialized()) CmnExit();
    unsetenv("VEKOPTS");
  }
  tarn::test::TempRoot root_;
};

TEST_F(BarQueryTest, TheContextKeepsItsCatalogueSession) {
  EXPECT_EQ(VEK_StartQueries(static_cast<BarContext*>(nullptr)), kVekQueryNoContext);
  tarn::test::CellServerStandIn server({.fixture = "cat-object \"01 host1:/db // SAMPLE\" 1\n"});
  ASSERT_TRUE(server.ready());
  server.exportInetPort();
  setenv("VEKOPTS", "-server 127.0.0.1", 1);
  BarContext* ctx = nullptr;
  ASSERT_EQ(VEK_Init("DB2", "inst1", "DB2LIB", 0, &ctx), 0) << "error " << ErhErrno();
  ASSERT_EQ(VEK_StartQueries(ctx), 0) << ErhErrnoToText();
  EXPECT_NE(ctx->dbsmHandle, kIpcNoHandle);
  int count = 0;
  VEK_Object* objects = nullptr;
  ASSERT_EQ(VEK_QueryObjects(VEK_ContextCatalog(nullptr), 1, "", &count, &objects), 0);
  EXPECT_EQ(count, 1);
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
  EXPECT_EQ(VEK_EndQueries(ctx), 0);
  EXPECT_EQ(ctx->dbsmHandle, kIpcNoHandle);
  EXPECT_EQ(VEK_EndQueries(ctx), 0);
}

}  // namespace
