// Restore sessions, objects and items. The record walk reads streams the
// product's own writers made (plain, encrypted, encoded), fed record by
// record as the restore buffer manager hands them out: attributes, extended
// attributes capped at the writer's limit, data through small and large
// buffers and through the callback, item end codes, the object's end, and
// records of the wrong item or type. The session and object calls run
// against the stand-in cell server: call order, rights, the object request's
// answers and a restore data path that does not open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barcodec.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barrestore.h"
#include "bar2/bartransform.h"
#include "cellserver/testing/cellserver_standin.h"
#include "cmn/cmninit.h"
#include "cmn/paths.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "tarn_test.h"
#include "vekdf/daformat.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"
#include "vekdf/rm.h"
#include "vekdf/test/vekdf_test_util.h"

TARN_RCSID("integ/bar2/test/restore_test.cpp");

namespace {

using vekdftest::ReportsOf;

// ---------------------------------------------------------------- record walk

// Records handed out through the rbmRead hook, in host order.
std::vector<std::vector<std::uint8_t>> records;
std::size_t nextRecord = 0;

int ReadRecord(BarContext*, std::span<std::uint8_t>* record) {
  if (nextRecord >= records.size()) return 0;
  *record = records[nextRecord++];
  return 1;
}

int KeyCallback(IpcHandle, char* buffer, DaKeyInfo* info, int action) {
  if (buffer == nullptr) return -1;
  if (action == DA_KEY_RANDBYTES) {
    auto* out = reinterpret_cast<unsigned char*>(info);
    for (int i = 0; i < kDaRandSize; ++i) out[i] = static_cast<unsigned char>(0x40 + i);
    return 1;
  }
  if (action == DA_KEY_BY_ENTITY) {
    std::memcpy(info->keyId, "KEYID-0123456789", kDaKeyIdSize);
    std::memcpy(info->storeId, "STORE-0123456789", kDaKeyIdSize);
  }
  for (int i = 0; i < kDaKeySize; ++i) info->key[i] = static_cast<unsigned char>(0xA0 + i);
  return 1;
}

std::vector<std::uint8_t> Payload(std::size_t n, std::uint8_t first = 0) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i * 7 + (i >> 8));
  return v;
}

// What the callback form of the read got.
struct Sink {
  std::vector<std::uint8_t> bytes;
  int calls = 0;
  int stopAfter = -1;  // answer 0 from this call on
  bool fail = false;
} sink;

int Collect(const void* data, int length, void*) {
  ++sink.calls;
  if (sink.fail) return -1;
  if (sink.stopAfter >= 0 && sink.calls > sink.stopAfter) return 0;
  const auto* p = static_cast<const std::uint8_t*>(data);
  sink.bytes.insert(sink.bytes.end(), p, p + length);
  return length;
}

