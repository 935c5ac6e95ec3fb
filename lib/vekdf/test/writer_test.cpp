// Block assembly and the record writers: sequence numbers, alignment, when
// blocks go, zeroed gaps, failures, and a whole object read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "cmn/defines.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"
#include "vekdf_test_util.h"

TARN_RCSID("lib/vekdf/test/writer_test.cpp");

using namespace vekdftest;
using tarn::test::BytesEqual;

namespace {

class WriterTest : public StreamTest {};

std::uint32_t Word(const std::vector<std::uint8_t>& block, std::size_t at) {
  return std::uint32_t{block[at]} << 24 | std::uint32_t{block[at + 1]} << 16 |
         std::uint32_t{block[at + 2]} << 8 | block[at + 3];
}

// (type, sequence number) of every record in the blocks, read as they lie.
std::vector<std::pair<std::uint32_t, std::uint32_t>> Records(
    const std::vector<std::vector<std::uint8_t>>& blocks) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const auto& block : blocks) {
    const std::uint32_t used = Word(block, 32);
    for (std::size_t at = 64; at + 32 <= used;) {
      out.emplace_back(Word(block, at + 4), Word(block, at + 16));
      at = (at + Word(block, at + 20) + 7) / 8 * 8;
    }
  }
  return out;
}

TEST_F(WriterTest, EveryRecordTakesTheNextSequenceNumberAndStartBeginsAgain) {
  Open(4096);
  DaItemAttr item{};
  item.name = "a";
  ASSERT_EQ(RmWriteNull(0), 1);
  ASSERT_EQ(RmWriteStart(1, 0, 0, 5, 0, 0, 0, 0, 0, "o", "", "VEKBAR", "v"), 1);
  ASSERT_EQ(RmWriteObjAttr(item), 1);
  ASSERT_EQ(RmWriteObjEnd(item, 0), 1);
  ASSERT_EQ(RmWriteNull(10), 1);
  ASSERT_EQ(RmWriteEnd(1, 0, 0, 0, 0), 1);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
      {DA_REC_NULL, 0},    {DA_REC_START, 0}, {DA_REC_OBJ_ATTR, 1},
      {DA_REC_OBJ_END, 2}, {DA_REC_NULL, 3},  {DA_REC_END, 4}};
  EXPECT_EQ(Records(Flush()), expected);
  EXPECT_EQ(*writer_->RecSeqNo(), 5u);
}

TEST_F(WriterTest, GapsAndTheUnusedTailAreZeroed) {
  Open(256);
  ASSERT_EQ(RmWriteNull(1), 1);  // 33 bytes: 7 gap bytes follow
  const auto& blocks = Flush();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(Word(blocks[0], 32), 64u + 40u);
  EXPECT_EQ(blocks[0][64 + 32], 'x');
  // The sink handed out 0xEE bytes; nothing of them may reach the medium.
  EXPECT_TRUE(AllZero(Slice(blocks[0], 64 + 33, 256 - 64 - 33)));
  EXPECT_TRUE(AllZero(Slice(blocks[0], 44, 20)));
  EXPECT_TRUE(AllZero(Slice(blocks[0], 64 + 24, 8)));
}

TEST_F(WriterTest, BlockGoesWhenFewerThanAHeaderRemainAndNumbersCount) {
  Open(160);
  ASSERT_EQ(RmWriteNull(1), 1);  // 64 + 40: 56 bytes remain
  EXPECT_TRUE(sink_->sent.empty());
  ASSERT_EQ(RmWriteNull(0), 1);  // 24 remain, too few for a record: the block goes
  ASSERT_EQ(sink_->sent.size(), 1u);
  EXPECT_EQ(sink_->usedBytes[0], 136u);
  ASSERT_EQ(RmWriteNull(1000), 1);  // takes all 96 bytes of the next block
  ASSERT_EQ(sink_->sent.size(), 2u);
  EXPECT_EQ(sink_->usedBytes[1], 160u);
  EXPECT_EQ(Word(sink_->sent[0], 24), 0u);
  EXPECT_EQ(Word(sink_->sent[1], 24), 1u);
  EXPECT_EQ(Word(sink_->sent[1], 64 + 20), 96u);
  EXPECT_TRUE(writer_->hasBlock());
}

