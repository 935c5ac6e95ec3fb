// Byte layout of backup images and the checks a restore makes on them.
#include "db2/image.h"

#include <gtest/gtest.h>

#include "db2/util.h"
#include "tarn_test.h"

namespace db2sim {
namespace {

std::span<const std::uint8_t> Span(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(ImageLayout, ShareHeaderBytes) {
  ShareHeader h{1, 3, -2, 0x0102, 0x10, 0x20, 0x1122334455667788ULL, 0xA1A2A3A4A5A6A7A8ULL};
  auto b = EncodeShareHeader(h);
  EXPECT_TRUE(
      tarn::test::BytesEqual(tarn::test::Bytes(std::string("SDB2IMG1"
                                                           "\x01\x00\x00\x00"
                                                           "\x01\x00\x00\x00"
                                                           "\x03\x00\x00\x00"
                                                           "\xfe\xff\xff\xff"
                                                           "\x02\x01\x00\x00\x00\x00\x00\x00"
                                                           "\x10\x00\x00\x00\x00\x00\x00\x00"
                                                           "\x20\x00\x00\x00\x00\x00\x00\x00"
                                                           "\x88\x77\x66\x55\x44\x33\x22\x11"
                                                           "\xa8\xa7\xa6\xa5\xa4\xa3\xa2\xa1",
                                                           kShareHeaderSize)),
                             b));
  auto back = DecodeShareHeader(b);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->node, -2);
  EXPECT_EQ(back->shareChecksum, h.shareChecksum);
}

TEST(ImageLayout, HeaderOutsideItsPayloadIsRefused) {
  ShareHeader h{0, 1, 0, 10, 4, 7, 0, 0};  // 4 + 7 > 10
  EXPECT_FALSE(DecodeShareHeader(EncodeShareHeader(h)));
  h = {1, 1, 0, 10, 0, 10, 0, 0};  // index not below count
  EXPECT_FALSE(DecodeShareHeader(EncodeShareHeader(h)));
  auto b = EncodeShareHeader({0, 1, 0, 10, 0, 10, 0, 0});
  b[8] = 2;  // unknown version
  EXPECT_FALSE(DecodeShareHeader(b));
}

TEST(ImageLayout, PayloadRecordBytes) {
  std::string p = EncodePayload({{"TS/0", "ab"}});
  EXPECT_TRUE(tarn::test::BytesEqual(
      tarn::test::Bytes(std::string("\x04\x00\x00\x00TS/0\x02\x00\x00\x00\x00\x00\x00\x00"
                                    "ab",
                                    18)),
      Span(p)));
  auto back = DecodePayload(Span(p));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].data, "ab");
  EXPECT_THROW(DecodePayload(Span(p.substr(0, p.size() - 1))), Error);
  std::string huge = p;
  huge[8] = '\xff';  // data length far beyond the payload
  EXPECT_THROW(DecodePayload(Span(huge)), Error);
}

// Builds the objects a backup of `payload` over `count` sessions sends.
std::vector<std::string> Objects(const std::string& payload, std::uint32_t count) {
  std::uint64_t sum = Checksum(Span(payload));
  std::vector<std::string> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto [off, len] = ShareRange(payload.size(), i, count);
    auto share = payload.substr(off, len);
    auto h = EncodeShareHeader({i, count, 0, payload.size(), off, len, sum, Checksum(Span(share))});
    out.push_back(std::string(h.begin(), h.end()) + share);
  }
  return out;
}

TEST(ImageAssembly, SharesInAnyOrderGiveThePayloadBack) {
  std::string payload(1001, 'x');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  auto objects = Objects(payload, 3);
  std::swap(objects[0], objects[2]);
  EXPECT_EQ(AssembleShares(objects), payload);
  EXPECT_EQ(AssembleShares(Objects("", 2)), "");
}

TEST(ImageAssembly, DamagedOrIncompleteImagesAreRefused) {
  std::string payload(300, 'q');
  auto objects = Objects(payload, 3);

  auto flipped = objects;
  flipped[1][kShareHeaderSize + 5] ^= 1;
  EXPECT_THROW(AssembleShares(flipped), Error);

  auto shortened = objects;
  shortened[2].pop_back();
  EXPECT_THROW(AssembleShares(shortened), Error);

  auto missing = objects;
  missing.pop_back();
  EXPECT_THROW(AssembleShares(missing), Error);

  auto twice = objects;
  twice[2] = twice[1];
  EXPECT_THROW(AssembleShares(twice), Error);

  EXPECT_THROW(AssembleShares({"not an image"}), Error);
  // A header that claims a huge image is refused before anything is sized by it.
  auto h = EncodeShareHeader({0, 1, 0, 1ULL << 60, 0, 1ULL << 60, 0, 0});
  EXPECT_THROW(AssembleShares({std::string(h.begin(), h.end())}), Error);
}

}  // namespace
}  // namespace db2sim