class RecordWalkTest : public vekdftest::StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    savedCapability_ = VEK_Global.capability;
    VEK_Global.capability = kVekCapEncode | kVekCapEncrypt;
    BarSetKeyCallback(KeyCallback);
    records.clear();
    nextRecord = 0;
    sink = Sink{};
    BarLinkHooks hooks{};
    hooks.rbmRead = ReadRecord;
    BarSetLinkHooks(&hooks);
    ctx_ = std::make_unique<BarContext>();
    ctx_->session.smHandle = kIpcNoHandle;
    std::strcpy(ctx_->appType, "DB2");
    std::strcpy(ctx_->appName, "inst1");
    Open(4096);
    ASSERT_NE(RmWriteStart(kDaId, 1, 0, 5, 1, 0, 0, 0, 0, "obj", "", "VEKBAR", "v"), 0);
  }
  void TearDown() override {
    BarEndTransforms(ctx_.get());
    CmnVarFree(&ctx_->item.itemName);
    BarSetLinkHooks(nullptr);
    BarSetKeyCallback(nullptr);
    VEK_Global.capability = savedCapability_;
    StreamTest::TearDown();
  }

  // One item as the backup side writes it: attribute record (and encryption
  // record while encrypting), extended attributes, data records of at most
  // `piece` bytes, item end record with `code`.
  void WriteItem(std::uint32_t id, const char* name, const std::vector<std::uint8_t>& data,
                 std::size_t piece = 3000, const std::vector<std::uint8_t>& ext = {},
                 std::uint32_t code = 0) {
    DaItemAttr item{};
    item.itemId = id;
    item.fileType = kDaFileRegular;
    item.name = name;
    item.size = data.size();
    item.uid = 1001;
    item.gid = 70000;
    item.mode = 0640;
    item.time[kDaAttrModifyTime] = 1700000000;
    item.quantity = 9;
    ASSERT_NE(RmWriteObjAttribute(DA_REC_OBJ_ATTR, item), 0);
    if (ctx_->object.codecs.encrypt != 0) {
      ASSERT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), 0);
    }
    if (!ext.empty()) {
      const auto size = static_cast<std::uint32_t>(64 + ext.size());
      std::uint32_t granted = 0;
      std::uint8_t* rec = writer_->Alloc(size, size, &granted);
      ASSERT_NE(rec, nullptr);
      ASSERT_EQ(
          VEK_SetDAExtAttrRec(rec, size, id, ext.data(), static_cast<std::uint32_t>(ext.size())),
          1);
      const std::uint32_t seq = writer_->TakeRecSeqNo();
      std::memcpy(rec + offsetof(DaRecHeader, seqNo), &seq, sizeof seq);
      ASSERT_TRUE(writer_->Write(size));
    }
    ctx_->item.itemId = static_cast<int>(id);
    for (std::size_t at = 0; at < data.size();) {
      std::size_t n = std::min(piece, data.size() - at);
      ASSERT_NO_FATAL_FAILURE(WriteData(data.data() + at, &n, at));
      at += n;
    }
    ASSERT_NE(RmWriteObjEnd(item, code), 0);
  }
  // A data record of the context's item through the transforms: at most *n
  // bytes, as many as the block has room for (*n then says how many).
  void WriteData(const std::uint8_t* bytes, std::size_t* count, std::size_t offset) {
    std::uint32_t granted = 0;
    std::uint8_t* p = RmGetObjDataBuf(static_cast<std::uint32_t>(*count), &granted);
    ASSERT_NE(p, nullptr);
    const std::size_t n = std::min<std::size_t>(*count, granted);
    *count = n;
    std::memcpy(p, bytes, n);
    ctx_->item.dataRecord = p;
    ctx_->item.recSize = static_cast<int>(granted);
    ASSERT_NE(
        VEK_BmWriteData(ctx_.get(), static_cast<int>(n), static_cast<std::uint32_t>(offset), 0), 0);
  }
  void WriteEnd() { ASSERT_NE(RmWriteEnd(kDaId, 1, 2, 0, 0), 0); }

  // Every record written, read back from the blocks as the restore side
  // reads them, queued for the hook; the context then restores an object.
  void StartRestore() {
    BarEndTransforms(ctx_.get());
    ASSERT_NO_FATAL_FAILURE(ReadBack(records));
    ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
    ctx_->item.itemId = 0;
    ctx_->item.restoreRecord = nullptr;
    ctx_->item.recBytes = 0;
    ctx_->mode = BAR_MODE_OBJECT_RESTORE;
  }
  // Index of the first queued record of `type` from `from` on.
  std::size_t Find(std::uint32_t type, std::size_t from = 0) const {
    for (std::size_t i = from; i < records.size(); ++i) {
      DaRecHeader h;
      std::memcpy(&h, records[i].data(), sizeof h);
      if (h.type == type) return i;
    }
    ADD_FAILURE() << "no record of type " << type;
    return records.size();
  }
  int StartItem(VEK_Item* item, void* ext = nullptr, int* extSize = nullptr) {
    return VEK_StartItemRestoreEx(ctx_.get(), nullptr, item, ext, extSize);
  }
  // The item's data through reads of `chunk` bytes, up to the first 0.
  std::vector<std::uint8_t> ReadAll(int chunk) {
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunk));
    for (;;) {
      const int n = VEK_ReadItemData(ctx_.get(), buffer.data(), chunk);
      EXPECT_GE(n, 0);
      if (n <= 0) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
  }

  unsigned char savedCapability_ = 0;
  std::unique_ptr<BarContext> ctx_;
};

TEST_F(RecordWalkTest, ItemsComeBackWithAttributesDataAndEndCodes) {
  const std::vector<std::uint8_t> a = Payload(10000), c = Payload(5000, 3);
  const std::vector<std::uint8_t> ext = {'u', 's', 'e', 'r', '.'};
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "/db/a", a, 3000, ext));
  ASSERT_NO_FATAL_FAILURE(WriteItem(1, "/db/empty", {}, 3000, {}, 3));
  ASSERT_NO_FATAL_FAILURE(WriteItem(2, "/db/c", c, 1000));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());

  VEK_Item item{};
  std::vector<std::uint8_t> attrs(kBarExtAttrMax, 0xEE);
  int size = 0;
  ASSERT_EQ(StartItem(&item, attrs.data(), &size), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_ITEM_RESTORE);
  EXPECT_STREQ(item.name, "/db/a");
  EXPECT_STREQ(CmnVarCastText(ctx_->item.itemName), "/db/a");
  EXPECT_EQ(item.id, 0);
  EXPECT_EQ(item.size, 10000u);
  EXPECT_EQ(item.uid, 1001);
  EXPECT_EQ(item.gid, 70000);
  EXPECT_EQ(item.mode, 0640);
  EXPECT_EQ(item.mtime, 1700000000);
  EXPECT_EQ(item.number2, static_cast<std::int64_t>(kDaFileRegular));
  EXPECT_EQ(item.number10, 9);
  ASSERT_EQ(size, 5);
  EXPECT_EQ(std::vector<std::uint8_t>(attrs.begin(), attrs.begin() + 5), ext);
  EXPECT_EQ(attrs[5], 0xEE);
  // One read larger than the item: its whole data, then 0 at its end record.
  std::vector<std::uint8_t> big(1 << 20);
  ASSERT_EQ(VEK_ReadItemData(ctx_.get(), big.data(), static_cast<int>(big.size())), 10000);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), big.begin()));
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), big.data(), static_cast<int>(big.size())), 0);
  int code = -1;
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_RESTORE);

  // An item without extended attributes says so, not the room given.
  size = 64;
  ASSERT_EQ(StartItem(&item, attrs.data(), &size), 0);
  EXPECT_EQ(size, 0);
  EXPECT_STREQ(item.name, "/db/empty");
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), big.data(), 100), 0);
  code = -1;
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), &code), 0);
  EXPECT_EQ(code, 3);

  // Reads of 7 bytes cross every record boundary.
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_EQ(item.id, 2);
  EXPECT_EQ(ReadAll(7), c);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);

  EXPECT_EQ(StartItem(&item), -6);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_RESTORE);
}

