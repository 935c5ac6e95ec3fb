// Character sets: the exact bytes of the UTF-16 <-> UTF-8 conversion, the
// round trip of raw bytes and of characters outside the BMP, message-text
// conversions and the locale conversions.
#include "cmn/utf.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/strmsg.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/utf_test.cpp");

namespace {

using Bytes = std::vector<std::uint8_t>;
using tarn::test::BytesEqual;

// A message record that frees its buffers.
struct Msg {
  StrMsg m;
  Msg() { StrMsgInitL(&m); }
  ~Msg() { StrMsgFreeL(&m); }
  Msg(const Msg&) = delete;
  Msg& operator=(const Msg&) = delete;
  Bytes bytes(size_t n) const { return Bytes(m.data, m.data + n); }
};

Bytes LE(const std::u16string& units) {
  Bytes out;
  for (char16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return out;
}

Bytes BE(const std::u16string& units) {
  Bytes out;
  for (char16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u >> 8));
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
  }
  return out;
}

Bytes W2S(const Bytes& wide, int flags, int* rc = nullptr) {
  Msg out;
  const int n =
      DynConvW2S(wide.data(), &out.m, static_cast<int>(wide.size() / 2), flags | kConvCount);
  if (rc != nullptr) *rc = n;
  EXPECT_GT(n, 0);
  if (n <= 0) return {};
  EXPECT_EQ(out.m.length, static_cast<std::uint32_t>(n - 1));
  EXPECT_EQ(out.m.data[n - 1], '\0');
  return out.bytes(static_cast<size_t>(n - 1));
}

Bytes S2W(const Bytes& narrow, int flags) {
  Msg out;
  const int n = DynConvS2W(reinterpret_cast<const char*>(narrow.data()), &out.m,
                           static_cast<int>(narrow.size()), flags | kConvCount);
  EXPECT_GE(n, 2);
  if (n < 2) return {};
  EXPECT_EQ(out.m.data[n - 1], '\0');
  EXPECT_EQ(out.m.data[n - 2], '\0');
  return out.bytes(static_cast<size_t>(n - 2));
}

TEST(Utf, WideToNarrowBytes) {
  // A, e-acute, euro, U+1F600 as a pair, a raw-byte unit, a lone surrogate.
  const std::u16string units = {0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xEEFF, 0xD800, 0x42};
  const Bytes expected = {0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F,
                          0x98, 0x80, 0xFF, 0xED, 0xA0, 0x80, 0x42};
  EXPECT_TRUE(BytesEqual(expected, W2S(LE(units), 0)));
  EXPECT_TRUE(BytesEqual(expected, W2S(BE(units), kConvBigEndian)));
  // A leading mark is skipped unless it is to be kept.
  EXPECT_TRUE(BytesEqual(Bytes{0x61}, W2S(LE(u"\xFEFF"
                                             u"a"),
                                          0)));
  EXPECT_TRUE(BytesEqual(Bytes{0xEF, 0xBB, 0xBF, 0x61}, W2S(LE(u"\xFEFF"
                                                               u"a"),
                                                            kConvKeepBom)));
}

TEST(Utf, NarrowToWideUnits) {
  const Bytes narrow = {0x41, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80};
  EXPECT_TRUE(BytesEqual(LE(u"A\xE9\xD83D\xDE00"), S2W(narrow, 0)));
  EXPECT_TRUE(BytesEqual(BE(u"A\xE9\xD83D\xDE00"), S2W(narrow, kConvBigEndian)));

  // Bytes that do not start an accepted sequence travel one by one as
  // 0xEE00 + byte: a stray byte, an overlong form, an encoded surrogate,
  // the encoding of a raw-byte unit itself, beyond U+10FFFF, a cut sequence.
  const Bytes bad = {0xFF, 0xC0, 0x80, 0xED, 0xA0, 0x80, 0xEE, 0xBA,
                     0x80, 0xF4, 0x90, 0x80, 0x80, 0xE2, 0x82};
  const std::u16string units = {0xEEFF, 0xEEC0, 0xEE80, 0xEEED, 0xEEA0, 0xEE80, 0xEEEE, 0xEEBA,
                                0xEE80, 0xEEF4, 0xEE90, 0xEE80, 0xEE80, 0xEEE2, 0xEE82};
  EXPECT_TRUE(BytesEqual(LE(units), S2W(bad, 0)));

  // Mark rules: EF BB BF is skipped unless kept; 0x10 writes FF FE / FE FF.
  EXPECT_TRUE(BytesEqual(LE(u"a"), S2W({0xEF, 0xBB, 0xBF, 'a'}, 0)));
  EXPECT_TRUE(BytesEqual(LE(u"\xFEFF"
                            u"a"),
                         S2W({0xEF, 0xBB, 0xBF, 'a'}, kConvKeepBom)));
  EXPECT_TRUE(BytesEqual(Bytes{0xFF, 0xFE, 'a', 0}, S2W({'a'}, kConvWriteBom)));
  EXPECT_TRUE(BytesEqual(Bytes{0xFE, 0xFF, 0, 'a'}, S2W({'a'}, kConvWriteBom | kConvBigEndian)));
}

