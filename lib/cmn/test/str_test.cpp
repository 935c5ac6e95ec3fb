// Strings: copying limits, tokenizing, argument splitting, numbers, paths,
// URL and hex texts, expansion, times and the identity texts.
#include "cmn/str.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/str_test.cpp");

namespace {

using cmntest::Take;

std::vector<std::string> Args(const char* prog, const char* line, int mode) {
  int argc = -1;
  char** argv = nullptr;
  EXPECT_EQ(StrToArgEx(prog, line, &argc, &argv, mode), 0);
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i) out.emplace_back(argv[i]);
  EXPECT_EQ(argv[argc], nullptr);
  FreeStrToArg(&argc, &argv);
  EXPECT_EQ(argc, 0);
  EXPECT_EQ(argv, nullptr);
  return out;
}

TEST(StrCopy, CopiesAreCutAndAlwaysTerminated) {
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_STREQ(StrCopy(buf, "abcdefghij", 5), "abcde");
  EXPECT_STREQ(StrCopy(buf, nullptr, 5), "");
  EXPECT_STREQ(StrNCopy(buf, "abcdef", 4, 2), "ab");

  // StrCatNS never lets the text grow past n characters, whatever is in dst.
  char cat[8] = "abcde";
  std::memset(cat + 6, 'X', 2);
  EXPECT_STREQ(StrCatNS(cat, "123456", 6), "abcde1");
  EXPECT_EQ(cat[7], 'X');
}

TEST(StrCopy, CatExKeepsTheEndAndCountsWhatWasCut) {
  char buf[8] = "";
  char* end = nullptr;
  EXPECT_EQ(StrCatEx(buf, "abc", sizeof buf, &end), 5);
  EXPECT_EQ(StrCatEx(buf, "defg", sizeof buf, &end), 1);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(StrCatEx(buf, "hi", sizeof buf, &end), -1);
  EXPECT_EQ(StrCatEx(buf, "j", sizeof buf, &end), -2);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(StrCatEx(nullptr, "x", 4, nullptr), -1);

  char cut[4] = "";
  EXPECT_EQ(StrCatEx(cut, "abcdef", sizeof cut, nullptr), -2);
  EXPECT_STREQ(cut, "abc");
}

TEST(StrCopy, HeapCopiesAndAppends) {
  EXPECT_EQ(Take(StrNewCopy(nullptr)), "");
  EXPECT_EQ(StrNullCopyA(nullptr), nullptr);
  EXPECT_EQ(Take(StrNNewCopy("abcdef", 3)), "abc");
  char* grown = StrAppendM(nullptr, "ab");
  grown = StrAppendM(grown, "cd");
  EXPECT_EQ(Take(grown), "abcd");
  EXPECT_STREQ(StrTail("abcdef", 2), "ef");
  EXPECT_STREQ(StrTail("ab", 5), "ab");
  EXPECT_STREQ(StrFromInt(-42), "-42");

  CmnBuffer b{};
  ASSERT_EQ(CmnBufferRealloc(&b, 3), 0);
  std::memcpy(b.data, "abc", 3);
  ASSERT_EQ(CmnBufferRealloc(&b, 10), 0);
  EXPECT_STREQ(b.data, "abc");
  EXPECT_EQ(b.data[10], '\0');
  CmnBufferFree(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.capacity, 0u);
}

TEST(StrTokR, SkipsDelimitersAndEndsWithAnEmptyToken) {
  char text[] = ",a,,b,";
  char* save = nullptr;
  EXPECT_STREQ(StrTokR(text, ",", &save), "a");
  EXPECT_STREQ(StrTokR(nullptr, ",", &save), "b");
  EXPECT_STREQ(StrTokR(nullptr, ",", &save), "");
  EXPECT_EQ(save, nullptr);
  EXPECT_EQ(StrTokR(nullptr, ",", &save), nullptr);
  EXPECT_EQ(StrTokR(text, nullptr, &save), nullptr);
  EXPECT_EQ(StrTokR(text, ",", nullptr), nullptr);
}

