// Encoding, compression and encryption of object data through the product's
// codec libraries, and the encryption record of each encrypted item.
#include "bar2/bartransform.h"

#include <cstdio>
#include <cstring>

#include "bar2/barcodec.h"
#include "bar2/barimpl.h"
#include "barutil/barmsg.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "vekdf/daview.h"

TARN_RCSID("integ/bar2/bartransform.cpp");

using namespace bar2_detail;

namespace {

constexpr int kLevel = 1;
constexpr int kLevelData = 30;
constexpr int kKeyEntityKind = 2;
constexpr char kCipherName[] = "AES";

BarKeyCallback keyCallback = nullptr;

// The 126-byte buffer both handshakes take.
struct InitBuffer {
  char bytes[kBarCodecInitBufferSize] = "Unknown";
};

// A codec library's start: the first call answers with the library's id,
// the second with its complement. What the start sets and clears.
struct Handshake {
  const char* fn;
  const char* failed;  // trace of the answer that broke the handshake
  int (*init)(char* buffer);
  void (*exit)();
  int id;
  int startedBit;             // of BarCodecs::codecsStarted
  int BarCodecs::*idField;    // keeps the id, 0 after a failure
  int BarCodecs::*flagField;  // the request, cleared after a failure
  int failure;                // the start's result on failure
};

int Shake(BarCodecs& codecs, const Handshake& h) {
  InitBuffer buffer;
  int rc = h.init(buffer.bytes);
  codecs.*h.idField = rc;
  if (rc == h.id) {
    codecs.codecsStarted |= h.startedBit;
    rc = h.init(buffer.bytes);
    if (rc == ~h.id) return 0;
    h.exit();
    codecs.codecsStarted &= ~h.startedBit;
  }
  DbgPlain(kLevel, h.failed, h.fn, rc);
  codecs.*h.idField = 0;
  codecs.*h.flagField = 0;
  return h.failure;
}

// The encoding library's handshake, then the compression library's.
constexpr Handshake kHandshakes[] = {
    {"VEK_InitEncoding", "[%s] DeInit=%d", DeInit, DeExit, kDeInitId, kBarCodecEncoding,
     &BarCodecs::transformId, &BarCodecs::encode, -1},
    {"VEK_InitCompression", "[%s] DcInit = %d", DcInit, DcExit, kDcInitId, kBarCodecCompression,
     &BarCodecs::compressionId, &BarCodecs::compress, -2},
};

void ReportPacked(const char* fn, int level, const char* packed) {
  ErhFullReportPacked(fn, level, packed);
}

}  // namespace

BarKeyCallback BarSetKeyCallback(BarKeyCallback fn) {
  const BarKeyCallback previous = keyCallback;
  keyCallback = fn;
  return previous;
}

int VEK_InitEncoding(BarContext* ctx) {
  return Shake(ctx->object.codecs, kHandshakes[0]);
}

int VEK_InitCompression(BarContext* ctx) {
  return Shake(ctx->object.codecs, kHandshakes[1]);
}

int BarKeyEntityName(const BarContext* ctx, char* out, std::size_t size) {
  const int n = ctx->databaseId[0] == '\0'
                    ? std::snprintf(out, size, "%s:%s:%s", ctx->appType, cmnHostname, ctx->appName)
                    : std::snprintf(out, size, "%s:%s", ctx->appType, ctx->databaseId);
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < size ? n : static_cast<int>(size) - 1;
}

