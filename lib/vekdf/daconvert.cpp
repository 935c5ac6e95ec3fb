// Byte-order conversion of block headers and records: one table of numeric
// fields per record type, reversed in place.
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "cmn/defines.h"
#include "vekdf/daformat.h"
#include "vekdf/daimpl.h"

TARN_RCSID("lib/vekdf/daconvert.cpp");

using vekdf_detail::Load32;

namespace {

struct Field {
  std::uint16_t offset;
  std::uint8_t width;
};

template <class T>
void SwapAt(std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (sizeof(T) == 4) {
      v = __builtin_bswap32(v);
    } else {
      v = __builtin_bswap16(v);
    }
    std::memcpy(p, &v, sizeof v);
  }
}

void SwapWords(std::uint8_t* p, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) SwapAt<std::uint32_t>(p + sizeof(std::uint32_t) * i);
}

template <const auto& kFields>
void SwapFields(std::uint8_t* record) {
  for (const Field& f : kFields) {
    if (f.width == 4) {
      SwapAt<std::uint32_t>(record + f.offset);
    } else {
      SwapAt<std::uint16_t>(record + f.offset);
    }
  }
}

void SwapNothing(std::uint8_t*) {}

#define TARN_U32(T, m) \
  Field {              \
    offsetof(T, m), 4  \
  }
#define TARN_U16(T, m) \
  Field {              \
    offsetof(T, m), 2  \
  }

constexpr Field kStart[] = {
    TARN_U32(DaRecStart, daId),           TARN_U32(DaRecStart, objType),
    TARN_U32(DaRecStart, backupType),     TARN_U32(DaRecStart, accessType),
    TARN_U32(DaRecStart, accessValue),    TARN_U32(DaRecStart, protType),
    TARN_U32(DaRecStart, protValue),      TARN_U32(DaRecStart, startTime),
    TARN_U32(DaRecStart, sinceTime),      TARN_U16(DaRecStart, objName.length),
    TARN_U16(DaRecStart, objName.offset), TARN_U16(DaRecStart, objDesc.length),
    TARN_U16(DaRecStart, objDesc.offset), TARN_U16(DaRecStart, appName.length),
    TARN_U16(DaRecStart, appName.offset), TARN_U16(DaRecStart, appDesc.length),
    TARN_U16(DaRecStart, appDesc.offset),
};

constexpr Field kAttr[] = {
    TARN_U32(DaRecAttr, itemId),       TARN_U32(DaRecAttr, fileType),
    TARN_U32(DaRecAttr, attributes),   TARN_U16(DaRecAttr, uidLow),
    TARN_U16(DaRecAttr, gidLow),       TARN_U16(DaRecAttr, mode),
    TARN_U32(DaRecAttr, time[0]),      TARN_U32(DaRecAttr, time[1]),
    TARN_U32(DaRecAttr, time[2]),      TARN_U32(DaRecAttr, time[3]),
    TARN_U32(DaRecAttr, sizeLow),      TARN_U32(DaRecAttr, quantityLow),
    TARN_U16(DaRecAttr, name.length),  TARN_U16(DaRecAttr, name.offset),
    TARN_U32(DaRecAttr, reserved80),   TARN_U16(DaRecAttr, uidHigh),
    TARN_U16(DaRecAttr, gidHigh),      TARN_U32(DaRecAttr, sizeHigh),
    TARN_U32(DaRecAttr, quantityHigh),
};

constexpr Field kData[] = {
    TARN_U32(DaRecData, itemId),      TARN_U32(DaRecData, offsetLow),
    TARN_U32(DaRecData, offsetHigh),  TARN_U16(DaRecData, lengthLow),
    TARN_U16(DaRecData, dataOffset),  TARN_U32(DaRecData, compressionId),
    TARN_U32(DaRecData, transformId), TARN_U16(DaRecData, lengthHigh),
    TARN_U16(DaRecData, reserved58),
};

constexpr Field kErr[] = {
    TARN_U32(DaRecErr, itemId),
    TARN_U32(DaRecErr, code),
    TARN_U16(DaRecErr, text.length),
    TARN_U16(DaRecErr, text.offset),
};

constexpr Field kObjEnd[] = {
    TARN_U32(DaRecObjEnd, itemId),
    TARN_U32(DaRecObjEnd, code),
};

constexpr Field kEnd[] = {
    TARN_U32(DaRecEnd, daId), TARN_U32(DaRecEnd, startTime), TARN_U32(DaRecEnd, endTime),
    TARN_U32(DaRecEnd, code), TARN_U32(DaRecEnd, fifth),
};

