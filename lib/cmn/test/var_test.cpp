// Variants: makers, ownership, comparison, casts, text editing, arrays,
// keyed lists, paths and iteration.
#include "cmn/var.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cmn/erh.h"
#include "var_test_util.h"

TARN_RCSID("lib/cmn/test/var_test.cpp");

namespace {

using vartest::Owned;

TEST(VarKinds, MakersSetKindAndPayload) {
  Owned i(CmnVarInt64(-9000000000LL));
  Owned t(CmnVarText("abc"));
  Owned r(CmnVarRange(-3, 7));
  Owned n(CmnVarNew(var_class_int, 5LL));
  Owned s(CmnVarNew(var_class_string, "made"));
  Owned q(CmnVarNew(var_class_range, 1, 2));
  EXPECT_EQ(CmnVarKindOf(VarUndef), VAR_KIND_UNDEF);
  EXPECT_EQ(CmnVarKindOf(i.v), VAR_KIND_INT);
  EXPECT_EQ(i.v.u.integer, -9000000000LL);
  EXPECT_EQ(CmnVarKindOf(t.v), VAR_KIND_TEXT);
  EXPECT_STREQ(CmnVarCastText(t.v), "abc");
  EXPECT_EQ(CmnVarStrLen(t.v), 3u);
  EXPECT_EQ(r.v.u.range.first, -3);
  EXPECT_EQ(r.v.u.range.second, 7);
  EXPECT_EQ(n.v.u.integer, 5);
  EXPECT_STREQ(CmnVarCastText(s.v), "made");
  EXPECT_EQ(q.v.u.range.second, 2);
}

TEST(VarKinds, NullTextIsEmptyWithoutStorage) {
  Owned t(CmnVarText(nullptr));
  EXPECT_EQ(CmnVarKindOf(t.v), VAR_KIND_TEXT);
  EXPECT_EQ(t.v.u.text.data, nullptr);
  EXPECT_STREQ(CmnVarCastText(t.v), "");
  EXPECT_EQ(CmnVarIsEmpty(t.v), 1);
}

TEST(VarKinds, ConstTextBorrowsAndEditingCopiesFirst) {
  char caller[] = "borrowed";
  Owned t(CmnVarConstText(caller));
  EXPECT_EQ(t.v.u.text.data, caller);
  EXPECT_EQ(t.v.u.text.capacity, 0u);
  CmnVarCat(&t.v, "+%d", 1);
  EXPECT_STREQ(CmnVarCastText(t.v), "borrowed+1");
  EXPECT_STREQ(caller, "borrowed");
}

TEST(VarKinds, CopyIsDeep) {
  Owned original(CmnVarList("a", CmnVarArray(CmnVarText("x"), CmnVarInt64(1), VarUndef), "b",
                            CmnVarConstText("borrowed"), nullptr));
  Owned copy(CmnVarCopy(original.v));
  ASSERT_EQ(CmnVarCmp(original.v, copy.v), 0);
  CmnVarCat(CmnVarAt(*CmnVarGet(copy.v, "a"), 0), "changed");
  EXPECT_STREQ(CmnVarCastText(*CmnVarAt(*CmnVarGet(original.v, "a"), 0)), "x");
  EXPECT_NE(CmnVarGet(copy.v, "b")->u.text.capacity, 0u);  // the borrowed text became owned
  EXPECT_EQ(CmnVarCopy(VarUndef).klass, nullptr);
}

TEST(VarCompare, KindsThenValues) {
  Owned a(CmnVarText("a"));
  Owned b(CmnVarText("b"));
  EXPECT_EQ(CmnVarCmp(VarUndef, VarUndef), 0);
  EXPECT_EQ(CmnVarCmp(CmnVarInt64(1), a.v), -1);
  EXPECT_EQ(CmnVarCmp(a.v, CmnVarInt64(1)), -1);
  EXPECT_LT(CmnVarCmp(a.v, b.v), 0);
  EXPECT_GT(CmnVarCmp(b.v, a.v), 0);
  EXPECT_LT(CmnVarCmp(CmnVarInt64(-1), CmnVarInt64(1)), 0);
}

TEST(VarCompare, RangesCompareBothEnds) {
  EXPECT_EQ(CmnVarCmp(CmnVarRange(1, 2), CmnVarRange(1, 2)), 0);
  EXPECT_NE(CmnVarCmp(CmnVarRange(1, 2), CmnVarRange(1, 3)), 0);
  EXPECT_NE(CmnVarCmp(CmnVarRange(0, 2), CmnVarRange(1, 2)), 0);
}

TEST(VarCompare, ContainersByElementsThenCount) {
  Owned a(CmnVarArray(CmnVarInt64(1), CmnVarInt64(2), VarUndef));
  Owned b(CmnVarArray(CmnVarInt64(1), VarUndef));
  Owned l1(CmnVarList("Key", CmnVarInt64(1), nullptr));
  Owned l2(CmnVarList("KEY", CmnVarInt64(1), nullptr));
  Owned l3(CmnVarList("KEY", CmnVarInt64(2), nullptr));
  EXPECT_GT(CmnVarCmp(a.v, b.v), 0);
  EXPECT_LT(CmnVarCmp(b.v, a.v), 0);
  EXPECT_EQ(CmnVarCmp(l1.v, l2.v), 0);  // keys ignore case
  EXPECT_NE(CmnVarCmp(l1.v, l3.v), 0);
}

TEST(VarCasts, EmptinessAndNumbers) {
  Owned emptyArray(CmnVarArray(VarUndef));
  Owned text(CmnVarText("  -42"));
  Owned junk(CmnVarText("abc"));
  Owned huge(CmnVarText("99999999999999999999"));
  EXPECT_EQ(CmnVarIsEmpty(VarUndef), 1);
  EXPECT_EQ(CmnVarIsEmpty(CmnVarInt64(0)), 1);
  EXPECT_EQ(CmnVarIsEmpty(CmnVarInt64(3)), 0);
  EXPECT_EQ(CmnVarIsEmpty(emptyArray.v), 1);
  EXPECT_EQ(CmnVarIsEmpty(text.v), 0);
  EXPECT_EQ(CmnVarIsEmpty(CmnVarRange(1, 2)), 1);
  EXPECT_EQ(CmnVarCastInt64(text.v), -42);
  EXPECT_EQ(CmnVarCastInt64(junk.v), 0);
  EXPECT_EQ(CmnVarCastInt64(huge.v), 0);  // out of range, not wrapped
  EXPECT_EQ(CmnVarCastInt64(CmnVarRange(1, 2)), 0);
  EXPECT_STREQ(CmnVarCastText(CmnVarInt64(-9223372036854775807LL - 1)), "-9223372036854775808");
  EXPECT_EQ(CmnVarCastText(CmnVarRange(1, 2)), nullptr);
}

TEST(VarText, CatFormatSetLenReplace) {
  Owned t;
  CmnVarCat(&t.v, "%s-%d", "a", 1);
  CmnVarCat(&t.v, "%s", std::string(100, 'x').c_str());
  EXPECT_EQ(CmnVarStrLen(t.v), 103u);
  EXPECT_GE(t.v.u.text.capacity, 104u);
  CmnVarFormat(&t.v, "%05d", 42);
  EXPECT_STREQ(CmnVarCastText(t.v), "00042");

  EXPECT_EQ(CmnVarSetLen(&t.v, 2), 5u);
  EXPECT_STREQ(CmnVarCastText(t.v), "00");
  EXPECT_EQ(CmnVarSetLen(&t.v, 4), 2u);
  EXPECT_EQ(std::memcmp(t.v.u.text.data, "00\0\0", 5), 0);  // regrown bytes are zero

  CmnVarFormat(&t.v, "a,b,,c");
  EXPECT_EQ(CmnVarReplace(&t.v, ",", ", "), 3);
  EXPECT_STREQ(CmnVarCastText(t.v), "a, b, , c");
  EXPECT_EQ(CmnVarReplace(&t.v, " ", nullptr), 3);
  EXPECT_STREQ(CmnVarCastText(t.v), "a,b,,c");
  EXPECT_EQ(CmnVarReplace(&t.v, "", "x"), 0);

  CmnVar number = CmnVarInt64(7);
  EXPECT_EQ(CmnVarCat(&number, "x").klass, nullptr);
  EXPECT_EQ(number.u.integer, 7);
}

TEST(VarText, HeapDuplicates) {
  char* s = CmnStrNDup("abcdef", 3);
  EXPECT_STREQ(s, "abc");
  safe_free(s, TARN_HERE);
  s = CmnStrNDup(nullptr, 4);
  EXPECT_EQ(std::memcmp(s, "\0\0\0\0\0", 5), 0);
  safe_free(s, TARN_HERE);
  auto* m = static_cast<char*>(CmnMemDup("a\0b", 3));
  EXPECT_EQ(std::memcmp(m, "a\0b", 3), 0);
  safe_free(m, TARN_HERE);
}

TEST(VarArray, SetGrowsWithUndefinedGapsAndAtCountsFromEnd) {
  Owned a;
  ASSERT_NE(CmnVarArraySet(&a.v, 5, CmnVarInt64(5)), nullptr);
  EXPECT_EQ(CmnVarLength(a.v), 6);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(CmnVarAt(a.v, i)->klass, nullptr);
  CmnVarPush(&a.v, CmnVarInt64(6));
  EXPECT_EQ(CmnVarAt(a.v, -1)->u.integer, 6);
  EXPECT_EQ(CmnVarAt(a.v, -2)->u.integer, 5);
  EXPECT_EQ(CmnVarAt(a.v, 7), nullptr);
  EXPECT_EQ(CmnVarAt(a.v, -8), nullptr);
  EXPECT_EQ(CmnVarArraySet(&a.v, -1, CmnVarInt64(0)), nullptr);

  Owned text(CmnVarText("t"));
  EXPECT_EQ(CmnVarArraySet(&text.v, 0, CmnVarInt64(1)), nullptr);
  EXPECT_EQ(CmnVarPush(&text.v, CmnVarInt64(1)), nullptr);
}

TEST(VarArray, PushsAndSort) {
  Owned a;
  EXPECT_EQ(CmnVarPushs(&a.v, CmnVarInt64(3), CmnVarInt64(1), CmnVarInt64(2), VarUndef), 3);
  CmnVarSort(&a.v, [](const CmnVar* x, const CmnVar* y) { return CmnVarCmp(*x, *y); });
  EXPECT_EQ(CmnVarAt(a.v, 0)->u.integer, 1);
  EXPECT_EQ(CmnVarAt(a.v, 2)->u.integer, 3);
  EXPECT_EQ(CmnVarSort(nullptr, nullptr), nullptr);
}

TEST(VarList, KeysIgnoreCaseAndDuplicatesStay) {
  Owned l;
  CmnVarListAdd(&l.v, "Password", CmnVarText("secret"));
  CmnVarListAdd(&l.v, "password", CmnVarText("second"));
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(l.v, "PASSWORD")), "secret");
  EXPECT_EQ(CmnVarLength(l.v), 2);
  EXPECT_EQ(CmnVarGet(l.v, "Pass"), nullptr);
  EXPECT_STREQ(CmnVarKey(l.v, 1), "password");
  EXPECT_EQ(CmnVarKey(l.v, 2), nullptr);

  CmnVarSet(&l.v, "PassWord", CmnVarText("replaced"));
  EXPECT_STREQ(CmnVarCastText(*CmnVarAt(l.v, 0)), "replaced");
  CmnVar* found = CmnVarFind(&l.v, "new");
  EXPECT_EQ(found->klass, nullptr);
  EXPECT_EQ(CmnVarLength(l.v), 3);

  Owned number(CmnVarInt64(1));
  EXPECT_EQ(CmnVarListAdd(&number.v, "k", CmnVarInt64(2)), nullptr);
}

