// Variant text form as written: the exact bytes of every kind and of each
// packing flag, the quoting of keys, and the escaping of quoted texts.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cmn/erh.h"
#include "cmn/var.h"
#include "cmn_test_util.h"
#include "var_test_util.h"

TARN_RCSID("lib/cmn/test/var_pack_test.cpp");

namespace {

using vartest::Db2Config;
using vartest::Owned;
using vartest::Pack;

TEST(VarPack, ConfigurationListWithEachFlag) {
  Owned config(Db2Config());
  EXPECT_EQ(Pack(config.v), "{\n\tVersion='32bit';\n\tDB2_NODES={\n\t\t0='hostA';\n\t};\n}");
  EXPECT_EQ(Pack(config.v, VAR_PACK_NOTABS), "{\nVersion='32bit';\nDB2_NODES={\n0='hostA';\n};\n}");
  EXPECT_EQ(Pack(config.v, VAR_PACK_NOLF), "{\tVersion='32bit';\tDB2_NODES={\t\t0='hostA';\t};}");
  EXPECT_EQ(Pack(config.v, VAR_PACK_NOTABS | VAR_PACK_NOLF),
            "{Version='32bit';DB2_NODES={0='hostA';};}");
  EXPECT_EQ(Pack(config.v, VAR_PACK_NOBRACES), "Version='32bit';\nDB2_NODES={\n\t0='hostA';\n};\n");
  EXPECT_EQ(Pack(config.v, VAR_PACK_NOBRACES | VAR_PACK_NOLF),
            "Version='32bit';DB2_NODES={\t0='hostA';};");
  EXPECT_EQ(Pack(config.v, VAR_PACK_BASE64),
            "ewoJVmVyc2lvbj0nMzJiaXQnOwoJREIyX05PREVTPXsKCQkwPSdob3N0QSc7Cgl9Owp9");
  EXPECT_EQ(Pack(config.v, VAR_PACK_BASE64 | VAR_PACK_NOBRACES),
            "VmVyc2lvbj0nMzJiaXQnOwpEQjJfTk9ERVM9ewoJMD0naG9zdEEnOwp9Owo=");
  // Flags 8 and 16 (used for files) leave the text as it is.
  EXPECT_EQ(Pack(config.v, VAR_PACK_NOBRACES | 8 | 16), Pack(config.v, VAR_PACK_NOBRACES));
}

TEST(VarPack, ScalarsAndArrays) {
  Owned text(CmnVarText("it's \x01"));
  Owned array(CmnVarArray(CmnVarInt64(-1), CmnVarText(""), CmnVarRange(-2, 3),
                          CmnVarArray(VarUndef), VarUndef));
  EXPECT_EQ(Pack(VarUndef), "");
  EXPECT_EQ(Pack(CmnVarInt64(-9223372036854775807LL - 1)), "-9223372036854775808");
  EXPECT_EQ(Pack(CmnVarRange(-2147483647 - 1, 2147483647)), "[-2147483648,2147483647]");
  EXPECT_EQ(Pack(text.v), "'it\x01qs \x01\x01'");
  EXPECT_EQ(Pack(array.v), "(-1,'',[-2,3],())");
}

TEST(VarPack, ListsInsideArraysKeepTheirBraces) {
  Owned v(CmnVarList("a", CmnVarArray(CmnVarList("b", CmnVarInt64(1), nullptr), VarUndef), "u",
                     VarUndef, nullptr));
  EXPECT_EQ(Pack(v.v), "{\n\ta=({\n\t\tb=1;\n\t});\n\tu=;\n}");
  EXPECT_EQ(Pack(v.v, VAR_PACK_NOBRACES), "a=({\n\tb=1;\n});\nu=;\n");
  Owned top(CmnVarArray(CmnVarList("b", CmnVarInt64(1), nullptr), VarUndef));
  EXPECT_EQ(Pack(top.v, VAR_PACK_NOBRACES | VAR_PACK_NOLF), "({\tb=1;})");
}

TEST(VarPack, KeysAreQuotedWhenTheyWouldNotReadBack) {
  Owned v;
  CmnVarListAdd(&v.v, "plain9_Key", CmnVarInt64(1));
  CmnVarListAdd(&v.v, "with blank", CmnVarInt64(2));
  CmnVarListAdd(&v.v, "it's", CmnVarInt64(3));
  CmnVarListAdd(&v.v, "", CmnVarInt64(4));
  CmnVarListAdd(&v.v, nullptr, CmnVarInt64(5));
  CmnVarListAdd(&v.v, "#unknown", CmnVarInt64(6));
  CmnVarListAdd(&v.v, "a#b", CmnVarInt64(7));
  CmnVarListAdd(&v.v, "bell\a", CmnVarInt64(8));
  CmnVarListAdd(&v.v, "x=y", CmnVarInt64(9));
  EXPECT_EQ(Pack(v.v, VAR_PACK_NOTABS | VAR_PACK_NOLF),
            "{plain9_Key=1;'with "
            "blank'=2;'it\x01qs'=3;''=4;''=5;'#unknown'=6;a#b=7;'bell\a'=8;'x=y'=9;}");
}

TEST(VarPack, DeepListsStopIndentingAtLevelFifteen) {
  Owned v(CmnVarInt64(1));
  for (int i = 0; i < 17; ++i) v.v = CmnVarList("k", v.v, nullptr);
  std::istringstream lines(Pack(v.v));
  std::vector<size_t> tabs;
  for (std::string line; std::getline(lines, line);) tabs.push_back(line.find_first_not_of('\t'));
  ASSERT_EQ(tabs.size(), 35u);  // 17 opening lines, the value, 17 closing lines
  EXPECT_EQ(tabs[13], 13u);
  EXPECT_EQ(tabs[14], 14u);  // entry of the list at depth 13
  EXPECT_EQ(tabs[15], 15u);  // depth 14 and deeper: entries at 15
  EXPECT_EQ(tabs[17], 15u);  // "k=1;" inside depth 16
  EXPECT_EQ(tabs[18], 14u);  // closing brace of depth 16
  EXPECT_EQ(tabs[34], 0u);
}

TEST(VarPack, CallerTabTableAndSerializeAtDepth) {
  const char* const dots[16] = {"",
                                ".",
                                "..",
                                "...",
                                "....",
                                ".....",
                                "......",
                                ".......",
                                "........",
                                ".........",
                                "..........",
                                "...........",
                                "............",
                                ".............",
                                "..............",
                                "..............."};
  Owned config(Db2Config());
  const CmnVarPackOptions options{VAR_PACK_NOLF, dots};
  EXPECT_EQ(cmntest::Take(CmnVarPackEx(config.v, &options)),
            "{.Version='32bit';.DB2_NODES={..0='hostA';.};}");
  Owned out(CmnVarText("x="));
  EXPECT_EQ(CmnVarSerialize(&out.v, *CmnVarGet(config.v, "DB2_NODES"), 2, nullptr), 0);
  EXPECT_STREQ(CmnVarCastText(out.v), "x={\n\t\t\t0='hostA';\n\t\t}");
}

TEST(StrEscape, OptionsChooseTheEscapedCharacters) {
  size_t n = 0;
  const char* plain = "nothing/to:do";
  EXPECT_EQ(StrEscape(plain, nullptr, STR_ESCAPE_QUOTE), plain);
  const std::string all = StrEscape("'\"/\\:\x01", nullptr, 31);
  EXPECT_EQ(all,
            "\x01q\x01Q\x01s\x01"
            "b\x01"
            "c\x01\x01");
  EXPECT_EQ(std::string(StrEscape("a/b:c", nullptr, STR_ESCAPE_SLASH)), "a\x01sb:c");
  n = 3;  // the length bounds the input, which may hold NULs
  const char* part = StrEscape("'\0'", &n, STR_ESCAPE_QUOTE);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::memcmp(part, "\x01q\0\x01q", 5), 0);
  EXPECT_EQ(std::string(StrEscape("\xC3\xA4'", nullptr, 1)), "\xC3\xA4\x01q");
}

class StrUnescapeTest : public cmntest::ErrorStateTest {};

TEST_F(StrUnescapeTest, ReversesAllAndRefusesBadSequences) {
  const char* plain = "plain";
  EXPECT_EQ(StrUnescape(plain, nullptr), plain);
  EXPECT_EQ(std::string(StrUnescape("\x01q\x01Q\x01s\x01"
                                    "b\x01"
                                    "c\x01\x01",
                                    nullptr)),
            "'\"/\\:\x01");
  ErhClearError();
  EXPECT_EQ(StrUnescape("bad\x01x", nullptr), nullptr);
  EXPECT_EQ(ErhErrno(), ERH_UNESCAPE);
  ErhClearError();
  EXPECT_EQ(StrUnescape("end\x01", nullptr), nullptr);
  EXPECT_EQ(ErhErrno(), ERH_UNESCAPE);
}

}  // namespace
