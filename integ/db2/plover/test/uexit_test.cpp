// The user exit's pieces that need no peer: DB2's arguments, the names of an
// archived log, the order of sessions and the virtual servers of a cell
// description, and how their lookup fails when no cell server answers.
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "barutil/vekhost.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "csa/csa.h"
#include "csa/csaops.h"
#include "plover/archlog.h"
#include "plover/uexit.h"
#include "tarn_test.h"

TARN_RCSID("integ/db2/plover/test/uexit_test.cpp");

namespace {

UE_Options Parse(std::vector<const char*> args) {
  return UE_ParseOpts(static_cast<int>(args.size()), args.data());
}

TEST(UserExitOptions, ValuesFollowTheirTwoLetterKeys) {
  const UE_Options o = Parse({"-OSLinux", "-RL110", "-RQRETRIEVE", "-DBSAMPLE", "-NNNODE0000",
                              "-LP/db/logs/", "-LNS0000001.LOG", "stray", "-", "-X", "-ZZzz"});
  EXPECT_EQ(o.os, "Linux");
  EXPECT_EQ(o.rl, "110");
  EXPECT_EQ(o.rq, kUeRetrieve);
  EXPECT_EQ(o.db, "SAMPLE");
  EXPECT_EQ(o.nn, "NODE0000");
  EXPECT_EQ(o.lp, "/db/logs/");
  EXPECT_EQ(o.ln, "S0000001.LOG");
  EXPECT_FALSE(o.version);
  struct Case {
    const char* arg;
    int rq;
  } requests[] = {{"-RQARCHIVE", kUeArchive},     {"-rqARCHIVE", kUeArchive},
                  {"-RQarchive", kUeOtherRequest}, {"-RQRETRIEVEx", kUeRetrieve},
                  {"-RQ", kUeOtherRequest},        {"-RQARCHIV", kUeOtherRequest}};
  for (const Case& c : requests) EXPECT_EQ(Parse({c.arg}).rq, c.rq) << c.arg;
  for (const char* v : {"-VERSION", "-Ver", "-version"}) EXPECT_TRUE(Parse({v}).version) << v;
  EXPECT_FALSE(Parse({"-ve"}).version);
}

TEST(ArchivedLogNames, ObjectAndItemNamesAreLiteral) {
  const auto n = MakeArchivedLogName("db2inst1", "SAMPLE", 3, "/db//logs/S0000001.LOG");
  ASSERT_TRUE(n);
  EXPECT_EQ(n->object, "db2inst1:SAMPLE:0:3:0");
  EXPECT_EQ(n->tree, std::string("/db2inst1/SAMPLE/ArchivedLogs/db/logs/S0000001.LOG\x01"));
  EXPECT_EQ(n->item, n->tree);
  EXPECT_EQ(n->directory, "/db2inst1/SAMPLE/ArchivedLogs/db/logs");
  EXPECT_EQ(n->file, std::string("S0000001.LOG\x01"));
  // Names that would pass their buffers, and missing parts, are refused.
  EXPECT_FALSE(MakeArchivedLogName("i", "d", 0, ("/" + std::string(1010, 'x')).c_str()));
  EXPECT_FALSE(MakeArchivedLogName(std::string(1100, 'i').c_str(), "d", 0, "/l"));
  EXPECT_FALSE(MakeArchivedLogName("i", "", 0, "/l"));
  EXPECT_FALSE(MakeArchivedLogName("i", "d", 0, nullptr));
}

TEST(SessionOrder, SerialNumbersCompareAsNumbers) {
  EXPECT_GT(UE_CompareSessionIds("2008/01/02-10", "2008/01/02-9"), 0);
  EXPECT_LT(UE_CompareSessionIds("2008/01/02-1", "2008/01/10-3"), 0);
  EXPECT_GT(UE_CompareSessionIds("2008/01/10-1", "2008/01/02-30"), 0);
  EXPECT_EQ(UE_CompareSessionIds("2008/01/02-7", "2008/01/02-7"), 0);
  EXPECT_GT(UE_CompareSessionIds("b", "a"), 0);
  EXPECT_LT(UE_CompareSessionIds("", "2008/01/02-1"), 0);
}

// The copies are sorted with it: a strict weak order over any ids, the
// malformed ones after (below) every well-formed one, among them by text.
TEST(SessionOrder, IsAStrictWeakOrderWithMalformedIdsBelow) {
  const std::vector<const char*> ids = {"-12",          "-3",           "-2a", "2008/01/02-1",
                                        "2008/01/02-10", "2008/01/10-3", "",    "x",
                                        "2008/01/02-",  "2008/01/02-1b", "-",  "2008/01/02-9"};
  const auto less = [](const char* a, const char* b) { return UE_CompareSessionIds(a, b) < 0; };
  for (const char* a : ids) {
    EXPECT_FALSE(less(a, a)) << a;
    for (const char* b : ids) {
      EXPECT_EQ(UE_CompareSessionIds(a, b), -UE_CompareSessionIds(b, a)) << a << " " << b;
      for (const char* c : ids) {
        if (less(a, b) && less(b, c)) {
          EXPECT_TRUE(less(a, c)) << a << " " << b << " " << c;
        }
      }
    }
  }
  EXPECT_LT(UE_CompareSessionIds("2008/01/02-1b", "2008/01/02-1"), 0);
  EXPECT_GT(UE_CompareSessionIds("x", "-2a"), 0);
}

constexpr char kCellFormat[] = "-key host\n-key virt[ual\n-key clus[ter\n-key os\n";

TEST(VirtualServers, LinesOfThisHostGiveVirtualElseClusterNames) {
  const char* description =
      "-host alpha -virtual vs1\n"
      "-host beta -virtual other\n"
      "-os linux -virtual nohost\n"
      "-host alpha -os linux\n"
      "-host alpha -cluster cl1\n"
      "-host alpha -virtual vs2 -cluster cl2\n";
  const auto names = VirtualServersOf(kCellFormat, description, "alpha");
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, (std::vector<std::string>{"vs1", "cl1", "vs2"}));
  EXPECT_EQ(VirtualServersOf(kCellFormat, description, "gamma")->size(), 0u);
  EXPECT_FALSE(VirtualServersOf("", description, "alpha"));
}