TEST_F(WriterTest, RecordLargerThanAnEmptyBlockIsReported) {
  Open(256);
  std::uint32_t granted = 7;
  EXPECT_EQ(writer_->Alloc(193, 193, &granted), nullptr);
  EXPECT_EQ(granted, 0u);
  EXPECT_EQ(ReportsOf(80, 1005), 1);
  EXPECT_NE(writer_->Alloc(192, 192, &granted), nullptr);
  // A failed start record uses no sequence number.
  std::string big(300, 'n');
  EXPECT_EQ(RmWriteStart(1, 0, 0, 5, 0, 0, 0, 0, 0, big.c_str(), "", "", ""), 0);
  EXPECT_EQ(*writer_->RecSeqNo(), 0u);
}

TEST_F(WriterTest, RecordLargerThanTheNextSmallerBlockIsReported) {
  Open(256);
  ASSERT_EQ(RmWriteNull(100), 1);  // 200 used, 56 left
  sink_->SetCapacity(128);
  std::uint32_t granted = 7;
  // Fits an empty block of the first size, but not the 64 bytes of the next.
  EXPECT_EQ(writer_->Alloc(150, 150, &granted), nullptr);
  EXPECT_EQ(granted, 0u);
  EXPECT_EQ(ReportsOf(80, 1005), 1);
  EXPECT_EQ(sink_->sent.size(), 1u);
  EXPECT_NE(writer_->Alloc(64, 64, &granted), nullptr);
  EXPECT_EQ(granted, 64u);
}

TEST_F(WriterTest, DataAreaMustBeTheOneReserved) {
  Open(1024);
  std::uint32_t granted = 0;
  std::uint8_t* data = RmGetObjDataBuf(100, &granted);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(RmWriteObjData(data + 8, 1, 10, 0, 0, 0, 0), 0);
  EXPECT_EQ(RmWriteObjData(data, 1, 101, 0, 0, 0, 0), 0);
  EXPECT_EQ(ReportsOf(12, 5), 2);
  EXPECT_EQ(RmWriteObjData(data, 1, 100, 0, 0, 0, 0), 1);
  // Committed: the area is not reserved any more.
  EXPECT_EQ(RmWriteObjData(data, 1, 100, 0, 0, 0, 0), 0);
  // Room reserved for a smaller record cannot take a data record.
  std::uint8_t* small = writer_->Alloc(40, 40, &granted);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(RmWriteObjData(small + kDaDataHeaderSize, 1, 1, 0, 0, 0, 0), 0);
  EXPECT_EQ(ReportsOf(12, 5), 4);
}

TEST_F(WriterTest, DataBufferGrantsWhatIsLeftAndAtLeastOneByte) {
  Open(512);
  ASSERT_EQ(RmWriteNull(0), 1);  // 96 used, 416 left
  std::uint32_t granted = 0;
  ASSERT_NE(RmGetObjDataBuf(100000, &granted), nullptr);
  EXPECT_EQ(granted, 416u - 88u);
  ASSERT_NE(RmGetObjDataBuf(0, &granted), nullptr);
  EXPECT_EQ(granted, 1u);
}

TEST_F(WriterTest, WritersFailWithoutAWriterOrAfterTheSinkFails) {
  Open(256);
  RmSetBlockWriter(nullptr);
  std::uint32_t granted = 0;
  EXPECT_EQ(RmWriteNull(0), 0);
  EXPECT_EQ(RmGetObjDataBuf(10, &granted), nullptr);
  RmSetBlockWriter(writer_.get());

  sink_->failSend = true;
  ASSERT_EQ(RmWriteNull(0), 1);
  EXPECT_EQ(RmWriteNull(1000), 0);  // fills the block, which cannot go
  sink_->failTake = true;
  EXPECT_EQ(RmWriteNull(0), 0);  // no current block
}

