// Debug options: the ranges grammar, splitting an options text, process
// selection, short source names and the format guard.
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbgimpl.h"
#include "tarn_test.h"

namespace {

DbgRangeSpec Parse(const char* text) {
  DbgRangeSpec spec;
  DbgParseRanges(text, &spec);
  return spec;
}

TEST(DbgRanges, ListOfLevelsAndRanges) {
  const DbgRangeSpec spec = Parse("1-99,500");
  ASSERT_EQ(spec.rangeCount, 2);
  EXPECT_EQ(spec.ranges[0].low, 1);
  EXPECT_EQ(spec.ranges[0].high, 99);
  EXPECT_EQ(spec.ranges[1].low, 500);
  EXPECT_EQ(spec.ranges[1].high, 500);
  EXPECT_EQ(spec.options, 0u);
  EXPECT_EQ(spec.timeMode, 1);
  EXPECT_EQ(spec.circularLimit, 0);

  const DbgRangeSpec mixed = Parse(" 5 ,\t7,,9-12 ");
  ASSERT_EQ(mixed.rangeCount, 3);
  EXPECT_EQ(mixed.ranges[2].low, 9);
  EXPECT_EQ(mixed.ranges[2].high, 12);
}

TEST(DbgRanges, ZeroSwitchesThePrefixOffAndNegativeLevelsAddNothing) {
  const DbgRangeSpec zero = Parse("0");
  EXPECT_EQ(zero.rangeCount, 0);
  EXPECT_EQ(zero.options, kDbgOptNoPrefix);

  const DbgRangeSpec from0 = Parse("0-200");
  ASSERT_EQ(from0.rangeCount, 1);
  EXPECT_EQ(from0.ranges[0].low, 0);
  EXPECT_EQ(from0.ranges[0].high, 200);
  EXPECT_EQ(from0.options, kDbgOptNoPrefix);

  const DbgRangeSpec negative = Parse("-5 -3-10");
  ASSERT_EQ(negative.rangeCount, 1);
  EXPECT_EQ(negative.ranges[0].low, 0);
  EXPECT_EQ(negative.ranges[0].high, 10);
  EXPECT_EQ(negative.options, 0u);
}

TEST(DbgRanges, TwentyFirstRangeAndEverythingAfterItIsIgnored) {
  std::string text;
  for (int i = 1; i <= 21; ++i) text += std::to_string(i) + ",";
  text += "ID:late";
  const DbgRangeSpec spec = Parse(text.c_str());
  ASSERT_EQ(spec.rangeCount, kDbgMaxRanges);
  EXPECT_EQ(spec.ranges[19].low, 20);
  EXPECT_FALSE(spec.hasId);
}

TEST(DbgRanges, CircularLimits) {
  EXPECT_EQ(Parse("1 C:1").circularLimit, 4096);
  EXPECT_EQ(Parse("1 C").circularLimit, 1048576);
  EXPECT_EQ(Parse("1 c:8").circularLimit, 8192);
  EXPECT_EQ(Parse("1 C:0").circularLimit, 0);
  EXPECT_EQ(Parse("1 C:-4").circularLimit, 0);
  EXPECT_EQ(Parse("1 C:99999999999999999999").circularLimit, INT64_MAX);
}

TEST(DbgRanges, TimeModeAndIgnoredWords) {
  EXPECT_EQ(Parse("1 T:1000").timeMode, 1000);
  EXPECT_EQ(Parse("1 t:0").timeMode, 0);
  EXPECT_EQ(Parse("1 T:5").timeMode, 1);
  const DbgRangeSpec spec = Parse("U U:7 hello 3");
  ASSERT_EQ(spec.rangeCount, 1);
  EXPECT_EQ(spec.ranges[0].low, 3);
  // Keywords chain inside one token.
  const DbgRangeSpec chained = Parse("C:8T:0");
  EXPECT_EQ(chained.circularLimit, 8192);
  EXPECT_EQ(chained.timeMode, 0);
  const DbgRangeSpec bare = Parse("1 cT:1000");
  EXPECT_EQ(bare.circularLimit, 1048576);
  EXPECT_EQ(bare.timeMode, 1000);
  // A word that merely begins with a keyword letter switches nothing on.
  EXPECT_EQ(Parse("1 Copy").circularLimit, 0);
  EXPECT_EQ(Parse("1 Tu").timeMode, 1);
}

TEST(DbgRanges, IdAndSessionTakeTheRestOfTheToken) {
  const DbgRangeSpec spec = Parse("1 id:cluster/a SESSION:2024/05/01-0007");
  EXPECT_TRUE(spec.hasId);
  EXPECT_STREQ(spec.debugId, "cluster/a");
  EXPECT_TRUE(spec.hasSession);
  EXPECT_STREQ(spec.sessionId, "2024-05-01-0007");
  // An id that begins like a keyword switches nothing on.
  EXPECT_EQ(spec.circularLimit, 0);
  EXPECT_EQ(Parse("1 ID:T:0").timeMode, 1);
  EXPECT_FALSE(Parse("1 ID:").hasId);

  const std::string longId = "ID:" + std::string(600, 'x');
  EXPECT_EQ(std::strlen(Parse(longId.c_str()).debugId), static_cast<size_t>(kDbgWordMax - 1));
}

TEST(DbgRanges, InitializeAppendsTheProcessIdWhenNoIdWasGiven) {
  DbgStreamRecord record{};
  EXPECT_EQ(DbgInitializeRanges(&record, "1-99,500"), 2);
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(std::string(record.rangesText), "1-99,500,ID:" + pid);
  EXPECT_EQ(std::string(record.debugId), pid);
  EXPECT_EQ(record.ranges[2].low, -1);

  EXPECT_EQ(DbgInitializeRanges(&record, "7 ID:job"), 1);
  EXPECT_STREQ(record.rangesText, "7 ID:job");
  EXPECT_STREQ(record.debugId, "job");

  // Parsing the record's own text again is safe.
  EXPECT_EQ(DbgInitializeRanges(&record, record.rangesText), 1);
  EXPECT_STREQ(record.rangesText, "7 ID:job");
}

TEST(DbgParseStr, SplitsOptionalDebugWordAndThreeWords) {
  char ranges[kDbgTextMax];
  char postfix[kDbgWordMax];
  char select[kDbgWordMax];
  EXPECT_EQ(DbgParseStr("-DEBUG 1-10 pf host1", ranges, postfix, select), 3);
  EXPECT_STREQ(ranges, "1-10");
  EXPECT_STREQ(postfix, "pf");
  EXPECT_STREQ(select, "host1");

  EXPECT_EQ(DbgParseStr("'1-10,20 pf'", ranges, postfix, select), 2);
  EXPECT_STREQ(ranges, "1-10,20");
  EXPECT_STREQ(postfix, "pf");
  EXPECT_STREQ(select, "");

  EXPECT_EQ(DbgParseStr("\"1 2\" pf", ranges, postfix, select), 2);
  EXPECT_STREQ(ranges, "1 2");

  EXPECT_EQ(DbgParseStr(nullptr, ranges, postfix, select), 0);
  EXPECT_STREQ(ranges, "");

  const std::string huge = std::string(3000, '1') + " " + std::string(400, 'p');
  DbgParseStr(huge.c_str(), ranges, postfix, select);
  EXPECT_EQ(std::strlen(ranges), static_cast<size_t>(kDbgTextMax - 1));
  EXPECT_EQ(std::strlen(postfix), static_cast<size_t>(kDbgWordMax - 1));
}

TEST(DbgSelected, HostProgramOrBoth) {
  EXPECT_TRUE(DbgSelected("", "kestrel", "h1"));
  EXPECT_TRUE(DbgSelected(nullptr, "kestrel", "h1"));
  EXPECT_TRUE(DbgSelected("other,h1", "kestrel", "h1"));
  EXPECT_TRUE(DbgSelected("plover kestrel", "kestrel", "h1"));
  EXPECT_TRUE(DbgSelected("kestrel@h1", "kestrel", "h1"));
  EXPECT_FALSE(DbgSelected("plover@h1", "kestrel", "h1"));
  EXPECT_FALSE(DbgSelected("kestrel@h2", "kestrel", "h1"));
  EXPECT_FALSE(DbgSelected("h2 plover", "kestrel", "h1"));
}

TEST(GetFileFromRcsId, PathAndRevision) {
  EXPECT_STREQ(Get_FILE_from_rcsId("$Source: /src/lib/cmn/ctx.cpp 1.0 $"), "lib/cmn/ctx.cpp 1.0");
  EXPECT_STREQ(Get_FILE_from_rcsId("$Header: /FENsrc/x.c 2.1 user $"), "src/x.c 2.1");
  EXPECT_STREQ(Get_FILE_from_rcsId("$Id: a.c 1.1 $"), "a.c 1.1");
  EXPECT_STREQ(Get_FILE_from_rcsId("$Id: onlyone"), "onlyone");
  EXPECT_STREQ(Get_FILE_from_rcsId("$Id:none"), "$Id:none");
  EXPECT_STREQ(Get_FILE_from_rcsId("plain.cpp"), "plain.cpp");
  EXPECT_STREQ(Get_FILE_from_rcsId(nullptr), "");
  const std::string huge = "$Source: /src/" + std::string(2000, 'a');
  EXPECT_EQ(std::strlen(Get_FILE_from_rcsId(huge.c_str())), 510u);
}

int Format(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = DbgVsnprintf(buffer, size, format, args);
  va_end(args);
  return n;
}

TEST(DbgFormat, RefusesWritingConversionsAndStaysBounded) {
  char buffer[16];
  int sink = 0;
  const char* writing = "x%n";  // not a literal at the call: format checking would refuse it
  Format(buffer, sizeof buffer, writing, &sink);
  EXPECT_STREQ(buffer, "x%n");
  EXPECT_EQ(sink, 0);
  const char* positional = "%1$hhn";
  Format(buffer, sizeof buffer, positional, &sink);
  EXPECT_STREQ(buffer, "%1$hhn");
  Format(buffer, sizeof buffer, nullptr);
  EXPECT_STREQ(buffer, "(null)");

  EXPECT_EQ(Format(buffer, sizeof buffer, "%s", "0123456789abcdefghij"), 20);
  EXPECT_STREQ(buffer, "0123456789abcde");
  EXPECT_TRUE(DbgFormatIsSafe("100%% sure %d %-5s %.*f"));
  EXPECT_FALSE(DbgFormatIsSafe("%ln"));
}

}  // namespace
