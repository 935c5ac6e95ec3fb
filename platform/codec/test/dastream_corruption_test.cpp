// Corrupted blocks and streams: each damaged field is refused with a text that
// names it, and a stream stops at its first gap.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/dastream.h"
#include "dastream_bytes.h"

using namespace tarn::standin::dastream;
using namespace tarn::standin::dastream::testbytes;

namespace {

struct Damage {
  const char* what;
  std::function<void(Bytes&)> apply;
  std::string expected;
};

// Applies each damage to a fresh copy of `good` and compares the refusal.
void ExpectRefusals(const Bytes& good, const std::vector<Damage>& cases,
                    const DecodeOptions& options = {}) {
  std::string why;
  ASSERT_TRUE(DecodeBlock(good, options, &why)) << why;
  for (const Damage& d : cases) {
    Bytes block = good;
    d.apply(block);
    why.clear();
    EXPECT_FALSE(DecodeBlock(block, options, &why)) << d.what;
    EXPECT_EQ(why, d.expected) << d.what;
  }
}

}  // namespace

TEST(DaCorruptBlock, HeaderFieldsAreRefused) {
  ExpectRefusals(
      FirstDataBlock(),
      {
          {"truncated", [](Bytes& b) { b.resize(40); },
           "block 0: 40 bytes, shorter than the 64-byte block header"},
          {"magic", [](Bytes& b) { b[3] = 0xBA; }, "block 0: block magic 0xBBBBBBBA"},
          {"mark", [](Bytes& b) { b[7] = 'E'; }, "block 0: word 1 is 0x41424345, not 0x41424344"},
          {"version", [](Bytes& b) { Put32(b, 20, 1002); }, "block 0: block version 1002"},
          {"word 3", [](Bytes& b) { b[15] = 1; }, "block 0: word 3 is 0x00000001, not 0"},
          {"word 4", [](Bytes& b) { b[19] = 0; }, "block 0: word 4 is 0x00000000, not 1"},
          {"word 10", [](Bytes& b) { b[40] = 1; }, "block 0: word 10 is 0x01000000, not 0"},
          {"word 15", [](Bytes& b) { b[63] = 1; }, "block 0: words 11-15 are not zero"},
          {"capacity", [](Bytes& b) { Put32(b, 28, 248); },
           "block 0: capacity 248 differs from the stored size 256"},
          {"used short", [](Bytes& b) { Put32(b, 32, 40); },
           "block 0: used bytes 40 outside 64..256"},
          {"used long", [](Bytes& b) { Put32(b, 32, 264); },
           "block 0: used bytes 264 outside 64..256"},
          {"used odd", [](Bytes& b) { Put32(b, 32, 161); },
           "block 0: used bytes 161 neither a multiple of 8 nor the capacity"},
          {"used tail", [](Bytes& b) { Put32(b, 32, 168); },
           "block 0, record at 160: 8 bytes left before the used end 168, less than a record "
           "header"},
      });
}

TEST(DaCorruptBlock, RecordHeaderAndDataBodyAreRefused) {
  constexpr std::size_t r = 64;
  ExpectRefusals(
      FirstDataBlock(),
      {
          {"magic", [](Bytes& b) { b[r] = 0xAB; },
           "block 0, record at 64: record magic 0xABAAAAAA"},
          {"type 13", [](Bytes& b) { Put32(b, r + 4, 13); },
           "block 0, record at 64: unknown record type 13"},
          {"type -1", [](Bytes& b) { Put32(b, r + 4, 0xFFFFFFFF); },
           "block 0, record at 64: unknown record type 4294967295"},
          {"version", [](Bytes& b) { Put32(b, r + 12, 1003); },
           "block 0, record at 64: record version 1003"},
          {"format", [](Bytes& b) { Put32(b, r + 8, 8); },
           "block 0, record at 64: data record format word 8, expected 7"},
          {"length short", [](Bytes& b) { Put32(b, r + 20, 31); },
           "block 0, record at 64: record length 31 shorter than its header"},
          {"length long", [](Bytes& b) { Put32(b, r + 20, 97); },
           "block 0, record at 64: record length 97 runs past the used bytes 160"},
          {"header reserved", [](Bytes& b) { b[r + 31] = 1; },
           "block 0, record at 64: reserved bytes 24-31 are not zero"},
          {"data offset", [](Bytes& b) { Put16(b, r + 46, 90); },
           "block 0, record at 64: data offset 90, expected 88"},
          {"data length low", [](Bytes& b) { Put16(b, r + 44, 6); },
           "block 0, record at 64: data length 6 does not fill the record length 93"},
          {"data length high", [](Bytes& b) { Put16(b, r + 56, 1); },
           "block 0, record at 64: data length 65541 does not fill the record length 93"},
          {"data reserved", [](Bytes& b) { b[r + 58] = 1; },
           "block 0, record at 64: reserved bytes 58-87 are not zero"},
          {"gap", [](Bytes& b) { b[159] = 1; },
           "block 0, record at 64: gap bytes after the record are not zero"},
      });
}

