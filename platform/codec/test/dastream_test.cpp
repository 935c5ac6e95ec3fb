// Data-stream reader against blocks written out byte by byte from the layout:
// block header, every record type, split data lengths and the key CRC.
#include "codec/dastream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dastream_bytes.h"

using namespace tarn::standin::dastream;
using namespace tarn::standin::dastream::testbytes;

TEST(DaCrc32, ReflectedTableFromZeroWithoutFinalInversion) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc32(ByteSpan(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())),
            0x2DFD2D88u);
  EXPECT_EQ(Crc32(kKey), 0x882C2B27u);
  // A running sum continues where the previous part ended.
  EXPECT_EQ(Crc32(ByteSpan(kKey).subspan(5), Crc32(ByteSpan(kKey).first(5))), 0x882C2B27u);
  EXPECT_EQ(Crc32({}), 0u);
}

TEST(DaBlockLayout, FirstBlockWithOneSmallDataRecord) {
  std::string why;
  const Bytes bytes = FirstDataBlock();
  const auto block = DecodeBlock(bytes, {}, &why);
  ASSERT_TRUE(block) << why;
  EXPECT_EQ(block->header.daId, 7u);
  EXPECT_EQ(block->header.sequence, 0u);
  EXPECT_EQ(block->header.capacity, 256u);
  EXPECT_EQ(block->header.used, 160u);
  ASSERT_EQ(block->records.size(), 1u);
  const Record& r = block->records[0];
  EXPECT_EQ(r.offset, 64u);
  EXPECT_EQ(r.type, 3u);
  EXPECT_EQ(r.format, 7u);
  EXPECT_EQ(r.version, 1002u);
  EXPECT_EQ(r.sequence, 0u);
  EXPECT_EQ(r.length, 93u);
  const DataRecord* d = r.as<DataRecord>();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->itemId, 0x11u);
  EXPECT_EQ(d->offsetLow, 0x100u);
  EXPECT_EQ(d->offsetHigh, 2u);
  EXPECT_EQ(d->itemOffset(), 0x200000100u);
  EXPECT_EQ(d->lengthLow, 5u);
  EXPECT_EQ(d->lengthHigh, 0u);
  EXPECT_EQ(d->length, 5u);
  EXPECT_EQ(d->dataOffset, 88u);
  EXPECT_EQ(d->compressionId, 0u);
  EXPECT_EQ(d->transformId, 3u);
  EXPECT_EQ(std::string(d->data.begin(), d->data.end()), "hello");
}

TEST(DaBlockLayout, StartRecordWithItsFourStrings) {
  std::string why;
  const Bytes bytes = StartBlock();
  const auto block = DecodeBlock(bytes, {}, &why);
  ASSERT_TRUE(block) << why;
  EXPECT_EQ(block->header.used, 200u);
  ASSERT_EQ(block->records.size(), 1u);
  const Record& r = block->records[0];
  EXPECT_EQ(r.type, 0u);
  EXPECT_EQ(r.length, 134u);
  const StartRecord* s = r.as<StartRecord>();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->daId, 7u);
  EXPECT_EQ(s->objectType, 5u);
  EXPECT_EQ(s->backupType, 1u);
  EXPECT_EQ(s->accessType, 2u);
  EXPECT_EQ(s->accessValue, 3u);
  EXPECT_EQ(s->protectionType, 4u);
  EXPECT_EQ(s->protectionValue, 86400u);
  EXPECT_EQ(s->startTime, 1600000000u);
  EXPECT_EQ(s->sinceTime, 0x5F000000u);
  EXPECT_EQ(s->objectName, "obj1");
  EXPECT_EQ(s->objectDescription, "d");
  EXPECT_EQ(s->applicationName, "VEKBAR");
  EXPECT_EQ(s->applicationDescription, "1.0");
}

