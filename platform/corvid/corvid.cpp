// Encryption library stand-in: AES-256-CTR over libcrypto, one counter stream
// per refresh, keys and vectors from the caller's key callback.
#include "corvid/corvid.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr int kTraceLevel = 10;
constexpr int kMetaKeyId = 1;
constexpr int kMetaStoreId = 17;
constexpr int kMetaIv = 33;
constexpr int kMetaKey = 49;
static_assert(kMetaKey + kCorvidKeySize == kCorvidMetaSize);

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

struct Corvid {
  std::uint8_t direction = 0;
  CorvidKeyFn keyCallback = nullptr;
  CorvidTraceFn trace = nullptr;
  std::vector<char> kmsBuffer = std::vector<char>(kCorvidKmsBufferSize);
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher{EVP_CIPHER_CTX_new()};
  unsigned char key[kCorvidKeySize] = {};
  unsigned char keyId[kCorvidIdSize] = {};
  unsigned char storeId[kCorvidIdSize] = {};
  unsigned char iv[kCorvidIvSize] = {};
  bool haveMeta = false;  // decrypting: ids and vector received
  bool haveKey = false;

  ~Corvid() { OPENSSL_cleanse(key, sizeof key); }
  void Trace(const char* text) const {
    if (trace != nullptr) trace(kTraceLevel, "[corvid] %s", text);
  }
};

Corvid* Of(void* handle) {
  return static_cast<Corvid*>(handle);
}

bool FetchRandom(Corvid& c, int smHandle, unsigned char* out, int wanted) {
  CorvidKeyInfo info{};
  std::memcpy(reinterpret_cast<unsigned char*>(&info) + kCorvidIvSize, &wanted, sizeof wanted);
  if (c.keyCallback(smHandle, c.kmsBuffer.data(), &info, kCorvidKeyRandBytes) <= 0) return false;
  std::memcpy(out, &info, static_cast<std::size_t>(wanted));
  return true;
}

bool StartStream(Corvid& c) {
  return EVP_CipherInit_ex(c.cipher.get(), EVP_aes_256_ctr(), nullptr, c.key, c.iv,
                           c.direction == kCorvidEncrypt ? 1 : 0) == 1;
}

int Transform(void* handle, unsigned char* data, int length, std::uint8_t direction) {
  Corvid* c = Of(handle);
  if (c == nullptr || data == nullptr || length < 0 || !c->haveKey || c->direction != direction) {
    return 0;
  }
  int out = 0;
  if (length > 0 && EVP_CipherUpdate(c->cipher.get(), data, &out, data, length) != 1) return 0;
  return out == length ? 1 : 0;
}

}  // namespace

void* DaeInit(CorvidStart* start) {
  if (start == nullptr || start->version != kCorvidStartVersion ||
      start->release != kCorvidStartRelease || start->keyCallback == nullptr ||
      (start->direction != kCorvidEncrypt && start->direction != kCorvidDecrypt)) {
    return nullptr;
  }
  auto* c = new (std::nothrow) Corvid;
  if (c == nullptr || c->cipher == nullptr) {
    delete c;
    return nullptr;
  }
  c->direction = start->direction;
  c->keyCallback = start->keyCallback;
  c->trace = start->trace;
  start->kmsHandle = -1;
  start->kmsBuffer = c->kmsBuffer.data();
  c->Trace(c->direction == kCorvidEncrypt ? "started to encrypt" : "started to decrypt");
  return c;
}

int DaeRefreshEncryptCtx(void* handle, int smHandle, void* /*smBuffer*/, CorvidEntity* entity) {
  Corvid* c = Of(handle);
  if (c == nullptr) return 0;
  c->haveKey = false;
  CorvidKeyInfo info{};
  if (c->direction == kCorvidEncrypt) {
    if (entity == nullptr || entity->length <= 0 || entity->length >= kCorvidEntityNameSize ||
        entity->length >= kCorvidEntitySize) {
      c->Trace("no key entity");
      return 0;
    }
    std::memcpy(info.entity, entity->name, static_cast<std::size_t>(entity->length));
    if (c->keyCallback(smHandle, c->kmsBuffer.data(), &info, kCorvidKeyByEntity) <= 0 ||
        !FetchRandom(*c, smHandle, c->iv, kCorvidIvSize)) {
      c->Trace("key request failed");
      return 0;
    }
    std::memcpy(c->keyId, info.keyId, sizeof c->keyId);
    std::memcpy(c->storeId, info.storeId, sizeof c->storeId);
  } else {
    if (!c->haveMeta) {
      c->Trace("no metadata to find the key by");
      return 0;
    }
    std::memcpy(info.keyId, c->keyId, sizeof info.keyId);
    std::memcpy(info.storeId, c->storeId, sizeof info.storeId);
    if (c->keyCallback(smHandle, c->kmsBuffer.data(), &info, kCorvidKeyById) <= 0) {
      c->Trace("key request failed");
      return 0;
    }
  }
  std::memcpy(c->key, info.key, sizeof c->key);
  OPENSSL_cleanse(info.key, sizeof info.key);
  if (!StartStream(*c)) return 0;
  c->haveKey = true;
  return 1;
}

int DaeEncryptData(void* handle, unsigned char* data, int length) {
  return Transform(handle, data, length, kCorvidEncrypt);
}

int DaeDecryptData(void* handle, unsigned char* data, int length) {
  return Transform(handle, data, length, kCorvidDecrypt);
}

void DaeSendEncryptMetaData(void* handle, const unsigned char* meta) {
  Corvid* c = Of(handle);
  if (c == nullptr || meta == nullptr) return;
  c->haveKey = false;
  c->haveMeta = meta[0] == kCorvidKindAes256Ctr;
  std::memcpy(c->keyId, meta + kMetaKeyId, sizeof c->keyId);
  std::memcpy(c->storeId, meta + kMetaStoreId, sizeof c->storeId);
  std::memcpy(c->iv, meta + kMetaIv, sizeof c->iv);
}

int DaeRecvEncryptMetaData(void* handle, unsigned char* meta) {
  Corvid* c = Of(handle);
  if (c == nullptr || meta == nullptr || !c->haveKey) return 0;
  meta[0] = kCorvidKindAes256Ctr;
  std::memcpy(meta + kMetaKeyId, c->keyId, sizeof c->keyId);
  std::memcpy(meta + kMetaStoreId, c->storeId, sizeof c->storeId);
  std::memcpy(meta + kMetaIv, c->iv, sizeof c->iv);
  std::memcpy(meta + kMetaKey, c->key, sizeof c->key);
  return 1;
}

void DaeExit(void** handle) {
  if (handle == nullptr || *handle == nullptr) return;
  delete Of(*handle);
  *handle = nullptr;
}
