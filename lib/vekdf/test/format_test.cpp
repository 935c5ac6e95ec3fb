// The data stream as it travels: literal bytes of blocks and records written
// by the record writers, big-endian and 8-aligned.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cmn/defines.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"
#include "vekdf_test_util.h"

TARN_RCSID("lib/vekdf/test/format_test.cpp");

using namespace vekdftest;
using tarn::test::BytesEqual;

namespace {

class FormatTest : public StreamTest {};

TEST_F(FormatTest, FirstBlockHoldingOneSmallDataRecord) {
  Open(256);
  std::uint32_t granted = 0;
  std::uint8_t* data = RmGetObjDataBuf(5, &granted);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(granted, 5u);
  std::memcpy(data, "hello", 5);
  ASSERT_EQ(RmWriteObjData(data, 7, 5, 0x10, 0, 0, 0), 1);
  const auto& blocks = Flush();
  ASSERT_EQ(blocks.size(), 1u);
  const std::vector<std::uint8_t> expected = FromHex(
      // block header: magic, "ABCD", DA id, 0, 1, version 1001, block 0,
      // capacity 256, used 160, 0, 0, five zero words
      "BBBBBBBB 41424344 00000102 00000000 00000001 000003E9 00000000 00000100"
      "000000A0 00000000 00000000 00000000 00000000 00000000 00000000 00000000"
      // record header: magic, type 3, format 7, version 1002, record 0,
      // length 93, reserved
      "AAAAAAAA 00000003 00000007 000003EA 00000000 0000005D 00000000 00000000"
      // item 7, offset 0x10 (low, high), length low 5, data offset 88,
      // compression 0, transform 0, length high 0, reserved
      "00000007 00000010 00000000 0005 0058 00000000 00000000 0000 0000"
      "00000000 00000000 00000000 00000000 00000000 00000000 00000000"
      // the data, then zeros to the next multiple of 8
      "68656C6C6F 000000");
  ASSERT_EQ(expected.size(), 160u);
  EXPECT_TRUE(BytesEqual(expected, Slice(blocks[0], 0, 160)));
  EXPECT_TRUE(AllZero(Slice(blocks[0], 160, 96)));
  EXPECT_EQ(sink_->usedBytes[0], 160u);
}

TEST_F(FormatTest, StartRecord) {
  Open(512);
  ASSERT_EQ(
      RmWriteStart(0x11, 0x5F000001, 0x5E000002, 5, 1, 2, 3, 4, 6, "ob", "d", "VEKBAR", "A.01"), 1);
  const auto& blocks = Flush();
  ASSERT_EQ(blocks.size(), 1u);
  const std::vector<std::uint8_t> expected = FromHex(
      // type 0, format 7, record 0, length 116 + 17 texts
      "AAAAAAAA 00000000 00000007 000003EA 00000000 00000085 00000000 00000000"
      // DA id, object type, backup type, access type and value, protection
      // type and value, start time, since time
      "00000011 00000005 00000001 00000002 00000003 00000004 00000006 5F000001 5E000002"
      // (length with NUL, offset) of name, description, application, its
      // description
      "0003 0074 0002 0077 0007 0079 0005 0080"
      // 32 reserved bytes
      "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000"
      // "ob", "d", "VEKBAR", "A.01", each with its NUL, then the gap
      "6F6200 6400 56454B42415200 412E303100 000000");
  EXPECT_TRUE(BytesEqual(expected, Slice(blocks[0], 64, expected.size())));
  EXPECT_EQ(sink_->usedBytes[0], 64u + 136u);
}

TEST_F(FormatTest, AttributeRecordSplitsWideFields) {
  Open(512);
  DaItemAttr attr{};
  attr.itemId = 9;
  attr.fileType = kDaFileRegular;
  attr.attributes = 0xA1B2C3D4;
  attr.name = "ignored";
  attr.longName = "f";
  attr.size = 0x123456789ull;
  attr.quantity = 0x200000003ull;
  attr.uid = 0x00010002;
  attr.gid = 0x00030004;
  attr.mode = 0644;
  attr.time[0] = 0x11;
  attr.time[1] = 0x22;
  attr.time[kDaAttrModifyTime] = 0x5F5E5D5C;
  attr.time[3] = 0x44;
  attr.reserved = 0x55;
  ASSERT_EQ(RmWriteObjAttr(attr), 1);
  const auto& blocks = Flush();
  const std::vector<std::uint8_t> expected = FromHex(
      "AAAAAAAA 00000001 0000000A 000003EA 00000000 00000096 00000000 00000000"
      // item id, file type, attribute word
      "00000009 00000002 A1B2C3D4"
      // uid low, gid low, mode, reserved
      "0002 0004 01A4 0000"
      // time words: only the modification time travels
      "00000000 00000000 5F5E5D5C 00000000"
      // size low, quantity low, name (length 2, offset 148), reserved word
      "23456789 00000003 0002 0094 00000000"
      // uid high, gid high, size high, quantity high
      "0001 0003 00000001 00000002"
      // 20 reserved bytes and the 32 bytes copied as given
      "00000000 00000000 00000000 00000000 00000000"
      "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000"
      "6600 000000000000");
  EXPECT_TRUE(BytesEqual(expected, Slice(blocks[0], 64, expected.size())));
}

TEST_F(FormatTest, EncryptionRecordCarriesFieldsAndKeyCrc) {
  Open(512);
  DaeMetaData meta{};
  meta[0] = 0x02;
  for (std::size_t i = 1; i < meta.size(); ++i) meta[i] = static_cast<std::uint8_t>(0x10 + i - 1);
  ASSERT_EQ(RmWriteObjEncrypt(nullptr, meta), 1);
  const auto& blocks = Flush();
  const std::vector<std::uint8_t> expected = FromHex(
      "AAAAAAAA 0000000B 00000003 000003EA 00000000 00000090 00000000 00000000"
      // kind, 1, (offset, length) of fields A, B, C
      "0002 0001 00000060 00000010 00000070 00000010 00000080 00000010"
      // CRC-32 of metadata bytes 49-80 (0x40 to 0x5F); the key itself never
      // travels
      "472CDBF5"
      "00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000"
      // field A = metadata bytes 17-32, B = 1-16, C = 33-48
      "202122232425262728292A2B2C2D2E2F"
      "101112131415161718191A1B1C1D1E1F"
      "303132333435363738393A3B3C3D3E3F");
  ASSERT_EQ(expected.size(), 144u);
  EXPECT_TRUE(BytesEqual(expected, Slice(blocks[0], 64, 144)));
}

TEST_F(FormatTest, EndItemEndErrorAndPaddingRecords) {
  Open(512);
  DaItemAttr item{};
  item.itemId = 3;
  item.errorText = "no";
  ASSERT_EQ(RmWriteObjErr(item, 0x0D), 1);
  ASSERT_EQ(RmWriteObjEnd(item, 1), 1);
  ASSERT_EQ(RmWriteEnd(0x11, 0x100, 0x200, 2, 0), 1);
  ASSERT_EQ(RmWriteNull(3), 1);
  const auto& blocks = Flush();
  const std::vector<std::uint8_t> expected = FromHex(
      // error: item 3, code 13, text (length 3, offset 64), "no"
      "AAAAAAAA 00000004 00000007 000003EA 00000000 00000043 00000000 00000000"
      "00000003 0000000D 0003 0040 00000000 00000000 00000000 00000000 00000000"
      "6E6F00 0000000000"
      // item end: item 3, code 1
      "AAAAAAAA 00000005 00000007 000003EA 00000001 00000040 00000000 00000000"
      "00000003 00000001 00000000 00000000 00000000 00000000 00000000 00000000"
      // end: DA id, start, end, code, fifth word
      "AAAAAAAA 00000006 0000000A 000003EA 00000002 00000050 00000000 00000000"
      "00000011 00000100 00000200 00000002 00000000"
      "00000000 00000000 00000000 00000000 00000000 00000000 00000000"
      // padding: header and 3 bytes 'x'
      "AAAAAAAA 00000007 00000007 000003EA 00000003 00000023 00000000 00000000"
      "787878 0000000000");
  EXPECT_TRUE(BytesEqual(expected, Slice(blocks[0], 64, expected.size())));
}

// The data length of a record travels in two 16-bit halves.
struct SplitCase {
  std::uint32_t dataLength;
  const char* lengthHalves;  // bytes 44-45 and 56-57 of the record
  const char* recordLength;  // header word 5
};

class DataLengthTest : public StreamTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(DataLengthTest, SplitsTheLengthAndReadsItBack) {
  const SplitCase& c = GetParam();
  Open(1048576);
  std::uint32_t granted = 0;
  std::uint8_t* data = RmGetObjDataBuf(c.dataLength, &granted);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(granted, c.dataLength);
  for (std::uint32_t i = 0; i < c.dataLength; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(RmWriteObjData(data, 1, c.dataLength, 0, 0, 0, 0), 1);
  const auto& blocks = Flush();
  ASSERT_EQ(blocks.size(), 1u);
  const std::vector<std::uint8_t>& block = blocks[0];
  EXPECT_TRUE(BytesEqual(FromHex(c.recordLength), Slice(block, 64 + 20, 4)));
  std::vector<std::uint8_t> halves(block.begin() + 64 + 44, block.begin() + 64 + 46);
  halves.insert(halves.end(), block.begin() + 64 + 56, block.begin() + 64 + 58);
  EXPECT_TRUE(BytesEqual(FromHex(c.lengthHalves), halves));

  std::vector<std::uint8_t> copy = block;
  RbmCheckState state;
  DaBlockReader reader(state);
  ASSERT_GT(reader.Open(copy), 0);
  std::span<std::uint8_t> record;
  ASSERT_EQ(reader.Next(&record), 1);
  DaDataView view{};
  ASSERT_TRUE(DaViewData(record, &view));
  ASSERT_EQ(view.data.size(), c.dataLength);
  EXPECT_EQ(view.data[c.dataLength - 1], static_cast<std::uint8_t>((c.dataLength - 1) * 7));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DataLengthTest,
                         ::testing::Values(SplitCase{65535, "FFFF 0000", "00010057"},
                                           SplitCase{65536, "0000 0001", "00010058"},
                                           SplitCase{70000, "1170 0001", "000111C8"},
                                           // the whole of the largest buffer after both headers
                                           SplitCase{1048576 - 64 - 88, "FF68 000F", "000FFFC0"}));

TEST_F(FormatTest, LargestRecordFillsTheBlockExactly) {
  Open(1048576);
  std::uint32_t granted = 0;
  std::uint8_t* data = RmGetObjDataBuf(UINT32_MAX, &granted);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(granted, 1048576u - 64u - 88u);
  ASSERT_EQ(RmWriteObjData(data, 1, granted, 0, 0, 0, 0), 1);
  // No room is left, so the block went at once and the next one is current.
  ASSERT_EQ(sink_->sent.size(), 1u);
  EXPECT_EQ(sink_->usedBytes[0], 1048576u);
  EXPECT_TRUE(BytesEqual(FromHex("00100000 00100000"), Slice(sink_->sent[0], 28, 8)));
  EXPECT_TRUE(writer_->hasBlock());
}

TEST_F(FormatTest, OldRecordVersionReadsOnlyTheLowHalf) {
  Open(1048576);
  std::uint32_t granted = 0;
  std::uint8_t* data = RmGetObjDataBuf(70000, &granted);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(RmWriteObjData(data, 1, 70000, 0, 0, 0, 0), 1);
  std::vector<std::uint8_t> block = Flush()[0];
  Put32(block, 64 + 12, 1001);
  RbmCheckState state;
  DaBlockReader reader(state);
  ASSERT_GT(reader.Open(block), 0);
  std::span<std::uint8_t> record;
  ASSERT_EQ(reader.Next(&record), 1);
  DaDataView view{};
  ASSERT_TRUE(DaViewData(record, &view));
  EXPECT_EQ(view.data.size(), 4464u);
}

}  // namespace
