// File-name patterns, argument vectors and the reader of argument texts, and
// console output of any length.
#include <cstdio>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/cmntext_test.cpp");

namespace {

std::vector<std::string> Items(const ArgvVec& v) {
  std::vector<std::string> out;
  for (int i = 0; i < v.count; ++i) out.emplace_back(v.items[i]);
  return out;
}

TEST(FnmTest, StarsQuestionMarksAndPathMode) {
  EXPECT_EQ(FnmFilenameMatch("*.log", "a/b.log", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("*.log", "a/b.log", kFnmPathname), 0);
  EXPECT_EQ(FnmFilenameMatch("*/*.log", "a/b.log", kFnmPathname), 1);
  EXPECT_EQ(FnmFilenameMatch("a/*", "a/b/c", kFnmPathname), 0);
  EXPECT_EQ(FnmFilenameMatch("a/*", "a/b/c", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("a?c", "a/c", kFnmPathname), 0);
  EXPECT_EQ(FnmFilenameMatch("a?c", "abc", kFnmPathname), 1);
  EXPECT_EQ(FnmFilenameMatch("*", "", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("", "", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("", "x", 0), 0);
  EXPECT_EQ(FnmFilenameMatch("?", "", 0), 0);
  EXPECT_EQ(FnmFilenameMatch("**a*b", "xxaxxbb", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("*a*b", "xxaxxc", 0), 0);
  EXPECT_EQ(FnmFilenameMatch(nullptr, nullptr, 0), 1);
}

TEST(FnmTest, SetsRangesAndCase) {
  EXPECT_EQ(FnmFilenameMatch("[a-c]x", "bx", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("[a-c]x", "dx", 0), 0);
  EXPECT_EQ(FnmFilenameMatch("[!a-c]x", "dx", 0), 1);
  EXPECT_EQ(FnmFilenameMatch("[a-]", "-", 0), 1);  // "-" before "]" is literal
  EXPECT_EQ(FnmFilenameMatch("[ab", "a", 0), 0);   // an unclosed set never matches
  EXPECT_EQ(FnmFilenameMatch("[/]", "/", kFnmPathname), 0);
  EXPECT_EQ(FnmFilenameMatch("[ab]", "[ab]", kFnmNoEscape), 1);
  EXPECT_EQ(FnmFilenameMatch("[ab]", "a", kFnmNoEscape), 0);
  EXPECT_EQ(FnmFilenameMatch("DB2*.LOG", "db2_s0001.log", kFnmCaseFold), 1);
  EXPECT_EQ(FnmFilenameMatch("[A-C]", "b", kFnmCaseFold), 1);
  EXPECT_EQ(FnmFilenameMatch("[!a]", "A", kFnmCaseFold), 0);
  EXPECT_EQ(FnmFilenameMatch("DB2*", "db2", kFnmCaseFold | kFnmCaseExact), 0);
  EXPECT_NE(RangeMatch("a-c]rest", 'b'), nullptr);
  EXPECT_STREQ(RangeMatch("a-c]rest", 'b'), "rest");
  EXPECT_EQ(RangeMatch("a-c", 'b'), nullptr);
}

TEST(FnmTest, ManyStarsStayFast) {
  const std::string name(5000, 'a');
  const std::string pattern = std::string(40, '*') + "a*a*a*a*a*a*a*a*a*a*a*b";
  EXPECT_EQ(FnmFilenameMatch(pattern.c_str(), name.c_str(), 0), 0);
}

TEST(ArgvTest, GrowInsertAndFree) {
  ArgvVec v;
  ASSERT_EQ(ArgvInit(&v, 1), 0);
  EXPECT_EQ(ArgvAdds(&v, "b", "d", static_cast<const char*>(nullptr)), 2);
  EXPECT_EQ(ArgvInsert(&v, "a", 0), 0);
  EXPECT_EQ(ArgvInsert(&v, "c", 2), 0);
  EXPECT_EQ(ArgvInsert(&v, "x", 9), 0);   // ignored
  EXPECT_EQ(ArgvInsert(&v, "x", -1), 0);  // ignored
  EXPECT_EQ(Items(v), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(v.items[v.count], nullptr);
  for (int i = 0; i < 120; ++i) ASSERT_EQ(ArgvAdd(&v, std::to_string(i).c_str()), 0);
  EXPECT_EQ(v.count, 124);
  EXPECT_GE(v.capacity, 124);
  EXPECT_EQ(v.items[v.count], nullptr);
  EXPECT_STREQ(v.items[123], "119");
  ArgvFree(&v);
  EXPECT_EQ(v.count, 0);
  EXPECT_EQ(v.items, nullptr);
}

TEST(ArgvTest, ReadWordsQuotesCommentsAndEscapes) {
  ArgvVec v;
  ASSERT_EQ(ArgvInit(&v, 0), 0);
  EXPECT_EQ(ArgvReadFromBuffer(&v, "a \"b c\" #x\nd"), 3);
  EXPECT_EQ(Items(v), (std::vector<std::string>{"a", "b c", "d"}));
  ArgvFree(&v);

  ArgvInit(&v, 0);
  // Escaped quotes and newlines stay alone, other escapes keep the backslash;
  // either quote ends a quoted word; a newline ends it unconsumed.
  EXPECT_EQ(ArgvReadFromBuffer(&v, "'it\\'s' \"x\\ty\" 'mixed\" tail \"open\nnext \"\" end\\"), 7);
  EXPECT_EQ(Items(v),
            (std::vector<std::string>{"it's", "x\\ty", "mixed", "tail", "open", "next", "end\\"}));
  ArgvFree(&v);

  ArgvInit(&v, 0);
  EXPECT_EQ(ArgvReadFromBuffer(&v, "\"ends here\\"), 1);
  EXPECT_EQ(Items(v), std::vector<std::string>{"ends here"});
  ArgvFree(&v);
}

TEST(ArgvTest, LongWords) {
  ArgvVec v;
  ArgvInit(&v, 0);
  const std::string plain(2100, 'p');
  const std::string quoted = "\"" + std::string(3000, 'q') + "\"";
  EXPECT_EQ(ArgvReadFromBuffer(&v, (plain + " " + quoted).c_str()), 4);
  ASSERT_EQ(v.count, 4);
  EXPECT_EQ(std::string(v.items[0]).size(), 1022u);
  EXPECT_EQ(std::string(v.items[1]).size(), 1022u);
  EXPECT_EQ(std::string(v.items[2]).size(), 56u);
  EXPECT_EQ(std::string(v.items[3]), std::string(3000, 'q'));  // a quoted word is never cut
  ArgvFree(&v);
}

TEST(ConsoleTest, AnyLengthIsWrittenWhole) {
  tarn::test::TempDir dir;
  const std::string path = dir.path() + "/out";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  const std::string big(10000, 'w');
  EXPECT_EQ(FPrintf(f, "%s|%d\n", big.c_str(), 42), 10004);
  EXPECT_EQ(FPrintPartial(f, "part"), 4);
  EXPECT_EQ(FPrint(f, "!"), 1);
  std::fclose(f);
  EXPECT_EQ(tarn::test::ReadFile(path), big + "|42\npart!");
  EXPECT_EQ(FPrint(nullptr, "x"), -1);
  EXPECT_EQ(SetConType(3), 0);
  EXPECT_EQ(GetConType(), 3);
  EXPECT_EQ(SetConType(0), 3);
}

}  // namespace
