// CRC-32: literal values of this variant, and agreement of both table forms
// with a bit-by-bit reference at every alignment and length.
#include "cmn/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "cmn/defines.h"

TARN_RCSID("lib/cmn/test/crc_test.cpp");

namespace {

// One bit at a time, straight from the polynomial: shares no table with the
// code under test.
std::uint32_t ReferenceCrc(const unsigned char* p, std::size_t n) {
  std::uint32_t r = 0;
  for (std::size_t i = 0; i < n; ++i) {
    r ^= p[i];
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) != 0 ? 0xEDB88320u : 0u);
  }
  return r;
}

TEST(Crc, KnownValuesOfThisVariant) {
  EXPECT_EQ(CmnGenerateCRC(nullptr, 0), 0u);
  EXPECT_EQ(CmnGenerateCRC("abc", 3), 0xCA6598D0u);
  // The zlib variant (initial 0xFFFFFFFF, final inversion) gives 0xCBF43926 here.
  EXPECT_EQ(CmnGenerateCRC("123456789", 9), 0x2DFD2D88u);
  std::vector<unsigned char> pattern(1024);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(CmnGenerateCRC(pattern.data(), pattern.size()), 0x58BEE308u);
}

TEST(Crc, BothFormsMatchReferenceAtEveryAlignmentAndLength) {
  std::mt19937 random(20240611);
  std::vector<unsigned char> buffer(700);
  for (auto& b : buffer) b = static_cast<unsigned char>(random());
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length + offset <= buffer.size();
         length += (length < 80 ? 1 : 37)) {
      const unsigned char* p = buffer.data() + offset;
      const std::uint32_t expected = ReferenceCrc(p, length);
      ASSERT_EQ(SlicingBy16CRC32_32bit_LE(p, length), expected)
          << "offset " << offset << " length " << length;
      ASSERT_EQ(SlicingBy16CRC32_32bit_BE(p, length), expected)
          << "offset " << offset << " length " << length;
      ASSERT_EQ(CmnGenerateCRC(p, length), expected) << "offset " << offset << " length " << length;
    }
  }
}

// Long buffers take a different path (two interleaved lanes joined at the
// end); cross its block boundaries at every alignment.
TEST(Crc, LongBuffersMatchReferenceAcrossBlockBoundaries) {
  std::mt19937 random(99);
  std::vector<unsigned char> buffer(3 * 4096 + 64);
  for (auto& b : buffer) b = static_cast<unsigned char>(random());
  const std::size_t lengths[] = {4095, 4096, 4097, 4096 + 15, 8191, 8192, 8192 + 33, 3 * 4096 + 17};
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length : lengths) {
      const unsigned char* p = buffer.data() + offset;
      const std::uint32_t expected = ReferenceCrc(p, length);
      ASSERT_EQ(SlicingBy16CRC32_32bit_LE(p, length), expected)
          << "offset " << offset << " length " << length;
      ASSERT_EQ(SlicingBy16CRC32_32bit_BE(p, length), expected)
          << "offset " << offset << " length " << length;
    }
  }
}

}  // namespace