constexpr auto kNtAttr = [] {
  std::array<Field, 22> fields{};
  for (std::uint16_t i = 0; i < 16; ++i) {
    fields[i] = Field{
        static_cast<std::uint16_t>(offsetof(DaRecNtAttr, word) + sizeof(std::uint32_t) * i), 4};
  }
  for (std::uint16_t i = 0; i < 6; ++i) {
    fields[16 + i] = Field{
        static_cast<std::uint16_t>(offsetof(DaRecNtAttr, half) + sizeof(std::uint16_t) * i), 2};
  }
  return fields;
}();

constexpr Field kCrypt[] = {
    TARN_U16(DaRecCrypt, kind),          TARN_U16(DaRecCrypt, one),
    TARN_U32(DaRecCrypt, fieldA.offset), TARN_U32(DaRecCrypt, fieldA.length),
    TARN_U32(DaRecCrypt, fieldB.offset), TARN_U32(DaRecCrypt, fieldB.length),
    TARN_U32(DaRecCrypt, fieldC.offset), TARN_U32(DaRecCrypt, fieldC.length),
    TARN_U32(DaRecCrypt, keyCrc),
};

#undef TARN_U32
#undef TARN_U16

}  // namespace

const DaCvtEntry cvtTypeTbl[] = {
    {DA_REC_START, SwapFields<kStart>, SwapFields<kStart>, sizeof(DaRecStart)},
    {DA_REC_OBJ_ATTR, SwapFields<kAttr>, SwapFields<kAttr>, sizeof(DaRecAttr)},
    {DA_REC_OBJ_SYS, SwapNothing, SwapNothing, sizeof(DaRecSys)},
    {DA_REC_OBJ_DATA, SwapFields<kData>, SwapFields<kData>, sizeof(DaRecData)},
    {DA_REC_OBJ_ERR, SwapFields<kErr>, SwapFields<kErr>, sizeof(DaRecErr)},
    {DA_REC_OBJ_END, SwapFields<kObjEnd>, SwapFields<kObjEnd>, sizeof(DaRecObjEnd)},
    {DA_REC_END, SwapFields<kEnd>, SwapFields<kEnd>, sizeof(DaRecEnd)},
    {DA_REC_NULL, SwapNothing, SwapNothing, kDaRecHeaderSize},
    {DA_REC_OBJ_NT_ATTR, SwapFields<kNtAttr>, SwapFields<kNtAttr>, sizeof(DaRecNtAttr)},
    {kDaRecDataOther, SwapFields<kData>, SwapFields<kData>, sizeof(DaRecData)},
    {DA_REC_OBJ_NT_NOCAT, SwapFields<kNtAttr>, SwapFields<kNtAttr>, sizeof(DaRecNtAttr)},
    {DA_REC_OBJ_CRYPT, SwapFields<kCrypt>, SwapFields<kCrypt>, sizeof(DaRecCrypt)},
    {DA_REC_OBJ_NOCAT, SwapFields<kAttr>, SwapFields<kAttr>, sizeof(DaRecAttr)},
    {-1, nullptr, nullptr, 0},
};

const DaCvtEntry* DaFindCvt(std::uint32_t type) {
  // The table is ordered by type, so a known type is its own index.
  constexpr std::uint32_t kTypes = sizeof cvtTypeTbl / sizeof cvtTypeTbl[0] - 1;
  if (type >= kTypes || cvtTypeTbl[type].type != static_cast<int>(type)) return nullptr;
  return &cvtTypeTbl[type];
}

void HostNetBlkHeader(std::uint8_t* header) {
  SwapWords(header, kDaBlkConvertedWords);
}

void NetHostBlkHeader(std::uint8_t* header) {
  SwapWords(header, kDaBlkConvertedWords);
}

bool HostNetRec(std::span<std::uint8_t> record) {
  if (record.size() < kDaRecHeaderSize) return false;
  const DaCvtEntry* entry = DaFindCvt(Load32(record.data() + offsetof(DaRecHeader, type)));
  if (entry == nullptr || record.size() < entry->minLength) return false;
  entry->hostNet(record.data());
  SwapWords(record.data(), kDaRecConvertedWords);
  return true;
}

bool NetHostRec(std::span<std::uint8_t> room) {
  if (room.size() < kDaRecHeaderSize) return false;
  SwapWords(room.data(), kDaRecConvertedWords);
  const std::uint32_t length = Load32(room.data() + offsetof(DaRecHeader, length));
  const DaCvtEntry* entry = DaFindCvt(Load32(room.data() + offsetof(DaRecHeader, type)));
  if (entry == nullptr || length < entry->minLength || length > room.size()) return false;
  entry->netHost(room.data());
  return true;
}
