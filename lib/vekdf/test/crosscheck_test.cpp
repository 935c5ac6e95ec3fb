// The writers' output read by the stand-ins' own stream decoder, which was
// written from the byte tables alone: a field order or byte-order mistake
// shared by our writer and our reader cannot pass here.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/defines.h"
#include "codec/dastream.h"
#include "vekdf/rm.h"
#include "vekdf_test_util.h"

TARN_RCSID("lib/vekdf/test/crosscheck_test.cpp");

namespace ds = tarn::standin::dastream;
using namespace vekdftest;

namespace {

class CrossCheckTest : public StreamTest {};

int Metadata(void*, unsigned char* meta) {
  for (std::size_t i = 0; i < kDaeMetaDataSize; ++i)
    meta[i] = static_cast<unsigned char>(3 * i + 1);
  return 1;
}

// Writes a whole object with every writer, each data record as large as the
// block allows (up to `chunk` bytes).
void WriteObject(const std::vector<std::uint8_t>& payload, std::size_t chunk) {
  constexpr std::uint32_t kDaId = 0x0102;  // the id the test streams open with
  EXPECT_EQ(RmWriteStart(kDaId, 1000, 900, 5, 1, 2, 3, 4, 6, "host:/db ALIAS", "full", "VEKBAR",
                         "A.01.00"),
            1);
  DaItemAttr item{};
  item.itemId = 7;
  item.fileType = kDaFileRegular;
  item.attributes = 0x80000011u;
  item.name = "short";
  item.longName = "/db/NODE0000/image.001";
  item.uid = 0x12345;
  item.gid = 0x10002;
  item.mode = 0640;
  item.size = 0x1'0000'0005ull;
  item.quantity = 0x2'0000'0003ull;
  item.time[kDaAttrModifyTime] = 1700000000u;
  for (int i = 0; i < 32; ++i) item.extra[i] = static_cast<std::uint8_t>(0xA0 + i);
  EXPECT_EQ(RmWriteObjAttribute(DA_REC_OBJ_ATTR, item), 1);
  EXPECT_EQ(RmWriteObjAttribute(DA_REC_OBJ_NOCAT, item), 1);
  RmSetDaeRecvEncryptMetaData(Metadata);
  EXPECT_EQ(RmCreateObjEncryptRec(&item, reinterpret_cast<void*>(1)), 1);
  std::size_t done = 0;
  while (done < payload.size()) {
    std::uint32_t granted = 0;
    const std::size_t left = std::min(chunk, payload.size() - done);
    std::uint8_t* data = RmGetObjDataBuf(static_cast<std::uint32_t>(left), &granted);
    EXPECT_NE(data, nullptr);
    if (data == nullptr) break;
    std::memcpy(data, payload.data() + done, granted);
    EXPECT_EQ(RmWriteObjData(data, 7, granted, static_cast<std::uint32_t>(done), 0, 0, 3), 1);
    done += granted;
  }
  EXPECT_EQ(RmWriteNull(40), 1);
  item.errorText = "read error at the end";
  EXPECT_EQ(RmWriteObjErr(item, 1501), 1);
  EXPECT_EQ(RmWriteObjEnd(item, 2), 1);
  EXPECT_EQ(RmWriteEnd(kDaId, 1000, 1100, 0, 0), 1);
}

struct Decoded {
  std::vector<std::uint32_t> types;
  std::vector<std::uint8_t> data;
  std::vector<ds::Block> blocks;
};

Decoded DecodeAll(const std::vector<std::vector<std::uint8_t>>& sent) {
  Decoded out;
  ds::StreamDecoder decoder;
  for (const auto& block : sent) {
    auto decoded = decoder.Feed(block);
    EXPECT_TRUE(decoded.has_value()) << decoder.error();
    if (!decoded) break;
    for (const ds::Record& r : decoded->records) {
      out.types.push_back(r.type);
      if (const auto* d = r.as<ds::DataRecord>()) {
        EXPECT_EQ(d->itemOffset(), out.data.size());
        out.data.insert(out.data.end(), d->data.begin(), d->data.end());
      }
    }
    out.blocks.push_back(std::move(*decoded));
  }
  return out;
}

TEST_F(CrossCheckTest, WholeObjectDecodesFieldByField) {
  Open(1024);
  std::vector<std::uint8_t> payload(5000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 13);
  WriteObject(payload, payload.size());
  const Decoded d = DecodeAll(Flush());
  ASSERT_GT(d.blocks.size(), 5u);
  EXPECT_EQ(d.data, payload);
  ASSERT_GE(d.types.size(), 9u);
  EXPECT_EQ(d.types.front(), 0u);
  EXPECT_EQ(d.types.back(), 6u);

  const ds::Block& first = d.blocks.front();
  EXPECT_EQ(first.header.daId, kDaId);
  EXPECT_EQ(first.header.sequence, 0u);
  EXPECT_EQ(first.header.capacity, 1024u);
  const auto* start = first.records.at(0).as<ds::StartRecord>();
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->daId, kDaId);
  EXPECT_EQ(start->objectType, 5u);
  EXPECT_EQ(start->backupType, 1u);
  EXPECT_EQ(start->accessType, 2u);
  EXPECT_EQ(start->accessValue, 3u);
  EXPECT_EQ(start->protectionType, 4u);
  EXPECT_EQ(start->protectionValue, 6u);
  EXPECT_EQ(start->startTime, 1000u);
  EXPECT_EQ(start->sinceTime, 900u);
  EXPECT_EQ(start->objectName, "host:/db ALIAS");
  EXPECT_EQ(start->objectDescription, "full");
  EXPECT_EQ(start->applicationName, "VEKBAR");
  EXPECT_EQ(start->applicationDescription, "A.01.00");