TEST(StrTrim, TrimsWhiteSpaceAndQuotes) {
  EXPECT_EQ(Take(StrCutSpaces(" \t a b \r\n")), "a b");
  EXPECT_EQ(Take(StrCutLeadingSpaces("  a ")), "a ");
  EXPECT_EQ(Take(StrCutTrailingSpaces("  a ")), "  a");
  EXPECT_EQ(StrCutSpaces(" \t\n"), nullptr);
  char inPlace[] = "  x y \n";
  EXPECT_STREQ(StrCutSpacesInPlace(inPlace), "x y");
  char line[] = "text\r\n\n";
  EXPECT_STREQ(StrCutNewLine(line), "text");

  // Every result is the start of its own block (freed inside Take).
  EXPECT_EQ(Take(StrTrimQuotes("\"quoted\"")), "quoted");
  EXPECT_EQ(Take(StrTrimQuotes("'single'")), "single");
  EXPECT_EQ(Take(StrTrimQuotes("\"mixed'")), "\"mixed'");
  EXPECT_EQ(Take(StrTrimQuotes("\"")), "\"");
  EXPECT_EQ(Take(StrTrimQuotes("\"\"")), "");
  EXPECT_EQ(Take(StrDuplicateQuotes("it's 'x'", '\'')), "it''s ''x''");
}