TEST(DaBlockLayout, ItemRecordsBetweenStartAndEnd) {
  std::string why;
  const Bytes bytes = ItemBlock();
  const auto block = DecodeBlock(bytes, {}, &why);
  ASSERT_TRUE(block) << why;
  ASSERT_EQ(block->records.size(), 5u);
  const std::vector<std::size_t> offsets = {64, 200, 352, 424, 488};
  const std::vector<std::uint32_t> types = {0, 12, 4, 5, 6};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(block->records[i].offset, offsets[i]) << i;
    EXPECT_EQ(block->records[i].type, types[i]) << i;
    EXPECT_EQ(block->records[i].sequence, i) << i;
  }

  const AttributeRecord* a = block->records[1].as<AttributeRecord>();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(block->records[1].format, 10u);
  EXPECT_EQ(block->records[1].length, 150u);
  EXPECT_EQ(a->itemId, 0x21u);
  EXPECT_EQ(a->fileType, 2u);
  EXPECT_EQ(a->attributeWord, 0x80000001u);
  EXPECT_EQ(a->userId, 0x00010002u);
  EXPECT_EQ(a->groupId, 0x00030004u);
  EXPECT_EQ(a->permissions, 0644u);
  EXPECT_EQ(a->modificationTime, 0x61000000u);
  EXPECT_EQ(a->size, 0x0000000500000006u);
  EXPECT_EQ(a->quantity, 0x0000000700000008u);
  EXPECT_EQ(a->extra[0], 0xE0);
  EXPECT_EQ(a->extra[31], 0xFF);
  EXPECT_EQ(a->name, "f");

  const ErrorRecord* e = block->records[2].as<ErrorRecord>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(block->records[2].length, 71u);
  EXPECT_EQ(e->itemId, 0x21u);
  EXPECT_EQ(e->errorCode, 13u);
  EXPECT_EQ(e->text, "EACCES");

  const ItemEndRecord* ie = block->records[3].as<ItemEndRecord>();
  ASSERT_NE(ie, nullptr);
  EXPECT_EQ(ie->itemId, 0x21u);
  EXPECT_EQ(ie->completionCode, 1u);

  const EndRecord* end = block->records[4].as<EndRecord>();
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end->daId, 7u);
  EXPECT_EQ(end->startTime, 1600000000u);
  EXPECT_EQ(end->endTime, 1600000100u);
  EXPECT_EQ(end->completionCode, 2u);
  EXPECT_EQ(end->fifth, 0u);
}

TEST(DaBlockLayout, DataOver65535BytesSplitsItsLength) {
  std::string why;
  const Bytes bytes = BigDataBlock(1002);
  const auto block = DecodeBlock(bytes, {}, &why);
  ASSERT_TRUE(block) << why;
  EXPECT_EQ(block->header.used, 70152u);
  ASSERT_EQ(block->records.size(), 1u);
  EXPECT_EQ(block->records[0].length, 70088u);
  const DataRecord* d = block->records[0].as<DataRecord>();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->lengthLow, 4464u);
  EXPECT_EQ(d->lengthHigh, 1u);
  EXPECT_EQ(d->length, 70000u);
  ASSERT_EQ(d->data.size(), 70000u);
  EXPECT_EQ(d->data[0], 0);
  EXPECT_EQ(d->data[69999], 69999 % 251);
}

TEST(DaBlockLayout, OlderDataRecordReadsTheLowHalfOnly) {
  std::string why;
  const Bytes bytes = BigDataBlock(1001);
  const auto block = DecodeBlock(bytes, {}, &why);
  ASSERT_TRUE(block) << why;
  const DataRecord* d = block->records[0].as<DataRecord>();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(block->records[0].version, 1001u);
  EXPECT_EQ(d->lengthHigh, 1u);
  EXPECT_EQ(d->length, 4464u);
  EXPECT_EQ(d->data.size(), 4464u);
}

TEST(DaBlockLayout, EncryptionRecordAndItsKeyCrc) {
  DecodeOptions options;
  options.key = kKey;
  std::string why;
  const Bytes bytes = EncryptionBlock();
  const auto block = DecodeBlock(bytes, options, &why);
  ASSERT_TRUE(block) << why;
  const Record& r = block->records[0];
  EXPECT_EQ(r.type, 11u);
  EXPECT_EQ(r.format, 3u);
  EXPECT_EQ(r.length, 144u);
  const EncryptionRecord* c = r.as<EncryptionRecord>();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->metadataByte0, 0x5A);
  EXPECT_EQ(c->one, 1u);
  EXPECT_EQ(c->offsetA, 96u);
  EXPECT_EQ(c->offsetB, 112u);
  EXPECT_EQ(c->offsetC, 128u);
  EXPECT_EQ(c->lengthA + c->lengthB + c->lengthC, 48u);
  EXPECT_EQ(c->keyCrc, 0x882C2B27u);
  // Metadata bytes 1-48 were 0x01..0x30: B holds 1-16, A 17-32, C 33-48.
  EXPECT_EQ(c->fieldA[0], 0x11);
  EXPECT_EQ(c->fieldB[0], 0x01);
  EXPECT_EQ(c->fieldC[15], 0x30);
  const auto metadata = c->metadata();
  EXPECT_EQ(metadata[0], 0x5A);
  for (std::size_t i = 1; i < metadata.size(); ++i) EXPECT_EQ(metadata[i], i) << i;
}

