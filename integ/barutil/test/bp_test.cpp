// Parameter lists: typed access, its result codes, and the stored text form.
#include "barutil/bp.h"

#include <string>

#include "barutil_test_util.h"
#include "cmn/var.h"

namespace {

using barutiltest::Owned;

using barutiltest::List;

std::string Pack(BpList list, int flags) {
  Owned text(BP_Pack(list, flags));
  return text.p != nullptr ? text.str() : "<null>";
}

class BpTest : public barutiltest::BarutilTest {};

TEST_F(BpTest, GettersTellMissingWrongKindAndNotAList) {
  List l;
  ASSERT_EQ(BP_AddInt(&l.v, "Count", -7), kBpOk);
  ASSERT_EQ(BP_AddStr(&l.v, "Username", "db2inst1"), kBpOk);
  int64_t n = 0;
  EXPECT_EQ(BP_GetIntByName(l.v, "count", &n), kBpOk);
  EXPECT_EQ(n, -7);
  EXPECT_EQ(BP_GetIntByName(l.v, "Username", &n), kBpWrongKind);
  EXPECT_EQ(BP_GetIntByName(l.v, "Missing", &n), kBpNotFound);
  EXPECT_EQ(BP_GetIntByName(CmnVarInt64(1), "Count", &n), kBpBadArg);
  EXPECT_EQ(BP_GetIntByName(l.v, "", &n), kBpBadArg);
  EXPECT_EQ(BP_GetByName(l.v, 6, "Count", 0, &n), kBpBadArg);
  EXPECT_EQ(n, -7);
  EXPECT_STREQ(BP_GetStr(l.v, "USERNAME"), "db2inst1");
  EXPECT_EQ(BP_GetStr(l.v, "Count"), nullptr);
  Owned copy(BP_GetStrCopy(l.v, "Username"));
  EXPECT_EQ(copy.str(), "db2inst1");
  const char* text = nullptr;
  EXPECT_EQ(BP_GetStrAt(l.v, 1, &text), kBpOk);
  EXPECT_STREQ(text, "db2inst1");
  EXPECT_EQ(BP_GetIntAt(l.v, 2, &n), kBpNotFound);
  EXPECT_EQ(BP_GetIntAt(l.v, -1, &n), kBpBadArg);
  EXPECT_EQ(BP_TypeOf(VarUndef), BP_KIND_NONE);
}

TEST_F(BpTest, ChangeAppendsWhenAbsentAndKeepsAnEntryOfAnotherKind) {
  List l;
  EXPECT_EQ(BP_ChangeStr(&l.v, "Version", "11.5"), kBpOk);
  EXPECT_EQ(BP_ChangeStr(&l.v, "version", "12.1"), kBpOk);
  EXPECT_EQ(CmnVarLength(l.v), 1);
  EXPECT_STREQ(BP_GetStr(l.v, "Version"), "12.1");
  EXPECT_EQ(BP_ChangeInt(&l.v, "Version", 3), kBpWrongKind);
  EXPECT_STREQ(BP_GetStr(l.v, "Version"), "12.1");
  EXPECT_EQ(BP_ChangeInt(&l.v, "Retries", 3), kBpOk);
  EXPECT_EQ(BP_Change(&l.v, "Span", BP_KIND_RANGE, nullptr), kBpBadArg);
  EXPECT_EQ(Pack(l.v, VAR_PACK_NOLF | VAR_PACK_NOTABS), "Version='12.1';Retries=3;");
}

TEST_F(BpTest, StringListsAndNestedListsByPath) {
  List l;
  CmnVar* strList = nullptr;
  ASSERT_EQ(BP_AddStrList(&l.v, "USEREXIT_BARLISTS", &strList), kBpOk);
  EXPECT_EQ(BP_ChangeStrListAdd(&l.v, "userexit_barlists", "logs"), kBpOk);
  EXPECT_EQ(BP_ChangeStrListAdd(&l.v, "USEREXIT_BARLISTS", "more"), kBpOk);
  EXPECT_EQ(BP_ChangeStrListAdd(&l.v, "Absent", "x"), kBpNotFound);
  ASSERT_EQ(BP_AddStr(&l.v, "Plain", "t"), kBpOk);
  EXPECT_EQ(BP_ChangeStrListAdd(&l.v, "Plain", "x"), kBpBadArg);
  ASSERT_EQ(BP_GetStrListByName(l.v, "USEREXIT_BARLISTS", &strList), kBpOk);
  EXPECT_EQ(BP_StrListCount(*strList), 2);
  EXPECT_STREQ(BP_StrListAt(*strList, 1), "more");
  EXPECT_EQ(BP_StrListAt(*strList, 2), nullptr);
  EXPECT_EQ(BP_StrListAt(CmnVarInt64(1), 0), nullptr);

  CmnVar* nested = nullptr;
  ASSERT_EQ(BP_AddListByPath(&l.v, "Redirection/SAMPLE", &nested), kBpOk);
  ASSERT_EQ(BP_AddStr(nested, "/old/c0", "/new/c0"), kBpOk);
  CmnVar* found = nullptr;
  ASSERT_EQ(BP_GetListByPath(l.v, "redirection/sample", &found), kBpOk);
  EXPECT_STREQ(BP_GetStr(*found, "/old/c0"), "/new/c0");
  // Making it again empties it; a text on the way cannot become a list.
  ASSERT_EQ(BP_AddListByPath(&l.v, "Redirection/SAMPLE", &nested), kBpOk);
  EXPECT_EQ(CmnVarLength(*nested), 0);
  EXPECT_EQ(BP_AddListByPath(&l.v, "Plain", nullptr), kBpBadArg);
  EXPECT_EQ(BP_AddListByPath(&l.v, "Plain/below", nullptr), kBpBadArg);
  EXPECT_STREQ(BP_GetStr(l.v, "Plain"), "t");
  EXPECT_NE(BP_GetOptAt(l.v, 2), nullptr);
  EXPECT_EQ(BP_GetOptAt(l.v, 1), nullptr);

  EXPECT_EQ(BP_RemoveOptByName(&l.v, "plain"), kBpOk);
  EXPECT_EQ(BP_RemoveOptByName(&l.v, "plain"), kBpNotFound);
  CmnVar notList = CmnVarInt64(1);
  EXPECT_EQ(BP_RemoveOptByName(&notList, "x"), kBpBadArg);
}

// The stored form of a configuration: literal bytes, then read back.
TEST_F(BpTest, PackWritesTheStoredFormAndUnpackReadsItBack) {
  List l;
  ASSERT_EQ(BP_AddStr(&l.v, "Username", "db2inst1"), kBpOk);
  ASSERT_EQ(BP_AddInt(&l.v, "Nodes", 4), kBpOk);
  CmnVar* env = nullptr;
  ASSERT_EQ(BP_AddList(&l.v, "Environment", &env), kBpOk);
  ASSERT_EQ(BP_AddStr(env, "VEKOPTS", "-debug 1-99 x"), kBpOk);
  CmnVar* sl = nullptr;
  ASSERT_EQ(BP_AddStrList(&l.v, "Lists", &sl), kBpOk);
  ASSERT_EQ(BP_ChangeStrListAdd(&l.v, "Lists", "a b"), kBpOk);

  const std::string packed = Pack(l.v, kBpStored);
  EXPECT_EQ(packed,
            "Username='db2inst1';\n"
            "Nodes=4;\n"
            "Environment={\n"
            "\tVEKOPTS='-debug 1-99 x';\n"
            "};\n"
            "Lists=('a b');\n");

  List back;
  ASSERT_EQ(BP_ParseBuffer(packed.c_str(), &back.v), kBpOk);
  EXPECT_EQ(Pack(back.v, kBpStored), packed);
  EXPECT_EQ(CmnVarCmp(l.v, back.v), 0);
}

TEST_F(BpTest, UnpackRefusesBrokenTextAndLeavesNoList) {
  List l;
  EXPECT_EQ(BP_ParseBuffer("Username=\"db2inst1\"", &l.v), kBpParseFailed);
  EXPECT_EQ(BP_TypeOf(l.v), BP_KIND_NONE);
  EXPECT_EQ(BP_ParseBuffer("A={B=1;", &l.v), kBpParseFailed);
  EXPECT_EQ(BP_ParseBuffer(nullptr, &l.v), kBpParseFailed);
  EXPECT_EQ(BP_Unpack(nullptr, "A=1;", 0), kBpBadArg);
  ASSERT_EQ(BP_ParseBuffer("", &l.v), kBpOk);
  EXPECT_EQ(BP_TypeOf(l.v), BP_KIND_LIST);
  EXPECT_EQ(CmnVarLength(l.v), 0);
  EXPECT_EQ(Pack(l.v, kBpStored), "");
  EXPECT_EQ(BP_Pack(CmnVarInt64(3), 0), nullptr);
}

}  // namespace
