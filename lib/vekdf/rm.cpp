// Record writers: every record type the backup side writes, built in host
// order in the current block and committed through the block writer.
#include "vekdf/rm.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "cmn/crc.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/erh.h"
#include "vekdf/daimpl.h"

TARN_RCSID("lib/vekdf/rm.cpp");

using namespace vekdf_detail;

namespace {

DaBlockWriter* current = nullptr;
DaeRecvEncryptMetaDataFn recvMetaData = nullptr;

constexpr std::uint32_t kMaxText = UINT16_MAX;

std::string_view Text(const char* s) {
  return s != nullptr ? std::string_view(s) : std::string_view();
}

// The sequence number is set once the record has its room, so that a record
// that could not be placed leaves no gap in the numbers.
DaRecHeader Header(DaRecType type, std::uint32_t format, std::uint32_t length) {
  DaRecHeader h{};
  h.magic = kDaRecMagic;
  h.type = type;
  h.format = format;
  h.version = kDaRecVersion;
  h.length = length;
  return h;
}

// The writer, or null after reporting that none is installed.
DaBlockWriter* Writer(const char* function) {
  if (current == nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] no block writer installed", function);
    ReportInternal(function, rcsId, __LINE__);
  }
  return current;
}

// Reserves exactly `length` bytes, copies the fixed part `body` (whose
// header carries `length`) and the texts after it, and commits.
template <class T>
int Put(DaBlockWriter& writer, T body, std::initializer_list<std::string_view> texts,
        const char* function) {
  const std::uint32_t length = body.h.length;
  std::uint32_t granted = 0;
  std::uint8_t* p = writer.Alloc(length, length, &granted);
  if (p == nullptr) return 0;
  body.h.seqNo = writer.TakeRecSeqNo();
  std::memcpy(p, &body, sizeof body);
  std::uint8_t* text = p + sizeof body;
  for (std::string_view t : texts) {
    std::memcpy(text, t.data(), t.size());
    text[t.size()] = '\0';
    text += t.size() + 1;
  }
  if (!writer.Write(length)) {
    DbgPlain(kLevel, "[%s] BmWrite() failed to send record", function);
    return 0;
  }
  return 1;
}

// Places `text` (with its NUL) at *next; false when it would not fit the
// record's 16-bit fields.
bool Place(std::string_view text, std::uint32_t* next, DaStrRef* ref) {
  const std::uint64_t length = text.size() + 1;
  if (length > kMaxText || *next > kMaxText) return false;
  ref->length = static_cast<std::uint16_t>(length);
  ref->offset = static_cast<std::uint16_t>(*next);
  *next += static_cast<std::uint32_t>(length);
  return true;
}

}  // namespace

DaeRecvEncryptMetaDataFn RmSetDaeRecvEncryptMetaData(DaeRecvEncryptMetaDataFn fn) {
  return std::exchange(recvMetaData, fn);
}

DaBlockWriter* RmSetBlockWriter(DaBlockWriter* writer) {
  return std::exchange(current, writer);
}

DaBlockWriter* RmGetBlockWriter() {
  return current;
}

int RmWriteStart(std::uint32_t daId, std::uint32_t startTime, std::uint32_t sinceTime,
                 std::uint32_t objType, std::uint32_t backupType, std::uint32_t accessType,
                 std::uint32_t accessValue, std::uint32_t protType, std::uint32_t protValue,
                 const char* objName, const char* objDesc, const char* appName,
                 const char* appDesc) {
  static const char kFn[] = "RmWriteStart";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "daId=%u objName=%s", daId, objName != nullptr ? objName : "");
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
    return rc;
  };
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return done(0);
  const std::string_view texts[] = {Text(objName), Text(objDesc), Text(appName), Text(appDesc)};
  DaRecStart r{};
  std::uint32_t next = sizeof r;
  if (!Place(texts[0], &next, &r.objName) || !Place(texts[1], &next, &r.objDesc) ||
      !Place(texts[2], &next, &r.appName) || !Place(texts[3], &next, &r.appDesc)) {
    DbgPlain(kDbgUnexpected, "[%s] the texts do not fit a start record", kFn);
    ReportInternal(kFn, rcsId, __LINE__);
    return done(0);
  }
  *writer->RecSeqNo() = 0;
  r.h = Header(DA_REC_START, kDaFmtStart, next);
  r.daId = daId;
  r.objType = objType;
  r.backupType = backupType;
  r.accessType = accessType;
  r.accessValue = accessValue;
  r.protType = protType;
  r.protValue = protValue;
  r.startTime = startTime;
  r.sinceTime = sinceTime;
  return done(Put(*writer, r, {texts[0], texts[1], texts[2], texts[3]}, kFn));
}

