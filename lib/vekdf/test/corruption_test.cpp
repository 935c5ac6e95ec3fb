// Corrupted streams read back: every header word and body field that could
// lead a reader outside its buffer, or past lost data, ends in a reported
// failure instead.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "cmn/defines.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"
#include "vekdf_test_util.h"

TARN_RCSID("lib/vekdf/test/corruption_test.cpp");

using namespace vekdftest;

namespace {

class CorruptionTest : public StreamTest {};

DaBlkHeader Block(std::uint32_t seq, std::uint32_t used = 128, std::uint32_t capacity = 256) {
  DaBlkHeader h{};
  h.magic = kDaBlkMagic;
  h.tag = kDaBlkTag;
  h.one = 1;
  h.version = kDaBlkVersion;
  h.blkSeqNo = seq;
  h.capacity = capacity;
  h.used = used;
  return h;
}

DaRecHeader Rec(std::uint32_t type, std::uint32_t seq, std::uint32_t length) {
  return DaRecHeader{kDaRecMagic, type, 7, kDaRecVersion, seq, length, {0, 0}};
}

TEST_F(CorruptionTest, BlockHeaderIsCheckedAgainstTheReadersOwnCapacity) {
  RbmCheckState state;
  DaBlkHeader h = Block(0);
  h.magic = 0xBBBBBBBA;
  EXPECT_EQ(RbmCheckDAblk(state, h, 256), -1);
  h = Block(0);
  h.version = kDaBlkVersion + 1;
  EXPECT_EQ(RbmCheckDAblk(state, h, 256), -1);
  EXPECT_EQ(RbmCheckDAblk(state, Block(0, 63), 256), -1);
  // The header's own capacity word does not count, only the reader's buffer.
  EXPECT_EQ(RbmCheckDAblk(state, Block(0, 300, 4096), 256), -1);
  EXPECT_EQ(ReportsOf(80, 1106), 4);
  EXPECT_FALSE(state.blkKnown);
  EXPECT_EQ(RbmCheckDAblk(state, Block(0, 256), 256), 256);
}

TEST_F(CorruptionTest, BlockSequence) {
  RbmCheckState state;
  // The first block read is taken whatever its number.
  EXPECT_EQ(RbmCheckDAblk(state, Block(5), 256), 128);
  EXPECT_EQ(RbmCheckDAblk(state, Block(6), 256), 128);
  // Delivered again: skipped, reported at severity 0.
  EXPECT_EQ(RbmCheckDAblk(state, Block(6), 256), 0);
  EXPECT_EQ(ReportsOf(80, 1104), 1);
  EXPECT_EQ(RbmCheckDAblk(state, Block(7), 256), 128);
  EXPECT_EQ(RbmCheckDAblk(state, Block(9), 256), -1);
  EXPECT_EQ(RbmCheckDAblk(state, Block(5), 256), -1);
  EXPECT_EQ(ReportsOf(80, 1104), 3);
}

TEST_F(CorruptionTest, RecordHeaderFields) {
  RbmCheckState state;
  DaRecHeader h = Rec(DA_REC_NULL, 0, 40);
  h.magic = 0xAAAAAAAB;
  EXPECT_EQ(RbmCheckDArec(state, h, 100), -1);
  h = Rec(DA_REC_NULL, 0, 40);
  h.version = kDaRecVersion + 1;
  EXPECT_EQ(RbmCheckDArec(state, h, 100), -1);
  // An unknown type from the medium is a failed read, not an abort.
  EXPECT_EQ(RbmCheckDArec(state, Rec(13, 0, 40), 100), -1);
  EXPECT_EQ(RbmCheckDArec(state, Rec(0xFFFFFFFF, 0, 40), 100), -1);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 0, 31), 100), -1);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 0, 101), 100), -1);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_OBJ_DATA, 0, 87), 100), -1);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_OBJ_CRYPT, 0, 143), 200), -1);
  EXPECT_EQ(ReportsOf(80, 1106), 8);
  EXPECT_FALSE(state.recKnown);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_OBJ_DATA, 0, 100), 100), 100);
}

TEST_F(CorruptionTest, RecordSequence) {
  RbmCheckState state;
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 3, 32), 100), 32);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 4, 32), 100), 32);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 4, 32), 100), 0);
  EXPECT_EQ(ReportsOf(80, 1107), 1);
  // Records missing in between would be data lost: a failed read.
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 6, 32), 100), -1);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 2, 32), 100), -1);
  EXPECT_EQ(ReportsOf(80, 1107), 3);
  // A new object's start record begins the numbering again.
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_START, 0, 120), 200), 120);
  EXPECT_EQ(RbmCheckDArec(state, Rec(DA_REC_NULL, 1, 32), 100), 32);
  // ... but a start record repeated is still a duplicate.
  RbmCheckState fresh;
  EXPECT_EQ(RbmCheckDArec(fresh, Rec(DA_REC_START, 0, 120), 200), 120);
  EXPECT_EQ(RbmCheckDArec(fresh, Rec(DA_REC_START, 0, 120), 200), 0);
}

