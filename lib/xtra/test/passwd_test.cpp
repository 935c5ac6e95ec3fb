// Password letters (literal encodings, text beyond Latin-1, refused forms)
// and the scrambler (round trips, a literal text, rand() left alone).
#include "xtra/passwd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "tarn_test.h"

TARN_RCSID("lib/xtra/test/passwd_test.cpp");

namespace {

void FreeHeap(void* heap) {
  safe_free(heap, TARN_HERE);
}
std::string Take(char* heap) {
  return tarn::test::TakeText<FreeHeap>(heap);
}

TEST(Password, EncodesEachUtf16UnitAsFourLetters) {
  EXPECT_EQ(Take(EncodePassword("")), "");
  // 'A' is unit 0x0041, the euro sign 0x20AC: low nibble first, low byte first.
  EXPECT_EQ(Take(EncodePassword("A\xE2\x82\xAC")), "CFBBNLBD");
  // Outside the basic plane: a surrogate pair, two units D83D DE00.
  EXPECT_EQ(Take(EncodePassword("\xF0\x9F\x98\x80")), "OEJOBBPO");
  EXPECT_EQ(EncodePassword(nullptr), nullptr);
}

TEST(Password, TextBeyondLatin1RoundTrips) {
  const char* const passwords[] = {
      "p\xC3\xA4sswo\xCC\x88rd",               // combining mark
      "\xE2\x82\xAC\xE5\xAF\x86\xE7\xA0\x81",  // euro sign, CJK
      "\xF0\x9F\x98\x80 and more",             // surrogate pair
      "raw \xFF\xFE byte",                     // not UTF-8: carried as raw units
      "plain ASCII with blanks",
  };
  for (const char* password : passwords) {
    char* encoded = EncodePassword(password);
    ASSERT_NE(encoded, nullptr);
    for (const char* p = encoded; *p != '\0'; ++p) ASSERT_TRUE(*p >= 'B' && *p <= 'Q') << encoded;
    EXPECT_EQ(Take(DecodePassword(encoded)), password);
    safe_free(encoded, TARN_HERE);
  }
  EXPECT_EQ(Take(DecodePassword("")), "");
  EXPECT_EQ(DecodePassword(nullptr), nullptr);
}

TEST(Password, DecodeIgnoresARemainderAndDoesNotCheckLetters) {
  // Letters left over after the last group of four are ignored.
  EXPECT_EQ(Take(DecodePassword("CFBBC")), "A");
  EXPECT_EQ(Take(DecodePassword("CFBBNLBDQQQ")), "A\xE2\x82\xAC");
  EXPECT_EQ(Take(DecodePassword("CFB")), "");
  // Lower case 'c' is 0x21 past 'B', 'b' 0x20: (0x20 << 4 | 0x21) = 0x221,
  // plus 0x20 << 8 and 0x20 << 12, kept to 16 bits: 0x2221 (U+2221).
  EXPECT_EQ(Take(DecodePassword("cbbb")), "\xE2\x88\xA1");
  // A unit of 0 ends the password.
  EXPECT_EQ(Take(DecodePassword("CFBBBBBBCFBB")), "A");
}

TEST(Scramble, TextWithLengthMinusOneCoversTheTerminator) {
  char out[4 + 2 * 4 + 1];
  EXPECT_EQ(CmnScrambleBytes("abc", -1, out), 12);
  EXPECT_EQ(std::strlen(out), 12u);
  for (const char* p = out; *p != '\0'; ++p)
    ASSERT_TRUE(std::strchr("0123456789ABCDEF", *p) != nullptr) << out;
  char back[8] = "xxxxxxx";
  EXPECT_EQ(CmnUnScrambleBytes(out, back, sizeof back), 4);
  EXPECT_EQ(std::memcmp(back, "abc", 4), 0);
}

TEST(Scramble, BinaryRoundTripAndMaxLimit) {
  unsigned char data[256];
  for (int i = 0; i < 256; ++i) data[i] = static_cast<unsigned char>(255 - i);
  char text[4 + 2 * 256 + 1];
  ASSERT_EQ(CmnScrambleBytes(data, 256, text), 4 + 512);
  unsigned char back[256] = {};
  EXPECT_EQ(CmnUnScrambleBytes(text, back, 256), 256);
  EXPECT_EQ(std::memcmp(back, data, 256), 0);
  unsigned char part[10] = {};
  EXPECT_EQ(CmnUnScrambleBytes(text, part, 10), 10);
  EXPECT_EQ(std::memcmp(part, data, 10), 0);
}

TEST(Scramble, FixedGeneratorRestoresALiteralText) {
  // Seed 0x1234 and the bytes 'H', 'i', NUL, written on any system.
  char back[3] = {1, 1, 1};
  ASSERT_EQ(CmnUnScrambleBytes("12341327D3", back, 3), 3);
  EXPECT_EQ(std::memcmp(back, "Hi", 3), 0);
}

TEST(Scramble, LeavesTheProcessGeneratorAlone) {
  std::srand(42);
  const int expected = std::rand();
  std::srand(42);
  char out[4 + 2 * 5 + 1];
  CmnScrambleBytes("hello", 5, out);
  char back[5];
  CmnUnScrambleBytes(out, back, 5);
  EXPECT_EQ(std::rand(), expected);
}

TEST(Scramble, MalformedTextsAreRefused) {
  char back[8];
  const char* const bad[] = {"", "123", "12345", "12zz00", "1234ab", "12 4", "G0000000"};
  for (const char* text : bad) EXPECT_EQ(CmnUnScrambleBytes(text, back, 8), -1) << text;
  EXPECT_EQ(CmnUnScrambleBytes("1234", back, 8), 0);  // a seed and no bytes
  EXPECT_EQ(CharsToByte("AB"), 0xAB);
  EXPECT_EQ(CharsToByte("ab"), -1);
}

}  // namespace