int RmWriteObjAttribute(int recType, const DaItemAttr& attr) {
  static const char kFn[] = "RmWriteObjAttribute";
  const std::string_view name = Text(attr.longName != nullptr ? attr.longName : attr.name);
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "type=%d itemId=%u name=%.*s", recType, attr.itemId,
             static_cast<int>(std::min<std::size_t>(name.size(), 1024)), name.data());
  auto done = [&](int rc) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
    return rc;
  };
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return done(0);
  DaRecAttr r{};
  std::uint32_t next = sizeof r;
  if ((recType != DA_REC_OBJ_ATTR && recType != DA_REC_OBJ_NOCAT) || !Place(name, &next, &r.name)) {
    DbgPlain(kDbgUnexpected, "[%s] type %d or a name of %zu bytes cannot be written", kFn, recType,
             name.size());
    ReportInternal(kFn, rcsId, __LINE__);
    return done(0);
  }
  r.h = Header(static_cast<DaRecType>(recType), kDaFmtAttr, next);
  r.itemId = attr.itemId;
  r.fileType = attr.fileType;
  r.attributes = attr.attributes;
  r.uidLow = static_cast<std::uint16_t>(attr.uid);
  r.gidLow = static_cast<std::uint16_t>(attr.gid);
  r.mode = static_cast<std::uint16_t>(attr.mode);
  r.time[kDaAttrModifyTime] = attr.time[kDaAttrModifyTime];
  r.sizeLow = static_cast<std::uint32_t>(attr.size);
  r.quantityLow = static_cast<std::uint32_t>(attr.quantity);
  r.uidHigh = static_cast<std::uint16_t>(attr.uid >> 16);
  r.gidHigh = static_cast<std::uint16_t>(attr.gid >> 16);
  r.sizeHigh = static_cast<std::uint32_t>(attr.size >> 32);
  r.quantityHigh = static_cast<std::uint32_t>(attr.quantity >> 32);
  std::memcpy(r.extra, attr.extra, sizeof r.extra);
  return done(Put(*writer, r, {name}, kFn));
}

int RmWriteObjAttr(const DaItemAttr& attr) {
  return RmWriteObjAttribute(DA_REC_OBJ_ATTR, attr);
}

std::uint8_t* RmGetObjDataBuf(std::uint32_t wanted, std::uint32_t* granted) {
  static const char kFn[] = "RmGetObjDataBuf";
  *granted = 0;
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return nullptr;
  // At least one data byte; the record length must stay a 32-bit number.
  const std::uint32_t data = std::clamp<std::uint32_t>(wanted, 1, UINT32_MAX - kDaDataHeaderSize);
  std::uint32_t room = 0;
  std::uint8_t* p = writer->Alloc(data + kDaDataHeaderSize, kDaDataHeaderSize + 1, &room);
  if (p == nullptr) {
    DbgPlain(kLevel, "[%s] no room for %u data bytes", kFn, wanted);
    return nullptr;
  }
  *granted = room - kDaDataHeaderSize;
  return p + kDaDataHeaderSize;
}

int RmWriteObjData(std::uint8_t* data, std::uint32_t itemId, std::uint32_t length,
                   std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t compressionId,
                   std::uint32_t transformId) {
  static const char kFn[] = "RmWriteObjData";
  DbgPlain(kLevelRecord, "[%s] itemId=%u length=%u offset=%u:%u", kFn, itemId, length, offsetHigh,
           offsetLow);
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return 0;
  std::uint8_t* record = writer->reserved();
  if (record == nullptr || data != record + kDaDataHeaderSize ||
      std::uint64_t{kDaDataHeaderSize} + length > writer->reservedRoom()) {
    DbgPlain(kDbgUnexpected, "[%s] %p is no reserved data area for %u bytes", kFn,
             static_cast<void*>(data), length);
    ReportInternal(kFn, rcsId, __LINE__);
    return 0;
  }
  DaRecData r{};
  r.h = Header(DA_REC_OBJ_DATA, kDaFmtData, kDaDataHeaderSize + length);
  r.h.seqNo = writer->TakeRecSeqNo();
  r.itemId = itemId;
  r.offsetLow = offsetLow;
  r.offsetHigh = offsetHigh;
  r.lengthLow = static_cast<std::uint16_t>(length);
  r.lengthHigh = static_cast<std::uint16_t>(length >> 16);
  r.dataOffset = kDaDataHeaderSize;
  r.compressionId = compressionId;
  r.transformId = transformId;
  std::memcpy(record, &r, sizeof r);
  if (!writer->Write(r.h.length)) {
    DbgPlain(kLevel, "[%s] BmWrite() failed to send record", kFn);
    return 0;
  }
  return 1;
}

