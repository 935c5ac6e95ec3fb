// Packed catalogue messages: the flattened bytes of a packed message, its
// expansion with the receiver's catalogue, nesting, hostile arguments and
// input, printing, the troubleshooting table and the callback formatter.
#include "cmn/nlspack.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/str.h"
#include "nls_test_util.h"
#include "tarn_test.h"

using namespace std::string_literals;

TARN_RCSID("lib/cmn/test/nlspack_test.cpp");

namespace {

constexpr const char* kSource =
    "11 1 one\n"
    "11 2 two\n"
    "250 1 %2$s %1$d\\n\n"
    "250 2 Outer: %s!\n"
    "250 3 %s/%s\n"
    "250 4 [%s|%s|%s]\n"
    "250 5 %5d items, %.1f%%\n"
    "250 6 %1$s-%1$s-%3$s\n"
    "250 7 %s at %s\n"
    "253 1 12:1000,\\t1 ,\\t0\n"
    "253 2 12:1001,\\t0 ,\\t0\n"
    "253 3 131:51,\\t0 ,\\t4\n"
    "253 4 end of table\n";

std::string Expand(const char* packed) {
  char* text = NlsFormatPackedMessage(packed);
  std::string out = text != nullptr ? text : "<null>";
  safe_free(text, TARN_HERE);
  return out;
}

class PackTest : public nlstest::NlsFixture {
 protected:
  void SetUp() override {
    NlsFixture::SetUp();
    Install("C", kSource);
    CmnSetProgname("packtest");
  }
  void TearDown() override {
    TrbExit();
    NlsFixture::TearDown();
  }
};

TEST_F(PackTest, PositionalArgumentsArePackedInPositionOrder) {
  const std::string packed = NlsPackMessage(250, 1, 42, "x");
  EXPECT_TRUE(tarn::test::BytesEqual(tarn::test::Bytes("15\x03 \x07\x01[250:1]\x03 42\x03 x\x03"s),
                                     tarn::test::Bytes(packed)));
  EXPECT_EQ(Expand(packed.c_str()), "x 42\n");
}

TEST_F(PackTest, NestedMessageTravelsAsOneItem) {
  const char* inner = NlsPackMessage(250, 1, 42, "x");
  const std::string innerCopy = inner;
  const std::string packed = NlsPackMessage(250, 2, inner);
  EXPECT_EQ(std::string(inner), innerCopy);  // the caller's text is left alone
  EXPECT_TRUE(tarn::test::BytesEqual(
      tarn::test::Bytes("15\x03 \x07\x01[250:2]\x03 \x07\x01[250:1]\x03 42\x03 x\x03"s),
      tarn::test::Bytes(packed)));
  EXPECT_EQ(Expand(packed.c_str()), "Outer: x 42\n!");
  // Nested twice, the items come apart and join again in order.
  EXPECT_EQ(Expand(NlsPackMessage(250, 7, NlsPackMessage(250, 2, inner), "noon")),
            "Outer: x 42\n! at noon");
}

TEST_F(PackTest, PackersInOneArgumentListDoNotOverwriteEachOther) {
  EXPECT_EQ(Expand(NlsPackMessage(250, 3, NlsPackLiteral(1), NlsPackLiteral(2))), "one/two");
  EXPECT_EQ(
      Expand(NlsPackMessage(250, 4, NlsPackMessage(250, 3, "a", "b"),
                            NlsPackMessage(250, 3, "c", "d"), NlsPackMessage(250, 3, "e", "f"))),
      "[a/b|c/d|e/f]");
}

TEST_F(PackTest, PlainArgumentsCannotShiftTheOthers) {
  const std::string packed = NlsPackMessage(250, 4,
                                            "a\x03"
                                            "b",
                                            "\x07\x01[250:3]%s%s", "c");
  EXPECT_TRUE(tarn::test::BytesEqual(
      tarn::test::Bytes("15\x03 \x07\x01[250:4]\x03 a b\x03 \x01[250:3]%s%s\x03 c\x03"s),
      tarn::test::Bytes(packed)));
  EXPECT_EQ(Expand(packed.c_str()), "[a b|\x01[250:3]%s%s|c]");
  // A nested message short of its own arguments is carried as its text.
  EXPECT_EQ(NlsPackMessage(250, 3, "15\x03 \x07\x01[250:2]\x03", "end"),
            "15\x03 \x07\x01[250:3]\x03 Outer: !\x03 end\x03"s);
}

TEST_F(PackTest, ArgumentsTakeTheCatalogueFormatButKeepTheirType) {
  EXPECT_EQ(Expand(NlsPackMessage(250, 5, 7, 99.5)), "    7 items, 99.5%");
  // Wrong kinds, a null text and a missing argument.
  EXPECT_EQ(Expand(NlsPackMessage(250, 5, "many", 3)), "many items, 3.0%");
  EXPECT_EQ(Expand(NlsPackMessage(250, 4, static_cast<const char*>(nullptr), 1)), "[(NULL)|1|]");
  // The same argument twice and a gap: every position keeps its own item.
  const std::string packed = NlsPackMessage(250, 6, "a", "b", "c");
  EXPECT_EQ(packed, "15\x03 \x07\x01[250:6]\x03 a\x03 b\x03 c\x03"s);
  EXPECT_EQ(Expand(packed.c_str()), "a-a-c");
}

TEST_F(PackTest, MissingTextStillPacksTheFailure) {
  const std::string packed = NlsPackMessage(250, 99, "ignored");
  EXPECT_EQ(packed,
            "15\x03 \x07\x22packtest: Bad catalog access for message #99 in set 250\n\x03"s);
  EXPECT_EQ(Expand(packed.c_str()), "packtest: Bad catalog access for message #99 in set 250\n");
}

TEST_F(PackTest, LongArgumentBecomesEllipsis) {
  const std::string big(3000, 'y');
  const std::string packed = NlsPackMessage(250, 3, big, "tail");
  EXPECT_LE(packed.size(), static_cast<size_t>(kNlsPackedMax));
  EXPECT_EQ(Expand(packed.c_str()), ".../tail");
  EXPECT_EQ(Expand(NlsPackMessage(250, 3, std::string(2000, 'z'), "tail")),
            std::string(2000, 'z') + "/tail");
}

TEST_F(PackTest, TypedItems) {
  EXPECT_STREQ(NlsPackLiteral(12), "\x07\x02[12]");
  EXPECT_STREQ(NlsPackTime(1700000000),
               "\x07\x04"
               "1700000000");
  EXPECT_STREQ(NlsPackShortTime(5),
               "\x07\x05"
               "5");
  EXPECT_STREQ(NlsPackFloat(3.5, "%.2f"),
               "\x07\x06"
               "3.50S%.2f");
  EXPECT_STREQ(NlsPackFloat(3.5, "%s%n"),
               "\x07\x06"
               "3.5S%g");  // only a float format is used
  EXPECT_STREQ(StrFromFloat("2,75S%.1f"), "2.8");
  EXPECT_STREQ(StrFromFloat("1.5S%d%s"), "1.5");
  const std::string time = StrFromTime(1700000000);
  const std::string shortTime = StrShortFromTime(1700000000);
  EXPECT_EQ(Expand(NlsPackMessage(250, 4, NlsPackTime(1700000000), NlsPackShortTime(1700000000),
                                  NlsPackFloat(0.25, "%.3f"))),
            "[" + time + "|" + shortTime + "|0.250]");
  EXPECT_EQ(isformat("\x07\x01[1:2]"), 0);
  EXPECT_EQ(isformat("\x07%s %d"), 2);
  EXPECT_EQ(isformat("plain %s"), -1);
  EXPECT_STREQ(NlsFormatLiteral("see [2]"), "two");
  EXPECT_STREQ(NlsFormatLiteral("no literal"), "two");
}

TEST_F(PackTest, ExpansionOfHostileInputStaysBounded) {
  EXPECT_EQ(Expand("4\x03 not packed\x03"), "<null>");
  EXPECT_EQ(Expand("garbage"), "<null>");
  EXPECT_EQ(Expand(""), "<null>");
  EXPECT_EQ(Expand("15\x03 \x07\x01[250:999999999999]\x03 x\x03"), "\x01[250:999999999999]");
  EXPECT_EQ(Expand("15\x03 \x07\x01[250:2"), "\x01[250:2");
  EXPECT_EQ(Expand("15\x03 \x07\x06"
                   "1.0S%s%s%s%n\x03"),
            "1");
  // A format that repeats a large argument many times is cut.
  std::string format = "15\x03 \x07";
  for (int i = 0; i < 500; ++i) format += "%1$s";
  format += "\x03 " + std::string(1000, 'q') + "\x03";
  const std::string out = Expand(format.c_str());
  EXPECT_EQ(out.size(), kSKprintfMax);
}

TEST_F(PackTest, SKprintfExpandsFormatsFromTheEnd) {
  const std::string message = "1068\0 \x07%s+%s\0 \x07<%2$s%1$s>\0 a\0 b\0 c\0\0"s;
  char* out = SKprintf(message.c_str());
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "<ba>+c");
  safe_free(out, TARN_HERE);
  EXPECT_EQ(SKprintf("5\0 x\0\0"), nullptr);
}

