// Small string and path helpers.
#include "barutil/bustr.h"

#include <string>
#include <vector>

#include "barutil_test_util.h"

namespace {

using barutiltest::Owned;

std::vector<std::string> Walk(const char* path) {
  PathWalker w{};
  std::vector<std::string> out;
  for (int more = PathWalkFirst(&w, path); more; more = PathWalkNext(&w))
    out.emplace_back(w.current);
  return out;
}

TEST(BuStrTest, LookupIgnoresCaseAndRefusesEmpty) {
  static const StrTextValue table[] = {{"full", 0}, {"incr", 10}, {nullptr, 0}};
  EXPECT_EQ(StrLookupText(table, "INCR"), 10);
  EXPECT_EQ(StrLookupText(table, "full"), 0);
  EXPECT_EQ(StrLookupText(table, "diff"), -1);
  EXPECT_EQ(StrLookupText(table, ""), -1);
  EXPECT_EQ(StrLookupText(table, nullptr), -1);
}

TEST(BuStrTest, PathCatJoinsCleansAndRefusesOverlong) {
  char out[kStrPathMax + 1];
  EXPECT_STREQ(PathCatR(out, "/var//opt/", "/tarn/tmp/"), "/var/opt/tarn/tmp");
  EXPECT_STREQ(PathCatR(out, "", "x"), "/x");
  const std::string a(600, 'a');
  const std::string b(600, 'b');
  EXPECT_EQ(PathCatR(out, a.c_str(), b.c_str()), nullptr);
  EXPECT_STREQ(out, "");
}

TEST(BuStrTest, PathWalkGivesEveryPrefix) {
  EXPECT_EQ(Walk("/a//b/c/"), (std::vector<std::string>{"/a", "/a/b", "/a/b/c"}));
  EXPECT_EQ(Walk("a/b"), (std::vector<std::string>{"a", "a/b"}));
  EXPECT_EQ(Walk("/"), (std::vector<std::string>{"/"}));
  EXPECT_TRUE(Walk("").empty());
  EXPECT_TRUE(Walk(nullptr).empty());
  const std::string overlong(kPathWalkMax + 1, 'x');
  EXPECT_TRUE(Walk(overlong.c_str()).empty());
}

TEST(BuStrTest, EncodeAndDecodePathRoundTrip) {
  const char* encoded = BU_EncodePathEx("/db:'x'", nullptr, STR_ESCAPE_QUOTE | STR_ESCAPE_COLON);
  ASSERT_NE(encoded, nullptr);
  const std::string kept(encoded);
  EXPECT_EQ(kept, std::string("/db\x01"
                              "c\x01"
                              "qx\x01"
                              "q"));
  EXPECT_STREQ(BU_DecodePath(kept.c_str()), "/db:'x'");
  EXPECT_EQ(BU_DecodePath("bad\x01z"), nullptr);
  EXPECT_EQ(ErhErrno(), 8002);
  ErhClearErrorM("barutil_test", 0);
}

TEST(BuStrTest, StrAtoiOnlyConvertsWhatFitsInTenCharacters) {
  int v = -5;
  EXPECT_EQ(BU_StrAtoi("2147483648", &v), 0);
  EXPECT_EQ(BU_StrAtoi("21474836470", &v), 0);
  EXPECT_EQ(BU_StrAtoi("00000000012", &v), 0);
  EXPECT_EQ(v, -5);
  EXPECT_EQ(BU_StrAtoi("2147483647", &v), 1);
  EXPECT_EQ(v, 2147483647);
  EXPECT_EQ(BU_StrAtoi("0000000012", &v), 1);
  EXPECT_EQ(v, 12);
  EXPECT_EQ(BU_StrAtoi("-99", &v), 1);
  EXPECT_EQ(v, -99);
  EXPECT_EQ(BU_StrAtoi("abc", &v), 0);
  EXPECT_EQ(BU_StrAtoi(nullptr, &v), 0);
}

TEST(BuStrTest, StrFormatGivesAHeapText) {
  Owned text(StrFormat("%s-%d", "node", 12));
  EXPECT_EQ(text.str(), "node-12");
  const std::string big(5000, 'z');
  Owned large(StrFormat("%s!", big.c_str()));
  EXPECT_EQ(large.str(), big + "!");
}

}  // namespace
