// Host names: the kept cell-server host, its override, and full names.
#include "barutil/vekhost.h"

#include <string>

#include "barutil_test_util.h"
#include "cmn/str.h"

namespace {

using barutiltest::ScopedEnv;

class VekHostTest : public barutiltest::BarutilTest {
 protected:
  void SetUp() override {
    BarutilTest::SetUp();
    VEK_ResetCellServer();
  }
  void TearDown() override {
    VEK_ResetCellServer();
    BarutilTest::TearDown();
  }
};

TEST_F(VekHostTest, CellServerOverrideIsKeptForTheProcess) {
  {
    ScopedEnv env("VEK_CELL_SERVER_HOSTNAME", "localhost");
    const char* host = VEK_CellServer();
    ASSERT_NE(host, nullptr);
    EXPECT_STREQ(host, VEK_ExpandHostname("localhost"));
  }
  const std::string first = VEK_CellServer();
  ScopedEnv later("VEK_CELL_SERVER_HOSTNAME", "no-such-host.invalid");
  EXPECT_EQ(std::string(VEK_CellServer()), first);
}

TEST_F(VekHostTest, CellServerFromTheClientFile) {
  ScopedEnv env("VEK_CELL_SERVER_HOSTNAME", "");
  root_.write("/etc/opt/tarn/client/cell_server", "localhost\n");
  const char* host = VEK_CellServer();
  ASSERT_NE(host, nullptr);
  EXPECT_STREQ(host, VEK_ExpandHostname("localhost"));
}

TEST_F(VekHostTest, NoCellServerAnywhereGivesNullAndIsNotKept) {
  ScopedEnv env("VEK_CELL_SERVER_HOSTNAME", nullptr);
  EXPECT_EQ(VEK_CellServer(), nullptr);
  EXPECT_EQ(ErhErrno(), ERH_NO_CS_HOST);
  root_.write("/etc/opt/tarn/client/cell_server", "localhost\n");
  EXPECT_NE(VEK_CellServer(), nullptr);
}

TEST_F(VekHostTest, ExpandKeepsAnUnknownNameAndRefusesAnEmptyOne) {
  EXPECT_EQ(VEK_ExpandHostname(nullptr), nullptr);
  EXPECT_EQ(VEK_ExpandHostname(""), nullptr);
  EXPECT_STREQ(VEK_ExpandHostname("no-such-host.invalid"), "no-such-host.invalid");
  const std::string longName(400, 'a');
  EXPECT_EQ(std::string(VEK_ExpandHostname(longName.c_str())), longName.substr(0, kVekHostNameMax));
}

TEST_F(VekHostTest, SetHostnameCutsToTheHostBufferAndIgnoresEmpty) {
  const std::string old = cmnHostname;
  VEK_SetHostname("");
  EXPECT_EQ(std::string(cmnHostname), old);
  VEK_SetHostname("no-such-host.invalid");
  EXPECT_STREQ(cmnHostname, "no-such-host.invalid");
  const std::string longName(100, 'b');
  VEK_SetHostname(longName.c_str());
  EXPECT_EQ(std::string(cmnHostname), longName.substr(0, kCmnHostNameSize - 1));
  StrCopy(cmnHostname, old.c_str(), kCmnHostNameSize - 1);
}

}  // namespace