TEST_F(RecordWalkTest, ExtendedAttributesAreCappedAtTheWritersLimitWhateverTheSizeOnEntry) {
  // The size is only an output: callers that pass it uninitialised, or 0,
  // still get the attributes, and a stored record longer than any writer
  // makes never runs past the kBarExtAttrMax bytes the buffer must hold.
  const std::vector<std::uint8_t> ext = Payload(100, 1), huge = Payload(kBarExtAttrMax + 76, 2);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "x", Payload(10), 3000, ext));
  ASSERT_NO_FATAL_FAILURE(WriteItem(1, "y", Payload(10), 3000, huge));
  ASSERT_NO_FATAL_FAILURE(WriteItem(2, "z", Payload(10), 3000, ext));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());

  VEK_Item item{};
  std::vector<std::uint8_t> attrs(kBarExtAttrMax + 16, 0xEE);
  int size = 0;
  ASSERT_EQ(StartItem(&item, attrs.data(), &size), 0);
  EXPECT_EQ(size, 100);
  EXPECT_TRUE(std::equal(ext.begin(), ext.end(), attrs.begin()));
  EXPECT_EQ(attrs[100], 0xEE);
  EXPECT_EQ(ReadAll(64), Payload(10));
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);

  size = -5;
  attrs.assign(kBarExtAttrMax + 16, 0xEE);
  ASSERT_EQ(StartItem(&item, attrs.data(), &size), 0);
  EXPECT_EQ(size, kBarExtAttrMax);
  EXPECT_TRUE(std::equal(attrs.begin(), attrs.begin() + kBarExtAttrMax, huge.begin()));
  EXPECT_EQ(std::vector<std::uint8_t>(attrs.begin() + kBarExtAttrMax, attrs.end()),
            std::vector<std::uint8_t>(16, 0xEE));
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);

  // No buffer: the size is left alone.
  size = 16;
  ASSERT_EQ(StartItem(&item, nullptr, &size), 0);
  EXPECT_EQ(size, 16);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);
}

TEST_F(RecordWalkTest, CallbackFormPassesTheRecordsAndStopsOrFailsOnRequest) {
  const std::vector<std::uint8_t> a = Payload(7000), b = Payload(7000, 5), c = Payload(7000, 9);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", a, 2000));
  ASSERT_NO_FATAL_FAILURE(WriteItem(1, "b", b, 2000, {}, 4));
  ASSERT_NO_FATAL_FAILURE(WriteItem(2, "c", c, 2000, {}, 6));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());

  VEK_Item item{};
  EXPECT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), BAR_ESEQUENCE);
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_EQ(VEK_RestoreItemCB(ctx_.get(), nullptr), BAR_EPARAM);
  // Part of the first record by a read, the rest by the callback.
  std::uint8_t head[100];
  ASSERT_EQ(VEK_ReadItemData(ctx_.get(), head, 100), 100);
  ASSERT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), 0);
  EXPECT_GE(sink.calls, 4);  // one per record
  sink.bytes.insert(sink.bytes.begin(), head, head + 100);
  EXPECT_EQ(sink.bytes, a);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);

  // A callback that wants no more after the first record: the rest is
  // passed over, and the item still ends at its end record.
  sink = Sink{.stopAfter = 1};
  ASSERT_EQ(StartItem(&item), 0);
  ASSERT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), 0);
  EXPECT_EQ(sink.calls, 2);
  ASSERT_GT(sink.bytes.size(), 0u);
  ASSERT_LT(sink.bytes.size(), b.size());
  EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), b.begin()));
  int code = -1;
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), &code), 0);
  EXPECT_EQ(code, 4);

  // A failing callback; the item's end then skips its remaining data.
  sink = Sink{.fail = true};
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), -7);
  EXPECT_EQ(ctx_->mode, BAR_MODE_ITEM_RESTORE);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), &code), 0);
  EXPECT_EQ(code, 6);
  EXPECT_EQ(StartItem(&item), -6);
}