TEST(VarList, DeleteMovesLastEntryIntoPlace) {
  Owned l(CmnVarList("a", CmnVarText("1"), "b", CmnVarText("2"), "c", CmnVarText("3"), nullptr));
  EXPECT_EQ(CmnVarListDel(&l.v, "A"), 1);
  EXPECT_EQ(CmnVarLength(l.v), 2);
  EXPECT_STREQ(CmnVarKey(l.v, 0), "c");
  EXPECT_STREQ(CmnVarKey(l.v, 1), "b");
  EXPECT_EQ(CmnVarListDel(&l.v, "a"), 0);
  EXPECT_EQ(CmnVarListDel(&l.v, "c"), 1);
  EXPECT_EQ(CmnVarListDel(&l.v, "b"), 1);
  EXPECT_EQ(CmnVarLength(l.v), 0);
}

TEST(VarList, PathsMakeAndFindLevels) {
  Owned l;
  CmnVar* leaf = CmnVarFindPath(&l.v, "Environment/VEKOPTS");
  ASSERT_NE(leaf, nullptr);
  *leaf = CmnVarText("-debug 1-200");
  EXPECT_EQ(CmnVarKindOf(*CmnVarGet(l.v, "environment")), VAR_KIND_LIST);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGetPath(l.v, "/environment//vekopts")), "-debug 1-200");
  EXPECT_EQ(CmnVarGetPath(l.v, "Environment/missing"), nullptr);
  EXPECT_EQ(CmnVarGetPath(l.v, "Environment/VEKOPTS/deeper"), nullptr);
  EXPECT_EQ(CmnVarFindPath(&l.v, "Environment/VEKOPTS/deeper"), nullptr);  // a text is no level
  EXPECT_EQ(CmnVarFindPath(&l.v, ""), nullptr);
  EXPECT_EQ(CmnVarFindPath(&l.v, "///"), nullptr);
  EXPECT_EQ(CmnVarLength(l.v), 1);
}