TEST(DaCorruptBlock, UnsetBytesMayBeLeftWhenAsked) {
  Bytes block = FirstDataBlock();
  block[64 + 31] = 1;
  block[64 + 60] = 1;
  block[159] = 1;
  EXPECT_FALSE(DecodeBlock(block));
  DecodeOptions options;
  options.reservedMustBeZero = false;
  EXPECT_TRUE(DecodeBlock(block, options));
}

TEST(DaCorruptBlock, StartRecordStringsAreRefused) {
  constexpr std::size_t r = 64;
  ExpectRefusals(
      StartBlock(),
      {
          {"sequence", [](Bytes& b) { Put32(b, r + 16, 5); },
           "block 0, record at 64: start record sequence 5, expected 0"},
          {"short", [](Bytes& b) { Put32(b, r + 20, 100); },
           "block 0, record at 64: start record length 100, shorter than 116"},
          {"long", [](Bytes& b) { Put32(b, r + 20, 136); },
           "block 0, record at 64: start record length 136, expected 134"},
          {"offset", [](Bytes& b) { Put16(b, r + 74, 122); },
           "block 0, record at 64: object description offset 122, expected 121"},
          {"empty", [](Bytes& b) { Put16(b, r + 68, 0); },
           "block 0, record at 64: object name length 0 leaves no room for its NUL"},
          {"no NUL", [](Bytes& b) { b[r + 120] = 'x'; },
           "block 0, record at 64: object name is not NUL-terminated"},
          {"inner NUL", [](Bytes& b) { b[r + 117] = 0; },
           "block 0, record at 64: object name holds a NUL before its end"},
          {"past the record", [](Bytes& b) { Put16(b, r + 80, 5); },
           "block 0, record at 64: application description at 130 length 5 runs past the "
           "record length 134"},
          {"reserved", [](Bytes& b) { b[r + 100] = 1; },
           "block 0, record at 64: reserved bytes 84-115 are not zero"},
      });
}

TEST(DaCorruptBlock, ItemRecordsAreRefused) {
  ExpectRefusals(
      ItemBlock(),
      {
          {"sequence", [](Bytes& b) { Put32(b, 200 + 16, 2); },
           "block 0, record at 200: record sequence 2, expected 1"},
          {"time word", [](Bytes& b) { b[200 + 55] = 1; },
           "block 0, record at 200: time words at 52 and 56 (bytes 52-59) not zero"},
          {"name offset", [](Bytes& b) { Put16(b, 200 + 78, 150); },
           "block 0, record at 200: attribute name offset 150, expected 148"},
          {"name length", [](Bytes& b) { Put16(b, 200 + 76, 3); },
           "block 0, record at 200: item name at 148 length 3 runs past the record length 150"},
          {"error text offset", [](Bytes& b) { Put16(b, 352 + 42, 60); },
           "block 0, record at 352: error text offset 60, expected 64"},
          {"item end length", [](Bytes& b) { Put32(b, 424 + 20, 72); },
           "block 0, record at 424: item end record length 72, expected 64"},
          {"end format", [](Bytes& b) { Put32(b, 488 + 8, 7); },
           "block 0, record at 488: end record format word 7, expected 10"},
      });
}

