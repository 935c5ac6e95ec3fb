// Keyword-line parser: fields by format, abbreviations, quoting, numbers,
// scrambled values, rendering and merging.
#include "gen_parser/genparser.h"

#include <string>

#include "cmn/ctx.h"
#include "genparser_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/parse/gen_parser/test/genparser_test.cpp");

namespace {

using genparsertest::List;
using genparsertest::Parse;

std::string Text(char* heap) {
  return tarn::test::TakeText<[](char* p) { safe_free(p, TARN_HERE); }>(heap);
}

constexpr char kCellFormat[] =
    "-key host -desc \"client host\"\n"
    "-key virt[ual -flags 0x80000000\n"
    "-key clus[ter\n"
    "-key pass -flags 0x20000000\n";

TEST(GenParser, FieldsOfALineFollowTheTableAndCollectTheirValues) {
  List list = Parse(kCellFormat, "-virtual beta gamma -nothere x -host alpha\n\r\n-clus c1");
  ASSERT_TRUE(list);
  const PLNode* line = list->first;
  // Fields sit in table order whatever the text's order.
  EXPECT_EQ(line->key, "host");
  EXPECT_STREQ(PLGetValue(line, "host"), "alpha");
  // A dash word that names no key is value text.
  EXPECT_STREQ(PLGetValue(line, "virtual"), "beta gamma -nothere x");
  EXPECT_EQ(PLGetValue(line, "clus"), nullptr);
  ASSERT_NE(line->nextLine, nullptr);
  EXPECT_STREQ(PLGetValue(line->nextLine, "CLUS"), "c1");
  EXPECT_EQ(line->nextLine->nextLine, nullptr);
  EXPECT_EQ(PLCountLines(list.get()), 2);
}

TEST(GenParser, AbbreviationsStopAtTheBracket) {
  struct Case {
    const char* word;
    bool match;
  } cases[] = {{"virt", true}, {"VIRTU", true}, {"virtual", true}, {"vir", false},
               {"virtuals", false}, {"", false}};
  for (const Case& c : cases) EXPECT_EQ(PLKeyMatch(c.word, "virt[ual"), c.match) << c.word;
  EXPECT_TRUE(PLKeyMatch("host", "host"));
  EXPECT_FALSE(PLKeyMatch("hos", "host"));
}

TEST(GenParser, NumbersReadHexBinaryAndDecimal) {
  struct Case {
    const char* text;
    bool ok;
    long long value;
  } cases[] = {{"010", true, 2},   {"0x10", true, 16}, {"12", true, 12},  {"12a", false, 0},
               {"0", true, 0},     {"0x", false, 0},   {"019", false, 0}, {"", false, 0},
               {"-3", true, -3}};
  for (const Case& c : cases) {
    long long v = -99;
    EXPECT_EQ(PLReadNumber(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(GenParser, QuotesMakeOneTokenAndTwoQuotesAnEmptyOne) {
  List list = Parse(kCellFormat, "-host \"a  b\" -clus \"\" -virt \"-host\"");
  ASSERT_TRUE(list);
  EXPECT_STREQ(PLGetValue(list->first, "host"), "a  b");
  EXPECT_STREQ(PLGetValue(list->first, "clus"), "");
  // A quoted dash word is a value, never a key.
  EXPECT_STREQ(PLGetValue(list->first, "virt"), "-host");
}

TEST(GenParser, ScrambleRoundTripsAndRefusesForeignText) {
  for (const char* text : {"", "a", "aA", "secret pass", "~~~", "\x7f\x01zZ", "\xff\xfe\x80"}) {
    std::string scrambled = Text(PLEncode(text));
    for (char c : scrambled) EXPECT_TRUE(c >= '#' && c <= '~') << text;
    EXPECT_EQ(Text(PLDecode(scrambled.c_str())), text);
  }
  // Literal form: "ab" -> 'a'^0x20^'b' = 0x23, then ('b'^0x40)^0x23 = 0x01.
  EXPECT_EQ(Text(PLEncode("ab")), "F$");
  EXPECT_EQ(Text(PLDecode("~#")), "[");  // 91 + 0
  for (const char* bad : {"~", "abc\x01", "~~~~#", " "})
    EXPECT_EQ(Text(PLDecode(bad)), "<null>") << bad;
}

TEST(GenParser, RendersWithQuotingRulesAndScrambledValues) {
  // Scrambled values are read plain and written scrambled again.
  const std::string pass = Text(PLEncode("top secret"));
  List list = Parse(kCellFormat,
                    ("-clus c -pass " + pass + " -virtual v -host \"h 1\"\n-host x").c_str());
  ASSERT_TRUE(list);
  EXPECT_STREQ(PLGetValue(list->first, "pass"), "top secret");
  char* out = nullptr;
  ASSERT_EQ(PLGetBufferFromList(list.get(), &out), 1);
  EXPECT_EQ(Text(out), "-host \"h 1\" -virt \"v\" -clus c -pass " + pass + "\n-host x");
}

TEST(GenParser, UnicodeMarkIsSkippedAndWrittenBack) {
  List list = Parse(kCellFormat, "\xFE\xFF-host u");
  ASSERT_TRUE(list);
  EXPECT_NE(list->flags & kPLListUnicode, 0u);
  EXPECT_STREQ(PLGetValue(list->first, "host"), "u");
  char* out = nullptr;
  ASSERT_EQ(PLGetBufferFromList(list.get(), &out), 1);
  EXPECT_EQ(Text(out), "\xFE\xFF-host u");
}

TEST(GenParser, NothingToParseGivesNoList) {
  EXPECT_FALSE(Parse(kCellFormat, ""));
  EXPECT_FALSE(Parse(kCellFormat, "no fields here\n"));
  EXPECT_FALSE(Parse("-desc nokey\n", "-host a"));
  EXPECT_FALSE(Parse(nullptr, "-host a"));
  EXPECT_FALSE(Parse(kCellFormat, nullptr));
}

TEST(GenParser, MergeAddsFieldsChangesValuesAndAppendsLines) {
  char* out = nullptr;
  const int changes = PLMergeFormatFiles("-key host -desc old\n-key pool",
                                         "-key host -desc new -flags 1\n-key mail", &out);
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(Text(out), "-key host -desc new -flags 1\n-key pool\n-key mail");
  EXPECT_EQ(PLMergeFormatFiles("", "-key a", &out), 0);
  EXPECT_EQ(Text(out), "-key a");
  EXPECT_EQ(PLMergeFormatFiles("", "", &out), -1);
  EXPECT_EQ(out, nullptr);
}

TEST(GenParser, EditingKeepsLinesLinked) {
  List list = Parse(kCellFormat, "-host a\n-host b -clus c\n-host d");
  ASSERT_TRUE(list);
  PLNode* second = PLFindLine(list.get(), "b");
  ASSERT_NE(second, nullptr);
  // A field that sorts first takes over the line's links.
  PLRemoveField(list.get(), PLFindField(second, "host"));
  PLNode* head = PLFindLineWithField(list.get(), "clus");
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->prevLine, list->first);
  EXPECT_NE(PLSetValue(list.get(), head, "host", "b2"), nullptr);
  head = PLFindLine(list.get(), "b2");
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->key, "host");
  EXPECT_EQ(list->first->nextLine, head);
  EXPECT_EQ(PLSetValue(list.get(), head, "unknown", "x"), nullptr);
  PLRemoveLine(list.get(), list->first);
  EXPECT_EQ(PLCountLines(list.get()), 2);
  EXPECT_EQ(PLCountLinesWithField(list.get(), "clus"), 1);
  EXPECT_EQ(PLGetFlags(list.get(), 1), kPLFlagAlwaysQuote);
  EXPECT_EQ(PLGetFlags(list.get(), 9), 0u);
}

}  // namespace
