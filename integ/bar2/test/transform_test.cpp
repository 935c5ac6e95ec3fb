// Codec calls of the integration: the transform choice, encoded and
// encrypted objects written through the record writers and read back through
// the stand-in libraries, the encryption record's key CRC, and the faults
// around them (flags carried between objects, decryption without a key,
// libraries ended that were never started).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bar2/barcodec.h"
#include "bar2/bartransform.h"
#include "cmn/cmninit.h"
#include "vekdf/daview.h"
#include "vekdf/rbm.h"
#include "vekdf/test/vekdf_test_util.h"

namespace {

using vekdftest::ReportsOf;

constexpr std::uint32_t kItem = 5;
constexpr std::uint8_t kKeyFirst = 0xA0;  // key bytes A0..BF
constexpr std::uint8_t kIvFirst = 0x40;   // vector bytes 40..4F

// The key server behind the session manager, in memory.
struct KeyServer {
  std::vector<int> actions;
  bool fail = false;
  std::uint8_t keyFirst = kKeyFirst;
};
KeyServer keyServer;

int KeyCallback(IpcHandle, char* buffer, DaKeyInfo* info, int action) {
  keyServer.actions.push_back(action);
  if (keyServer.fail || buffer == nullptr) return -1;
  if (action == DA_KEY_RANDBYTES) {
    auto* out = reinterpret_cast<unsigned char*>(info);
    for (int i = 0; i < kDaRandSize; ++i) out[i] = static_cast<unsigned char>(kIvFirst + i);
    return 1;
  }
  if (action == DA_KEY_BY_ENTITY) {
    std::memcpy(info->keyId, "KEYID-0123456789", kDaKeyIdSize);
    std::memcpy(info->storeId, "STORE-0123456789", kDaKeyIdSize);
  }
  for (int i = 0; i < kDaKeySize; ++i)
    info->key[i] = static_cast<unsigned char>(keyServer.keyFirst + i);
  return 1;
}

// Records handed to VEK_RbmNextRecord, in host order.
std::vector<std::vector<std::uint8_t>> restoreRecords;
std::size_t restoreNext = 0;

int ReadRecord(BarContext*, std::span<std::uint8_t>* record) {
  if (restoreNext >= restoreRecords.size()) return 0;
  *record = restoreRecords[restoreNext++];
  return 1;
}

class TransformTest : public vekdftest::StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    savedCapability_ = VEK_Global.capability;
    VEK_Global.capability = kVekCapEncode | kVekCapEncrypt;
    keyServer = KeyServer{};
    BarSetKeyCallback(KeyCallback);
    restoreRecords.clear();
    restoreNext = 0;
    BarLinkHooks hooks{};
    hooks.rbmRead = ReadRecord;
    BarSetLinkHooks(&hooks);
    ctx_ = std::make_unique<BarContext>();
    ctx_->session.smHandle = -1;
    ctx_->item.itemId = kItem;
    std::strcpy(ctx_->appType, "DB2");
    std::strcpy(ctx_->appName, "inst1");
    Open(4096);
  }
  void TearDown() override {
    BarEndTransforms(ctx_.get());
    BarSetLinkHooks(nullptr);
    BarSetKeyCallback(nullptr);
    VEK_Global.capability = savedCapability_;
    StreamTest::TearDown();
  }

  // One data record of the current item through VEK_BmWriteData.
  int WriteData(const std::vector<std::uint8_t>& bytes, std::uint32_t offset) {
    std::uint32_t granted = 0;
    std::uint8_t* p = RmGetObjDataBuf(static_cast<std::uint32_t>(bytes.size()), &granted);
    if (p == nullptr || granted < bytes.size()) return 0;
    std::memcpy(p, bytes.data(), bytes.size());
    ctx_->item.dataRecord = p;
    ctx_->item.recSize = static_cast<int>(granted);
    return VEK_BmWriteData(ctx_.get(), static_cast<int>(bytes.size()), offset, 0);
  }
  // Every record sent so far, in host order, queued for VEK_RbmNextRecord.
  void QueueStoredRecords() {
    RbmCheckState state;
    for (std::vector<std::uint8_t> block : Flush()) {
      DaBlockReader reader(state);
      ASSERT_GT(reader.Open(block), 0);
      std::span<std::uint8_t> record;
      while (reader.Next(&record) == 1) restoreRecords.emplace_back(record.begin(), record.end());
    }
  }
  static std::vector<std::uint8_t> Plain(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
  }
  static DaItemAttr Item() {
    DaItemAttr item{};
    item.itemId = kItem;
    item.name = "/db/file";
    return item;
  }
  // The data view of a queued record, or nothing when it is no data record.
  static bool DataOf(std::vector<std::uint8_t>& record, DaDataView* view) {
    DaRecHeader h;
    std::memcpy(&h, record.data(), sizeof h);
    return h.type == DA_REC_OBJ_DATA && DaViewData(record, view);
  }
  // VEK_RbmNextRecord until it gives no record; the data bytes it handed out.
  std::vector<std::uint8_t> RestoreData() {
    std::vector<std::uint8_t> out;
    while (std::uint8_t* r = VEK_RbmNextRecord(ctx_.get())) {
      DaRecHeader h;
      std::memcpy(&h, r, sizeof h);
      std::span<std::uint8_t> record(r, h.length);
      if (h.type == DA_REC_OBJ_CRYPT) {
        if (ctx_->object.codecs.encrHandle == nullptr && VEK_InitEncryption(ctx_.get(), 0) != 0)
          break;
        if (VEK_ProcessEncryptMetaData(ctx_.get(), record) != 0) break;
      } else if (h.type == DA_REC_OBJ_DATA) {
        DaDataView view{};
        EXPECT_TRUE(DaViewData(record, &view));
        EXPECT_EQ(ctx_->item.recSize, static_cast<int>(view.data.size()));
        out.insert(out.end(), view.data.begin(), view.data.end());
      }
    }
    return out;
  }

  unsigned char savedCapability_ = 0;
  std::unique_ptr<BarContext> ctx_;
};