TEST(DaCorruptBlock, EncryptionRecordIsRefused) {
  constexpr std::size_t r = 64;
  ExpectRefusals(EncryptionBlock(),
                 {
                     {"length", [](Bytes& b) { Put32(b, r + 20, 136); },
                      "block 0, record at 64: encryption record length 136, expected 144"},
                     {"byte 0", [](Bytes& b) { Put16(b, r + 32, 0x100); },
                      "block 0, record at 64: metadata byte 0 holds 256"},
                     {"one", [](Bytes& b) { Put16(b, r + 34, 2); },
                      "block 0, record at 64: encryption word at 34 is 2, not 1"},
                     {"field B length", [](Bytes& b) { Put32(b, r + 48, 15); },
                      "block 0, record at 64: field B at 112 length 15, expected 112 length 16"},
                     {"field C offset", [](Bytes& b) { Put32(b, r + 52, 136); },
                      "block 0, record at 64: field C at 136 length 16, expected 128 length 16"},
                     {"zero area", [](Bytes& b) { b[r + 80] = 1; },
                      "block 0, record at 64: encryption bytes (bytes 64-95) not zero"},
                 });

  Bytes block = EncryptionBlock();
  block[64 + 63] ^= 1;
  EXPECT_TRUE(DecodeBlock(block));  // without a key the CRC is only carried
  DecodeOptions options;
  options.key = kKey;
  std::string why;
  EXPECT_FALSE(DecodeBlock(block, options, &why));
  EXPECT_EQ(why, "block 0, record at 64: key CRC 0x882C2B27 differs from the stored 0x882C2B26");
}

TEST(DaCorruptBlock, SystemPaddingAndNtRecordsAreRefused) {
  DecodeOptions little;
  little.systemOrder = std::endian::little;
  ExpectRefusals(MixedBlock(),
                 {
                     {"system length", [](Bytes& b) { b[64 + 36] = 4; },
                      "block 0, record at 64: system data record length 67, expected 68"},
                     {"padding", [](Bytes& b) { b[136 + 40] = 'y'; },
                      "block 0, record at 136: padding byte at 40 is 0x79, not 'x'"},
                     {"NT short", [](Bytes& b) { Put32(b, 184 + 20, 100); },
                      "block 0, record at 184: NT attribute record length 100, shorter than 108"},
                     {"NT name offset", [](Bytes& b) { Put16(b, 184 + 102, 114); },
                      "block 0, record at 184: NT name offset 114 outside 108..113"},
                     {"NT terminator", [](Bytes& b) { b[184 + 112] = 'x'; },
                      "block 0, record at 184: NT name at 108 has no terminating zero unit"},
                 },
                 little);

  // Read in the other byte order the system body's offset is 0x4000.
  const Bytes block = MixedBlock();
  DecodeOptions big;
  big.systemOrder = std::endian::big;
  std::string why;
  EXPECT_FALSE(DecodeBlock(block, big, &why));
  EXPECT_EQ(why, "block 0, record at 64: system data offset 16384, expected 64");
}

TEST(DaCorruptStream, BlockGapsRepeatsAndForeignBlocks) {
  const Bytes first = FirstDataBlock();
  const Bytes next = BlockBytes(7, 1, 128, 128, {ItemEndRecordBytes(1)});
  const Bytes skipped = BlockBytes(7, 2, 128, 128, {ItemEndRecordBytes(1)});
  const Bytes foreign = BlockBytes(8, 1, 128, 128, {ItemEndRecordBytes(1)});
  const Bytes recordGap = BlockBytes(7, 1, 128, 128, {ItemEndRecordBytes(2)});
  struct Case {
    const Bytes* second;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {&skipped, "block 1: block sequence 2, expected 1"},
      {&first, "block 1: block sequence 0, expected 1"},
      {&foreign, "block 1: DA id 8, the stream's is 7"},
      {&recordGap, "block 1, record at 64: record sequence 2, expected 1"},
  };
  for (const Case& c : cases) {
    StreamDecoder stream;
    ASSERT_TRUE(stream.Check(first));
    EXPECT_FALSE(stream.Check(*c.second));
    EXPECT_EQ(stream.error(), c.expected);
    // The first fault ends the stream; a good block afterwards changes nothing.
    EXPECT_FALSE(stream.Check(next));
    EXPECT_EQ(stream.error(), c.expected);
    EXPECT_EQ(stream.blocks(), 1u);
  }

  StreamDecoder late;
  EXPECT_FALSE(late.Check(next));
  EXPECT_EQ(late.error(), "block 0: block sequence 1, expected 0");
  // On its own a block may carry any sequence numbers.
  EXPECT_TRUE(DecodeBlock(recordGap));
}
