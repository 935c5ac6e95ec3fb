// Byte layouts of the stand-ins' messages: framing, text form, result message
// with its packed error, bulk-data headers, and refusal of malformed packets.
#include "codec/message.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/frame.h"
#include "tarn_test.h"

using namespace tarn::standin;
using namespace std::string_view_literals;
using tarn::test::Bytes;
using tarn::test::BytesEqual;

namespace {

std::string S(std::string_view text) {
  return std::string(text);
}

}  // namespace

TEST(MessageLayout, CodeAndItemFramedAreTheThirteenBytes) {
  const std::string framed = Frame(EncodeMessage({15, {"abc"}}));
  const std::vector<std::uint8_t> expected = {0x00, 0x00, 0x00, 0x09, 0x31, 0x35, 0x00,
                                              0x20, 0x61, 0x62, 0x63, 0x00, 0x00};
  EXPECT_TRUE(BytesEqual(expected, Bytes(framed)));
}

TEST(MessageLayout, CodeOnlyAndEmptyItems) {
  EXPECT_EQ(EncodeMessage({120, {}}), S("120\0\0"sv));
  EXPECT_EQ(EncodeMessage({0, {"", "x"}}), S("0\0 \0 x\0\0"sv));
  EXPECT_EQ(EncodeMessage({-1, {}}), S("-1\0\0"sv));
}

TEST(MessageLayout, ItemWithNulIsRefused) {
  EXPECT_THROW(EncodeMessage({1, {S("a\0b"sv)}}), std::invalid_argument);
}

TEST(MessageLayout, ResultCarriesFourErrorItemsThenExtras) {
  const Message result = MakeResult({1005, 2, "cellserver 283", ""}, {"7"});
  EXPECT_EQ(EncodeMessage(result), S("5\0 1005\0 2\0 cellserver 283\0 \0 7\0\0"sv));
  const auto error = ReadPackedError(result);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, (PackedError{1005, 2, "cellserver 283", ""}));
  EXPECT_EQ(EncodeMessage(MakeResult()), S("5\0 0\0 0\0 \0 \0\0"sv));
}

TEST(MessageLayout, PackedErrorNeedsFourNumericItems) {
  EXPECT_FALSE(ReadPackedError({5, {"0", "0", ""}}));
  EXPECT_FALSE(ReadPackedError({5, {"x", "0", "", ""}}));
  EXPECT_FALSE(ReadPackedError({5, {"0", "0", "", ""}}, 1));
  EXPECT_FALSE(ReadPackedError({5, {"0", "0", "", ""}}, 9));
  EXPECT_TRUE(ReadPackedError({267, {"0", "0", "", "", "22"}}, 0));
}

TEST(MessageLayout, BulkDataHeaders) {
  EXPECT_EQ(EncodeMessage(MakeClientDataHeader(true, 0)), S("24\0 1\0 0\0\0"sv));
  EXPECT_EQ(EncodeMessage(MakeServerDataHeader(81920)), S("24\0 81920\0\0"sv));

  const auto chunk = ParseClientDataHeader({24, {"0", "81920"}});
  ASSERT_TRUE(chunk);
  EXPECT_FALSE(chunk->last);
  EXPECT_EQ(chunk->length, 81920u);
  EXPECT_FALSE(ParseClientDataHeader({24, {"0", "81921"}}));
  EXPECT_FALSE(ParseClientDataHeader({24, {"2", "1"}}));
  EXPECT_FALSE(ParseClientDataHeader({24, {"1", "-1"}}));
  EXPECT_FALSE(ParseClientDataHeader({24, {"1"}}));
  EXPECT_FALSE(ParseClientDataHeader({24, {"1", "1", "1"}}));
  EXPECT_FALSE(ParseClientDataHeader({5, {"1", "1"}}));

  EXPECT_EQ(ParseServerDataHeader({24, {"17"}}), 17u);
  EXPECT_FALSE(ParseServerDataHeader({24, {"0"}}));
  EXPECT_FALSE(ParseServerDataHeader({24, {"81921"}}));
}

TEST(MessageParse, ReadsCodeAndItems) {
  const auto m = ParseMessage("2\0 host\0 0\0 \0 C\0 15\0\0"sv);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->code, 2);
  EXPECT_EQ(m->items, (std::vector<std::string>{"host", "0", "", "C", "15"}));

  const auto zero = ParseMessage("0\0\0"sv);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->code, 0);
  EXPECT_TRUE(zero->items.empty());
}

TEST(MessageParse, RefusesEveryMalformedPacket) {
  struct Case {
    std::string_view bytes;
    const char* why;
  } cases[] = {
      {""sv, "no NUL after the code"},
      {"15"sv, "no NUL after the code"},
      {"x\0\0"sv, "code is not a decimal number"},
      {"\0\0"sv, "code is not a decimal number"},
      {"-\0\0"sv, "code is not a decimal number"},
      {"12345678901\0\0"sv, "code is not a decimal number"},
      {"4294967296\0\0"sv, "code is not a decimal int"},
      {"+1\0\0"sv, "code is not a decimal number"},
      {"1 \0\0"sv, "code is not a decimal number"},
      {"15\0"sv, "final NUL missing"},
      {"15\0 abc\0"sv, "final NUL missing"},
      {"15\0 abc"sv, "item without NUL"},
      {"15\0xabc\0\0"sv, "item not behind a blank"},
      {"15\0 abc\0\0\0"sv, "bytes after the final NUL"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(ParseMessage(c.bytes, &why)) << tarn::test::Hex(Bytes(c.bytes));
    EXPECT_EQ(why, c.why) << tarn::test::Hex(Bytes(c.bytes));
  }
}

TEST(MessageParse, DecimalIsStrict) {
  EXPECT_EQ(ParseDecimal("81920", 0, 81920), 81920);
  EXPECT_EQ(ParseDecimal("-1", -1, 5), -1);
  EXPECT_FALSE(ParseDecimal("81921", 0, 81920));
  EXPECT_FALSE(ParseDecimal("", 0, 9));
  EXPECT_FALSE(ParseDecimal(" 1", 0, 9));
  EXPECT_FALSE(ParseDecimal("1x", 0, 9));
  EXPECT_FALSE(ParseDecimal("99999999999999999999", 0, 9));
}

TEST(FrameHeader, BigEndianBothWays) {
  const FrameHeader header = EncodeFrameHeader(0x00014000u);
  EXPECT_EQ(header, (FrameHeader{0x00, 0x01, 0x40, 0x00}));
  EXPECT_EQ(DecodeFrameHeader(FrameHeader{0xFF, 0xFF, 0xFF, 0xF0}), 0xFFFFFFF0u);
  EXPECT_EQ(Frame(""), S("\0\0\0\0"sv));
}
