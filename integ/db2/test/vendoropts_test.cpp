// The vendor-options record at its byte offsets, the data tree text with its
// separators, refused records and the variables a session exports.
#include "db2/vendoropts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarn_test.h"

namespace {

using tarn::test::Bytes;
using tarn::test::BytesEqual;

std::span<const std::uint8_t> Slice(const std::vector<std::uint8_t>& record, std::size_t offset,
                                    std::size_t size) {
  return std::span<const std::uint8_t>(record).subspan(offset, size);
}

VendorOptions BackupRecord() {
  VendorOptions o;
  o.variables = VendorOptionsVariables("db2_daily", "-debug 1-99 x ");
  o.barlist = "db2_daily";
  o.hasTree = true;
  DataTreeAppend(&o.dataTree, "db2inst1", "SAMPLE");
  DataTreeAppend(&o.dataTree, "db2inst1", "SAMPLE", "A");
  DataTreeAppend(&o.dataTree, "db2inst1", "SAMPLE", "B");
  return o;
}

TEST(VendorOptionsRecord, BackupRecordHasItsFieldsAtTheirOffsetsAndTheTreeBehind) {
  VendorOptions o = BackupRecord();
  o.mode = 0x01020304;
  o.reserved = -2;
  std::vector<std::uint8_t> r;
  ASSERT_EQ(VendorOptionsWrite(o, &r), 0);
  const std::string tree = "/db2inst1/SAMPLE/\x01/db2inst1/SAMPLE/A/\x01/db2inst1/SAMPLE/B/\x01";
  EXPECT_EQ(o.dataTree, tree);
  ASSERT_EQ(r.size(), 4512 + tree.size() + 2);

  const std::string variables = "VEKBARLIST=db2_daily\nVEKOPTS=-debug 1-99 x ";
  EXPECT_TRUE(BytesEqual(Bytes(variables + '\0'), Slice(r, 0, variables.size() + 1)));
  EXPECT_TRUE(BytesEqual(std::vector<std::uint8_t>(4096 - variables.size() - 1, 0),
                         Slice(r, variables.size() + 1, 4096 - variables.size() - 1)));
  EXPECT_TRUE(BytesEqual(Bytes(std::string("db2_daily\0\0", 11)), Slice(r, 4096, 11)));
  EXPECT_TRUE(BytesEqual(std::vector<std::uint8_t>(65 + 83, 0), Slice(r, 4352, 65 + 83)));
  // mode, reserved, the tree slot (always 0) in host byte order.
  const std::vector<std::uint8_t> ints = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF,
                                          0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
  EXPECT_TRUE(BytesEqual(ints, Slice(r, 4500, 12)));
  EXPECT_TRUE(BytesEqual(Bytes(tree + std::string(2, '\0')), Slice(r, 4512, tree.size() + 2)));

  VendorOptions back;
  ASSERT_EQ(VendorOptionsRead(r, &back), 0);
  EXPECT_EQ(back.variables, variables);
  EXPECT_EQ(back.barlist, "db2_daily");
  EXPECT_EQ(back.mode, 0x01020304);
  EXPECT_EQ(back.reserved, -2);
  EXPECT_TRUE(back.hasTree);
  EXPECT_EQ(back.dataTree, tree);
  std::vector<std::string> entries;
  ASSERT_EQ(DataTreeSplit(back.dataTree, &entries), 0);
  EXPECT_EQ(entries, (std::vector<std::string>{"/db2inst1/SAMPLE/", "/db2inst1/SAMPLE/A/",
                                               "/db2inst1/SAMPLE/B/"}));
}

TEST(VendorOptionsRecord, RestoreRecordIsExactly4512BytesWithoutTree) {
  VendorOptions o;
  o.variables = VendorOptionsVariables("", "");
  o.restoreHost = std::string(64, 'h');
  o.restoreInstance = std::string(82, 'i');
  std::vector<std::uint8_t> r;
  ASSERT_EQ(VendorOptionsWrite(o, &r), 0);
  ASSERT_EQ(r.size(), 4512u);
  EXPECT_TRUE(BytesEqual(Bytes(std::string(64, 'h') + '\0'), Slice(r, 4352, 65)));
  EXPECT_TRUE(BytesEqual(Bytes(std::string(82, 'i') + '\0'), Slice(r, 4417, 83)));
  VendorOptions back;
  ASSERT_EQ(VendorOptionsRead(r, &back), 0);
  EXPECT_FALSE(back.hasTree);
  EXPECT_EQ(back.restoreHost, o.restoreHost);
  EXPECT_EQ(back.restoreInstance, o.restoreInstance);
  EXPECT_EQ(back.variables, "VEKBARLIST=\nVEKOPTS=");

  // A tree of 100 characters makes a backup record of 4614 bytes.
  o.hasTree = true;
  o.dataTree = std::string(99, 't') + '\x01';
  ASSERT_EQ(VendorOptionsWrite(o, &r), 0);
  EXPECT_EQ(r.size(), 4614u);
}

TEST(VendorOptionsRecord, TextsThatDoNotFitAreRefused) {
  std::vector<std::uint8_t> r = {1, 2};
  VendorOptions o;
  o.variables = std::string(4095, 'v');
  EXPECT_EQ(VendorOptionsWrite(o, &r), 0);
  o.variables.push_back('v');
  EXPECT_EQ(VendorOptionsWrite(o, &r), -1);
  o = VendorOptions();
  o.barlist = std::string(256, 'b');
  EXPECT_EQ(VendorOptionsWrite(o, &r), -1);
  o = VendorOptions();
  o.restoreHost = std::string(65, 'h');
  EXPECT_EQ(VendorOptionsWrite(o, &r), -1);
  o = VendorOptions();
  o.barlist = std::string("a\0b", 3);
  EXPECT_EQ(VendorOptionsWrite(o, &r), -1);
  EXPECT_EQ(r.size(), 4512u);  // the last good record, untouched
}

TEST(VendorOptionsRecord, ShortRecordsUnterminatedFieldsAndTreesAreRefused) {
  std::vector<std::uint8_t> good;
  ASSERT_EQ(VendorOptionsWrite(BackupRecord(), &good), 0);
  VendorOptions out;
  out.barlist = "kept";
  for (std::size_t size : {std::size_t{0}, std::size_t{4096}, std::size_t{4511}}) {
    EXPECT_EQ(VendorOptionsRead(std::span(good).first(size), &out), -1) << size;
  }
  struct Fill {
    std::size_t offset, size;
  };
  for (Fill f : {Fill{0, 4096}, Fill{4096, 256}, Fill{4352, 65}, Fill{4417, 83}}) {
    std::vector<std::uint8_t> bad = good;
    std::memset(bad.data() + f.offset, 'x', f.size);
    EXPECT_EQ(VendorOptionsRead(bad, &out), -1) << f.offset;
  }
  // The tree's NUL and the spare byte cut off: the tree text runs to the end.
  EXPECT_EQ(VendorOptionsRead(std::span(good).first(good.size() - 2), &out), -1);
  EXPECT_EQ(out.barlist, "kept");
  // One byte less still holds the NUL.
  EXPECT_EQ(VendorOptionsRead(std::span(good).first(good.size() - 1), &out), 0);
  // A tree slot holding a writer's address is not followed.
  std::vector<std::uint8_t> pointed = good;
  std::memset(pointed.data() + 4508, 0x7F, 4);
  ASSERT_EQ(VendorOptionsRead(pointed, &out), 0);
  EXPECT_EQ(out.dataTree, BackupRecord().dataTree);
}

TEST(DataTree, NamesAreCutAndMalformedTextsRefused) {
  std::string tree;
  DataTreeAppend(&tree, "i", "D", std::string(1500, 'n'));
  EXPECT_EQ(tree, "/i/D/" + std::string(1023, 'n') + "/\x01");
  std::vector<std::string> entries = {"kept"};
  EXPECT_EQ(DataTreeSplit("/i/D/\x01/i/D/T/", &entries), -1);  // last entry unterminated
  EXPECT_EQ(DataTreeSplit("/i/D/\x01\x01", &entries), -1);     // empty entry
  EXPECT_EQ(entries, std::vector<std::string>{"kept"});
  EXPECT_EQ(DataTreeSplit("", &entries), 0);
  EXPECT_TRUE(entries.empty());
}

TEST(VendorOptionsVariables, EveryNameValueLineIsExportedOthersAreSkipped) {
  unsetenv("VO_TEST_A");
  unsetenv("VO_TEST_B");
  EXPECT_EQ(VendorOptionsExportVariables("VO_TEST_A=1 2\nno equals sign\n=orphan\n\nVO_TEST_B="),
            2);
  EXPECT_STREQ(std::getenv("VO_TEST_A"), "1 2");
  EXPECT_STREQ(std::getenv("VO_TEST_B"), "");
  EXPECT_EQ(VendorOptionsExportVariables(""), 0);
}

}  // namespace