int RmWriteObjErr(const DaItemAttr& item, std::uint32_t code) {
  static const char kFn[] = "RmWriteObjErr";
  DbgPlain(kDbgUnexpected, "[%s:%d][RmWriteObjErr] DA_REC_OBJ_ERR has been generated for [%s]!",
           Get_FILE_from_rcsId(rcsId), __LINE__, item.name != nullptr ? item.name : "");
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return 0;
  const std::string_view text = Text(item.errorText);
  DaRecErr r{};
  std::uint32_t next = sizeof r;
  if (!Place(text, &next, &r.text)) {
    DbgPlain(kDbgUnexpected, "[%s] an error text of %zu bytes cannot be written", kFn, text.size());
    ReportInternal(kFn, rcsId, __LINE__);
    return 0;
  }
  r.h = Header(DA_REC_OBJ_ERR, kDaFmtErr, next);
  r.itemId = item.itemId;
  r.code = code;
  return Put(*writer, r, {text}, kFn);
}

int RmWriteObjEnd(const DaItemAttr& item, std::uint32_t code) {
  static const char kFn[] = "RmWriteObjEnd";
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return 0;
  DaRecObjEnd r{};
  r.h = Header(DA_REC_OBJ_END, kDaFmtObjEnd, sizeof r);
  r.itemId = item.itemId;
  r.code = code;
  return Put(*writer, r, {}, kFn);
}

int RmWriteEnd(std::uint32_t daId, std::uint32_t startTime, std::uint32_t endTime,
               std::uint32_t code, std::uint32_t fifth) {
  static const char kFn[] = "RmWriteEnd";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "daId=%u code=%u", daId, code);
  DaBlockWriter* writer = Writer(kFn);
  int rc = 0;
  if (writer != nullptr) {
    DaRecEnd r{};
    r.h = Header(DA_REC_END, kDaFmtEnd, sizeof r);
    r.daId = daId;
    r.startTime = startTime;
    r.endTime = endTime;
    r.code = code;
    r.fifth = fifth;
    rc = Put(*writer, r, {}, kFn);
  }
  DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", rc);
  return rc;
}

int RmWriteNull(std::uint32_t wanted) {
  static const char kFn[] = "RmWriteNull";
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return 0;
  const std::uint32_t most = std::min<std::uint32_t>(wanted, UINT32_MAX - kDaRecHeaderSize);
  std::uint32_t granted = 0;
  std::uint8_t* p = writer->Alloc(most + kDaRecHeaderSize, kDaRecHeaderSize, &granted);
  if (p == nullptr) return 0;
  DaRecHeader h = Header(DA_REC_NULL, kDaFmtNull, granted);
  h.seqNo = writer->TakeRecSeqNo();
  std::memcpy(p, &h, sizeof h);
  std::memset(p + sizeof h, kDaNullFill, granted - sizeof h);
  if (!writer->Write(granted)) {
    DbgPlain(kLevel, "[%s] BmWrite() failed to send record", kFn);
    return 0;
  }
  return 1;
}

int RmWriteObjEncrypt(const DaItemAttr* /*attr*/, const DaeMetaData& meta) {
  static const char kFn[] = "RmWriteObjEncrypt";
  DaBlockWriter* writer = Writer(kFn);
  if (writer == nullptr) return 0;
  DaRecCrypt r{};
  std::uint32_t granted = 0;
  std::uint8_t* p = writer->Alloc(sizeof r, sizeof r, &granted);
  if (p == nullptr) {
    DbgPlain(kLevel, "ENCRYPTION : BmAlloc() failed to allocate %d bytes",
             static_cast<int>(sizeof r));
    return 0;
  }
  r.h = Header(DA_REC_OBJ_CRYPT, kDaFmtCrypt, sizeof r);
  r.h.seqNo = writer->TakeRecSeqNo();
  r.kind = meta[0];
  r.one = 1;
  r.fieldA = {offsetof(DaRecCrypt, a), kDaeFieldSize};
  r.fieldB = {offsetof(DaRecCrypt, b), kDaeFieldSize};
  r.fieldC = {offsetof(DaRecCrypt, c), kDaeFieldSize};
  r.keyCrc = CmnGenerateCRC(meta.data() + kDaeMetaKey, kDaeKeySize);
  std::memcpy(r.a, meta.data() + kDaeMetaSecond, kDaeFieldSize);
  std::memcpy(r.b, meta.data() + kDaeMetaFirst, kDaeFieldSize);
  std::memcpy(r.c, meta.data() + kDaeMetaThird, kDaeFieldSize);
  std::memcpy(p, &r, sizeof r);
  if (!writer->Write(sizeof r)) {
    DbgPlain(kLevel, "BmWrite() failed to send record");
    return 0;
  }
  return 1;
}

int RmCreateObjEncryptRec(const DaItemAttr* attr, void* handle) {
  if (handle == nullptr) return 1;
  DaeMetaData meta{};
  if (recvMetaData == nullptr || recvMetaData(handle, meta.data()) == 0 ||
      RmWriteObjEncrypt(attr, meta) == 0) {
    DbgPlain(kLevel, "DaeRecvEncryptMetaData Failed");
    return 0;
  }
  return 1;
}