TEST(Utf, EveryByteAndAPairComeBackUnchanged) {
  Bytes all;
  for (int round = 0; round < 2; ++round) {
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
  }
  const Bytes extra = {0xF0, 0x9F, 0x98, 0x80, 0xFF, 0xFE, 0xEF, 0xBB, 0xBF, 0xC3};
  all.insert(all.end(), extra.begin(), extra.end());
  EXPECT_TRUE(BytesEqual(all, W2S(S2W(all, kConvKeepBom), kConvKeepBom)));

  // The single byte 0xFF is the unit 0xEEFF and back.
  EXPECT_TRUE(BytesEqual(LE(u"\xEEFF"), S2W({0xFF}, 0)));
  EXPECT_TRUE(BytesEqual(Bytes{0xFF}, W2S(LE(u"\xEEFF"), 0)));

  // A character outside the BMP through the heap copies.
  const char* grin = "x\xF0\x9F\x98\x80y";
  char16_t* wide = StrNewCopyS2W(grin);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide), std::u16string(u"x\xD83D\xDE00y"));
  char* back = StrNewCopyW2S(wide);
  EXPECT_STREQ(back, grin);
  EXPECT_EQ(StrLenS2W(grin), 4u);
  EXPECT_EQ(StrLenW2S(wide), 6u);
  safe_free(back, TARN_HERE);
  safe_free(wide, TARN_HERE);
}

TEST(Utf, StopsAtNulOrAtTheListEnd) {
  Msg out;
  const Bytes wide = LE(std::u16string(u"ab\0cd\0\0zz", 9));
  EXPECT_EQ(DynConvW2S(wide.data(), &out.m, 0, 0), 3);
  EXPECT_STREQ(out.m.data, "ab");
  EXPECT_EQ(DynConvW2S(wide.data(), &out.m, 0, kConvList), 7);
  EXPECT_TRUE(BytesEqual(Bytes{'a', 'b', 0, 'c', 'd', 0, 0}, out.bytes(7)));
  // A count stops a list that has no end inside it.
  EXPECT_EQ(DynConvW2S(wide.data(), &out.m, 4, kConvList | kConvCount), 5);
  EXPECT_EQ(DynConvW2S(wide.data(), nullptr, 0, kConvList | kConvSizeOnly), 7);

  EXPECT_EQ(DynConvS2W("ab\0cd\0\0zz", &out.m, 0, kConvList), 14);
  EXPECT_TRUE(BytesEqual(LE(std::u16string(u"ab\0cd\0\0", 7)), out.bytes(14)));
  EXPECT_EQ(DynConvS2W(nullptr, &out.m, 0, 0), 2);
}

TEST(Utf, GrowsAsNeededAndCutsWhenItCannot) {
  // Three bytes per unit: far beyond any first guess of the target size.
  std::u16string euros(5000, u'\x20AC');
  Msg out;
  EXPECT_EQ(DynConvW2S(LE(euros + u'\0').data(), &out.m, 0, 0), 15001);
  std::string narrow(out.m.data);
  EXPECT_EQ(narrow.size(), 15000u);
  // 5000 three-byte characters widen to 10002 bytes with the terminator.
  EXPECT_EQ(DynConvS2W(narrow.c_str(), &out.m, 0, 0), 10002);

  // A borrowed buffer never grows: the text is cut before the character that
  // does not fit, terminated, and the call fails.
  char local[8];
  StrMsg borrowed;
  StrMsgInitL(&borrowed);
  StrMsgLocalL(&borrowed, local, sizeof local);
  EXPECT_EQ(DynConvW2S(LE(std::u16string(u"ab\x20AC\x20AC", 5)).data(), &borrowed, 0, 0), -1);
  EXPECT_STREQ(local, "ab\xE2\x82\xAC");
  EXPECT_EQ(borrowed.length, 5u);
  // A text that fits the borrowed buffer exactly is whole.
  EXPECT_EQ(DynConvW2S(LE(std::u16string(u"abcdefg", 8)).data(), &borrowed, 0, 0), 8);
  EXPECT_STREQ(local, "abcdefg");
}