TEST_F(WriterTest, UnknownRecordTypeStopsTheStream) {
  Open(256);
  std::uint32_t granted = 0;
  std::uint8_t* p = writer_->Alloc(40, 40, &granted);
  ASSERT_NE(p, nullptr);
  DaRecHeader h{kDaRecMagic, 13, 0, kDaRecVersion, 0, 40, {0, 0}};
  std::memcpy(p, &h, sizeof h);
  EXPECT_FALSE(writer_->Write(40));
  EXPECT_TRUE(writer_->failed());
  EXPECT_EQ(ReportsOf(12, 5), 1);
  EXPECT_EQ(RmWriteNull(0), 0);
}

TEST_F(WriterTest, ZeroCopyBlockIsCommittedInPlace) {
  Open(256);
  std::vector<std::uint8_t> own(256, 0xEE);
  ASSERT_TRUE(writer_->UseBlock(own));
  std::uint32_t granted = 0;
  std::uint8_t* p = writer_->Alloc(32, 32, &granted);
  EXPECT_EQ(p, own.data() + 64);
  const DaRecHeader h{kDaRecMagic, DA_REC_NULL, kDaFmtNull, kDaRecVersion, 0, 32, {0, 0}};
  std::memcpy(p, &h, sizeof h);
  ASSERT_TRUE(writer_->Write(32));
  ASSERT_TRUE(writer_->PutBlock());
  EXPECT_EQ(sink_->sent.size(), 1u);
  EXPECT_EQ(Word(own, 0), kDaBlkMagic);
  EXPECT_EQ(Word(own, 32), 96u);
  // A block too small for a record, or not 8-aligned, is refused.
  EXPECT_FALSE(writer_->UseBlock(std::span(own).first(95)));
  EXPECT_FALSE(writer_->UseBlock(std::span(own).subspan(4, 128)));
}

int FillMeta(void* handle, unsigned char* meta) {
  if (handle != reinterpret_cast<void*>(0x1234)) return 0;
  for (std::size_t i = 0; i < kDaeMetaDataSize; ++i) meta[i] = static_cast<unsigned char>(i);
  return 1;
}

TEST_F(WriterTest, EncryptionRecordFromTheLibrary) {
  Open(512);
  EXPECT_EQ(RmCreateObjEncryptRec(nullptr, nullptr), 1);
  EXPECT_EQ(writer_->offset(), 64u);
  EXPECT_EQ(RmCreateObjEncryptRec(nullptr, reinterpret_cast<void*>(0x1234)), 0);
  RmSetDaeRecvEncryptMetaData(FillMeta);
  EXPECT_EQ(RmCreateObjEncryptRec(nullptr, reinterpret_cast<void*>(0x99)), 0);
  EXPECT_EQ(writer_->offset(), 64u);
  ASSERT_EQ(RmCreateObjEncryptRec(nullptr, reinterpret_cast<void*>(0x1234)), 1);
  std::vector<std::uint8_t> block = Flush()[0];

  RbmCheckState state;
  DaBlockReader reader(state);
  ASSERT_GT(reader.Open(block), 0);
  std::span<std::uint8_t> record;
  ASSERT_EQ(reader.Next(&record), 1);
  DaCryptView view{};
  ASSERT_TRUE(DaViewCrypt(record, &view));
  DaeMetaData meta = DaCryptMetaData(view);
  DaeMetaData original{};
  FillMeta(reinterpret_cast<void*>(0x1234), original.data());
  // Everything but the key comes back; the key is checked by its CRC.
  EXPECT_TRUE(
      BytesEqual(std::span(original).first(kDaeMetaKey), std::span(meta).first(kDaeMetaKey)));
  EXPECT_FALSE(DaCryptKeyMatches(view, meta));
  EXPECT_TRUE(DaCryptKeyMatches(view, original));
}