// Appends a copy of the queued record `index` with its item id (at byte 32
// of data, item end and error records alike) set to `itemId`.
void CloneWithItem(std::size_t index, std::uint32_t itemId, std::size_t at) {
  std::vector<std::uint8_t> copy = records[index];
  std::memcpy(copy.data() + sizeof(DaRecHeader), &itemId, sizeof itemId);
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(at), std::move(copy));
}

TEST_F(RecordWalkTest, RecordsOfAnotherItemFailTheReads) {
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", Payload(100)));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  const std::size_t data = Find(DA_REC_OBJ_DATA);
  const std::size_t end = Find(DA_REC_OBJ_END);
  // attr(0), data(7), data(0), end(7), end(0), DA_REC_END
  CloneWithItem(end, 7, end);
  CloneWithItem(data, 7, data);

  VEK_Item item{};
  ASSERT_EQ(StartItem(&item), 0);
  std::uint8_t buffer[200];
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 200), BAR_ECOMM);
  EXPECT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), BAR_ECOMM);
  EXPECT_EQ(sink.calls, 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_ITEM_RESTORE);
  VEK_RbmNextRecord(ctx_.get());                                    // past the stray record
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 200), BAR_ECOMM);  // the stray end
  EXPECT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), BAR_ECOMM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_RESTORE);
}

TEST_F(RecordWalkTest, UnexpectedTypesAndMissingRecordsAreFailures) {
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", Payload(100)));
  ASSERT_NO_FATAL_FAILURE(WriteItem(1, "b", Payload(100)));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  // Item a loses its end record: its reads run into b's attribute record.
  records.erase(records.begin() + static_cast<std::ptrdiff_t>(Find(DA_REC_OBJ_END)));
  VEK_Item item{};
  ASSERT_EQ(StartItem(&item), 0);
  std::uint8_t buffer[200];
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 200), BAR_ECOMM);
  EXPECT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), BAR_ECOMM);
  EXPECT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), BAR_ECOMM);

  // The object's end reached while ending an item (b's end record lost).
  records.erase(records.begin() + static_cast<std::ptrdiff_t>(Find(DA_REC_OBJ_END)));
  nextRecord = Find(DA_REC_OBJ_ATTR, 2);
  ctx_->item.restoreRecord = nullptr;
  ctx_->mode = BAR_MODE_OBJECT_RESTORE;
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_STREQ(item.name, "b");
  EXPECT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), -6);

  // No record at all.
  EXPECT_EQ(StartItem(&item), BAR_ECOMM);
  ctx_->mode = BAR_MODE_ITEM_RESTORE;
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 200), BAR_ECOMM);
  EXPECT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), BAR_ECOMM);
  EXPECT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), -1);
}

TEST_F(RecordWalkTest, CallOrderArgumentsAndLengthsAreCheckedFirst) {
  const std::vector<std::uint8_t> a = Payload(300);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", a));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  // An empty data record in front of the real one.
  const std::size_t data = Find(DA_REC_OBJ_DATA);
  std::vector<std::uint8_t> empty(records[data].begin(), records[data].begin() + sizeof(DaRecData));
  DaRecData r;
  std::memcpy(&r, empty.data(), sizeof r);
  r.h.length = sizeof r;
  r.lengthLow = 0;
  r.lengthHigh = 0;
  r.dataOffset = sizeof r;
  std::memcpy(empty.data(), &r, sizeof r);
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(data), empty);

  VEK_Item item{};
  std::uint8_t buffer[400];
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 10), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_StartItemRestoreEx(ctx_.get(), "a", &item, nullptr, nullptr), BAR_EPARAM);
  EXPECT_EQ(VEK_StartItemRestoreEx(ctx_.get(), nullptr, nullptr, nullptr, nullptr), BAR_EPARAM);
  EXPECT_EQ(nextRecord, 0u);  // nothing read yet
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_EQ(StartItem(&item), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), nullptr, 10), BAR_EPARAM);
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, -1), BAR_EPARAM);
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 0), 0);
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), buffer, 400), 300);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), buffer));
  EXPECT_EQ(VEK_EndObjectRestore(ctx_.get(), 0), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_EndRestore(ctx_.get(), 0), BAR_ESEQUENCE);
  EXPECT_EQ(ctx_->mode, BAR_MODE_ITEM_RESTORE);

  // The callback is never called with an empty record.
  records.clear();
  nextRecord = 0;
  sink = Sink{};
  ctx_->mode = BAR_MODE_OBJECT_RESTORE;
  BarEndTransforms(ctx_.get());
  Open(4096);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", a));
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(Find(DA_REC_OBJ_DATA)), empty);
  ASSERT_EQ(StartItem(&item), 0);
  ASSERT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), 0);
  EXPECT_EQ(sink.calls, 1);
  EXPECT_EQ(sink.bytes, a);
}