TEST_F(PackTest, ExtractWrapsAPlainText) {
  char* out = NlsExtractFromSM("literal \x07\x02[1] here");
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "literal \x07\x02[1] here");
  safe_free(out, TARN_HERE);
  out = NlsExtractFromSM(NlsPackMessage(250, 3, "p", "q"));
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "p/q");
  safe_free(out, TARN_HERE);
}

TEST_F(PackTest, PrintingByMessageCode) {
  auto printed = [](const std::string& text) {
    FILE* stream = std::tmpfile();
    FPrintPackedMessage(stream, text.c_str());
    std::rewind(stream);
    char buffer[512] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    return std::string(buffer, n);
  };
  EXPECT_EQ(printed("4\0 first item\x03 kept\0 second\0\0"s), "first item\x03 kept");
  EXPECT_EQ(printed(NlsPackMessage(250, 1, 1, "y")), "y 1\n");
  EXPECT_EQ(printed("15\0 \x07\x01[250:3]\0 m\0 n\0\0"s), "m/n");
  EXPECT_EQ(printed("77 odd"), "77 odd");
}

TEST_F(PackTest, TroubleshootingTable) {
  int description = -9;
  int action = -9;
  EXPECT_EQ(TrbGetExtendedInfo(131, 51, &description, &action), 3);
  EXPECT_EQ(description, 0);
  EXPECT_EQ(action, 4);
  EXPECT_EQ(TrbIsExtendedMessage(12, 1000), 1);
  EXPECT_EQ(TrbIsExtendedMessage(12, 1001), 0);
  EXPECT_EQ(TrbHasDescription(12, 1000), 1);
  EXPECT_EQ(TrbHasAction(1, 1), -1);
  EXPECT_EQ(TrbGetExtendedInfo(1, 1, &description, &action), 0);
  EXPECT_EQ(pTrbObjTab[3].set, -1);
  EXPECT_EQ(TrbInit(), 0);  // loaded once

  char text[] = "see [12:1000], [12:1001] and [131:51] [x";
  char** list = nullptr;
  ASSERT_EQ(TrbParseNext(text, &list), 2);
  EXPECT_STREQ(list[0], "12:1000");
  EXPECT_STREQ(list[1], "131:51");
  EXPECT_STREQ(text, "see X12:1000], X12:1001] and X131:51] Xx");
  for (int i = 0; i < 2; ++i) safe_free(list[i], TARN_HERE);
  safe_free(list, TARN_HERE);
}