// Blocks of 256 bytes written by the writers: block 0 holds records 0 to 2.
class BlockReadTest : public CorruptionTest {
 protected:
  void SetUp() override {
    CorruptionTest::SetUp();
    Open(256);
    ASSERT_EQ(RmWriteNull(0), 1);  // 64..96
    ASSERT_EQ(RmWriteNull(0), 1);  // 96..128
    ASSERT_EQ(RmWriteNull(4), 1);  // 128..168
    block_ = Flush()[0];
  }
  // Reads `block` with `capacity`; returns the results of Next until it is
  // not 1, after Open's result.
  std::vector<int> Read(std::vector<std::uint8_t> block, RbmCheckState& state) {
    DaBlockReader reader(state);
    std::vector<int> out{reader.Open(block)};
    if (out[0] <= 0) return out;
    std::span<std::uint8_t> record;
    int rc = 0;
    while ((rc = reader.Next(&record)) == 1) out.push_back(rc);
    out.push_back(rc);
    return out;
  }
  std::vector<std::uint8_t> block_;
};

TEST_F(BlockReadTest, IntactBlockYieldsItsRecords) {
  RbmCheckState state;
  EXPECT_EQ(Read(block_, state), (std::vector<int>{168, 1, 1, 1, 0}));
  EXPECT_TRUE(reports.empty());
}

TEST_F(BlockReadTest, RepeatedRecordSkipsTheRestOfTheBlock) {
  std::vector<std::uint8_t> block = block_;
  Put32(block, 96 + 16, 0);  // second record repeats the first one's number
  RbmCheckState state;
  EXPECT_EQ(Read(block, state), (std::vector<int>{168, 1, 0}));
  EXPECT_EQ(ReportsOf(80, 1107), 1);
}

TEST_F(BlockReadTest, DamagedRecordEndsTheBlock) {
  struct Case {
    std::size_t at;
    std::uint32_t value;
  };
  for (const Case& c : {Case{96, 0x12345678},         // magic
                        Case{96 + 4, 99},             // type
                        Case{96 + 12, 1003},          // version
                        Case{96 + 16, 5},             // a forward gap
                        Case{96 + 20, 16},            // shorter than a header
                        Case{96 + 20, 168 - 96 + 1},  // beyond the used bytes
                        Case{128 + 20, 20000}}) {
    std::vector<std::uint8_t> block = block_;
    Put32(block, c.at, c.value);
    RbmCheckState state;
    const std::vector<int> got = Read(block, state);
    EXPECT_EQ(got.back(), -1) << "at " << c.at;
    EXPECT_LE(got.size(), 4u);
  }
}

TEST_F(BlockReadTest, UsedBytesThatLeaveAPartialHeaderFail) {
  std::vector<std::uint8_t> block = block_;
  Put32(block, 32, 168 + 8);  // 8 bytes after the last record: no room for a header
  RbmCheckState state;
  EXPECT_EQ(Read(block, state), (std::vector<int>{176, 1, 1, 1, -1}));
  // A reader whose buffer is smaller than the used bytes refuses the block.
  RbmCheckState other;
  DaBlockReader reader(other);
  std::vector<std::uint8_t> copy = block_;
  EXPECT_EQ(reader.Open(std::span(copy).first(160)), -1);
  EXPECT_EQ(reader.Open(std::span(copy).first(40)), -1);
  std::span<std::uint8_t> record;
  EXPECT_EQ(reader.Next(&record), 0);
}

// A record in host order: the fixed part, then `tail`.
template <class T>
std::vector<std::uint8_t> Body(T fixed, std::string_view tail) {
  fixed.h.magic = kDaRecMagic;
  fixed.h.version = kDaRecVersion;
  fixed.h.length = static_cast<std::uint32_t>(sizeof fixed + tail.size());
  std::vector<std::uint8_t> out(sizeof fixed + tail.size());
  std::memcpy(out.data(), &fixed, sizeof fixed);
  std::memcpy(out.data() + sizeof fixed, tail.data(), tail.size());
  return out;
}

TEST_F(CorruptionTest, StartTextsMustLieInsideAndEndInNul) {
  DaRecStart r{};
  r.h.type = DA_REC_START;
  r.objName = {3, 116};
  r.objDesc = {1, 119};
  r.appName = {1, 120};
  r.appDesc = {1, 121};
  const std::string_view texts("ab\0\0\0\0", 6);
  DaStartView v{};
  const std::vector<std::uint8_t> good = Body(r, texts);
  ASSERT_TRUE(DaViewStart(good, &v));
  EXPECT_EQ(v.objName, "ab");
  for (DaStrRef bad : {DaStrRef{3, 120}, DaStrRef{0, 116}, DaStrRef{2, 116}, DaStrRef{3, 100},
                       DaStrRef{0xFFFF, 0xFFFF}}) {
    r.objName = bad;
    EXPECT_FALSE(DaViewStart(Body(r, texts), &v)) << bad.length << "@" << bad.offset;
  }
  EXPECT_EQ(ReportsOf(80, 1106), 5);
}

