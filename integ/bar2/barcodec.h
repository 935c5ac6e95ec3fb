// What the integration calls in the product's encoding (libmerle),
// compression (libstarling) and encryption (libcorvid) libraries, and the
// records it passes them. The libraries are linked, not loaded by name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bar2/bar2.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "vekdf/daformat.h"

// Size of the buffer DeInit and DcInit take; it begins with "Unknown".
inline constexpr std::size_t kBarCodecInitBufferSize = 126;
// The agreed handshakes: the first call's id, then its bitwise complement.
inline constexpr int kDeInitId = 1;
inline constexpr int kDcInitId = 0x0B0B0B0B;
// The transform id of encrypted records, as the context keeps it.
inline constexpr int kBarTransformEncrypted = static_cast<int>(kDaTransformEncrypted);

// Read and write callbacks of the compression library: (buffer, length,
// user argument) → count, 0 at the end or on failure.
using DcIoFn = int (*)(void* buffer, int length, void* user);

using DaeKeyFn = int (*)(IpcHandle handle, char* buffer, DaKeyInfo* info, int action);
using DaeTraceFn = void (*)(int level, const char* format, ...);

inline constexpr std::uint8_t kDaeStartVersion = 3;
inline constexpr std::uint8_t kDaeStartRelease = 2;
inline constexpr std::uint8_t kDaeEncrypt = 1;
inline constexpr std::uint8_t kDaeDecrypt = 2;

// The encryption start record.
struct DaeStartRecord {
  std::uint8_t version;     // kDaeStartVersion
  std::uint8_t release;     // kDaeStartRelease
  std::uint8_t direction;   // kDaeEncrypt or kDaeDecrypt
  std::uint8_t ivLocation;  // VEK_IVECTOR_LOC as a boolean
  std::int32_t kmsHandle;   // filled by the library
  char* kmsBuffer;          // filled by the library
  std::int32_t reserved;
  DaeKeyFn keyCallback;
  DaeTraceFn trace;
};
static_assert(sizeof(void*) != 4 || sizeof(DaeStartRecord) == 24);
static_assert(offsetof(DaeStartRecord, kmsHandle) == 4);

extern "C" {
int DeInit(char* buffer);
int DeEncode(unsigned char* data, int length);
int DeDecode(unsigned char* data, int length);
void DeExit(void);

int DcInit(char* buffer);
int DcCompress2(DcIoFn read, DcIoFn write, void* user);    // 0 on success
int DcDecompress2(DcIoFn read, DcIoFn write, void* user);  // non-zero on success
void DcExit(void);

DaeContext* DaeInit(DaeStartRecord* start);  // null on failure
// 1 (backup) or non-zero (restore) on success. `entity` null on restore.
int DaeRefreshEncryptCtx(DaeContext* handle, IpcHandle smHandle, void* smBuffer,
                         BarKeyEntity* entity);
// Both return non-zero when the data were transformed.
int DaeEncryptData(DaeContext* handle, unsigned char* data, int length);
int DaeDecryptData(DaeContext* handle, unsigned char* data, int length);
void DaeSendEncryptMetaData(DaeContext* handle, const unsigned char* meta);
int DaeRecvEncryptMetaData(DaeContext* handle, unsigned char* meta);  // non-zero on success
void DaeExit(DaeContext** handle);
}