int VEK_InitEncryption(BarContext* ctx, int encrypt) {
  static const char kFn[] = "VEK_InitEncryption";
  BarCodecs& codecs = ctx->object.codecs;
  if (codecs.encrHandle != nullptr) DaeExit(&codecs.encrHandle);  // never leak a handle
  codecs.transformId = kBarTransformEncrypted;
  codecs.decryptReady = 0;
  DaeStartRecord start{};
  start.version = kDaeStartVersion;
  start.release = kDaeStartRelease;
  start.direction = encrypt != 0 ? kDaeEncrypt : kDaeDecrypt;
  start.ivLocation = EnvGetBool("VEK_IVECTOR_LOC") != 0 ? 1 : 0;
  start.keyCallback = keyCallback != nullptr ? keyCallback : DaeGetKeyInfo;
  start.trace = DbgPlain;
  codecs.encrHandle = DaeInit(&start);
  DbgPlain(kLevel, "[%s] daeCtx:%p IpcKmsHandle:%x IpcKmsBuf:%p", kFn,
           static_cast<void*>(codecs.encrHandle), static_cast<unsigned>(start.kmsHandle),
           static_cast<void*>(start.kmsBuffer));
  if (codecs.encrHandle == nullptr) {
    const char* why = ErhErrno() != 0 ? ErhErrnoToText() : "DaeInit gave no handle";
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptStart, why));
    codecs.transformId = 0;
    codecs.encrypt = 0;
    return -2;
  }
  ReportPacked(
      kFn, kErhCritical,
      NlsPackMessage(kBarMsgSet, encrypt != 0 ? kBarMsgEncryptOn : kBarMsgDecryptOn, kCipherName));
  if (encrypt != 0) {
    BarKeyEntity& entity = codecs.keyEntity;
    entity = BarKeyEntity{};
    entity.kind = kKeyEntityKind;
    entity.length = BarKeyEntityName(ctx, entity.name, sizeof entity.name);
    DbgPlain(kLevel, "[%s] EntityName=%s", kFn, entity.name);
  }
  return 0;
}

int VEK_ExitEncryption(BarContext* ctx) {
  BarCodecs& codecs = ctx->object.codecs;
  DaeExit(&codecs.encrHandle);
  codecs.encrHandle = nullptr;
  codecs.keyEntity = BarKeyEntity{};
  std::memset(ctx->databaseId, 0, sizeof ctx->databaseId);
  codecs.decryptReady = 0;
  return 0;
}

int BarStartBackupTransforms(BarContext* ctx, int encode, int encrypt, int compress) {
  static const char kFn[] = "BarStartBackupTransforms";
  BarCodecs& codecs = ctx->object.codecs;
  BarEndTransforms(ctx);  // nothing of the previous object may carry over
  codecs.encode = encode;
  codecs.encrypt = encrypt;
  codecs.compress = compress;
  const unsigned cap = VEK_Global.capability;
  if (codecs.encrypt != 0 && codecs.encode != 0) {
    DbgPlain(kLevel, "[%s] Both encoding and encryption specified. Encoding disabled.", kFn);
    codecs.encode = 0;
  }
  if (codecs.encode != 0 && (cap & kVekCapEncode) == 0) {
    DbgPlain(kLevel, "[%s] Encoding specified but not supported/failed. Disabled.", kFn);
    codecs.encode = 0;
  }
  if (codecs.compress != 0 && (cap & kVekCapCompress) == 0) {
    DbgPlain(kLevel, "[%s] Compression specified but not supported/failed. Disabled.", kFn);
    codecs.compress = 0;
  }
  if (codecs.encrypt != 0 && (cap & kVekCapEncrypt) == 0) {
    DbgPlain(kLevel, "[%s] Encryption specified but not supported/failed. Disabled.", kFn);
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptMissing));
    codecs.ClearTransforms();
    return -3;
  }
  int rc = 0;
  if (codecs.encode != 0) rc = VEK_InitEncoding(ctx);
  if (rc == 0 && codecs.compress != 0) rc = VEK_InitCompression(ctx);
  if (rc == 0 && codecs.encrypt != 0) rc = VEK_InitEncryption(ctx, 1);
  if (rc != 0) BarEndTransforms(ctx);
  return rc;
}