TEST_F(RecordWalkTest, EncryptedItemsAreReadWithTheKeyOfTheirEncryptionRecord) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  const std::vector<std::uint8_t> a = Payload(5000, 1), b = Payload(3000, 2);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", a, 1500, {'x'}));
  ASSERT_NO_FATAL_FAILURE(WriteItem(1, "b", b, 1500));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  DaDataView stored{};
  ASSERT_TRUE(DaViewData(records[Find(DA_REC_OBJ_DATA)], &stored));
  EXPECT_EQ(stored.transformId, 3u);
  EXPECT_FALSE(std::equal(stored.data.begin(), stored.data.end(), a.begin()));

  VEK_Item item{};
  std::uint8_t ext[kBarExtAttrMax] = {};
  int size = 0;
  ASSERT_EQ(StartItem(&item, ext, &size), 0);
  EXPECT_NE(ctx_->object.codecs.encrHandle, nullptr);
  EXPECT_EQ(size, 1);  // behind the encryption record
  EXPECT_EQ(ext[0], 'x');
  EXPECT_EQ(ReadAll(999), a);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);
  ASSERT_EQ(StartItem(&item), 0);
  ASSERT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), 0);
  EXPECT_EQ(sink.bytes, b);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);
  EXPECT_EQ(ReportsOf(131, 222), 1);  // decryption started once
}

TEST_F(RecordWalkTest, AnEncryptionRecordWhoseKeyDoesNotMatchFailsTheItem) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", Payload(100)));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  std::vector<std::uint8_t>& crypt = records[Find(DA_REC_OBJ_CRYPT)];
  crypt[offsetof(DaRecCrypt, keyCrc)] ^= 1;
  VEK_Item item{};
  EXPECT_EQ(StartItem(&item), BAR_ECOMM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_OBJECT_RESTORE);
  EXPECT_EQ(ReportsOf(131, 228), 1);
}

TEST_F(RecordWalkTest, EncodedItemsAreDecoded) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 1, 0, 0), 0);
  const std::vector<std::uint8_t> a = Payload(6000, 4);
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, "a", a, 2500));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  DaDataView stored{};
  ASSERT_TRUE(DaViewData(records[Find(DA_REC_OBJ_DATA)], &stored));
  EXPECT_EQ(stored.transformId, static_cast<std::uint32_t>(kDeInitId));
  EXPECT_FALSE(std::equal(stored.data.begin(), stored.data.end(), a.begin()));
  VEK_Item item{};
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_EQ(ReadAll(4096), a);
}

TEST_F(RecordWalkTest, WideAttributeRecordGivesItsNameInTheLocalCharacterSet) {
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  // The other attribute form, in host order as the block reader gives it,
  // its name "C:\é" in little-endian UTF-16.
  const std::vector<std::uint8_t> name = {'C', 0, ':', 0, '\\', 0, 0xE9, 0, 0, 0};
  DaRecNtAttr r{};
  r.h.magic = kDaRecMagic;
  r.h.type = DA_REC_OBJ_NT_NOCAT;
  r.h.version = kDaRecVersion;
  r.h.length = static_cast<std::uint32_t>(sizeof r + name.size());
  r.word[kDaNtItemId] = 4;
  r.word[kDaNtAttrBits] = 0x20;
  r.word[kDaNtFileType] = kDaFileRegular;
  r.word[kDaNtModifyTime] = 1234;
  r.word[kDaNtSizeLow] = 5;
  r.word[kDaNtSizeHigh] = 1;
  r.half[kDaNtNameOffset] = sizeof r;
  std::vector<std::uint8_t> rec(sizeof r);
  std::memcpy(rec.data(), &r, sizeof r);
  rec.insert(rec.end(), name.begin(), name.end());
  records.insert(records.begin() + 1, rec);
  // The same with its name's end cut off: it does not hold together.
  rec.resize(rec.size() - 2);
  r.h.length = static_cast<std::uint32_t>(rec.size());
  std::memcpy(rec.data(), &r, sizeof r);
  records.insert(records.begin() + 2, rec);

  VEK_Item item{};
  item.uid = 77;
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_STREQ(item.name, "C:\\\xC3\xA9");
  EXPECT_STREQ(CmnVarCastText(ctx_->item.itemName), "C:\\\xC3\xA9");
  EXPECT_EQ(item.id, 4);
  EXPECT_EQ(item.mode, 0x20);
  EXPECT_EQ(item.size, (std::uint64_t{1} << 32) + 5);
  EXPECT_EQ(item.mtime, 1234);
  EXPECT_EQ(item.uid, 0);  // cleared first
  // The damaged record ended the walk; reading it fails cleanly.
  std::uint8_t byte = 0;
  EXPECT_EQ(VEK_ReadItemData(ctx_.get(), &byte, 1), BAR_ECOMM);
  ctx_->mode = BAR_MODE_OBJECT_RESTORE;
  ctx_->item.restoreRecord = nullptr;
  nextRecord = 2;
  EXPECT_EQ(StartItem(&item), BAR_ECOMM);
}

