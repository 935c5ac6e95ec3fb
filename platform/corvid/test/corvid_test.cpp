// Encryption stand-in: the start record, keys and vectors through the key
// callback, AES-256-CTR round trips across calls, and no work without a key.
#include "corvid/corvid.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <vector>

namespace {

// A key server in memory: one key per entity, found again by its ids.
struct KeyServer {
  std::map<std::string, std::vector<unsigned char>> keys;  // key id → key
  std::vector<int> actions;
  int lastHandle = 0;
  bool fail = false;
  unsigned char nextRandom = 0x40;
};
KeyServer* server = nullptr;

int KeyCallback(int handle, char* buffer, CorvidKeyInfo* info, int action) {
  server->actions.push_back(action);
  server->lastHandle = handle;
  if (server->fail || buffer == nullptr) return -1;
  if (action == kCorvidKeyRandBytes) {
    int wanted = 0;
    std::memcpy(&wanted, reinterpret_cast<unsigned char*>(info) + kCorvidIvSize, sizeof wanted);
    if (wanted != kCorvidIvSize) return -1;
    auto* out = reinterpret_cast<unsigned char*>(info);
    for (int i = 0; i < wanted; ++i) out[i] = server->nextRandom++;
    return 20;
  }
  std::string id;
  if (action == kCorvidKeyByEntity) {
    id = std::string("id:") + info->entity;
    id.resize(kCorvidIdSize, '.');
    auto& key = server->keys[id];
    if (key.empty()) {
      for (int i = 0; i < kCorvidKeySize; ++i)
        key.push_back(static_cast<unsigned char>(i * 7 + id[3]));
    }
    std::memcpy(info->keyId, id.data(), kCorvidIdSize);
    std::memset(info->storeId, 'S', kCorvidIdSize);
  } else {
    id.assign(reinterpret_cast<const char*>(info->keyId), kCorvidIdSize);
    if (server->keys.count(id) == 0) return -1;
  }
  std::memcpy(info->key, server->keys[id].data(), kCorvidKeySize);
  return 60;
}

class CorvidTest : public ::testing::Test {
 protected:
  void SetUp() override { server = &keys_; }
  void TearDown() override {
    DaeExit(&enc_);
    DaeExit(&dec_);
    server = nullptr;
  }
  static CorvidStart Start(std::uint8_t direction) {
    CorvidStart s{};
    s.version = kCorvidStartVersion;
    s.release = kCorvidStartRelease;
    s.direction = direction;
    s.keyCallback = KeyCallback;
    return s;
  }
  static CorvidEntity Entity(const char* name) {
    CorvidEntity e{};
    e.kind = 2;
    std::strcpy(e.name, name);
    e.length = static_cast<int>(std::strlen(name));
    return e;
  }

  KeyServer keys_;
  void* enc_ = nullptr;
  void* dec_ = nullptr;
};

TEST_F(CorvidTest, StartRecordIsCheckedAndFilled) {
  CorvidStart bad = Start(3);
  EXPECT_EQ(DaeInit(&bad), nullptr);
  bad = Start(kCorvidEncrypt);
  bad.version = 2;
  EXPECT_EQ(DaeInit(&bad), nullptr);
  bad = Start(kCorvidEncrypt);
  bad.keyCallback = nullptr;
  EXPECT_EQ(DaeInit(&bad), nullptr);
  EXPECT_EQ(DaeInit(nullptr), nullptr);

  CorvidStart s = Start(kCorvidEncrypt);
  enc_ = DaeInit(&s);
  ASSERT_NE(enc_, nullptr);
  EXPECT_EQ(s.kmsHandle, -1);
  EXPECT_NE(s.kmsBuffer, nullptr);
  DaeExit(&enc_);
  EXPECT_EQ(enc_, nullptr);
  DaeExit(&enc_);  // twice is harmless
}

TEST_F(CorvidTest, EncryptsAsAes256CtrAndDecryptsWithTheKeyFoundByItsIds) {
  CorvidStart se = Start(kCorvidEncrypt);
  enc_ = DaeInit(&se);
  ASSERT_NE(enc_, nullptr);
  CorvidEntity entity = Entity("app:host:db");
  ASSERT_EQ(DaeRefreshEncryptCtx(enc_, 7, nullptr, &entity), 1);
  EXPECT_EQ(keys_.lastHandle, 7);
  EXPECT_EQ(keys_.actions, (std::vector<int>{kCorvidKeyByEntity, kCorvidKeyRandBytes}));

  std::vector<unsigned char> plain(10000);
  std::iota(plain.begin(), plain.end(), 0);
  std::vector<unsigned char> data = plain;
  // Two calls continue one stream, as records of one item do.
  ASSERT_EQ(DaeEncryptData(enc_, data.data(), 3001), 1);
  ASSERT_EQ(DaeEncryptData(enc_, data.data() + 3001, 6999), 1);
  EXPECT_NE(data, plain);

  unsigned char meta[kCorvidMetaSize] = {};
  ASSERT_NE(DaeRecvEncryptMetaData(enc_, meta), 0);
  EXPECT_EQ(meta[0], kCorvidKindAes256Ctr);
  EXPECT_EQ(std::memcmp(meta + 1, "id:app:host:db..", 16), 0);
  EXPECT_EQ(meta[33], 0x40);  // the vector came through the callback
  EXPECT_EQ(meta[48], 0x4F);

  // An independent AES-256-CTR pass with the key and vector gives the same.
  std::vector<unsigned char> expected(plain.size());
  EVP_CIPHER_CTX* x = EVP_CIPHER_CTX_new();
  int n = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(x, EVP_aes_256_ctr(), nullptr, meta + 49, meta + 33), 1);
  ASSERT_EQ(EVP_EncryptUpdate(x, expected.data(), &n, plain.data(), static_cast<int>(plain.size())),
            1);
  EVP_CIPHER_CTX_free(x);
  EXPECT_EQ(data, expected);