int BarStartRestoreTransforms(BarContext* ctx) {
  BarEndTransforms(ctx);
  const unsigned cap = VEK_Global.capability;
  int rc = 0;
  if ((cap & kVekCapEncode) != 0) rc = VEK_InitEncoding(ctx);
  if (rc == 0 && (cap & kVekCapCompress) != 0) rc = VEK_InitCompression(ctx);
  if (rc != 0) BarEndTransforms(ctx);
  return rc;
}

void BarEndTransforms(BarContext* ctx) {
  BarCodecs& codecs = ctx->object.codecs;
  if (codecs.encrHandle != nullptr || codecs.keyEntity.kind != 0) VEK_ExitEncryption(ctx);
  if ((codecs.codecsStarted & kBarCodecEncoding) != 0) DeExit();
  if ((codecs.codecsStarted & kBarCodecCompression) != 0) DcExit();
  codecs.codecsStarted = 0;
  codecs.ClearTransforms();
}

int VEK_BmWriteData(BarContext* ctx, int length, std::uint32_t offsetLow,
                    std::uint32_t offsetHigh) {
  static const char kFn[] = "VEK_BmWriteData";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return 0;
  BarCodecs& codecs = ctx->object.codecs;
  auto* data = static_cast<std::uint8_t*>(ctx->item.dataRecord);
  if (data == nullptr || length < 0 || length > ctx->item.recSize) {
    DbgPlain(kDbgUnexpected, "[%s] no data record for %d bytes (room %d)", kFn, length,
             ctx->item.recSize);
    ctx->item.DropDataRecord();
    return 0;
  }
  LinkUpdateStatus(ctx, length, 0);
  bool transformed = true;
  if (codecs.encrypt != 0) {
    // Data marked encrypted must never reach the stream in the clear.
    transformed =
        codecs.encrHandle != nullptr && DaeEncryptData(codecs.encrHandle, data, length) != 0;
  } else if (codecs.encode != 0) {
    DeEncode(data, length);
  }
  int rc = 0;
  if (!transformed) {
    DbgPlain(kDbgUnexpected, "[%s] DaeEncryptData(%p, %d) failed.", kFn,
             static_cast<void*>(codecs.encrHandle), length);
  } else {
    rc = RmWriteObjData(data, static_cast<std::uint32_t>(ctx->item.itemId),
                        static_cast<std::uint32_t>(length), offsetLow, offsetHigh,
                        static_cast<std::uint32_t>(codecs.compressionId),
                        static_cast<std::uint32_t>(codecs.transformId));
    if (rc == 0) {
      DbgPlain(kLevel, "[%s] RmWriteObjData(%p, %d, %d, %d, %d, %d, %d) failed.", kFn,
               static_cast<void*>(data), ctx->item.itemId, length, static_cast<int>(offsetLow),
               static_cast<int>(offsetHigh), codecs.compressionId, codecs.transformId);
    }
  }
  ctx->item.DropDataRecord();
  return rc;
}

std::uint8_t* VEK_RbmNextRecord(BarContext* ctx) {
  static const char kFn[] = "VEK_RbmNextRecord";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return nullptr;
  BarCodecs& codecs = ctx->object.codecs;
  ctx->item.DropRestoreRecord();
  std::span<std::uint8_t> record;
  const int got = LinkRbmRead(ctx, &record);
  if (got == 0) {
    ctx->lastCode = 0;
    return nullptr;
  }
  if (got < 0 || record.size() < sizeof(DaRecHeader)) {
    BarFail(ctx, BAR_ECOMM);
    return nullptr;
  }
  DaRecHeader header;
  std::memcpy(&header, record.data(), sizeof header);
  if (header.type == DA_REC_OBJ_DATA) {
    DaDataView view{};
    if (!DaViewData(record, &view)) {
      BarFail(ctx, BAR_ECOMM);
      return nullptr;
    }
    const int length = static_cast<int>(view.data.size());
    if (view.transformId == kDaTransformEncrypted) {
      // Without the item's checked key the data would come out as garbage.
      if (codecs.encrHandle == nullptr || codecs.decryptReady == 0 ||
          DaeDecryptData(codecs.encrHandle, view.data.data(), length) == 0) {
        DbgPlain(kDbgUnexpected, "[%s] encrypted data of item %u without a key", kFn, view.itemId);
        ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptInvalid));
        BarFail(ctx, BAR_ECOMM);
        return nullptr;
      }
    } else if ((VEK_Global.capability & kVekCapEncode) != 0 && view.transformId != 0 &&
               view.transformId == static_cast<std::uint32_t>(codecs.transformId)) {
      DeDecode(view.data.data(), length);
    }
    DbgPlain(kLevelData, "[%s] data record of item %u: %d bytes", kFn, view.itemId, length);
    LinkUpdateStatus(ctx, length, 0);
    ctx->item.recSize = length;
    ctx->item.recSpaceLeft = length;
  }
  ctx->item.restoreRecord = record.data();
  ctx->item.recBytes = static_cast<std::uint32_t>(record.size());
  return record.data();
}

