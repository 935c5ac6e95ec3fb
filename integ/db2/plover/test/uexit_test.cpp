// The user exit's pieces that need no peer: DB2's arguments, the names of an
// archived log, the order of sessions and the virtual servers of a cell
// description.
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
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

TEST(UserExitFormat, FormatsIntoTheHeap) {
  char* text = UE_Format("DBtree=%s:%d", "/a", 7);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "DBtree=/a:7");
  safe_free(text, TARN_HERE);
}

}  // namespace