TEST_F(RecordWalkTest, LongItemNamesAreCutInlineAndKeptWholeInTheContext) {
  const std::string name(1500, 'n');
  ASSERT_NO_FATAL_FAILURE(WriteItem(0, name.c_str(), Payload(10)));
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  VEK_Item item{};
  ASSERT_EQ(StartItem(&item), 0);
  EXPECT_EQ(std::string(item.name), name.substr(0, kVekNameMax));
  EXPECT_EQ(std::string(CmnVarCastText(ctx_->item.itemName)), name);
}

// Compressed data records: the compression library pulls the item's data
// through the reads and hands the expanded bytes to the callback.
TEST_F(RecordWalkTest, CompressedItemDataIsExpandedForTheCallback) {
  ctx_->object.codecs.compress = 1;
  ASSERT_EQ(VEK_InitCompression(ctx_.get()), 0);
  const std::uint32_t id = static_cast<std::uint32_t>(ctx_->object.codecs.compressionId);
  static std::vector<std::uint8_t> source;
  static std::size_t sourceAt;
  source.assign(100000, 'q');
  sourceAt = 0;
  DaItemAttr attr{};
  attr.name = "z";
  ASSERT_NE(RmWriteObjAttribute(DA_REC_OBJ_ATTR, attr), 0);
  DcIoFn read = [](void* buffer, int length, void*) {
    const std::size_t n = std::min(static_cast<std::size_t>(length), source.size() - sourceAt);
    std::memcpy(buffer, source.data() + sourceAt, n);
    sourceAt += n;
    return static_cast<int>(n);
  };
  static std::uint32_t compressionId;
  compressionId = id;
  DcIoFn write = [](void* data, int length, void*) {
    std::uint32_t granted = 0;
    std::uint8_t* p = RmGetObjDataBuf(static_cast<std::uint32_t>(length), &granted);
    if (p == nullptr || granted < static_cast<std::uint32_t>(length)) return 0;
    std::memcpy(p, data, static_cast<std::size_t>(length));
    return RmWriteObjData(p, 0, static_cast<std::uint32_t>(length), 0, 0, compressionId, 0) != 0
               ? length
               : 0;
  };
  ASSERT_EQ(DcCompress2(read, write, nullptr), 0);
  ASSERT_NE(RmWriteObjEnd(attr, 0), 0);
  ASSERT_NO_FATAL_FAILURE(WriteEnd());
  DcExit();
  ctx_->object.codecs.codecsStarted = 0;
  ASSERT_NO_FATAL_FAILURE(StartRestore());
  VEK_Global.capability |= kVekCapCompress;
  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  ASSERT_EQ(static_cast<std::uint32_t>(ctx_->object.codecs.compressionId), id);
  bar2_detail::InstallSessionHooks();  // the reads behind the library

  VEK_Item item{};
  ASSERT_EQ(StartItem(&item), 0);
  ASSERT_EQ(VEK_RestoreItemCB(ctx_.get(), Collect), 0);
  EXPECT_EQ(sink.bytes, source);
  ASSERT_EQ(VEK_EndItemRestore(ctx_.get(), nullptr), 0);
}

// ---------------------------------------------------------------- sessions

class RestoreSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    for (const char* name :
         {"VEKOPTS", "VEKBARUPDATE", "VEKAPPNAME_RPT", "VEKDBG", "VEK_CELL_SERVER_HOSTNAME",
          "VEKBARHOSTNAME", "VEKRECONNECT_RETRY", "VEKRECONNECT_ACK", "VEKRDANET"})
      unsetenv(name);
    setenv("VEKSHUTDOWNTIMEOUT", "1", 1);
    VEK_SetFlags(0);
    bar2_detail::ResetGlobals();
    BarSetLinkHooks(nullptr);
  }
  void TearDown() override {
    if (BarContext* ctx = VEK_GetContext()) {
      ctx->mode = BAR_MODE_IDLE;
      if (ctx->session.smHandle != kIpcNoHandle) IpcCloseConnection(ctx->session.smHandle);
      ctx->session.smHandle = kIpcNoHandle;
      VEK_Exit(ctx);
    }
    BarSetLinkHooks(nullptr);
    DaSetReconnectPort(0);
    if (CmnIsInitialized()) CmnExit();
    unsetenv("VEKOPTS");
    unsetenv("VEKSHUTDOWNTIMEOUT");
  }

  void Start(const std::string& fixture) {
    server_ = std::make_unique<tarn::test::CellServerStandIn>(
        tarn::test::CellServerStandIn::Options{.fixture = fixture});
    ASSERT_TRUE(server_->ready());
    server_->exportInetPort();
    setenv("VEKOPTS", "-server 127.0.0.1", 1);
    ASSERT_EQ(VEK_Init("DB2", "inst1", "DB2LIB", 0, &ctx_), 0);
    ctx_->output = 0;
  }
  // The session manager hands the object out and the restore data path is
  // taken as open, as after VEK_StartObjectRestoreEx.
  void HandOut(const char* name) {
    StrMsg request;
    StrMsgInitL(&request);
    StrMsgStartExL(&request, nullptr, 0, MSG_BAROPT, 0);
    StrMsgNAppendL(&request, ctx_->appName, name, "", "0", "", "0", "-save /my/soul -to /dev/null",
                   nullptr);
    IntegOptions opts{};
    EXPECT_EQ(VEK_RequestObject(ctx_, kBarSessionRestore, &request, &opts), 0);
    OptFreeOpts(&opts);
    StrMsgFreeL(&request);
    std::strcpy(ctx_->object.objName, name);
    ctx_->mode = BAR_MODE_OBJECT_RESTORE;
    ctx_->object.maLocal = 1;
  }
  // An object answered with MSG_CONNECT for an agent on a port nobody
  // listens on.
  static std::string DeadAgent(int daId) {
    return "baropt connect -ma 127.0.0.1 " + std::to_string(tarn::test::FreePort()) + " -daid " +
           std::to_string(daId) + "\n";
  }

  tarn::test::Watchdog watchdog_{120};
  tarn::test::TempRoot root_;
  std::unique_ptr<tarn::test::CellServerStandIn> server_;
  BarContext* ctx_ = nullptr;
};

TEST_F(RestoreSessionTest, RightsCallOrderAndArgumentsAreCheckedBeforeAnythingOpens) {
  ASSERT_NO_FATAL_FAILURE(Start(""));
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "obj", "", "", 0), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_EndObjectRestore(ctx_, 0), BAR_ESEQUENCE);
  const std::uint32_t all = ctx_->access;
  ctx_->access = 0x20;  // restore, but not private objects
  EXPECT_EQ(VEK_StartRestore(ctx_, "nightly"), BAR_EPERM);
  ctx_->access = 0x80000;
  EXPECT_EQ(VEK_StartRestore(ctx_, "nightly"), BAR_EPERM);
  EXPECT_EQ(VEK_GetErrno(ctx_), BAR_EPERM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_IDLE);
  EXPECT_EQ(ctx_->session.smHandle, kIpcNoHandle);
  ctx_->access = all;

  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_RESTORE);
  EXPECT_STREQ(ctx_->session.barlist, "nightly");
  EXPECT_NE(ctx_->session.smHandle, kIpcNoHandle);
  EXPECT_EQ(VEK_StartRestore(ctx_, "nightly"), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "obj", "", "", -1), BAR_EPARAM);
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "", "", "", 0), BAR_EPARAM);
  const std::string tooLong(1185, 'o');
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, tooLong.c_str(), "", "", 0), BAR_EPARAM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_RESTORE);
  VEK_Item item{};
  EXPECT_EQ(VEK_StartItemRestoreEx(ctx_, nullptr, &item, nullptr, nullptr), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_Exit(ctx_), BAR_ESESSION);

  EXPECT_EQ(VEK_EndRestore(ctx_, 0), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_IDLE);
  EXPECT_EQ(ctx_->session.sessGuid[0], '\0');
  EXPECT_TRUE(server_->waitForTraffic("stop ends"));
}

TEST_F(RestoreSessionTest, ObjectRequestCarriesTheVersionAndARestoreDataPathThatFailsAborts) {
  ASSERT_NO_FATAL_FAILURE(Start(DeadAgent(21)));
  ASSERT_NE(VEK_Global.capability & kVekCapEncode, 0);
  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);
  // The restore path of the encoding library is started and must be ended.
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "05 host:/db // DB2", "2026/12/09-1", "/db/a", 7),
            BAR_ECOMM);
  EXPECT_EQ(ctx_->mode, BAR_MODE_RESTORE);
  EXPECT_EQ(ctx_->object.codecs.codecsStarted, 0);
  EXPECT_EQ(ctx_->object.maLocal, -1);
  EXPECT_EQ(ctx_->session.smHandle, kIpcNoHandle);
  EXPECT_TRUE(server_->waitForTraffic("restore \"05 host:/db // DB2\""));
  EXPECT_TRUE(server_->waitForTraffic("aborted \"05 host:/db // DB2\" code -2"));
  // The request's items, in order.
  EXPECT_TRUE(server_->waitForTraffic(
      "< 51 \"inst1\" \"05 host:/db // DB2\" \"2026/12/09-1\" \"0\" \"/db/a\" \"7\" "
      "\"-save /my/soul -to /dev/null\""));

  // The session goes on: the next object re-attaches to it.
  const std::string guid = ctx_->session.sessGuid;
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "obj2", "", nullptr, 0), BAR_ECOMM);
  EXPECT_EQ(ctx_->session.sessGuid, guid);
  EXPECT_TRUE(server_->waitForTraffic("aborted \"obj2\" code -2"));
  EXPECT_EQ(VEK_EndRestore(ctx_, 0), 0);
}