TEST_F(WriterTest, WholeObjectReadsBackAcrossBlocks) {
  Open(512);
  ASSERT_EQ(RmWriteStart(0x21, 100, 50, 5, 1, 2, 3, 4, 6, "/obj", "desc", "VEKBAR", "A.01.00"), 1);
  DaItemAttr item{};
  item.itemId = 4;
  item.fileType = kDaFileRegular;
  item.name = "/obj/file";
  item.uid = 70000;
  item.gid = 5;
  item.mode = 0600;
  item.size = 0x100000005ull;
  item.time[kDaAttrModifyTime] = 1234;
  ASSERT_EQ(RmWriteObjAttribute(DA_REC_OBJ_NOCAT, item), 1);
  std::vector<std::uint8_t> payload(1000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i % 251);
  std::size_t done = 0;
  while (done < payload.size()) {
    std::uint32_t granted = 0;
    std::uint8_t* data =
        RmGetObjDataBuf(static_cast<std::uint32_t>(payload.size() - done), &granted);
    ASSERT_NE(data, nullptr);
    std::memcpy(data, payload.data() + done, granted);
    ASSERT_EQ(RmWriteObjData(data, 4, granted, static_cast<std::uint32_t>(done), 0, 0, 0), 1);
    done += granted;
  }
  item.errorText = "partly read";
  ASSERT_EQ(RmWriteObjErr(item, 9), 1);
  ASSERT_EQ(RmWriteObjEnd(item, 1), 1);
  ASSERT_EQ(RmWriteEnd(0x21, 100, 200, 0, 0), 1);
  std::vector<std::vector<std::uint8_t>> blocks = Flush();
  ASSERT_GT(blocks.size(), 2u);

  RbmCheckState state;
  std::vector<std::uint8_t> restored;
  std::vector<std::uint32_t> types;
  for (auto& block : blocks) {
    DaBlockReader reader(state);
    ASSERT_GT(reader.Open(block), 0);
    std::span<std::uint8_t> record;
    int rc = 0;
    while ((rc = reader.Next(&record)) == 1) {
      DaRecHeader h;
      std::memcpy(&h, record.data(), sizeof h);
      types.push_back(h.type);
      if (h.type == DA_REC_START) {
        DaStartView v{};
        ASSERT_TRUE(DaViewStart(record, &v));
        EXPECT_EQ(v.objName, "/obj");
        EXPECT_EQ(v.objDesc, "desc");
        EXPECT_EQ(v.appName, "VEKBAR");
        EXPECT_EQ(v.appDesc, "A.01.00");
        EXPECT_EQ(v.sinceTime, 50u);
      } else if (h.type == DA_REC_OBJ_NOCAT) {
        DaAttrView v{};
        ASSERT_TRUE(DaViewAttr(record, &v));
        EXPECT_FALSE(v.catalogued);
        EXPECT_EQ(v.name, "/obj/file");
        EXPECT_EQ(v.uid, 70000u);
        EXPECT_EQ(v.size, 0x100000005ull);
        EXPECT_EQ(v.modifyTime, 1234u);
      } else if (h.type == DA_REC_OBJ_DATA) {
        DaDataView v{};
        ASSERT_TRUE(DaViewData(record, &v));
        EXPECT_EQ(v.offset, restored.size());
        restored.insert(restored.end(), v.data.begin(), v.data.end());
      } else if (h.type == DA_REC_OBJ_ERR) {
        DaErrView v{};
        ASSERT_TRUE(DaViewErr(record, &v));
        EXPECT_EQ(v.text, "partly read");
        EXPECT_EQ(v.code, 9u);
      } else if (h.type == DA_REC_END) {
        DaEndView v{};
        ASSERT_TRUE(DaViewEnd(record, &v));
        EXPECT_EQ(v.endTime, 200u);
      }
    }
    ASSERT_EQ(rc, 0);
  }
  EXPECT_EQ(restored, payload);
  EXPECT_EQ(types.front(), static_cast<std::uint32_t>(DA_REC_START));
  EXPECT_EQ(types.back(), static_cast<std::uint32_t>(DA_REC_END));
  EXPECT_TRUE(reports.empty());
}

}  // namespace