TEST(StrNumbers, ScanOnlyWhatFitsTheType) {
  int value = 7;
  int count = -1;
  EXPECT_EQ(StrAtoi(" -42x", &value, &count), 1);
  EXPECT_EQ(value, -42);
  EXPECT_EQ(count, 1);
  value = 7;
  EXPECT_EQ(StrAtoi("99999999999", &value, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(StrAtoi("abc", &value, nullptr), 0);

  uint32_t u = 0;
  EXPECT_EQ(StrAtoULONG("4294967295", &u, nullptr), 1);
  EXPECT_EQ(u, 4294967295u);
  EXPECT_EQ(StrAtoULONG("-1", &u, nullptr), 0);
  EXPECT_EQ(StrAtoULONG("4294967296", &u, nullptr), 0);

  int64_t big = 0;
  EXPECT_EQ(StrAtoOFF_T64("-9223372036854775808", &big, nullptr), 1);
  EXPECT_EQ(big, INT64_MIN);
  EXPECT_EQ(StrLowHighToOFF_T64("5", "1", &big, &count), 2);
  EXPECT_EQ(big, (int64_t{1} << 32) + 5);
  EXPECT_STREQ(StrFromLowHighStr("4294967295", "1"), "8589934591");

  void* addr = nullptr;
  EXPECT_EQ(StrAtoAddr("0x1f", &addr, nullptr), 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(addr), 0x1fu);
}

TEST(StrNumbers, BooleanWordsAndNumbers) {
  struct Case {
    const char* text;
    int converted;
    int value;
  } cases[] = {{"yes", 1, 1}, {"ON", 1, 1},    {"True", 1, 1}, {"", 1, 1},    {"off", 1, 0},
               {"No", 1, 0},  {"false", 1, 0}, {"17", 1, 17},  {"-3", 1, -3}, {"maybe", 0, 99}};
  for (const Case& c : cases) {
    int value = 99;
    int count = -1;
    EXPECT_EQ(StrAtoBool(c.text, &value, &count), c.converted) << c.text;
    EXPECT_EQ(count, c.converted) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  int value = 99;
  EXPECT_EQ(StrAtoBool(nullptr, &value, nullptr), 0);
  EXPECT_EQ(value, 99);
}

TEST(StrNumbers, VersionsAndSizes) {
  int f[4];
  Decompose_VEK_Version_String(f, "A.06.20");
  EXPECT_EQ(f[0], 6);
  EXPECT_EQ(f[1], 20);
  EXPECT_EQ(f[2], 'Z');
  EXPECT_EQ(f[3], 0);
  Decompose_VEK_Version_String(f, "6.2.B12");
  EXPECT_EQ(f[2], 'B');
  EXPECT_EQ(f[3], 12);
  EXPECT_EQ(VEK_higher_version("A.06.20", "A.06.11"), 1);
  EXPECT_EQ(VEK_higher_version("6.2.A1", "6.2.B1"), -1);
  EXPECT_EQ(VEK_higher_version("A.01.00", "A.01.00"), 0);

  double v = 3.0 * 1024 * 1024;
  int unit = 0;
  CmnScaleDoubleSize(&v, &unit, -1, 4);
  EXPECT_DOUBLE_EQ(v, 3.0);
  EXPECT_EQ(unit, 2);
  v = 512;
  unit = 0;
  CmnScaleDoubleSize(&v, &unit, 2, -1);
  EXPECT_EQ(unit, 2);
  EXPECT_DOUBLE_EQ(v, 0.01);
}

TEST(StrArgs, SplitsQuotedWordsAndKeepsDoubledQuotes) {
  EXPECT_EQ(Args("prog", "  one \"two three\" 'it''s' \"a\"\"b\"  ", 0),
            (std::vector<std::string>{"prog", "one", "two three", "it''s", "a\"\"b"}));
  EXPECT_EQ(Args("prog", "\"a\"b 'open rest", 1),
            (std::vector<std::string>{"a", "b", "open rest"}));
  EXPECT_EQ(Args("prog", nullptr, 0), (std::vector<std::string>{"prog"}));
  EXPECT_EQ(Args(nullptr, "", 1), (std::vector<std::string>{}));
}

TEST(StrHost, DefaultModeFoldsOnlyShortNames) {
  EXPECT_EQ(HostStrCmp("Client1.Example", "client1.example"), 0);
  EXPECT_EQ(HostStrCmp(nullptr, ""), 0);
  const std::string longA = "A" + std::string(64, 'x');
  const std::string longB = "a" + std::string(64, 'x');
  EXPECT_NE(HostStrCmp(longA.c_str(), longB.c_str()), 0);
  char out[8];
  EXPECT_EQ(HostToLower(out, "AbC", 7), 3);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(HostToLower(out, "ABCDEFGHIJ", 7), 0);
  EXPECT_STREQ(out, "abcdefg");
  EXPECT_EQ(StrCmpCmdName("/opt/tarn/bin/KESTREL", "kestrel"), 0);
  EXPECT_EQ(StrCmpCmdName("/opt/kestrel/x", "kestrel"), -1);
}

// The mode is read once per process, so each mode is tried in a freshly
// started copy of this program that runs only the probe below.
TEST(StrHost, ModeComesFromTheEnvironment) {
  auto compare = [](const char* mode) {
    return tarn::test::RunInChild([mode] {
      setenv("VEK_HOSTCMPINSENSITIVE", mode, 1);
      setenv("TARN_T_HOSTPROBE", "1", 1);
      execl("/proc/self/exe", "str_test", "--gtest_filter=StrHostProbe.*", nullptr);
      return 99;
    });
  };
  EXPECT_EQ(WEXITSTATUS(compare("0")), 1);
  EXPECT_EQ(WEXITSTATUS(compare("1")), 0);
  EXPECT_EQ(WEXITSTATUS(compare("2")), 0);
}

// Started by ModeComesFromTheEnvironment in a fresh process, it ends that
// process with the comparison's result; in the suite's own process the mode
// is the default one, which folds short names.
TEST(StrHostProbe, FoldsShortNamesInTheModeInForce) {
  const int different = HostStrCmp("HostA", "hosta") == 0 ? 0 : 1;
  if (std::getenv("TARN_T_HOSTPROBE") != nullptr) std::_Exit(different);
  EXPECT_EQ(different, 0);
}

TEST(StrPath, CleansSeparatorsByOptions) {
  char buf[kStrPathMax + 1];
  EXPECT_STREQ(StrCleanPathnameR("//a\\b/", '/', buf), "/a/b");
  EXPECT_STREQ(StrCleanPathnameR("/", '/', buf), "/");
  EXPECT_STREQ(StrCleanPathnameR(nullptr, '/', buf), "");
  EXPECT_STREQ(StrCleanPathnameExR("a\\\\b//c/", 0, buf), "a\\\\b/c");
  EXPECT_STREQ(StrCleanPathnameExR("a\\\\b//c/", 2, buf), "a/b/c");
  EXPECT_STREQ(StrCleanPathnameExR("\\\\srv\\share\\", 1 | 2 | 8, buf), "\\\\srv\\share");
  EXPECT_STREQ(StrCleanPathnameExR("//srv//x", 1, buf), "//srv/x");
  EXPECT_STREQ(StrCleanPathnameExR("a\\b/c", 4, buf), "a/b/c");
  EXPECT_STREQ(StrCleanPathnameExR("a/b\\c", 4, buf), "a/b\\c");

  const std::string longPath(2000, 'a');
  EXPECT_EQ(std::strlen(StrCleanPathnameR(longPath.c_str(), '/', buf)), kStrPathMax);
}

TEST(StrPath, NamesOfDirectoriesAndFiles) {
  char buf[kStrPathMax];
  EXPECT_STREQ(StrDirnameR("/a/b/c", buf), "/a/b");
  EXPECT_STREQ(StrDirnameR("/a", buf), "/");
  EXPECT_EQ(StrDirnameR("a", buf), nullptr);
  EXPECT_STREQ(StrBasename("/a/b.c"), "b.c");
  EXPECT_STREQ(StrBasename("b"), "b");
  EXPECT_STREQ(StrExtname("/x/a.tar.gz"), "gz");
  EXPECT_EQ(StrExtname("/x.d/file"), nullptr);

  EXPECT_STREQ(FindForbiddenFnmChar("ab:c/d", 0), ":c/d");
  EXPECT_STREQ(FindForbiddenFnmChar("ab:c/d", 1), "/d");
  EXPECT_EQ(FindForbiddenFnmChar("a+b&c", 0), nullptr);
  EXPECT_STREQ(FindForbiddenFnmChar("a+b&c", 2), "+b&c");
  char name[] = "a/b\\c:d*e?f\"g<h>i|j\x01k";
  EXPECT_STREQ(ReplaceForbiddenFnmChars(name, '~'), "a~b~c~d~e~f~g~h~i~j~k");
  char name2[] = "x:y";
  EXPECT_STREQ(ReplaceForbiddenFnmChars(name2, 0), "x_y");
}

TEST(StrCode, HexIsTerminatedAndBounded) {
  const unsigned char bytes[] = {0x00, 0x0A, 0xFF};
  char dst[8];
  std::memset(dst, 'X', sizeof dst);
  EXPECT_EQ(StrBytesToHex(bytes, 3, dst, 7), 0);
  EXPECT_STREQ(dst, "000AFF");
  EXPECT_EQ(StrBytesToHex(bytes, 3, dst, 6), -1);
  EXPECT_EQ(StrBytesToHex(bytes, 0, dst, 8), -1);
  EXPECT_STREQ(dst, "");

  unsigned char out[4] = {};
  size_t count = 99;
  EXPECT_EQ(StrHexToBytes("0aFf10", out, 2, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(StrHexToBytes("0g", out, 4, &count), -1);
  EXPECT_EQ(StrHexToBytes("abc", out, 4, &count), -1);
  EXPECT_EQ(count, 1u);
}

TEST(StrCode, UrlEscapesTenCharactersAndComesBack) {
  EXPECT_STREQ(StrToUrl("a/b%c"), "a%2Fb%%c");
  EXPECT_STREQ(StrToUrl("\"*/:<>?\\|%"), "%22%2A%2F%3A%3C%3E%3F%5C%7C%%");
  EXPECT_STREQ(StrToUrl("h\xc3\xa9 x"), "h\xc3\xa9 x");
  EXPECT_STREQ(StrToUrl(""), "");
  EXPECT_EQ(StrToUrl(nullptr), nullptr);

  EXPECT_STREQ(StrFromUrl("a%2Fb%%c"), "a/b%c");
  EXPECT_STREQ(StrFromUrl("%22%2a%7C"), "\"*|");
  EXPECT_STREQ(StrFromUrl("end%4"), "end%4");
  EXPECT_STREQ(StrFromUrl("end%"), "end%");
  EXPECT_STREQ(StrFromUrl("end%%"), "end%");
  EXPECT_STREQ(StrFromUrl(StrToUrl("100%")), "100%");
  EXPECT_EQ(StrFromUrl("bad%zz"), nullptr);

  const std::string longText(5000, '/');
  EXPECT_EQ(std::strlen(StrToUrl(longText.c_str())), 15000u);
}

TEST(StrCode, UuencodeRoundTrip) {
  char* enc = nullptr;
  ASSERT_EQ(uuencode("abc", &enc), 0);
  EXPECT_STREQ(enc, "86)C");
  char* dec = nullptr;
  ASSERT_EQ(uudecode(enc, &dec), 0);
  EXPECT_STREQ(dec, "abc");
  safe_free(dec, TARN_HERE);
  safe_free(enc, TARN_HERE);

  ASSERT_EQ(uuencode("hello", &enc), 0);
  ASSERT_EQ(uudecode(enc, &dec), 0);
  EXPECT_STREQ(dec, "hello");
  safe_free(dec, TARN_HERE);
  safe_free(enc, TARN_HERE);
}

TEST(StrCommand, ShellMetacharactersAreNotSecure) {
  for (const char* bad : {"a;b", "a`b`", "$(x)", "a&b", "a|b", "a>b", "a<b", "../x"}) {
    EXPECT_NE(StrExecIsNotSecure(bad), 0) << bad;
  }
  EXPECT_EQ(StrExecIsNotSecure("/opt/tarn/bin/script -x $HOME ./a.b"), 0);
}

char* Lookup(const char* name, void* ctx) {
  ++*static_cast<int*>(ctx);
  if (std::strcmp(name, "A") == 0) return StrNewCopy("va");
  if (std::strcmp(name, "B_1") == 0) return StrNewCopy("vb");
  return nullptr;
}

TEST(StrCommand, ExpandsThreeReferenceForms) {
  int calls = 0;
  EXPECT_EQ(Take(StrExpandString("$A/${B_1}/%A%/$NONE!", Lookup, &calls)), "va/vb/va/!");
  EXPECT_EQ(calls, 4);
  calls = 0;
  EXPECT_EQ(Take(StrExpandString("$ ${A %A ${} 100% $", Lookup, &calls)), "$ ${A %A ${} 100% $");
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(StrExpandString(nullptr, Lookup, &calls), nullptr);

  setenv("TARN_T_EXPAND", "ok", 1);
  EXPECT_EQ(Take(StrExpandEnvironmentStrings("[${TARN_T_EXPAND}]")), "[ok]");
  unsetenv("TARN_T_EXPAND");
}

class StrTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) oldTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", oldTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    strFromTimeExHook = nullptr;
  }
  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(StrTime, FormsAndTheDashForZero) {
  char buf[64];
  const time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(StrFromTimeEx(buf, sizeof buf, 3, t), 19);
  EXPECT_STREQ(buf, "2023-11-14 22:13:20");
  StrFromTimeEx(buf, sizeof buf, 2, t);
  EXPECT_STREQ(buf, "11/14/2023 22:13:20");
  StrFromTimeEx(buf, sizeof buf, 6, t);
  EXPECT_STREQ(buf, "11/14/23 22:13:20");
  StrFromTimeEx(buf, sizeof buf, 7, t);
  EXPECT_STREQ(buf, "2023-11-14 22:13");
  EXPECT_EQ(StrFromTimeEx(buf, sizeof buf, 3, 0), 0);
  EXPECT_STREQ(buf, "-");
  EXPECT_STREQ(StrFromTime1(t), "11/14/23 22:13:20");
  // Too small a buffer gives "-" rather than a cut date.
  char small[4];
  EXPECT_EQ(StrFromTimeEx(small, sizeof small, 3, t), 0);
  EXPECT_STREQ(small, "-");

  strFromTimeExHook = [](char* b, size_t size, int form, time_t) {
    return std::snprintf(b, size, "hook%d", form);
  };
  EXPECT_EQ(StrFromTimeEx(buf, sizeof buf, 3, 0), 5);
  EXPECT_STREQ(buf, "hook3");
}

TEST_F(StrTime, ParsesDatesInTheAcceptedYears) {
  EXPECT_EQ(StrToTime("2023-11-14 22:13:20"), 1700000000);
  EXPECT_EQ(StrToTime("2023/11/14T22.13.20"), 1700000000);
  EXPECT_EQ(StrToTime("23-11-14"), 1699920000);
  EXPECT_EQ(StrToTime("70-01-01"), 0);  // 1970-01-01 is the epoch itself
  EXPECT_EQ(StrToTime("70-01-02"), 86400);
  EXPECT_EQ(StrToTime("69-01-01"), 0);
  EXPECT_EQ(StrToTime("2038-01-01"), 0);
  EXPECT_EQ(StrToTime("2023-11-14 22:13"), 0);
  EXPECT_EQ(StrToTime("2023-99999999999-1"), 0);
  EXPECT_EQ(StrToTime(nullptr), 0);

  const time_t midnight = StrSetToLocalMidnight();
  EXPECT_EQ(midnight % 86400, 0);
  EXPECT_LE(std::time(nullptr) - midnight, 86400);
}

TEST(StrYear, TwoDigitYears) {
  struct Case {
    int in;
    int out;
    int rc;
  } cases[] = {{0, 2000, 1},  {69, 2069, 1}, {70, 1970, 1},
               {99, 1999, 1}, {100, 100, 0}, {-5, 1970, -1}};
  for (const Case& c : cases) {
    int y = c.in;
    EXPECT_EQ(CmnAdjustTwoDigitYear(&y), c.rc) << c.in;
    EXPECT_EQ(y, c.out) << c.in;
  }
}

TEST(StrIdentity, SessionIds) {
  EXPECT_STREQ(StrFromUserSessionId("2024/1/5-42"), "2024/01/05 0042");
  EXPECT_STREQ(StrFromUserSessionId("24/1/5-7"), "2024/01/05 0007");
  EXPECT_EQ(StrFromUserSessionId("12abc"), nullptr);
  EXPECT_EQ(StrFromUserSessionId("2024/1/5-70000"), nullptr);
  EXPECT_EQ(StrFromUserSessionId(nullptr), nullptr);
  const std::string today = StrFromUserSessionId("9");
  EXPECT_EQ(today.size(), 15u);
  EXPECT_EQ(today.substr(10), " 0009");

  EXPECT_STREQ(StrToUserSessionId("2024/01/05 0042"), "2024/01/05-42");
  EXPECT_EQ(StrToUserSessionId("2024/01/05"), nullptr);
}

TEST(StrIdentity, KeyIds) {
  char kid[kStrKidSize];
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_NE(StrToKID("key-1", 1700000000, kid), nullptr);
  EXPECT_STREQ(kid, "R-2023/11/14-key-1");
  unsetenv("TZ");
  tzset();
  char name[64];
  EXPECT_EQ(StrFromKID(name, kid), 0);
  EXPECT_STREQ(name, "key-1");
  EXPECT_EQ(StrFromKID(name, "R-plain"), 0);
  EXPECT_STREQ(name, "plain");
  EXPECT_EQ(StrFromKID(name, "X-abc"), -1);
  const std::string longName(kStrKidSize, 'n');
  EXPECT_EQ(StrToKID(longName.c_str(), 0, kid), nullptr);
}

TEST(StrIdentity, UserNamesInBothForms) {
  char text[kStrVekUserSize];
  EXPECT_STREQ(StrToVEKUser(text, "db2inst1", "db2iadm1", "client1", 0),
               "db2inst1.db2iadm1@client1");
  char user[61];
  char group[61];
  char host[65];
  EXPECT_EQ(StrFromVEKUser(text, user, group, host), 0);
  EXPECT_STREQ(user, "db2inst1");
  EXPECT_STREQ(group, "db2iadm1");
  EXPECT_STREQ(host, "client1");

  EXPECT_STREQ(StrToVEKUser(text, "admin", "DOMAIN", "win1", 1), "DOMAIN\\admin@win1");
  EXPECT_EQ(StrFromVEKUser(text, user, group, host), 0);
  EXPECT_STREQ(user, "admin");
  EXPECT_STREQ(group, "DOMAIN");
  EXPECT_STREQ(host, "win1");

  EXPECT_EQ(StrFromVEKUser("user.group", user, group, host), -1);
  EXPECT_STREQ(user, "user");
  EXPECT_STREQ(group, "");
  EXPECT_STREQ(host, "");

  const std::string longUser(100, 'u');
  StrToVEKUser(text, longUser.c_str(), "g", "h", 0);
  EXPECT_EQ(std::string(text), std::string(60, 'u') + ".g@h");
}

TEST(StrIdentity, LocationsAndMagazines) {
  char out[64];
  ASSERT_EQ(StrToPhyLocation("Shelf", 1, out, sizeof out), 0);
  EXPECT_STREQ(out, " Shelf 1");
  long side = 0;
  EXPECT_EQ(StrFromPhyLocation(out, out, &side), 0);
  EXPECT_STREQ(out, "Shelf");
  EXPECT_EQ(side, 1);
  char loc[64];
  StrFromPhyLocation("vault a.fd 0", loc, &side);
  EXPECT_STREQ(loc, "vault a.fd");
  EXPECT_EQ(side, 0);
  StrFromPhyLocation("  room", loc, &side);
  EXPECT_STREQ(loc, "room");
  EXPECT_EQ(side, -1);

  ASSERT_EQ(StrToMagDescription("mag_a", "b", out, sizeof out), 0);
  EXPECT_STREQ(out, "mag_a_b");
  char a[64];
  char b[64];
  EXPECT_EQ(StrFromMagDescription(out, a, b), 0);
  EXPECT_STREQ(a, "mag_a");
  EXPECT_STREQ(b, "b");
  EXPECT_EQ(StrFromMagDescription("none", a, b), -1);
  EXPECT_EQ(StrToMagDescription(std::string(70, 'x').c_str(), "b", out, sizeof out), -1);
}

TEST(StrIdentity, GuidLabelsAndPermissions) {
  char guid[37];
  EXPECT_STREQ(StrFromGuid(guid, 0x12345678, 0xBBBBAAAA, 0x44332211, 0x88776655),
               "12345678-aaaa-bbbb-2211-334455667788");

  EXPECT_STREQ(StrToUserLabel(1, "DB2", "nightly"), "[DB2] nightly");
  EXPECT_STREQ(StrToUserLabel(1, "DB2", ""), "[DB2]");
  EXPECT_EQ(std::strlen(StrToUserLabel(0, "x", std::string(100, 'l').c_str())), 80u);

  EXPECT_STREQ(StrRWX(2, 0, 04755), "-rwsr-xr-x");
  EXPECT_STREQ(StrRWX(1, 0, 02644), "drw-r-Sr--");
  EXPECT_STREQ(StrRWX(6, 0, 0777), "lrwxrwxrwx");
  EXPECT_STREQ(StrRWX(42, 0, 0), "U---------");
  EXPECT_STREQ(StrRWX(2, 16, 1 | 32 | 2048), "R  AC");
  EXPECT_STREQ(StrRWX(2, 16, 1 | 128), "     ");
}

}  // namespace
