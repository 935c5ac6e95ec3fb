// The library's own declarations of DB2's vendor structures have DB2's byte
// layout, and the names of DB2 images and the options check behave.
#include "libwren/vendorapi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "libwren/wren.h"

namespace {

TEST(VendorApiLayout, StructuresHaveDb2sOffsetsAndSizes) {
  EXPECT_EQ(offsetof(DB2_info, DB2_id), 0u);
  EXPECT_EQ(offsetof(DB2_info, action), 32u);
  EXPECT_EQ(offsetof(DB2_info, db2instance), 56u);
  EXPECT_EQ(offsetof(DB2_info, type), 64u);
  EXPECT_EQ(offsetof(DB2_info, alias), 80u);
  EXPECT_EQ(offsetof(DB2_info, timestamp), 88u);
  EXPECT_EQ(offsetof(DB2_info, sequence), 96u);
  EXPECT_EQ(offsetof(DB2_info, obj_list), 104u);
  EXPECT_EQ(offsetof(DB2_info, max_bytes_per_txn), 112u);
  EXPECT_EQ(offsetof(DB2_info, mcNameP), 120u);
  EXPECT_EQ(offsetof(DB2_info, owner), 144u);
  EXPECT_EQ(offsetof(DB2_info, nodeNum), 152u);
  EXPECT_EQ(sizeof(DB2_info), 160u);

  EXPECT_EQ(offsetof(Vendor_info, server_id), 32u);
  EXPECT_EQ(offsetof(Vendor_info, max_bytes_per_txn), 40u);
  EXPECT_EQ(offsetof(Vendor_info, num_objects_in_backup), 44u);
  EXPECT_EQ(sizeof(Vendor_info), 48u);

  EXPECT_EQ(offsetof(Init_input, size_options), 8u);
  EXPECT_EQ(offsetof(Init_input, size_HI_order), 12u);
  EXPECT_EQ(offsetof(Init_input, size_LOW_order), 16u);
  EXPECT_EQ(offsetof(Init_input, options), 24u);
  EXPECT_EQ(offsetof(Init_input, prompt_lng), 40u);
  EXPECT_EQ(offsetof(Init_input, num_sessions), 48u);
  EXPECT_EQ(offsetof(Init_input, size_options_full), 52u);
  EXPECT_EQ(sizeof(Init_input), 56u);

  EXPECT_EQ(offsetof(Init_output, pVendorCB), 8u);
  EXPECT_EQ(sizeof(Init_output), 24u);

  EXPECT_EQ(offsetof(Data, buff_size), 4u);
  EXPECT_EQ(offsetof(Data, actual_buf_size), 8u);
  EXPECT_EQ(offsetof(Data, dataptr), 16u);
  EXPECT_EQ(sizeof(Data), 32u);

  EXPECT_EQ(offsetof(Return_code, description), 4u);
  EXPECT_EQ(offsetof(Return_code, reserve), 64u);
  EXPECT_EQ(sizeof(Return_code), 72u);

  EXPECT_EQ(offsetof(DB2_object_list, entries), 8u);
  EXPECT_EQ(sizeof(DB2_object_list), 16u);
}

TEST(VendorApiLayout, CodesAreDb2s) {
  EXPECT_EQ(SQLUV_OBJ_NOT_FOUND, 6);
  EXPECT_EQ(SQLUV_INIT_FAILED, 11);
  EXPECT_EQ(SQLUV_COMMIT_FAILED, 17);
  EXPECT_EQ(SQLUV_MORE_DATA, 21);
  EXPECT_EQ(SQLUV_ENDOFMEDIA_NO_DATA, 22);
  EXPECT_EQ(SQLUV_ENDOFMEDIA, 23);
  EXPECT_EQ(SQLUV_IO_ERROR, 25);
  EXPECT_EQ(SQLUV_COMMIT, 0);
  EXPECT_EQ(SQLUV_ABORT, 1);
}

TEST(Db2Names, WrittenPartAndOlderForms) {
  EXPECT_EQ(Db2ObjectName("db2inst1", "SAMPLE", 0, "20261209120000", '0', "001"),
            "db2inst1:SAMPLE#0:20261209120000:0:001");
  EXPECT_EQ(Db2ObjectName("i", "D", -3, "T", '3', "002"), "i:D#-3:T:3:002");
  // A two-character type leaves the type field empty.
  EXPECT_EQ(Db2ObjectName("i", "D", 12, "T", '\0', "001"), "i:D#12:T::001");
  EXPECT_EQ(Db2PartName("db2inst1", "SAMPLE", 1, "20261209120000"),
            "db2inst1:SAMPLE#1:20261209120000:");
  EXPECT_EQ(Db2OlderPartName("db2inst1", "SAMPLE", "20261209120000"),
            "db2inst1:SAMPLE:20261209120000:");
}

TEST(Db2Names, TypeCharAndBackupType) {
  EXPECT_EQ(Db2TypeChar("0"), '0');
  EXPECT_EQ(Db2TypeChar(""), '0');
  EXPECT_EQ(Db2TypeChar(nullptr), '0');
  EXPECT_EQ(Db2TypeChar("ab"), '\0');
  EXPECT_EQ(Db2TypeChar("ab1"), '1');
  EXPECT_EQ(Db2TypeChar("xy3z"), '3');
  EXPECT_EQ(Db2BackupType('1'), 10);
  EXPECT_EQ(Db2BackupType('3'), 26);
  EXPECT_EQ(Db2BackupType('0'), 0);
  EXPECT_EQ(Db2BackupType('\0'), 0);
}

TEST(Db2Names, PartsMatchOnlyAtTheStartOfTheMountPoint) {
  EXPECT_TRUE(Db2PartMatches("db2inst1:SAMPLE#0:T:0:001", "db2inst1:SAMPLE#0:T:"));
  EXPECT_TRUE(Db2PartMatches("/db2inst1:SAMPLE#0:T:0:001", "db2inst1:SAMPLE#0:T:"));
  // Another instance whose name ends in this one's, another node.
  EXPECT_FALSE(Db2PartMatches("xdb2inst1:SAMPLE#0:T:0:001", "db2inst1:SAMPLE#0:T:"));
  EXPECT_FALSE(Db2PartMatches("db2inst1:SAMPLE#10:T:0:001", "db2inst1:SAMPLE#0:T:"));
  EXPECT_FALSE(Db2PartMatches("db2inst1:SAMPLE#0:T:0:001", ""));
}

TEST(Db2Names, CompareOrdersByMountPointBytes) {
  VEK_Object a{}, b{};
  std::strcpy(a.mountPoint, "i:D#0:T:0:002");
  std::strcpy(b.mountPoint, "i:D#0:T:0:001");
  EXPECT_GT(compare(&a, &b), 0);
  EXPECT_LT(compare(&b, &a), 0);
  EXPECT_EQ(compare(&a, &a), 0);
  EXPECT_GT(compare(&a, nullptr), 0);
}

// Options records: the fixed part is checked before anything is read.
TEST(WrenOptions, RecordIsCheckedAgainstItsSize) {
  VendorOptions written;
  written.barlist = "nightly";
  written.hasTree = true;
  written.dataTree = "/i/D/\x01";
  std::vector<std::uint8_t> record;
  ASSERT_EQ(VendorOptionsWrite(written, &record), 0);
  Init_input in{};
  in.options = record.data();
  in.size_options_full = static_cast<std::uint32_t>(record.size());
  VendorOptions read;
  ASSERT_EQ(WrenReadOptions(&in, true, &read), 0);
  EXPECT_EQ(read.barlist, "nightly");
  EXPECT_EQ(read.dataTree, "/i/D/\x01");

  // DB2's 16-bit size when the full one is 0.
  in.size_options_full = 0;
  in.size_options = static_cast<std::uint16_t>(record.size());
  EXPECT_EQ(WrenReadOptions(&in, true, &read), 0);
  // Shorter than the fixed part, or no record at all.
  in.size_options = 4511;
  EXPECT_EQ(WrenReadOptions(&in, false, &read), -1);
  in.size_options = 16;
  EXPECT_EQ(WrenReadOptions(&in, false, &read), -1);
  in.options = nullptr;
  in.size_options_full = static_cast<std::uint32_t>(record.size());
  EXPECT_EQ(WrenReadOptions(&in, false, &read), -1);
  EXPECT_EQ(WrenReadOptions(nullptr, false, &read), -1);

  // A restore record carries no tree: fine for a restore, refused for a backup.
  VendorOptions restore;
  restore.barlist = "nightly";
  ASSERT_EQ(VendorOptionsWrite(restore, &record), 0);
  in.options = record.data();
  in.size_options_full = static_cast<std::uint32_t>(record.size());
  EXPECT_EQ(WrenReadOptions(&in, false, &read), 0);
  EXPECT_EQ(WrenReadOptions(&in, true, &read), -1);
}

TEST(WrenOptions, MissingDb2FieldsAreNamed) {
  char w[] = "W", i[] = "db2inst1", t[] = "0", a[] = "SAMPLE", ts[] = "20261209120000", s[] = "001";
  DB2_info info{};
  EXPECT_STREQ(WrenMissingField(nullptr), "DB2_session");
  EXPECT_STREQ(WrenMissingField(&info), "action");
  info.action = w;
  info.db2instance = i;
  EXPECT_STREQ(WrenMissingField(&info), "type");
  info.type = t;
  info.alias = a;
  info.timestamp = ts;
  EXPECT_STREQ(WrenMissingField(&info), "sequence");
  info.sequence = s;
  EXPECT_EQ(WrenMissingField(&info), nullptr);
}

}  // namespace