// The lookup of this machine's virtual servers, failing before the cell
// server answers: each cause writes its own unexpected-failure line.
class VirtualServerLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (CmnIsInitialized() == 0) {
      ASSERT_EQ(CmnInit("uexittest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    VEK_ResetCellServer();
  }
  void TearDown() override {
    ::unsetenv("TARN_INET_PORT");
    VEK_ResetCellServer();
  }
  std::string DebugLog() const { return root_.read("/var/opt/tarn/log/debug.log"); }

  tarn::test::TempRoot root_;
};

TEST_F(VirtualServerLookup, EachFailureBeforeTheCellServerAnswersNamesItsCause) {
  char logPath[1024];
  if (DbgLogGetPathname(logPath, nullptr)[0] == '\0') GTEST_SKIP() << "no debug.log in this build";
  struct Case {
    bool cellServerFile;
    const char* line;
  } cases[] = {
      {false, "[GetVSArray] Unable to get CS host"},
      // Nothing listens on the port, so the client cannot start.
      {true, "[GetVSArray] Unable to init CSA"},
  };
  ::setenv("TARN_INET_PORT", std::to_string(tarn::test::FreePort()).c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ::unlink(logPath);
    VEK_ResetCellServer();
    if (c.cellServerFile) root_.write("/etc/opt/tarn/client/cell_server", "127.0.0.1\n");
    EXPECT_FALSE(GetVSArray());
    EXPECT_EQ(CsaIsInitialized(), 0);
    const std::string log = DebugLog();
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    EXPECT_EQ(log.find("Unable to bind CS host"), std::string::npos) << log;
  }
  // A client that runs (the integration context's) binds the cell server
  // again; one that took a request and never answered is not bound again.
  tarn::test::CellServerStandIn cs({.fixture = "fault 214 delay 5000 times=1\n"});
  ASSERT_TRUE(cs.ready());
  cs.exportInetPort();
  ::setenv("VEKCSREPLYTIMEOUT", "1", 1);
  ASSERT_EQ(MCsaInit("127.0.0.1"), 0);
  char* text = nullptr;
  EXPECT_EQ(MCsaGetGroupItem(0, 12, "item", &text, 0), -1);
  ErhClearError();
  ::unlink(logPath);
  EXPECT_FALSE(GetVSArray());
  const std::string log = DebugLog();
  EXPECT_NE(log.find("[GetVSArray] Unable to bind CS host"), std::string::npos) << log;
  EXPECT_EQ(log.find("Unable to init CSA"), std::string::npos) << log;
  CsaExit();
  ::unsetenv("VEKCSREPLYTIMEOUT");
}

TEST(UserExitFormat, FormatsIntoTheHeap) {
  char* text = UE_Format("DBtree=%s:%d", "/a", 7);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "DBtree=/a:7");
  safe_free(text, TARN_HERE);
}

}  // namespace
