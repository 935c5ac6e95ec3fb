// Checked views of record bodies read back: every offset and length inside
// the record is checked before a field, text or data span is handed out. Each
// takes a record in host order as DaBlockReader::Next gives it (its span is
// the record's length) and returns false, reported at severity 3, when the
// record is not of the view's types or its body does not hold together. The
// spans and texts point into the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "vekdf/daformat.h"

// Type 0. Texts end before their NUL.
struct DaStartView {
  std::uint32_t daId;
  std::uint32_t objType;
  std::uint32_t backupType;
  std::uint32_t accessType;
  std::uint32_t accessValue;
  std::uint32_t protType;
  std::uint32_t protValue;
  std::uint32_t startTime;
  std::uint32_t sinceTime;
  std::string_view objName;
  std::string_view objDesc;
  std::string_view appName;
  std::string_view appDesc;
};
bool DaViewStart(std::span<const std::uint8_t> record, DaStartView* view);

// Types 1 and 12, halves joined.
struct DaAttrView {
  bool catalogued;  // type 1; type 12 stays out of the catalogue
  std::uint32_t itemId;
  std::uint32_t fileType;
  std::uint32_t attributes;
  std::uint32_t uid;
  std::uint32_t gid;
  std::uint32_t mode;
  std::uint32_t modifyTime;
  std::uint64_t size;
  std::uint64_t quantity;
  std::string_view name;
};
bool DaViewAttr(std::span<const std::uint8_t> record, DaAttrView* view);

// Types 8 and 10. The name is the UTF-16 units at the record's name offset up
// to (not including) their terminating zero unit, in the writer's byte order.
struct DaNtAttrView {
  bool catalogued;  // type 8
  std::uint32_t itemId;
  std::uint32_t attrBits;  // goes into the item's permission field
  std::uint32_t fileType;
  std::uint32_t attributes;
  std::uint32_t kept[kDaNtKeptCount];
  std::uint32_t modifyTime;
  std::uint64_t size;
  std::span<const std::uint8_t> nameUtf16;
};
bool DaViewNtAttr(std::span<const std::uint8_t> record, DaNtAttrView* view);

// Types 3 and 9. The data length joins both halves for records newer than
// kDaRecVersionShortLength, else it is the low half alone.
struct DaDataView {
  std::uint32_t type;
  std::uint32_t itemId;
  std::uint64_t offset;  // item offset of the first data byte
  std::uint32_t compressionId;
  std::uint32_t transformId;
  std::span<std::uint8_t> data;  // writable: transforms are undone in place
};
bool DaViewData(std::span<std::uint8_t> record, DaDataView* view);

// Type 4.
struct DaErrView {
  std::uint32_t itemId;
  std::uint32_t code;
  std::string_view text;
};
bool DaViewErr(std::span<const std::uint8_t> record, DaErrView* view);

// Type 5.
struct DaObjEndView {
  std::uint32_t itemId;
  std::uint32_t code;
};
bool DaViewObjEnd(std::span<const std::uint8_t> record, DaObjEndView* view);

// Type 6.
struct DaEndView {
  std::uint32_t daId;
  std::uint32_t startTime;
  std::uint32_t endTime;
  std::uint32_t code;
  std::uint32_t fifth;
};
bool DaViewEnd(std::span<const std::uint8_t> record, DaEndView* view);

// Type 2: the body in the writer's byte order; the data is everything after
// the fixed part (the record length less 64 bytes).
struct DaSysView {
  std::uint32_t format;
  std::uint32_t kind;
  std::span<const std::uint8_t> data;
};
bool DaViewSys(std::span<const std::uint8_t> record, DaSysView* view);
// Copies the system data into `buffer`, at most its size; returns the count.
std::size_t DaCopySysData(const DaSysView& view, std::span<std::uint8_t> buffer);

// Type 11.
struct DaCryptView {
  std::uint16_t kind;
  std::span<const std::uint8_t> fieldA;  // metadata bytes 17-32
  std::span<const std::uint8_t> fieldB;  // metadata bytes 1-16
  std::span<const std::uint8_t> fieldC;  // metadata bytes 33-48
  std::uint32_t keyCrc;
};
bool DaViewCrypt(std::span<const std::uint8_t> record, DaCryptView* view);
// The metadata record the encryption library takes back: kind and the three
// fields in their places, the key bytes zero.
DaeMetaData DaCryptMetaData(const DaCryptView& view);
// True when the key bytes of `meta` (as the library returned it) have the
// CRC-32 the record carries.
bool DaCryptKeyMatches(const DaCryptView& view, const DaeMetaData& meta);