  int attributes = 0;
  for (const ds::Block& block : d.blocks) {
    for (const ds::Record& r : block.records) {
      if (const auto* a = r.as<ds::AttributeRecord>()) {
        ++attributes;
        EXPECT_EQ(r.type, attributes == 1 ? 1u : 12u);
        EXPECT_EQ(a->itemId, 7u);
        EXPECT_EQ(a->fileType, 2u);
        EXPECT_EQ(a->attributeWord, 0x80000011u);
        EXPECT_EQ(a->userId, 0x12345u);
        EXPECT_EQ(a->groupId, 0x10002u);
        EXPECT_EQ(a->permissions, 0640);
        EXPECT_EQ(a->modificationTime, 1700000000u);
        EXPECT_EQ(a->size, 0x1'0000'0005ull);
        EXPECT_EQ(a->quantity, 0x2'0000'0003ull);
        EXPECT_EQ(a->extra[0], 0xA0);
        EXPECT_EQ(a->extra[31], 0xBF);
        EXPECT_EQ(a->name, "/db/NODE0000/image.001") << "the long name wins";
      } else if (const auto* e = r.as<ds::EncryptionRecord>()) {
        std::array<std::uint8_t, kDaeMetaDataSize> meta{};
        Metadata(nullptr, meta.data());
        const auto rebuilt = e->metadata();
        EXPECT_EQ(0, std::memcmp(rebuilt.data(), meta.data(), rebuilt.size()));
        EXPECT_EQ(e->keyCrc, ds::Crc32(std::span(meta).subspan(kDaeMetaKey, kDaeKeySize)));
      } else if (const auto* x = r.as<ds::DataRecord>()) {
        EXPECT_EQ(x->itemId, 7u);
        EXPECT_EQ(x->transformId, 3u);
        EXPECT_EQ(x->dataOffset, 88u);
      } else if (const auto* err = r.as<ds::ErrorRecord>()) {
        EXPECT_EQ(err->itemId, 7u);
        EXPECT_EQ(err->errorCode, 1501u);
        EXPECT_EQ(err->text, "read error at the end");
      } else if (const auto* end = r.as<ds::ItemEndRecord>()) {
        EXPECT_EQ(end->itemId, 7u);
        EXPECT_EQ(end->completionCode, 2u);
      } else if (const auto* oend = r.as<ds::EndRecord>()) {
        EXPECT_EQ(oend->daId, kDaId);
        EXPECT_EQ(oend->startTime, 1000u);
        EXPECT_EQ(oend->endTime, 1100u);
        EXPECT_EQ(oend->completionCode, 0u);
      }
    }
  }
  EXPECT_EQ(attributes, 2);
}

TEST_F(CrossCheckTest, SplitDataLengthsDecodeAtTheirEdges) {
  // One record per size, each in a block of its own: the last bytes of the
  // 16-bit low half, the first of the high half, and the largest record.
  constexpr std::size_t kCapacity = 1 << 20;
  for (std::size_t size :
       {std::size_t{65535}, std::size_t{65536}, kCapacity - kDaBlkHeaderSize - kDaDataHeaderSize}) {
    SCOPED_TRACE(size);
    // No start record: the data record alone must fill the block.
    Open(kCapacity);
    std::uint32_t granted = 0;
    std::uint8_t* data = RmGetObjDataBuf(static_cast<std::uint32_t>(size), &granted);
    ASSERT_NE(data, nullptr);
    std::memset(data, 0x5A, granted);
    ASSERT_EQ(granted, size);
    ASSERT_EQ(RmWriteObjData(data, 1, granted, 0, 0, 0, 0), 1);
    const Decoded d = DecodeAll(Flush());
    EXPECT_EQ(d.data.size(), size);
    RmSetBlockWriter(nullptr);
  }
}

}  // namespace
