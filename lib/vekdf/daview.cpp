// Checked views of record bodies read back from the medium.
#include "vekdf/daview.h"

#include <algorithm>
#include <cstring>

#include "cmn/crc.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "vekdf/daimpl.h"

TARN_RCSID("lib/vekdf/daview.cpp");

using namespace vekdf_detail;

namespace {

// The fixed part of a record of one of `types`, copied out; the record is cut
// to its header's length. False (not reported) when the record is too short
// or of another type.
template <class T>
bool Fixed(std::span<const std::uint8_t>* record, std::initializer_list<int> types, T* fixed) {
  if (record->size() < sizeof(T)) return false;
  std::memcpy(fixed, record->data(), sizeof(T));
  const DaRecHeader& h = fixed->h;
  if (h.length < sizeof(T) || h.length > record->size()) return false;
  if (std::find(types.begin(), types.end(), static_cast<int>(h.type)) == types.end()) return false;
  *record = record->first(h.length);
  return true;
}

// A text of the record: inside it, after the fixed part, ending in a NUL.
// The view ends at the first NUL.
bool Text(std::span<const std::uint8_t> record, std::size_t fixed, DaStrRef ref,
          std::string_view* text) {
  if (ref.length == 0 || ref.offset < fixed ||
      std::size_t{ref.offset} + ref.length > record.size() ||
      record[std::size_t{ref.offset} + ref.length - 1] != 0) {
    return false;
  }
  const char* p = reinterpret_cast<const char*>(record.data() + ref.offset);
  *text = std::string_view(p, std::strlen(p));
  return true;
}

// Bytes [offset, offset + length) of the record, after its fixed part.
bool Span(std::span<const std::uint8_t> record, std::size_t fixed, std::uint64_t offset,
          std::uint64_t length, std::span<const std::uint8_t>* out) {
  if (offset < fixed || offset > record.size() || length > record.size() - offset) return false;
  *out = record.subspan(offset, length);
  return true;
}

std::uint64_t Join(std::uint32_t low, std::uint32_t high) {
  return std::uint64_t{high} << 32 | low;
}

bool Damaged(const char* function, int line) {
  ReportDamaged(function, rcsId, line);
  return false;
}

}  // namespace

bool DaViewStart(std::span<const std::uint8_t> record, DaStartView* view) {
  static const char kFn[] = "DaViewStart";
  DaRecStart r;
  if (!Fixed(&record, {DA_REC_START}, &r) || !Text(record, sizeof r, r.objName, &view->objName) ||
      !Text(record, sizeof r, r.objDesc, &view->objDesc) ||
      !Text(record, sizeof r, r.appName, &view->appName) ||
      !Text(record, sizeof r, r.appDesc, &view->appDesc)) {
    return Damaged(kFn, __LINE__);
  }
  view->daId = r.daId;
  view->objType = r.objType;
  view->backupType = r.backupType;
  view->accessType = r.accessType;
  view->accessValue = r.accessValue;
  view->protType = r.protType;
  view->protValue = r.protValue;
  view->startTime = r.startTime;
  view->sinceTime = r.sinceTime;
  return true;
}

bool DaViewAttr(std::span<const std::uint8_t> record, DaAttrView* view) {
  static const char kFn[] = "DaViewAttr";
  DaRecAttr r;
  if (!Fixed(&record, {DA_REC_OBJ_ATTR, DA_REC_OBJ_NOCAT}, &r) ||
      !Text(record, sizeof r, r.name, &view->name)) {
    return Damaged(kFn, __LINE__);
  }
  view->catalogued = r.h.type == DA_REC_OBJ_ATTR;
  view->itemId = r.itemId;
  view->fileType = r.fileType;
  view->attributes = r.attributes;
  view->uid = std::uint32_t{r.uidHigh} << 16 | r.uidLow;
  view->gid = std::uint32_t{r.gidHigh} << 16 | r.gidLow;
  view->mode = r.mode;
  view->modifyTime = r.time[kDaAttrModifyTime];
  view->size = Join(r.sizeLow, r.sizeHigh);
  view->quantity = Join(r.quantityLow, r.quantityHigh);
  return true;
}

bool DaViewNtAttr(std::span<const std::uint8_t> record, DaNtAttrView* view) {
  static const char kFn[] = "DaViewNtAttr";
  DaRecNtAttr r;
  if (!Fixed(&record, {DA_REC_OBJ_NT_ATTR, DA_REC_OBJ_NT_NOCAT}, &r)) return Damaged(kFn, __LINE__);
  const std::size_t start = r.half[kDaNtNameOffset];
  if (start < sizeof r || start >= record.size()) return Damaged(kFn, __LINE__);
  std::size_t end = start;
  while (end + 2 <= record.size() && (record[end] != 0 || record[end + 1] != 0)) end += 2;
  if (end + 2 > record.size()) return Damaged(kFn, __LINE__);
  view->catalogued = r.h.type == DA_REC_OBJ_NT_ATTR;
  view->itemId = r.word[kDaNtItemId];
  view->attrBits = r.word[kDaNtAttrBits];
  view->fileType = r.word[kDaNtFileType];
  view->attributes = r.word[kDaNtAttributes];
  std::copy_n(r.word + kDaNtKeptFirst, kDaNtKeptCount, view->kept);
  view->modifyTime = r.word[kDaNtModifyTime];
  view->size = Join(r.word[kDaNtSizeLow], r.word[kDaNtSizeHigh]);
  view->nameUtf16 = record.subspan(start, end - start);
  return true;
}