TEST_F(CorruptionTest, DataSpanMustLieInsideTheRecord) {
  DaRecData r{};
  r.h.type = DA_REC_OBJ_DATA;
  r.dataOffset = 88;
  r.lengthLow = 4;
  std::vector<std::uint8_t> rec = Body(r, "abcd");
  DaDataView v{};
  ASSERT_TRUE(DaViewData(rec, &v));
  EXPECT_EQ(v.data.size(), 4u);
  auto view = [&](const DaRecData& fixed) {
    std::vector<std::uint8_t> bytes = Body(fixed, "abcd");
    return DaViewData(bytes, &v);
  };
  r.lengthLow = 5;
  EXPECT_FALSE(view(r));
  r.lengthLow = 4;
  r.lengthHigh = 1;
  EXPECT_FALSE(view(r));
  r.lengthHigh = 0;
  r.dataOffset = 60;  // inside the fixed part
  EXPECT_FALSE(view(r));
  r.dataOffset = 0xFFFF;
  EXPECT_FALSE(view(r));
  // The header's length may not claim more than the span holds.
  r.dataOffset = 88;
  rec = Body(r, "abcd");
  const std::uint32_t longer = 200;
  std::memcpy(rec.data() + offsetof(DaRecHeader, length), &longer, sizeof longer);
  EXPECT_FALSE(DaViewData(rec, &v));
  // The wrong type is refused too.
  DaErrView ev{};
  EXPECT_FALSE(DaViewErr(Body(r, "abcd"), &ev));
}

TEST_F(CorruptionTest, AttributeErrorAndNtNames) {
  DaRecAttr a{};
  a.h.type = DA_REC_OBJ_ATTR;
  a.name = {5, 148};
  DaAttrView av{};
  const std::vector<std::uint8_t> attr = Body(a, std::string_view("name\0", 5));
  EXPECT_TRUE(DaViewAttr(attr, &av));
  EXPECT_EQ(av.name, "name");
  EXPECT_FALSE(DaViewAttr(Body(a, "names"), &av));
  a.name = {5, 140};
  EXPECT_FALSE(DaViewAttr(Body(a, std::string_view("name\0", 5)), &av));

  DaRecErr e{};
  e.h.type = DA_REC_OBJ_ERR;
  e.text = {3, 64};
  DaErrView ev{};
  EXPECT_TRUE(DaViewErr(Body(e, std::string_view("no\0", 3)), &ev));
  e.text = {4, 64};
  EXPECT_FALSE(DaViewErr(Body(e, std::string_view("no\0", 3)), &ev));

  DaRecNtAttr n{};
  n.h.type = DA_REC_OBJ_NT_ATTR;
  n.word[kDaNtSizeLow] = 5;
  n.word[kDaNtSizeHigh] = 1;
  n.half[kDaNtNameOffset] = 108;
  DaNtAttrView nv{};
  ASSERT_TRUE(DaViewNtAttr(Body(n, std::string_view("a\0b\0\0\0", 6)), &nv));
  EXPECT_EQ(nv.nameUtf16.size(), 4u);
  EXPECT_EQ(nv.size, 0x100000005ull);
  EXPECT_FALSE(DaViewNtAttr(Body(n, std::string_view("a\0b\0\0", 5)), &nv));
  n.half[kDaNtNameOffset] = 200;
  EXPECT_FALSE(DaViewNtAttr(Body(n, std::string_view("a\0\0\0", 4)), &nv));
  n.half[kDaNtNameOffset] = 32;
  EXPECT_FALSE(DaViewNtAttr(Body(n, std::string_view("a\0\0\0", 4)), &nv));
}

TEST_F(CorruptionTest, SystemDataCopyIsCappedAtTheCallersBuffer) {
  DaRecSys s{};
  s.h.type = DA_REC_OBJ_SYS;
  s.length = 0xFFFF;  // not trusted: the record's own length counts
  s.offset = 64;
  DaSysView v{};
  const std::vector<std::uint8_t> sys = Body(s, "0123456789");
  ASSERT_TRUE(DaViewSys(sys, &v));
  EXPECT_EQ(v.data.size(), 10u);
  std::uint8_t small[4] = {};
  EXPECT_EQ(DaCopySysData(v, small), 4u);
  EXPECT_EQ(std::memcmp(small, "0123", 4), 0);
}

TEST_F(CorruptionTest, EncryptionFieldsMustBeSixteenBytesInside) {
  DaRecCrypt c{};
  c.h.type = DA_REC_OBJ_CRYPT;
  c.fieldA = {96, 16};
  c.fieldB = {112, 16};
  c.fieldC = {128, 16};
  DaCryptView v{};
  EXPECT_TRUE(DaViewCrypt(Body(c, ""), &v));
  c.fieldB = {112, 17};
  EXPECT_FALSE(DaViewCrypt(Body(c, ""), &v));
  c.fieldB = {136, 16};
  EXPECT_FALSE(DaViewCrypt(Body(c, ""), &v));
  c.fieldB = {0xFFFFFFF8, 16};
  EXPECT_FALSE(DaViewCrypt(Body(c, ""), &v));
  c.fieldB = {8, 16};  // the header
  EXPECT_FALSE(DaViewCrypt(Body(c, ""), &v));
}

}  // namespace