TEST_F(TransformTest, ChoiceDropsWhatClashesOrIsNotOfferedAndRefusesMissingEncryption) {
  // Encoding gives way to encryption; compression is never offered.
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 1, 3, 1), 0);
  EXPECT_EQ(ctx_->object.codecs.encode, 0);
  EXPECT_EQ(ctx_->object.codecs.compress, 0);
  EXPECT_EQ(ctx_->object.codecs.encrypt, 3);
  EXPECT_EQ(ctx_->object.codecs.transformId, kBarTransformEncrypted);
  EXPECT_NE(ctx_->object.codecs.encrHandle, nullptr);
  EXPECT_EQ(ReportsOf(131, 221), 1);
  EXPECT_EQ(std::string(ctx_->object.codecs.keyEntity.name),
            "DB2:" + std::string(cmnHostname) + ":inst1");
  BarEndTransforms(ctx_.get());
  EXPECT_EQ(ctx_->object.codecs.encrHandle, nullptr);

  // A host process offers no encoding.
  VEK_Global.capability = kVekCapEncrypt;
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 1, 0, 0), 0);
  EXPECT_EQ(ctx_->object.codecs.encode, 0);
  EXPECT_EQ(ctx_->object.codecs.transformId, 0);
  EXPECT_EQ(ctx_->object.codecs.codecsStarted, 0);

  VEK_Global.capability = 0;
  EXPECT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), -3);
  EXPECT_EQ(ReportsOf(131, 229), 1);
  EXPECT_EQ(ctx_->object.codecs.encrypt, 0);
  EXPECT_EQ(ctx_->object.codecs.encrHandle, nullptr);

  // On restore only the capability counts, and compression is never started.
  VEK_Global.capability = kVekCapEncode | kVekCapEncrypt;
  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  EXPECT_EQ(ctx_->object.codecs.codecsStarted, kBarCodecEncoding);
  EXPECT_EQ(ctx_->object.codecs.transformId, kDeInitId);
}

TEST_F(TransformTest, KeyEntityNamesTheDatabaseWhenOneIsSet) {
  char name[kBarKeyEntityNameMax];
  std::strcpy(cmnHostname, "dbhost");
  BarKeyEntityName(ctx_.get(), name, sizeof name);
  EXPECT_STREQ(name, "DB2:dbhost:inst1");
  std::strcpy(ctx_->databaseId, "SAMPLE.0");
  EXPECT_EQ(BarKeyEntityName(ctx_.get(), name, sizeof name), 12);
  EXPECT_STREQ(name, "DB2:SAMPLE.0");
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  EXPECT_EQ(ctx_->object.codecs.keyEntity.kind, 2);
  EXPECT_EQ(ctx_->object.codecs.keyEntity.length, 12);
  VEK_ExitEncryption(ctx_.get());
  EXPECT_STREQ(ctx_->databaseId, "");  // forgotten with the encryption
  EXPECT_EQ(ctx_->object.codecs.keyEntity.kind, 0);
}

