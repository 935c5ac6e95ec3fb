// Item names, the integration-type table and its backup types, version lines
// and comparisons, compatibility checks and platform ids.
#include <cstring>
#include <regex>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/cmnnames_test.cpp");

namespace {

class ItemNameTest : public cmntest::ErrorStateTest {
 protected:
  void SetUp() override {
    ErhInit(0);
    cmntest::ErrorStateTest::SetUp();
  }
};

TEST_F(ItemNameTest, ForbiddenCharactersAndEmptyNames) {
  EXPECT_EQ(CmnValidItemName("nightly backup"), 0);
  EXPECT_EQ(ErhErrno(), 0);
  EXPECT_EQ(CmnValidItemName("a/b"), -1);
  EXPECT_EQ(ErhErrno(), ERH_INVALID_NAME);
  EXPECT_EQ(ErhStatus()->markLine, 769);
  ErhClearError();
  EXPECT_EQ(CmnValidItemName(""), -1);
  EXPECT_EQ(ErhStatus()->markLine, 728);
  for (const char* bad : {"x\\y", "*", "q?", "say\"", "a>b", "a<b", "a|b", "tab\there", "\x1f"}) {
    ErhClearError();
    EXPECT_EQ(CmnValidItemName(bad), -1) << bad;
    EXPECT_EQ(ErhStatus()->markLine, 769) << bad;
  }
}

TEST_F(ItemNameTest, ItemFromTypedName) {
  int code = 0;
  char name[kCmnItemNameMax + 1] = "junk";
  EXPECT_EQ(CmnItemFromTname(&code, name, "datalist", "DB2 nightly"), 0);
  EXPECT_EQ(code, 91);
  EXPECT_STREQ(name, "nightly");
  EXPECT_EQ(CmnItemFromTname(&code, name, "tempschedule", "oracle8 weekly run\nignored"), 0);
  EXPECT_EQ(code, 61);
  EXPECT_STREQ(name, "weekly run");

  const struct {
    const char* kind;
    const char* text;
  } failures[] = {
      {"schedules", "DB2 nightly"},      // kinds are exact
      {"copylist", "DB2 nightly"},       // the DB2 row has no copy list
      {"datalist", "sch_copy nightly"},  // and sch_copy no data list
      {"datalist", "Nope nightly"},      // no such integration
      {"datalist", "DB2"},               // no item name
      {"datalist", "DB2 a/b"},           // invalid item name
  };
  for (const auto& f : failures) {
    ErhClearError();
    code = 5;
    EXPECT_EQ(CmnItemFromTname(&code, name, f.kind, f.text), -1) << f.kind << " " << f.text;
    EXPECT_EQ(code, -1);
    EXPECT_EQ(ErhErrno(), ERH_INVALID_NAME);
  }
  ErhClearError();
  EXPECT_EQ(CmnItemFromTname(&code, name, "datalist", ("DB2 " + std::string(300, 'n')).c_str()),
            -1);
  EXPECT_EQ(CmnItemFromTname(&code, name, "copylist", "sch_copy daily"), 0);
  EXPECT_EQ(code, 200);
}

TEST_F(ItemNameTest, SingleFileTypesAndGroups) {
  for (int t : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 15, 20, 24, 26, 27, 28})
    EXPECT_EQ(CmnValidSingleFile(t), 0) << t;
  for (int t : {4, 7, 10, 13, 14, 25, 29, -1}) {
    ErhClearError();
    EXPECT_EQ(CmnValidSingleFile(t), -1) << t;
    EXPECT_EQ(ErhErrno(), ERH_CSA_ITEM);
  }
  for (int g : {0, 2, 4, 7, 10, 20, 38, 69, 74, 80, 99, 123, 140, 175, 190, 223})
    EXPECT_EQ(CmnValidGroup(g), 0) << g;
  for (int g : {1, 3, 8, 21, 36, 70, 98, 104, 124, 142, 176, 224})
    EXPECT_EQ(CmnValidGroup(g), -1) << g;
}

