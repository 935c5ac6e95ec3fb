// Debug options from argv, text and environment, and back into VEKOPTS.
#include "barutil/vekdebug.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "barutil_test_util.h"

namespace {

using barutiltest::ScopedEnv;

std::string Show(const DebugOpts& o) {
  return std::string("[") + o.ranges + "][" + o.postfix + "][" + o.select + "]";
}

DebugOpts Filled() {
  DebugOpts o{};
  std::strcpy(o.ranges, "old");
  return o;
}

TEST(VekDebugTest, FromArgTakesUpToThreeWordsAfterDebug) {
  DebugOpts o = Filled();
  const char* none[] = {"prog", "-server", "cs"};
  EXPECT_EQ(VEK_DebugOptsFromArg(&o, 3, none), 0);
  EXPECT_EQ(Show(o), "[old][][]");
  const char* all[] = {"prog", "-debug", "1-99", "post", "sel", "extra"};
  EXPECT_EQ(VEK_DebugOptsFromArg(&o, 6, all), 1);
  EXPECT_EQ(Show(o), "[1-99][post][sel]");
  const char* two[] = {"prog", "-debug", "1-99"};
  EXPECT_EQ(VEK_DebugOptsFromArg(&o, 3, two), 1);
  EXPECT_EQ(Show(o), "[1-99][][]");
  const char* option[] = {"-debug", "1-200", "-server", "cs"};
  EXPECT_EQ(VEK_DebugOptsFromArg(&o, 4, option), 1);
  EXPECT_EQ(Show(o), "[1-200][][]");
  const std::string longRanges(2000, '9');
  const char* overlong[] = {"-debug", longRanges.c_str()};
  EXPECT_EQ(VEK_DebugOptsFromArg(&o, 2, overlong), 1);
  EXPECT_EQ(std::string(o.ranges), longRanges.substr(0, kDebugRangesMax));
}

TEST(VekDebugTest, FromStrGroupsQuotedWords) {
  DebugOpts o = Filled();
  EXPECT_EQ(VEK_DebugOptsFromStr(&o, "-server cs -debug '1-99 200' '' sel"), 1);
  EXPECT_EQ(Show(o), "[1-99 200][][sel]");
  // A configuration's words come first, the process's own after them.
  EXPECT_EQ(VEK_DebugOptsFromStr(&o, "-debug 1-5 cfg -report 3 -debug 1-99 own"), 1);
  EXPECT_EQ(Show(o), "[1-99][own][]");
  EXPECT_EQ(VEK_DebugOptsFromStr(&o, nullptr), 0);
}

TEST(VekDebugTest, FromEnvPrefersVekoptsThenVekdbg) {
  DebugOpts o = Filled();
  {
    ScopedEnv a("VEKOPTS", "-server cs");
    ScopedEnv b("VEKDBG", "1-50 pf");
    EXPECT_EQ(VEK_DebugOptsFromEnv(&o), 1);
    EXPECT_EQ(Show(o), "[1-50][pf][]");
  }
  {
    ScopedEnv a("VEKOPTS", "-debug 5 x y");
    ScopedEnv b("VEKDBG", "-debug 1-50 pf");
    EXPECT_EQ(VEK_DebugOptsFromEnv(&o), 1);
    EXPECT_EQ(Show(o), "[5][x][y]");
  }
  ScopedEnv a("VEKOPTS", nullptr);
  ScopedEnv b("VEKDBG", nullptr);
  EXPECT_EQ(VEK_DebugOptsFromEnv(&o), 0);
  EXPECT_EQ(Show(o), "[5][x][y]");
}

TEST(VekDebugTest, ToEnvReplacesTheDebugWordsAndKeepsTheOtherOptions) {
  ScopedEnv env("VEKOPTS", "-server cs.example -debug 1-10 oldpf -lport 'a b'");
  DebugOpts o{};
  std::strcpy(o.ranges, "1-99");
  std::strcpy(o.select, "KESTREL");
  ASSERT_EQ(VEK_DebugOptsToEnv(&o), 0);
  EXPECT_STREQ(std::getenv("VEKOPTS"), "-debug 1-99 '' KESTREL -server cs.example -lport 'a b'");
  DebugOpts back{};
  ASSERT_EQ(VEK_DebugOptsFromEnv(&back), 1);
  EXPECT_EQ(Show(back), "[1-99][][KESTREL]");

  DebugOpts empty{};
  ASSERT_EQ(VEK_DebugOptsToEnv(&empty), 0);
  EXPECT_STREQ(std::getenv("VEKOPTS"), "-debug 1-99 '' KESTREL -server cs.example -lport 'a b'");
  // Every debug group goes, or an earlier one left behind would win.
  ScopedEnv twice("VEKOPTS", "-debug 1-5 cfg -report 3 -debug 1-10 oldpf -server cs");
  ASSERT_EQ(VEK_DebugOptsToEnv(&o), 0);
  EXPECT_STREQ(std::getenv("VEKOPTS"), "-debug 1-99 '' KESTREL -report 3 -server cs");
  ScopedEnv unset("VEKOPTS", nullptr);
  std::strcpy(o.select, "");
  ASSERT_EQ(VEK_DebugOptsToEnv(&o), 0);
  EXPECT_STREQ(std::getenv("VEKOPTS"), "-debug 1-99");
}

}  // namespace