TEST_F(TransformTest, HandshakeThatDoesNotAnswerTheAgreedPairDisablesTheLibrary) {
  char buffer[kBarCodecInitBufferSize] = "Unknown";
  ASSERT_EQ(DeInit(buffer), 1);  // someone else started it: the next answer is -2
  EXPECT_EQ(BarStartBackupTransforms(ctx_.get(), 1, 0, 0), -1);
  EXPECT_EQ(ctx_->object.codecs.encode, 0);
  EXPECT_EQ(ctx_->object.codecs.transformId, 0);
  EXPECT_EQ(ctx_->object.codecs.codecsStarted, 0);
  DeExit();

  ASSERT_EQ(DcInit(buffer), kDcInitId);
  ctx_->object.codecs.compress = 1;
  EXPECT_EQ(VEK_InitCompression(ctx_.get()), -2);
  EXPECT_EQ(ctx_->object.codecs.compress, 0);
  EXPECT_EQ(ctx_->object.codecs.compressionId, 0);
  DcExit();
  ASSERT_EQ(VEK_InitCompression(ctx_.get()), 0);
  EXPECT_EQ(ctx_->object.codecs.compressionId, kDcInitId);
}

TEST_F(TransformTest, EncodedObjectIsStoredEncodedAndReadBackDecoded) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 1, 0, 0), 0);
  const std::vector<std::uint8_t> a = Plain(700, 0), b = Plain(1500, 9);
  ASSERT_NE(WriteData(a, 0), 0);
  EXPECT_EQ(ctx_->item.dataRecord, nullptr);  // given up after the write
  ASSERT_NE(WriteData(b, 700), 0);
  BarEndTransforms(ctx_.get());
  QueueStoredRecords();

  std::vector<std::uint8_t> stored;
  for (auto& r : restoreRecords) {
    DaDataView v{};
    if (!DataOf(r, &v)) continue;
    EXPECT_EQ(v.transformId, static_cast<std::uint32_t>(kDeInitId));
    stored.insert(stored.end(), v.data.begin(), v.data.end());
  }
  std::vector<std::uint8_t> plain = a;
  plain.insert(plain.end(), b.begin(), b.end());
  ASSERT_EQ(stored.size(), plain.size());
  EXPECT_NE(stored, plain);

  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  EXPECT_EQ(RestoreData(), plain);
  EXPECT_EQ(ctx_->item.recSize, 0);  // no record: nothing left
}

TEST_F(TransformTest, EncryptedObjectRoundTripsWithTheKeyRelayedByItsIds) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  const DaItemAttr item = Item();
  ASSERT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), 0);
  const std::vector<std::uint8_t> a = Plain(1000, 1), b = Plain(2000, 77);
  ASSERT_NE(WriteData(a, 0), 0);
  ASSERT_NE(WriteData(b, 1000), 0);
  BarEndTransforms(ctx_.get());
  EXPECT_EQ(keyServer.actions, (std::vector<int>{DA_KEY_BY_ENTITY, DA_KEY_RANDBYTES}));
  QueueStoredRecords();

  std::vector<std::uint8_t> plain = a;
  plain.insert(plain.end(), b.begin(), b.end());
  std::vector<std::uint8_t> stored;
  for (auto& r : restoreRecords) {
    DaDataView v{};
    if (!DataOf(r, &v)) continue;
    EXPECT_EQ(v.transformId, 3u);
    stored.insert(stored.end(), v.data.begin(), v.data.end());
  }
  EXPECT_NE(stored, plain);

  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  EXPECT_EQ(RestoreData(), plain);
  EXPECT_EQ(keyServer.actions.back(), DA_KEY_BY_ID);
  EXPECT_EQ(ReportsOf(131, 222), 1);
}

TEST_F(TransformTest, EncryptionRecordCarriesTheIdsTheVectorAndOnlyTheKeysCrc) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  const DaItemAttr item = Item();
  ASSERT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), 0);
  const std::vector<std::uint8_t>& block = Flush().at(0);
  // The record follows the 64-byte block header; its body in network order.
  const std::vector<std::uint8_t> body(block.begin() + 64 + 32, block.begin() + 64 + 144);
  EXPECT_TRUE(tarn::test::BytesEqual(
      vekdftest::FromHex("0001 0001"
                         "00000060 00000010"  // field A: the store id
                         "00000070 00000010"  // field B: the key id
                         "00000080 00000010"  // field C: the vector
                         "aadcb4ab"           // CRC-32 of key bytes a0..bf
                         "0000000000000000000000000000000000000000000000000000000000000000"
                         "53544f52452d30313233343536373839"
                         "4b455949442d30313233343536373839"
                         "404142434445464748494a4b4c4d4e4f"),
      body));
}