TEST(IntegTypeTest, RowsAndBackupTypes) {
  const CmnIntegType* db2 = CmnGetIntegType("db2");
  ASSERT_NE(db2, nullptr);
  EXPECT_STREQ(db2->name, "DB2");
  EXPECT_EQ(db2->number, 10);
  EXPECT_STREQ(db2->listsPath, "barlists/db2");
  EXPECT_STREQ(db2->scheduleTemplatesPath, "dltemplates/schedules/db2");
  EXPECT_STREQ(CmnGetIntegType("VMware")->schedulesPath, "barschedules/vmware");
  EXPECT_EQ(CmnGetIntegType(""), nullptr);
  EXPECT_EQ(CmnGetIntegType("nosuch"), nullptr);
  EXPECT_EQ(CmnGetIntegType(nullptr), nullptr);
  int rows = 0;
  for (const CmnIntegType* r = CmnGetIntegTypes(); r->name != nullptr; ++r) ++rows;
  EXPECT_EQ(rows, 21);
  EXPECT_STREQ(CmnGetIntegType("sch_cons")->schedulesPath,
               "consolidationlists/scheduled/schedules");
  EXPECT_EQ(CmnGetIntegType("postbkp_cons")->listsPath, nullptr);

  const CmnBackupType* delta = CmnGetIntegBackupType(db2, "DELTA");
  ASSERT_NE(delta, nullptr);
  EXPECT_EQ(delta->code, 26);
  EXPECT_EQ(delta->number, 220);
  EXPECT_STREQ(delta->option, "-delta");
  EXPECT_EQ(CmnGetIntegBackupType(db2, "-incr")->code, 10);
  EXPECT_EQ(CmnGetIntegBackupType(db2, "-trans"), nullptr);
  // Without a row every named table is searched in order; the base row's
  // nameless entries never match.
  EXPECT_EQ(CmnGetIntegBackupType(nullptr, "-trans")->code, 18);
  EXPECT_EQ(CmnGetIntegBackupType(nullptr, "-or8incr3")->code, 3);
  EXPECT_EQ(CmnGetIntegBackupType(nullptr, "full")->code, 0);
  EXPECT_EQ(CmnGetIntegBackupType(CmnGetIntegType("VEK"), "-full"), nullptr);
  EXPECT_STREQ(CmnGetIntegBackupTypeStr(db2, 26), "-delta");
  EXPECT_EQ(CmnGetIntegBackupTypeStr(db2, 18), nullptr);
  EXPECT_EQ(CmnGetIntegBackupTypeStr(CmnGetIntegType("Stream"), 0), nullptr);
}

TEST(VersionTest, VersionLineOfAProgram) {
  CmnSetProgname("  PLOVER \t");
  char line[256];
  const std::string text = MakeVersionString(sizeof line, line);
  EXPECT_TRUE(std::regex_match(text, std::regex("Tarn Backup A\\.01\\.00: PLOVER, internal build " +
                                                std::string(kTarnBuild) + ", built on .+")))
      << text;
  // A buffer one byte short of the whole text gets the empty text.
  char exact[256];
  EXPECT_STREQ(MakeVersionString(text.size() + 1, exact), text.c_str());
  std::memset(exact, 'z', sizeof exact);
  EXPECT_STREQ(MakeVersionString(text.size(), exact), "");
  EXPECT_EQ(exact[1], 'z');

  EXPECT_STREQ(MakeShortVersionString(sizeof line, line), "Tarn Backup A.01.00");
  // The short line needs two bytes more than its text and terminator.
  EXPECT_STREQ(MakeShortVersionString(22, line), "Tarn Backup A.01.00");
  EXPECT_STREQ(MakeShortVersionString(21, line), "");
  CmnSetProgname("");
}

TEST(VersionTest, VersionCompareAndCompatibility) {
  EXPECT_GT(VersionCmp("A.03.10", "A.03.00"), 0);
  EXPECT_LT(VersionCmp("A.03.00", "A.03.10"), 0);
  EXPECT_EQ(VersionCmp("A.03", "A.03.00"), 1);
  EXPECT_EQ(VersionCmp("A.03.00", "A.03"), -1);
  EXPECT_EQ(VersionCmp("A.03.00", "A.03.00"), 0);
  EXPECT_EQ(VersionCmp("", ""), 0);
  EXPECT_EQ(VersionCmp(nullptr, "A"), 1);

  EXPECT_EQ(IsCompatible("CRS", "Tarn A.03.00", "CRS", "Tarn A.06.20"), 1);
  EXPECT_EQ(IsCompatible("CRS", "Tarn A.02.50", "CRS", "Tarn A.06.20"), 0);
  EXPECT_EQ(IsCompatible("X", "Tarn A.06.00", "VBDA", "Other A.06.00"), 0);  // prefixes differ
  EXPECT_EQ(IsCompatible("X", "A.06.00", "VBDA", "Tarn A.06.00"), 0);        // no prefix
  EXPECT_EQ(IsCompatible("X", "Tarn Data A.06.00", "VBDA", "Tarn Data A.06.00"), 1);
  EXPECT_EQ(IsCompatible("BSM", "Tarn A.05.00", "BMA", "A.05.00"),
            1);  // a media agent: version alone
  EXPECT_EQ(IsAmsCompatible("BSM", "Tarn A.05.00", "BMA", "Tarn A.01.00"), 0);
}

TEST(VersionTest, PlatformIds) {
  EXPECT_EQ(CvtStrToPlatformId("gpc i386 linux-2.6.32"), 11);
  EXPECT_EQ(CvtStrToPlatformId("gpc i386 linux-2.4.21"), 10);
  EXPECT_EQ(CvtStrToPlatformId("hp s800 hp-ux-B.11.31"), 2);
  EXPECT_EQ(CvtStrToPlatformId("gpc i386 wnt-5.1"), 50);
  EXPECT_EQ(CvtStrToPlatformId("gpc i386 linux-3.0"), -1);
  EXPECT_EQ(CvtStrToPlatformId("gpc i386 linux"), -1);
  EXPECT_EQ(CvtStrToPlatformId(nullptr), -1);
  EXPECT_EQ(CvtPlatformIdToObjectType(100), 6);
  EXPECT_EQ(CvtPlatformIdToObjectType(110), 6);
  EXPECT_EQ(CvtPlatformIdToObjectType(51), 8);
  EXPECT_EQ(CvtPlatformIdToObjectType(11), 2);
}

}  // namespace
