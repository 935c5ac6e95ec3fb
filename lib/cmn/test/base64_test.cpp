// Base64: padding of every remainder, round trips of binary data, and every
// form the strict decoder must refuse (with error 1009 marked).
#include "cmn/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn_test_util.h"

TARN_RCSID("lib/cmn/test/base64_test.cpp");

namespace {

using cmntest::Take;

class Base64 : public cmntest::ErrorStateTest {};

TEST_F(Base64, EncodesWithPaddingByRemainder) {
  EXPECT_EQ(Take(base64Tencode("")), "");
  EXPECT_EQ(Take(base64Tencode("f")), "Zg==");
  EXPECT_EQ(Take(base64Tencode("fo")), "Zm8=");
  EXPECT_EQ(Take(base64Tencode("foo")), "Zm9v");
  EXPECT_EQ(Take(base64Tencode("foob")), "Zm9vYg==");
  EXPECT_EQ(Take(base64Tencode("fooba")), "Zm9vYmE=");
  EXPECT_EQ(Take(base64Tencode("foobar")), "Zm9vYmFy");
  const unsigned char high[] = {0xFB, 0xFF, 0xBF, 0x00};
  EXPECT_EQ(Take(base64encode(high, sizeof high)), "+/+/AA==");
}

TEST_F(Base64, DecodesPaddedGroupsAndAddsToLength) {
  std::size_t length = 10;  // the count is added, not stored
  char* out = base64decode("Zm9vYmE=", &length);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 15u);
  EXPECT_STREQ(out, "fooba");
  safe_free(out, TARN_HERE);
  EXPECT_EQ(Take(base64Tdecode("Zg==")), "f");
  EXPECT_EQ(Take(base64Tdecode("Zm8=")), "fo");

  length = 0;
  out = base64decode("", &length);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out[0], '\0');
  safe_free(out, TARN_HERE);
}

TEST_F(Base64, BinaryRoundTripOfEveryLengthUpTo300) {
  std::vector<unsigned char> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37 + 11);
  for (std::size_t n = 0; n <= data.size(); ++n) {
    char* text = base64encode(data.data(), n);
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(std::strlen(text), (n + 2) / 3 * 4);
    std::size_t length = 0;
    char* back = base64decode(text, &length);
    ASSERT_NE(back, nullptr) << text;
    ASSERT_EQ(length, n);
    EXPECT_EQ(std::memcmp(back, data.data(), n), 0) << n;
    safe_free(back, TARN_HERE);
    safe_free(text, TARN_HERE);
  }
}

TEST_F(Base64, RefusesEveryMalformedForm) {
  const char* const bad[] = {
      "Zg=",         // length not a multiple of four
      "Zm9vY",       // one character left over
      "Zm9vYmE",     // three characters left over
      "Zm9v Zg==",   // a blank
      "Zm9v\nZg==",  // a line break
      "Zm9v\r\n",    // trailing line break
      "Zg==Zm9v",    // padding before the last group
      "Zm8=Zm8=",    // one '=' before the last group
      "Z===",        // '=' in second place
      "====",        // nothing but padding
      "Zm=v",        // '=' in third place without a fourth
      "Zm9-",        // URL-safe alphabet is not base64 here
      "Zm9_",
      "Zm9v\x80\x81\x82\x83",  // bytes above 0x7F
      "Zm.v",
  };
  for (const char* text : bad) {
    ErhClearError();
    std::size_t length = 0;
    EXPECT_EQ(base64decode(text, &length), nullptr) << text;
    EXPECT_EQ(length, 0u) << text;
    EXPECT_EQ(ErhErrno(), 1009) << text;
  }
  ErhClearError();
  EXPECT_EQ(base64Tdecode(nullptr), nullptr);
}

}  // namespace