TEST(VarList, FindTextInElementsOrAtPath) {
  Owned names(CmnVarArray(CmnVarText("db1"), CmnVarText("db2"), VarUndef));
  EXPECT_EQ(CmnVarFindText(&names.v, "db2", nullptr), CmnVarAt(names.v, 1));
  EXPECT_EQ(CmnVarFindText(&names.v, "db3", nullptr), nullptr);
  Owned nodes(CmnVarArray(CmnVarList("host", CmnVarText("a"), nullptr),
                          CmnVarList("host", CmnVarText("b"), nullptr), VarUndef));
  EXPECT_EQ(CmnVarFindText(&nodes.v, "b", "host"), CmnVarAt(nodes.v, 1));
  Owned text(CmnVarText("x"));
  EXPECT_EQ(CmnVarFindText(&text.v, "x", nullptr), &text.v);
}

TEST(VarIter, ArrayIndexesAndListKeys) {
  Owned a(CmnVarArray(CmnVarText("x"), CmnVarText("y"), VarUndef));
  std::string seen;
  for (CmnVarIter it = IterNew(a.v); IterNext(&it);) {
    seen += std::to_string(IterKey(&it).u.integer) + "=" + CmnVarCastText(*IterVal(&it)) + ";";
  }
  EXPECT_EQ(seen, "0=x;1=y;");
  Owned l(CmnVarList("k1", CmnVarInt64(1), "k2", CmnVarInt64(2), nullptr));
  seen.clear();
  for (CmnVarIter it = IterNew(l.v); IterNext(&it);) {
    seen += std::string(CmnVarCastText(IterKey(&it))) + "=" + CmnVarCastText(*IterVal(&it)) + ";";
  }
  EXPECT_EQ(seen, "k1=1;k2=2;");
  CmnVarIter none = IterNew(CmnVarInt64(1));
  EXPECT_EQ(IterNext(&none), 0);
}

TEST(VarText, WideTextBecomesUtf8) {
  Owned t;
  ASSERT_NE(CmnVarCopyW2S(&t.v, u"gr\u00fc\u00dfe"), nullptr);
  EXPECT_STREQ(CmnVarCastText(t.v),
               "gr\xC3\xBC\xC3\x9F"
               "e");
  Owned number(CmnVarInt64(1));
  EXPECT_EQ(CmnVarCopyW2S(&number.v, u"x"), nullptr);
}

}  // namespace
