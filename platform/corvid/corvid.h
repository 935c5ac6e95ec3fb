// Encryption library stand-in (libcorvid): AES-256 in counter mode, which
// keeps the length, over OpenSSL's libcrypto. Keys and initialisation vectors
// come from the caller's key callback; the library keeps no keys of its own.
#pragma once

#include <cstdint>

#define CORVID_API extern "C" __attribute__((visibility("default")))

inline constexpr int kCorvidKeySize = 32;
inline constexpr int kCorvidIdSize = 16;
inline constexpr int kCorvidIvSize = 16;
inline constexpr int kCorvidEntitySize = 256;
// Size of the key-server buffer the library hands to the key callback.
inline constexpr int kCorvidKmsBufferSize = 102400;

// What the key callback is asked for and fills. For kCorvidKeyRandBytes the
// random bytes come back in the record's first kCorvidIvSize bytes and the
// int after them holds the count wanted.
struct CorvidKeyInfo {
  int keyType;
  int keyFlag;
  unsigned char key[kCorvidKeySize];
  unsigned char keyId[kCorvidIdSize];
  unsigned char storeId[kCorvidIdSize];
  char entity[kCorvidEntitySize];
};
enum CorvidKeyAction : int {
  kCorvidKeyRandBytes = 0,
  kCorvidKeyByEntity = 1,
  kCorvidKeyById = 2,
};
// (key-server handle, key-server buffer, record, action) → reply length, -1.
using CorvidKeyFn = int (*)(int handle, char* buffer, CorvidKeyInfo* info, int action);
using CorvidTraceFn = void (*)(int level, const char* format, ...);

inline constexpr std::uint8_t kCorvidStartVersion = 3;
inline constexpr std::uint8_t kCorvidStartRelease = 2;
inline constexpr std::uint8_t kCorvidEncrypt = 1;
inline constexpr std::uint8_t kCorvidDecrypt = 2;

// The start record DaeInit takes (24 bytes where pointers have 4).
struct CorvidStart {
  std::uint8_t version;     // kCorvidStartVersion
  std::uint8_t release;     // kCorvidStartRelease
  std::uint8_t direction;   // kCorvidEncrypt or kCorvidDecrypt
  std::uint8_t ivLocation;  // carried; the vector always travels in the metadata
  std::int32_t kmsHandle;   // filled: -1 until a refresh names the handle
  char* kmsBuffer;          // filled: the library's key-server buffer
  std::int32_t reserved;
  CorvidKeyFn keyCallback;
  CorvidTraceFn trace;  // may be null
};

// The key entity DaeRefreshEncryptCtx takes when encrypting.
inline constexpr int kCorvidEntityNameSize = 512;
struct CorvidEntity {
  int kind;
  char name[kCorvidEntityNameSize];
  int length;
};

// The metadata record: byte 0 kind (1), bytes 1-16 key id, 17-32 store id,
// 33-48 initialisation vector, 49-80 the key.
inline constexpr int kCorvidMetaSize = 81;
inline constexpr std::uint8_t kCorvidKindAes256Ctr = 1;

// A handle for one direction, or null for a bad start record or no memory.
CORVID_API void* DaeInit(CorvidStart* start);
// Fetches a key through the key callback (by entity when encrypting, by the
// ids of the metadata sent when decrypting) and a fresh vector when
// encrypting, and starts a new counter stream. `smBuffer` is not used.
// 1 on success, 0 on failure (no entity, no metadata, callback failure).
CORVID_API int DaeRefreshEncryptCtx(void* handle, int smHandle, void* smBuffer,
                                    CorvidEntity* entity);
// Encrypt or decrypt `length` bytes in place, continuing the stream. 1; 0
// without a key, in the wrong direction or on bad arguments.
CORVID_API int DaeEncryptData(void* handle, unsigned char* data, int length);
CORVID_API int DaeDecryptData(void* handle, unsigned char* data, int length);
// Takes the metadata of a stream to decrypt; the key must be fetched again.
CORVID_API void DaeSendEncryptMetaData(void* handle, const unsigned char* meta);
// Fills the metadata of the current key. Non-zero; 0 without a key.
CORVID_API int DaeRecvEncryptMetaData(void* handle, unsigned char* meta);
// Ends the handle (null is ignored) and clears *handle.
CORVID_API void DaeExit(void** handle);