int VEK_WriteEncryptRecord(BarContext* ctx, const DaItemAttr* item) {
  static const char kFn[] = "VEK_WriteEncryptRecord";
  BarCodecs& codecs = ctx->object.codecs;
  if (codecs.encrHandle == nullptr ||
      DaeRefreshEncryptCtx(codecs.encrHandle, ctx->session.smHandle, &ctx->session.smMsg,
                           &codecs.keyEntity) != 1) {
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptRefresh));
    VEK_ExitEncryption(ctx);
    DbgPlain(kLevel, "[%s] DaeRefreshEncryptCtx failed!", kFn);
    return -2;
  }
  RmSetDaeRecvEncryptMetaData([](void* handle, unsigned char* meta) {
    return DaeRecvEncryptMetaData(static_cast<DaeContext*>(handle), meta);
  });
  if (RmCreateObjEncryptRec(item, codecs.encrHandle) == 0) {
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptRecord));
    DbgPlain(kLevel, "[%s] RmCreateObjEncryptRec returned error. item->name: %s. Error: %s\n", kFn,
             item != nullptr && item->name != nullptr ? item->name : "", ErhErrnoToText());
    return -2;
  }
  return 0;
}

int VEK_ProcessEncryptMetaData(BarContext* ctx, std::span<const std::uint8_t> record) {
  static const char kFn[] = "VEK_ProcessEncryptMetaData";
  BarCodecs& codecs = ctx->object.codecs;
  codecs.decryptReady = 0;
  if (codecs.encrHandle == nullptr) return -2;
  DaCryptView view{};
  if (!DaViewCrypt(record, &view)) {
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptInvalid));
    return -2;
  }
  DaeMetaData meta = DaCryptMetaData(view);
  DaeSendEncryptMetaData(codecs.encrHandle, meta.data());
  if (DaeRefreshEncryptCtx(codecs.encrHandle, ctx->session.smHandle, &ctx->session.smMsg,
                           nullptr) == 0) {
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptRefresh));
    return -2;
  }
  meta.fill(0);
  if (DaeRecvEncryptMetaData(codecs.encrHandle, meta.data()) == 0 ||
      !DaCryptKeyMatches(view, meta)) {
    ReportPacked(kFn, kErhMajor, NlsPackMessage(kBarMsgSet, kBarMsgEncryptInvalid));
    return -2;
  }
  codecs.decryptReady = 1;
  return 0;
}

int BDcWrite(void* data, int length, void* context) {
  auto* ctx = static_cast<BarContext*>(context);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  const int n = LinkWriteItemData(ctx, data, length);
  return n > 0 ? n : 0;
}

int RDcRead(void* buffer, int length, void* context) {
  auto* ctx = static_cast<BarContext*>(context);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  const int n = LinkReadItemData(ctx, buffer, length);
  return n > 0 ? n : 0;
}