TEST(Utf, ReceivedMarkedMessageBecomesNative) {
  // "15", NUL, " abc", NUL, NUL sent as marked UTF-16.
  const Bytes message = {'1', '5', 0, ' ', 'a', 'b', 'c', 0, 0};
  Msg wide;
  ASSERT_EQ(DynConvS2W(reinterpret_cast<const char*>(message.data()), &wide.m, 0,
                       kConvList | kConvWriteBom),
            20);
  Bytes received = wide.bytes(20);
  EXPECT_EQ(MsgCheckLEBOM(received.data()), 1);

  // Parsing converts it first.
  Msg msg;
  ASSERT_EQ(
      StrParseStartNL(&msg.m, reinterpret_cast<const char*>(received.data()), received.size()), 15);
  EXPECT_STREQ(StrParseNextL(&msg.m), "abc");
  EXPECT_TRUE(BytesEqual(message, Bytes(StrMsgGetRBufL(&msg.m), StrMsgGetRBufL(&msg.m) + 9)));
  // The borrowed received text itself is left alone.
  EXPECT_EQ(received[0], 0xFF);
  EXPECT_EQ(StrMsgAdjustToNativeL(&msg.m), 0);

  // Directly, on a data buffer holding the marked text.
  Msg direct;
  ASSERT_EQ(DynConvS2W(reinterpret_cast<const char*>(message.data()), &direct.m, 0,
                       kConvList | kConvWriteBom | kConvBigEndian),
            20);
  EXPECT_EQ(MsgCheckLEBOM(direct.m.data), 2);
  EXPECT_EQ(StrMsgAdjustToNativeL(&direct.m), 1);
  EXPECT_TRUE(BytesEqual(message, direct.bytes(9)));
  EXPECT_EQ(direct.m.length, 8u);

  // The same through a counted heap buffer, shrunk to size.
  int len = static_cast<int>(received.size());
  char* buf = static_cast<char*>(safe_malloc(received.size(), TARN_HERE));
  std::memcpy(buf, received.data(), received.size());
  EXPECT_EQ(DynBufAdjustToNative(&buf, &len, kConvList | 8), 1);
  EXPECT_EQ(len, 8);
  EXPECT_TRUE(BytesEqual(message, Bytes(buf, buf + 9)));
  EXPECT_EQ(DynBufAdjustToNative(&buf, &len, 0), 0);
  safe_free(buf, TARN_HERE);
}

TEST(Utf, FlattenedMessages) {
  char text[] = {'1', '5', 0, ' ', 'a', 0, ' ', 'b', 0, 0};
  MsgConvertNullToChar(text);
  EXPECT_TRUE(BytesEqual(Bytes{'1', '5', 3, ' ', 'a', 3, ' ', 'b', 0, 0}, Bytes(text, text + 10)));
  MsgConvertCharToNull(text);
  EXPECT_TRUE(BytesEqual(Bytes{'1', '5', 0, ' ', 'a', 0, ' ', 'b', 0, 0}, Bytes(text, text + 10)));
  MsgConvertNullToCharWithZeros(text);
  EXPECT_TRUE(BytesEqual(Bytes{'1', '5', 3, ' ', 'a', 3, ' ', 'b', 3, 0}, Bytes(text, text + 10)));
}