bool DaViewData(std::span<std::uint8_t> record, DaDataView* view) {
  static const char kFn[] = "DaViewData";
  std::span<const std::uint8_t> bytes = record;
  DaRecData r;
  if (!Fixed(&bytes, {DA_REC_OBJ_DATA, kDaRecDataOther}, &r)) return Damaged(kFn, __LINE__);
  std::uint32_t length = r.lengthLow;
  if (r.h.version > kDaRecVersionShortLength) length |= std::uint32_t{r.lengthHigh} << 16;
  std::span<const std::uint8_t> data;
  if (!Span(bytes, sizeof r, r.dataOffset, length, &data)) return Damaged(kFn, __LINE__);
  view->type = r.h.type;
  view->itemId = r.itemId;
  view->offset = Join(r.offsetLow, r.offsetHigh);
  view->compressionId = r.compressionId;
  view->transformId = r.transformId;
  view->data = record.subspan(r.dataOffset, length);
  return true;
}

bool DaViewErr(std::span<const std::uint8_t> record, DaErrView* view) {
  static const char kFn[] = "DaViewErr";
  DaRecErr r;
  if (!Fixed(&record, {DA_REC_OBJ_ERR}, &r) || !Text(record, sizeof r, r.text, &view->text)) {
    return Damaged(kFn, __LINE__);
  }
  view->itemId = r.itemId;
  view->code = r.code;
  return true;
}

bool DaViewObjEnd(std::span<const std::uint8_t> record, DaObjEndView* view) {
  DaRecObjEnd r;
  if (!Fixed(&record, {DA_REC_OBJ_END}, &r)) return Damaged("DaViewObjEnd", __LINE__);
  view->itemId = r.itemId;
  view->code = r.code;
  return true;
}

bool DaViewEnd(std::span<const std::uint8_t> record, DaEndView* view) {
  DaRecEnd r;
  if (!Fixed(&record, {DA_REC_END}, &r)) return Damaged("DaViewEnd", __LINE__);
  view->daId = r.daId;
  view->startTime = r.startTime;
  view->endTime = r.endTime;
  view->code = r.code;
  view->fifth = r.fifth;
  return true;
}

bool DaViewSys(std::span<const std::uint8_t> record, DaSysView* view) {
  DaRecSys r;
  if (!Fixed(&record, {DA_REC_OBJ_SYS}, &r)) return Damaged("DaViewSys", __LINE__);
  view->format = r.h.format;
  view->kind = r.kind;
  view->data = record.subspan(sizeof r);
  return true;
}

std::size_t DaCopySysData(const DaSysView& view, std::span<std::uint8_t> buffer) {
  const std::size_t n = std::min(view.data.size(), buffer.size());
  if (n > 0) std::memcpy(buffer.data(), view.data.data(), n);
  return n;
}

bool DaViewCrypt(std::span<const std::uint8_t> record, DaCryptView* view) {
  static const char kFn[] = "DaViewCrypt";
  DaRecCrypt r;
  if (!Fixed(&record, {DA_REC_OBJ_CRYPT}, &r) || r.fieldA.length != kDaeFieldSize ||
      r.fieldB.length != kDaeFieldSize || r.fieldC.length != kDaeFieldSize ||
      !Span(record, offsetof(DaRecCrypt, zero), r.fieldA.offset, kDaeFieldSize, &view->fieldA) ||
      !Span(record, offsetof(DaRecCrypt, zero), r.fieldB.offset, kDaeFieldSize, &view->fieldB) ||
      !Span(record, offsetof(DaRecCrypt, zero), r.fieldC.offset, kDaeFieldSize, &view->fieldC)) {
    return Damaged(kFn, __LINE__);
  }
  view->kind = r.kind;
  view->keyCrc = r.keyCrc;
  return true;
}

DaeMetaData DaCryptMetaData(const DaCryptView& view) {
  DaeMetaData meta{};
  meta[0] = static_cast<std::uint8_t>(view.kind);
  std::copy(view.fieldB.begin(), view.fieldB.end(), meta.begin() + kDaeMetaFirst);
  std::copy(view.fieldA.begin(), view.fieldA.end(), meta.begin() + kDaeMetaSecond);
  std::copy(view.fieldC.begin(), view.fieldC.end(), meta.begin() + kDaeMetaThird);
  return meta;
}

bool DaCryptKeyMatches(const DaCryptView& view, const DaeMetaData& meta) {
  return CmnGenerateCRC(meta.data() + kDaeMetaKey, kDaeKeySize) == view.keyCrc;
}