TEST_F(TransformTest, KeyThatDoesNotMatchTheRecordsCrcIsRefusedAndNothingIsDecrypted) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  const DaItemAttr item = Item();
  ASSERT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), 0);
  const std::vector<std::uint8_t> plain = Plain(500, 3);
  ASSERT_NE(WriteData(plain, 0), 0);
  BarEndTransforms(ctx_.get());
  QueueStoredRecords();

  keyServer.keyFirst = 0x10;  // the server now hands out another key
  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  EXPECT_TRUE(RestoreData().empty());
  EXPECT_EQ(ctx_->object.codecs.decryptReady, 0);
  EXPECT_EQ(ReportsOf(131, 228), 1);
  // The data record that follows is refused, not handed out as garbage.
  std::uint8_t* next = VEK_RbmNextRecord(ctx_.get());
  EXPECT_EQ(next, nullptr);
  EXPECT_EQ(ctx_->lastCode, BAR_ECOMM);
  EXPECT_EQ(ReportsOf(131, 228), 2);
}

TEST_F(TransformTest, EncryptedDataWithoutAnEncryptionRecordIsNeverDecrypted) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  const DaItemAttr item = Item();
  ASSERT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), 0);
  ASSERT_NE(WriteData(Plain(300, 0), 0), 0);
  BarEndTransforms(ctx_.get());
  QueueStoredRecords();
  // Drop the encryption record: the data record comes without a key.
  std::erase_if(restoreRecords, [](const std::vector<std::uint8_t>& r) {
    DaRecHeader h;
    std::memcpy(&h, r.data(), sizeof h);
    return h.type == DA_REC_OBJ_CRYPT;
  });
  const std::vector<std::vector<std::uint8_t>> before = restoreRecords;

  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  ASSERT_EQ(VEK_InitEncryption(ctx_.get(), 0), 0);  // a handle, but no key
  EXPECT_TRUE(RestoreData().empty());
  EXPECT_EQ(ctx_->lastCode, BAR_ECOMM);
  EXPECT_EQ(restoreRecords, before);  // not touched
  EXPECT_EQ(VEK_ProcessEncryptMetaData(ctx_.get(), {}), -2);
}

TEST_F(TransformTest, FlagsAndTransformIdDoNotCarryOverToTheNextObject) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  const DaItemAttr item = Item();
  ASSERT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), 0);
  ASSERT_NE(WriteData(Plain(100, 0), 0), 0);
  // The next object starts without ending the first one properly.
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 0, 0), 0);
  EXPECT_EQ(ctx_->object.codecs.encrypt, 0);
  EXPECT_EQ(ctx_->object.codecs.transformId, 0);
  EXPECT_EQ(ctx_->object.codecs.encrHandle, nullptr);
  const std::vector<std::uint8_t> plain = Plain(100, 50);
  ASSERT_NE(WriteData(plain, 0), 0);
  BarEndTransforms(ctx_.get());
  QueueStoredRecords();

  ASSERT_GE(restoreRecords.size(), 3u);
  DaDataView last{};
  ASSERT_TRUE(DataOf(restoreRecords.back(), &last));
  EXPECT_EQ(last.transformId, 0u);
  EXPECT_TRUE(std::equal(last.data.begin(), last.data.end(), plain.begin(), plain.end()));
}

TEST_F(TransformTest, OnlyStartedLibrariesAreEndedSoTheNextHandshakeSucceeds) {
  // Restore starts encoding; an encryption record then takes over the
  // transform id. Ending the object must still end the encoding library.
  ASSERT_EQ(BarStartRestoreTransforms(ctx_.get()), 0);
  ASSERT_EQ(VEK_InitEncryption(ctx_.get(), 0), 0);
  EXPECT_EQ(ctx_->object.codecs.transformId, kBarTransformEncrypted);
  BarEndTransforms(ctx_.get());
  EXPECT_EQ(VEK_InitEncoding(ctx_.get()), 0);
  BarEndTransforms(ctx_.get());

  // An object whose encode flag is set but whose library never started ends
  // nothing: a library started elsewhere keeps running.
  char buffer[kBarCodecInitBufferSize] = "Unknown";
  ASSERT_EQ(DeInit(buffer), 1);
  ctx_->object.codecs.encode = 1;
  BarEndTransforms(ctx_.get());
  EXPECT_EQ(DeInit(buffer), -2);
  DeExit();
}