TEST(Utf, InPlaceMessageListsAndMarks) {
  char16_t list[] = {0xFEFF, 'o', 'k', 0, 0x263A, 0, 0};
  EXPECT_EQ(MsgCheckBOM(list), 1);
  EXPECT_EQ(MsgReversedUnicode2Ascii(list), -2);
  EXPECT_EQ(MsgAdjustToNative(list), 6);
  EXPECT_TRUE(BytesEqual(Bytes{'o', 'k', 0, '_', 0, 0},
                         Bytes(reinterpret_cast<char*>(list), reinterpret_cast<char*>(list) + 6)));

  char16_t swapped[] = {0xFFFE, 0x6100, 0, 0};
  EXPECT_EQ(MsgCheckBOM(swapped), 2);
  EXPECT_EQ(MsgAdjustToNative(swapped), 3);
  EXPECT_EQ(reinterpret_cast<char*>(swapped)[0], 'a');

  char16_t rev[] = {0x6100, 0x6200, 0, 0};
  EXPECT_EQ(MsgReversedUnicode2Unicode(rev), 4);
  EXPECT_EQ(rev[0], u'a');
  EXPECT_EQ(rev[1], u'b');

  alignas(char16_t) char wide[16] = {'h', 'i', 0, 0};
  EXPECT_EQ(MsgAscii2Unicode(wide, sizeof wide), 10);
  EXPECT_TRUE(BytesEqual(Bytes{0xFF, 0xFE, 'h', 0, 'i', 0, 0, 0, 0, 0}, Bytes(wide, wide + 10)));
  char tight[6] = {'h', 'i', 0, 0};
  EXPECT_EQ(MsgAscii2Unicode(tight, sizeof tight), -1);
}

TEST(Utf, SmallCopiesAndClasses) {
  // Cut at a character boundary, never inside a sequence.
  char narrow[5];
  StrCopyW2S(narrow, u"a\x20AC\x20AC", 4);
  EXPECT_STREQ(narrow, "a\xE2\x82\xAC");
  char16_t wide[3];
  StrCopyS2W(wide, "a\xF0\x9F\x98\x80", 2);
  EXPECT_EQ(std::u16string(wide), u"a");

  // Byte-wise copies are each other's inverse for every byte value.
  char16_t latin[3];
  StrCopyA2W(latin, "\xE9x", 2);
  EXPECT_EQ(latin[0], 0xE9);
  char back[3];
  StrCopyW2A(back, latin, 2);
  EXPECT_STREQ(back, "\xE9x");
  EXPECT_EQ(IsConvertableW2A(latin), 1);
  EXPECT_EQ(IsConvertableW2A(u"\x20AC"), 0);

  EXPECT_EQ(StrIsPureAscii("abc"), 1);
  EXPECT_EQ(StrIsPureAscii("\xC3\xA9"), 0);
  EXPECT_EQ(StrUsesPUAspecialUTF16LE(u"a\xEE80"), 1);
  EXPECT_EQ(StrUsesPUAspecialUTF16LE(u"a\xEE7F"), 0);
  EXPECT_EQ(StrMaxBitsUTF16LE(u"a\xE9\x20AC", 0), 16);
  EXPECT_EQ(StrMaxBitsUTF16LE(u"a\xD83D\xDE00", 0), 20);
  EXPECT_EQ(StrMaxBitsUTF16LE(u"a\x20AC", -1), 7);
  EXPECT_EQ(StrMaxBitsUTF16LE(u"\xE9\x20AC\xD83D\xDE00", 7), 8);
  EXPECT_EQ(lstrlenW(u"abc"), 3);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(StrNullCopyW2S(nullptr), nullptr);
  char* empty = StrNewCopyW2S(nullptr);
  EXPECT_STREQ(empty, "");
  safe_free(empty, TARN_HERE);
}

TEST(Utf, LocaleConversionsThroughIconv) {
  char* utf8 = StrNullCopyAdjustLC("caf\xE9", "ISO-8859-1");
  ASSERT_NE(utf8, nullptr);
  EXPECT_STREQ(utf8, "caf\xC3\xA9");
  char* latin = StrNullCopyAdjustLC_input(utf8, "ISO-8859-1");
  ASSERT_NE(latin, nullptr);
  EXPECT_STREQ(latin, "caf\xE9");
  safe_free(latin, TARN_HERE);
  safe_free(utf8, TARN_HERE);

  // Not all input converts: refused as a whole.
  EXPECT_EQ(StrNullCopyAdjustLC_input("\xE2\x82\xAC", "ISO-8859-1"), nullptr);
  EXPECT_EQ(StrNullCopyAdjustLC("x", "NO-SUCH-CODESET"), nullptr);
  EXPECT_EQ(IsValidUXLocale("UTF-8"), 1);
  EXPECT_EQ(IsValidUXLocale("NO-SUCH-CODESET"), 0);
}

}  // namespace
