// Compression stand-in: handshake ids, a round trip through the callbacks
// with short reads, and the failure results of both passes.
#include "starling/starling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct Pipe {
  std::vector<unsigned char> source;
  std::size_t readPos = 0;
  int readStep = 1000;  // short reads, as an item read gives them
  std::vector<unsigned char> sink;
  int writeLimit = -1;  // the write that fails: -1 none
};

int ReadFrom(void* buffer, int length, void* user) {
  auto* p = static_cast<Pipe*>(user);
  const std::size_t n =
      std::min({static_cast<std::size_t>(length), static_cast<std::size_t>(p->readStep),
                p->source.size() - p->readPos});
  std::memcpy(buffer, p->source.data() + p->readPos, n);
  p->readPos += n;
  return static_cast<int>(n);
}
int WriteTo(void* buffer, int length, void* user) {
  auto* p = static_cast<Pipe*>(user);
  if (p->writeLimit == 0) return 0;
  if (p->writeLimit > 0) --p->writeLimit;
  const auto* b = static_cast<const unsigned char*>(buffer);
  p->sink.insert(p->sink.end(), b, b + length);
  return length;
}

class StarlingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(buffer_, 0, sizeof buffer_);
    std::strcpy(buffer_, "Unknown");
  }
  void TearDown() override { DcExit(); }
  char buffer_[kStarlingInitBufferSize];
};

TEST_F(StarlingTest, HandshakeGivesTheAgreedPair) {
  EXPECT_EQ(DcInit(buffer_), 0x0B0B0B0B);
  EXPECT_EQ(static_cast<unsigned>(DcInit(buffer_)), 0xF4F4F4F4u);
  DcExit();
  EXPECT_EQ(DcInit(buffer_), 0x0B0B0B0B);
}

TEST_F(StarlingTest, CompressesAndDecompressesThroughTheCallbacks) {
  ASSERT_EQ(DcInit(buffer_), 0x0B0B0B0B);
  Pipe forward;
  for (int i = 0; i < 600000; ++i) forward.source.push_back(static_cast<unsigned char>(i % 97));
  ASSERT_EQ(DcCompress2(ReadFrom, WriteTo, &forward), 0);
  EXPECT_LT(forward.sink.size(), forward.source.size() / 10);

  Pipe back;
  back.source = forward.sink;
  ASSERT_NE(DcDecompress2(ReadFrom, WriteTo, &back), 0);
  EXPECT_EQ(back.sink, forward.source);
}

TEST_F(StarlingTest, FailuresUseEachPassesOwnConvention) {
  Pipe none;
  EXPECT_NE(DcCompress2(ReadFrom, WriteTo, &none), 0);  // before the handshake
  EXPECT_EQ(DcDecompress2(ReadFrom, WriteTo, &none), 0);
  ASSERT_EQ(DcInit(buffer_), 0x0B0B0B0B);

  Pipe failedWrite;
  failedWrite.source.assign(1000, 'a');
  failedWrite.writeLimit = 0;
  EXPECT_NE(DcCompress2(ReadFrom, WriteTo, &failedWrite), 0);

  Pipe good;
  good.source.assign(5000, 'b');
  ASSERT_EQ(DcCompress2(ReadFrom, WriteTo, &good), 0);
  Pipe truncated;
  truncated.source.assign(good.sink.begin(), good.sink.end() - 4);
  EXPECT_EQ(DcDecompress2(ReadFrom, WriteTo, &truncated), 0);
  Pipe damaged;
  damaged.source = good.sink;
  damaged.source[0] ^= 0xFF;
  EXPECT_EQ(DcDecompress2(ReadFrom, WriteTo, &damaged), 0);
  EXPECT_EQ(DcDecompress2(nullptr, WriteTo, &good), 0);
}

}  // namespace