TEST_F(TransformTest, EncryptingWriteFailsRatherThanStoreDataInTheClear) {
  ASSERT_EQ(BarStartBackupTransforms(ctx_.get(), 0, 3, 0), 0);
  keyServer.fail = true;
  const DaItemAttr item = Item();
  EXPECT_EQ(VEK_WriteEncryptRecord(ctx_.get(), &item), -2);
  EXPECT_EQ(ReportsOf(131, 227), 1);
  EXPECT_EQ(ctx_->object.codecs.encrHandle, nullptr);
  ctx_->object.codecs.encrypt = 3;  // the object still asks for encryption
  EXPECT_EQ(WriteData(Plain(64, 0), 0), 0);
  EXPECT_EQ(ctx_->item.dataRecord, nullptr);
  QueueStoredRecords();
  for (auto& r : restoreRecords) {
    DaDataView v{};
    EXPECT_FALSE(DataOf(r, &v));
  }
}

// Compression callbacks: item data through the context's hooks.
std::vector<std::uint8_t> itemData;
std::size_t itemReadPos = 0;

TEST_F(TransformTest, CompressionCallbacksMoveItemDataThroughTheLibrary) {
  BarLinkHooks hooks{};
  hooks.writeItemData = [](BarContext*, const void* data, int length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    itemData.insert(itemData.end(), p, p + length);
    return length;
  };
  hooks.readItemData = [](BarContext*, void* buffer, int length) {
    const std::size_t n = std::min(static_cast<std::size_t>(length), itemData.size() - itemReadPos);
    std::memcpy(buffer, itemData.data() + itemReadPos, n);
    itemReadPos += n;
    return static_cast<int>(n);
  };
  BarSetLinkHooks(&hooks);
  itemData.clear();
  itemReadPos = 0;
  ASSERT_EQ(VEK_InitCompression(ctx_.get()), 0);
  ctx_->object.codecs.compress = 1;

  static std::vector<std::uint8_t> source;
  static std::size_t sourcePos;
  source.assign(200000, 'x');
  sourcePos = 0;
  DcIoFn readSource = [](void* buffer, int length, void*) {
    const std::size_t n = std::min(static_cast<std::size_t>(length), source.size() - sourcePos);
    std::memcpy(buffer, source.data() + sourcePos, n);
    sourcePos += n;
    return static_cast<int>(n);
  };
  ASSERT_EQ(DcCompress2(readSource, BDcWrite, ctx_.get()), 0);
  EXPECT_LT(itemData.size(), source.size() / 20);

  static std::vector<std::uint8_t> sink;
  sink.clear();
  DcIoFn writeSink = [](void* buffer, int length, void*) {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    sink.insert(sink.end(), p, p + length);
    return length;
  };
  ASSERT_NE(DcDecompress2(RDcRead, writeSink, ctx_.get()), 0);
  EXPECT_EQ(sink, source);

  char byte = 0;
  EXPECT_EQ(BDcWrite(&byte, 1, nullptr), BAR_ENOCONTEXT);
  EXPECT_EQ(RDcRead(&byte, 1, nullptr), BAR_ENOCONTEXT);
}

}  // namespace

namespace {

TEST_F(TransformTest, EndOfRecordsAndAFailedReadAreToldApart) {
  EXPECT_EQ(VEK_RbmNextRecord(ctx_.get()), nullptr);
  EXPECT_EQ(ctx_->lastCode, 0);
  BarLinkHooks hooks{};
  hooks.rbmRead = [](BarContext*, std::span<std::uint8_t>*) { return -1; };
  BarSetLinkHooks(&hooks);
  ctx_->item.recSize = 9;
  EXPECT_EQ(VEK_RbmNextRecord(ctx_.get()), nullptr);
  EXPECT_EQ(ctx_->lastCode, BAR_ECOMM);
  EXPECT_EQ(ctx_->item.recSize, 0);
  EXPECT_EQ(VEK_BmWriteData(ctx_.get(), 10, 0, 0), 0);  // no data record reserved
}

}  // namespace
