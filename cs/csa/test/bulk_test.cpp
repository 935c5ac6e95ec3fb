// Bulk data both ways through the stand-in cell server: small and large
// configuration items with their chunk boundaries, UTF-16 texts, raw groups,
// byte-order marks on the way out, and empty data.
#include <string>

#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "csa_test_util.h"

TARN_RCSID("cs/csa/test/bulk_test.cpp");

namespace {

using csatest::CsaTest;
using csatest::Owned;

class BulkTest : public CsaTest {
 protected:
  std::string Stored(int group, const std::string& name) {
    return tarn::test::ReadFile(server().stateDir() + "/items/" + std::to_string(group) + "/" +
                                name);
  }
};

std::string Pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 81920) % 26);
  return out;
}

TEST_F(BulkTest, SmallItemIsWrittenAndReadBack) {
  ASSERT_NO_FATAL_FAILURE(Init());
  ASSERT_EQ(MCsaPutGroupItem(0, 80, "config_db2", "Username=db2inst1\n", 1), 0);
  EXPECT_EQ(Stored(80, "config_db2"), "Username=db2inst1\n");
  EXPECT_TRUE(server().waitForTraffic("request < 215 \"80\" \"config_db2\" \"18\""));
  EXPECT_TRUE(server().waitForTraffic("request < 24 \"1\" \"18\""));
  Owned text;
  ASSERT_EQ(MCsaGetGroupItem(0, 80, "config_db2", &text.p, 0), 0);
  EXPECT_EQ(text.str(), "Username=db2inst1\n");
}

TEST_F(BulkTest, LargeItemTravelsInChunksOf81920BothWays) {
  ASSERT_NO_FATAL_FAILURE(Init());
  const std::string big = Pattern(200000);
  ASSERT_EQ(MCsaPutGroupItem(0, 12, "big", big.c_str(), 2), 0);
  EXPECT_EQ(Stored(12, "big"), big);
  // Flags 0, 0, 1 for chunks of 81920, 81920 and 36160 bytes.
  const std::vector<std::string> lines = server().traffic();
  std::vector<std::string> chunks;
  for (const std::string& line : lines) {
    const std::size_t at = line.find("< 24 ");
    if (at != std::string::npos) chunks.push_back(line.substr(at));
    const std::size_t raw = line.find("< raw ");
    if (raw != std::string::npos) chunks.push_back(line.substr(raw));
  }
  EXPECT_EQ(chunks,
            (std::vector<std::string>{"< 24 \"0\" \"81920\"", "< raw 81920", "< 24 \"0\" \"81920\"",
                                      "< raw 81920", "< 24 \"1\" \"36160\"", "< raw 36160"}));
  Owned text;
  ASSERT_EQ(MCsaGetGroupItem(0, 12, "big", &text.p, 0), 0);
  EXPECT_EQ(text.str(), big);
  EXPECT_EQ(Count("> raw 81920"), 2);
  EXPECT_EQ(Count("> raw 36160"), 1);
}

TEST_F(BulkTest, Utf16TextArrivesAsNativeTextAndRawGroupsAsStored) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 wide \"Grüße\\n\" utf16\nitem 42 wide \"Grüße\" utf16\n"));
  Owned text;
  ASSERT_EQ(MCsaGetGroupItem(0, 12, "wide", &text.p, 0), 0);
  EXPECT_EQ(text.str(), "Grüße\n");
  Owned raw;
  ASSERT_EQ(MCsaGetGroupItem(0, 42, "wide", &raw.p, 0), 0);
  const std::string expected(
      "\xFF\xFEG\0r\0\xFC\0\xDF\0"
      "e\0",
      12);
  EXPECT_EQ(std::string(raw.p, 12), expected);
  Owned bytes;
  int length = 0;
  ASSERT_EQ(MCsaGetBinaryGroupItem(0, 12, "wide", &bytes.p, &length, 0), 0);
  EXPECT_EQ(length, 14);
  EXPECT_EQ(std::string(bytes.p, 4), std::string("\xFF\xFEG\0", 4));
}

TEST_F(BulkTest, ByteOrderMarkIsNotSentUnlessRaw) {
  ASSERT_NO_FATAL_FAILURE(Init());
  ASSERT_EQ(MCsaPutGroupItem(0, 12, "marked", "\xFF\xFEhello", 1), 0);
  EXPECT_EQ(Stored(12, "marked"), "hello");
  ASSERT_EQ(MCsaPutBinaryGroupItem(0, 12, "binary", "\xFF\xFEhi", 4, 1), 0);
  EXPECT_EQ(Stored(12, "binary"), "\xFF\xFEhi");
  // A lone mark goes out as empty data; a single byte is no mark at all.
  ASSERT_EQ(MCsaPutGroupItem(0, 12, "mark", "\xFF\xFE", 1), 0);
  EXPECT_EQ(Stored(12, "mark"), "");
  ASSERT_EQ(MCsaPutGroupItem(0, 12, "one", "\xFF", 1), 0);
  EXPECT_EQ(Stored(12, "one"), "\xFF");
}

TEST_F(BulkTest, EmptyDataIsAnEmptyText) {
  ASSERT_NO_FATAL_FAILURE(Init());
  ASSERT_EQ(MCsaPutGroupItem(0, 12, "empty", "", 1), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 24 \"1\" \"0\""));
  Owned text;
  ASSERT_EQ(MCsaGetGroupItem(0, 12, "empty", &text.p, 0), 0);
  ASSERT_NE(text.p, nullptr);
  EXPECT_EQ(text.p[0], '\0');
  // A single file never written reads empty; no text stores an empty file
  // and announces -1.
  Owned file;
  ASSERT_EQ(MCsaGetSingleFile(0, 17, &file.p, 0), 0);
  EXPECT_STREQ(file.p, "");
  ASSERT_EQ(MCsaPutSingleFile(0, 17, nullptr), 0);
  EXPECT_TRUE(server().waitForTraffic("request < 203 \"17\" \"-1\""));
}

TEST_F(BulkTest, SarQueryHandsOverTheReplyText) {
  ASSERT_NO_FATAL_FAILURE(Init("item 12 a x\nitem 12 b y\nfault 211 error 1001 times=1\n"));
  // A refused query gives no reply and the server's error.
  Owned none;
  EXPECT_EQ(MCsaGetGroupList(0, 12, &none.p), -1);
  EXPECT_EQ(none.p, nullptr);
  EXPECT_EQ(ErhErrno(), 1001);
  ErhClearError();
  Owned reply;
  ASSERT_EQ(MCsaGetGroupList(0, 12, &reply.p), 0);
  StrMsg parse;
  StrMsgInitL(&parse);
  ASSERT_EQ(StrParseStartL(&parse, reply.p), 102);
  EXPECT_STREQ(StrParseNextL(&parse), "a");
  EXPECT_STREQ(StrParseNextL(&parse), "b");
  EXPECT_EQ(StrParseNextL(&parse), nullptr);
  StrMsgFreeL(&parse);
}

}  // namespace