TEST_F(RestoreSessionTest, AbortAnswerEndsTheRequestAndWaitRestartsTheSession) {
  ASSERT_NO_FATAL_FAILURE(Start("baropt abort 12\nbaropt wait 30\nbaropt abort 5\n"));
  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "obj", "", "", 0), BAR_EABORTED);
  EXPECT_EQ(ctx_->session.abortCode, 12);
  EXPECT_EQ(ctx_->mode, BAR_MODE_RESTORE);
  EXPECT_EQ(ctx_->session.smHandle, kIpcNoHandle);
  EXPECT_TRUE(server_->waitForTraffic("abort 12 ends"));
  EXPECT_EQ(VEK_EndRestore(ctx_, 0), 0);
  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);

  // The request waits (on the process clock) and asks once more in a new
  // session.
  cmn::ManualClock clock;
  cmn::ScopedClock scoped(clock);
  const auto before = clock.Now();
  EXPECT_EQ(VEK_StartObjectRestoreEx(ctx_, "obj", "", "", 0), BAR_EABORTED);
  EXPECT_EQ(ctx_->session.abortCode, 5);
  EXPECT_GE(clock.Now() - before, std::chrono::seconds(30));
  int requests = 0;
  for (const std::string& line : server_->traffic())
    requests += line.find("restore \"obj\"") != std::string::npos ? 1 : 0;
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(VEK_EndRestore(ctx_, 0), 0);
}

TEST_F(RestoreSessionTest, ObjectEndStopsOrAbortsAndReattachesTheSession) {
  ASSERT_NO_FATAL_FAILURE(Start("baropt connect -daid 3\nbaropt connect -daid 4\n"));
  ctx_->output = 1;  // report lines go to the session manager
  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);
  const std::string guid = ctx_->session.sessGuid;
  HandOut("05 host:/a%20b // DB2");
  ctx_->object.profile = 1;
  EXPECT_EQ(VEK_EndObjectRestore(ctx_, 0), 0);
  EXPECT_EQ(ctx_->mode, BAR_MODE_RESTORE);
  EXPECT_EQ(ctx_->object.maLocal, -1);
  EXPECT_EQ(ctx_->session.sessGuid, guid);
  EXPECT_NE(ctx_->session.smHandle, kIpcNoHandle);
  EXPECT_TRUE(server_->waitForTraffic("[84:137]"));
  EXPECT_TRUE(server_->waitForTraffic("[131:29]"));
  EXPECT_TRUE(server_->waitForTraffic("stopped \"05 host:/a%20b // DB2\""));

  HandOut("obj2");
  EXPECT_EQ(VEK_EndObjectRestore(ctx_, 5), 0);
  EXPECT_TRUE(server_->waitForTraffic("aborted \"obj2\" code 5"));
  EXPECT_EQ(VEK_EndRestore(ctx_, 9), 0);
  EXPECT_TRUE(server_->waitForTraffic("abort 9 ends"));
}

TEST_F(RestoreSessionTest, EndAndExitWithARestoreObjectOpenEndItsStream) {
  ASSERT_NO_FATAL_FAILURE(Start(""));
  // A backup session first: its ends must not take the restore's place.
  ASSERT_EQ(VEK_StartBackup(ctx_, "nightly"), 0);
  ASSERT_EQ(VEK_EndBackup(ctx_, 0), 0);
  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);
  HandOut("obj1");
  EXPECT_EQ(VEK_End(ctx_, 0), 0);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  EXPECT_TRUE(server_->waitForTraffic("stopped \"obj1\""));
  EXPECT_TRUE(server_->waitForTraffic("stop ends"));
  ctx_ = nullptr;

  ASSERT_EQ(VEK_Init("DB2", "inst1", "DB2LIB", 0, &ctx_), 0);
  ASSERT_EQ(VEK_StartRestore(ctx_, "nightly"), 0);
  HandOut("obj2");
  ctx_->mode = BAR_MODE_ITEM_RESTORE;
  EXPECT_EQ(VEK_Exit(ctx_), BAR_ESEQUENCE);
  EXPECT_EQ(VEK_GetContext(), nullptr);
  ctx_ = nullptr;
  EXPECT_TRUE(server_->waitForTraffic("aborted \"obj2\" code 8003"));
}

}  // namespace