struct Piece {
  int type;
  std::string text;
  int width;
  int precision;
};

void Collect(void* context, const StrFormatPiece* piece) {
  auto* pieces = static_cast<std::vector<Piece>*>(context);
  std::string text;
  if (piece->type == 12 || piece->type == 11) text.assign(piece->value.s, piece->length);
  pieces->push_back(Piece{piece->type, text, piece->width, piece->precision});
}

TEST(StrFormatTest, PiecesAndSizeEstimate) {
  std::vector<Piece> pieces;
  const size_t size =
      strformat(Collect, &pieces, "a%5.2fb%sc%d%%%I64u%lu", 1.5, "xy", 7, 8ull, 9ul);
  ASSERT_EQ(pieces.size(), 9u);
  const int types[] = {12, 9, 12, 12, 12, 3, 12, 8, 6};
  for (size_t i = 0; i < pieces.size(); ++i) EXPECT_EQ(pieces[i].type, types[i]) << i;
  EXPECT_EQ(pieces[1].width, 5);
  EXPECT_EQ(pieces[1].precision, 2);
  EXPECT_EQ(pieces[3].text, "xy");
  EXPECT_EQ(pieces[6].text, "%");
  EXPECT_EQ(size, 1u + 30 + 1 + 2 + 1 + 10 + 1 + 20 + 10);
  // A text where a number is asked for arrives as a text; a missing one empty.
  pieces.clear();
  EXPECT_EQ(strformat(Collect, &pieces, "%d%s", "abc"), 3u);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].type, 12);
  EXPECT_EQ(pieces[0].text, "abc");
  EXPECT_EQ(pieces[1].text, "");
  EXPECT_EQ(strformat(nullptr, nullptr, "%q%I8d", 1), 10u);
}

}  // namespace
