// Encoding stand-in: handshake ids, and encode/decode as an in-place,
// length-keeping, reversible transform that is not the identity.
#include "merle/merle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

class MerleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(buffer_, 0, sizeof buffer_);
    std::strcpy(buffer_, "Unknown");
  }
  void TearDown() override { DeExit(); }
  char buffer_[kMerleInitBufferSize];
};

TEST_F(MerleTest, HandshakeGivesOneThenItsComplementAndStartsAgainAfterExit) {
  EXPECT_EQ(DeInit(nullptr), 0);
  EXPECT_EQ(DeInit(buffer_), 1);
  EXPECT_EQ(DeInit(buffer_), -2);
  EXPECT_EQ(DeInit(buffer_), -2);
  DeExit();
  EXPECT_EQ(DeInit(buffer_), 1);
}

TEST_F(MerleTest, EncodeChangesEveryByteAndDecodeRestoresThem) {
  ASSERT_EQ(DeInit(buffer_), 1);
  std::vector<unsigned char> plain(4099);
  std::iota(plain.begin(), plain.end(), 0);
  std::vector<unsigned char> data = plain;
  ASSERT_EQ(DeEncode(data.data(), static_cast<int>(data.size())), 0);
  ASSERT_EQ(data.size(), plain.size());
  for (std::size_t i = 0; i < data.size(); ++i) ASSERT_NE(data[i], plain[i]) << i;
  ASSERT_EQ(DeDecode(data.data(), static_cast<int>(data.size())), 0);
  EXPECT_EQ(data, plain);
}

TEST_F(MerleTest, RefusesBadArgumentsAndWorkBeforeTheHandshake) {
  unsigned char byte = 'x';
  EXPECT_EQ(DeEncode(&byte, 1), -1);
  ASSERT_EQ(DeInit(buffer_), 1);
  EXPECT_EQ(DeEncode(nullptr, 1), -1);
  EXPECT_EQ(DeDecode(&byte, -1), -1);
  EXPECT_EQ(DeEncode(&byte, 0), 0);
  EXPECT_EQ(byte, 'x');
}

}  // namespace