  CorvidStart sd = Start(kCorvidDecrypt);
  dec_ = DaeInit(&sd);
  ASSERT_NE(dec_, nullptr);
  unsigned char travelled[kCorvidMetaSize] = {};
  std::memcpy(travelled, meta, 49);  // the key itself does not travel
  DaeSendEncryptMetaData(dec_, travelled);
  ASSERT_NE(DaeRefreshEncryptCtx(dec_, 7, nullptr, nullptr), 0);
  unsigned char back[kCorvidMetaSize] = {};
  ASSERT_NE(DaeRecvEncryptMetaData(dec_, back), 0);
  EXPECT_EQ(std::memcmp(back, meta, kCorvidMetaSize), 0);
  ASSERT_EQ(DaeDecryptData(dec_, data.data(), 5000), 1);
  ASSERT_EQ(DaeDecryptData(dec_, data.data() + 5000, 5000), 1);
  EXPECT_EQ(data, plain);
}

TEST_F(CorvidTest, EachRefreshStartsAStreamWithAFreshVector) {
  CorvidStart se = Start(kCorvidEncrypt);
  enc_ = DaeInit(&se);
  CorvidEntity entity = Entity("e");
  std::vector<unsigned char> a(64, 'z'), b(64, 'z');
  ASSERT_EQ(DaeRefreshEncryptCtx(enc_, 1, nullptr, &entity), 1);
  ASSERT_EQ(DaeEncryptData(enc_, a.data(), 64), 1);
  ASSERT_EQ(DaeRefreshEncryptCtx(enc_, 1, nullptr, &entity), 1);
  ASSERT_EQ(DaeEncryptData(enc_, b.data(), 64), 1);
  EXPECT_NE(a, b);
}

TEST_F(CorvidTest, NothingIsTransformedWithoutAKey) {
  CorvidStart se = Start(kCorvidEncrypt);
  enc_ = DaeInit(&se);
  CorvidStart sd = Start(kCorvidDecrypt);
  dec_ = DaeInit(&sd);
  std::vector<unsigned char> data(32, 'p');
  const std::vector<unsigned char> plain = data;
  unsigned char meta[kCorvidMetaSize] = {};

  EXPECT_EQ(DaeEncryptData(enc_, data.data(), 32), 0);
  EXPECT_EQ(DaeRecvEncryptMetaData(enc_, meta), 0);
  EXPECT_EQ(DaeRefreshEncryptCtx(enc_, 1, nullptr, nullptr), 0);  // no entity
  EXPECT_EQ(DaeRefreshEncryptCtx(dec_, 1, nullptr, nullptr), 0);  // no metadata
  EXPECT_EQ(DaeDecryptData(dec_, data.data(), 32), 0);
  EXPECT_EQ(data, plain);

  // A key server that fails leaves the handle without a key.
  CorvidEntity entity = Entity("e");
  keys_.fail = true;
  EXPECT_EQ(DaeRefreshEncryptCtx(enc_, 1, nullptr, &entity), 0);
  EXPECT_EQ(DaeEncryptData(enc_, data.data(), 32), 0);
  keys_.fail = false;
  ASSERT_EQ(DaeRefreshEncryptCtx(enc_, 1, nullptr, &entity), 1);
  EXPECT_EQ(DaeDecryptData(enc_, data.data(), 32), 0);  // wrong direction
  EXPECT_EQ(DaeEncryptData(enc_, data.data(), -1), 0);
  EXPECT_EQ(data, plain);

  // Ids the server does not know give no key.
  meta[0] = kCorvidKindAes256Ctr;
  std::memset(meta + 1, 'q', 16);
  DaeSendEncryptMetaData(dec_, meta);
  EXPECT_EQ(DaeRefreshEncryptCtx(dec_, 1, nullptr, nullptr), 0);
}

}  // namespace