TEST(DaBlockLayout, SystemPaddingAndNtAttributeRecords) {
  DecodeOptions options;
  options.systemOrder = std::endian::little;
  std::string why;
  const Bytes bytes = MixedBlock();
  const auto block = DecodeBlock(bytes, options, &why);
  ASSERT_TRUE(block) << why;
  ASSERT_EQ(block->records.size(), 4u);

  const SystemRecord* s = block->records[0].as<SystemRecord>();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(block->records[0].format, 22u);
  EXPECT_EQ(s->kind, 0x01020304u);
  EXPECT_EQ(s->dataLength, 3u);
  EXPECT_EQ(s->dataOffset, 64u);
  EXPECT_EQ(std::string(s->data.begin(), s->data.end()), "abc");

  const PaddingRecord* p = block->records[1].as<PaddingRecord>();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->fill, 11u);

  const NtAttributeRecord* n = block->records[2].as<NtAttributeRecord>();
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(block->records[2].type, 8u);
  EXPECT_EQ(n->itemId(), 0x31u);
  EXPECT_EQ(n->attributeBits(), 0x20u);
  EXPECT_EQ(n->fileType(), 2u);
  EXPECT_EQ(n->attributeWord(), 0x44u);
  EXPECT_EQ(n->keptWords()[0], 0x52u);
  EXPECT_EQ(n->keptWords()[5], 0x72u);
  EXPECT_EQ(n->modificationTime(), 0x62000000u);
  EXPECT_EQ(n->size(), 0x0000000900000010u);
  EXPECT_EQ(n->nameOffset(), 108u);
  EXPECT_EQ(n->halves[0], 0x0A0Bu);
  const std::vector<std::uint8_t> utf16 = {'n', 0, 't', 0};
  EXPECT_EQ(std::vector<std::uint8_t>(n->name.begin(), n->name.end()), utf16);

  const DataRecord* skipped = block->records[3].as<DataRecord>();
  ASSERT_NE(skipped, nullptr);
  EXPECT_EQ(block->records[3].type, 9u);
  EXPECT_EQ(skipped->length, 0u);
}

TEST(DaBlockLayout, EmptyBlockAndCapacityNotAMultipleOfEight) {
  const Bytes empty = BlockBytes(7, 0, 100, 64, {});
  EXPECT_TRUE(DecodeBlock(empty));
  // The last record may end at a capacity that is not a multiple of 8.
  std::string why;
  const Bytes bytes = BlockBytes(7, 0, 100, 100, {PaddingRecordBytes(0, 4)});
  const auto block = DecodeBlock(bytes, {}, &why);
  ASSERT_TRUE(block) << why;
  EXPECT_EQ(block->records.at(0).as<PaddingRecord>()->fill, 4u);
}

TEST(DaStream, SequencesContinueAcrossBlocks) {
  StreamDecoder stream;
  const auto first = FirstDataBlock();
  ASSERT_TRUE(stream.Feed(first)) << stream.error();
  const auto second = BlockBytes(7, 1, 128, 128, {ItemEndRecordBytes(1)});
  const auto block = stream.Feed(second);
  ASSERT_TRUE(block) << stream.error();
  EXPECT_EQ(block->records[0].sequence, 1u);
  // A new object starts again from record sequence 0.
  const auto third = StartBlockAt(2);
  ASSERT_TRUE(stream.Feed(third)) << stream.error();
  EXPECT_EQ(stream.blocks(), 3u);
  EXPECT_EQ(stream.records(), 3u);
  EXPECT_FALSE(stream.failed());
}
