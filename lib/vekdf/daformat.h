// Data stream layout: the 64-byte block header, the 32-byte record header and
// the body of every record type, shared by the record writers and the readers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// ---- Block ------------------------------------------------------------------
// A block fills one data buffer: the header, then records from byte 64. All
// numeric fields travel big-endian; records are 8-aligned from the block start.

inline constexpr std::uint32_t kDaBlkMagic = 0xBBBBBBBBu;
inline constexpr std::uint32_t kDaBlkTag = 0x41424344u;  // reads "ABCD" on the wire
inline constexpr std::uint32_t kDaBlkVersion = 1001;
inline constexpr std::uint32_t kDaBlkHeaderSize = 64;
inline constexpr std::uint32_t kDaBlkConvertedWords = 11;  // words 11 to 15 stay zero bytes
inline constexpr std::uint32_t kDaAlign = 8;

struct DaBlkHeader {
  std::uint32_t magic;     // kDaBlkMagic
  std::uint32_t tag;       // kDaBlkTag
  std::uint32_t daId;      // the stream's id given by the session manager
  std::uint32_t zero3;     // 0
  std::uint32_t one;       // 1
  std::uint32_t version;   // kDaBlkVersion
  std::uint32_t blkSeqNo;  // 0 for the stream's first block, +1 per block sent
  std::uint32_t capacity;  // bytes of the block, header included
  std::uint32_t used;      // offset just past the last record, header included
  std::uint32_t zero9;
  std::uint32_t zero10;
  std::uint32_t reserved[5];  // zero, not converted
};
static_assert(sizeof(DaBlkHeader) == kDaBlkHeaderSize);
static_assert(offsetof(DaBlkHeader, blkSeqNo) == 24);
static_assert(offsetof(DaBlkHeader, capacity) == 28);
static_assert(offsetof(DaBlkHeader, used) == 32);
static_assert(offsetof(DaBlkHeader, reserved) == sizeof(std::uint32_t) * kDaBlkConvertedWords);

// ---- Record header ----------------------------------------------------------

inline constexpr std::uint32_t kDaRecMagic = 0xAAAAAAAAu;
inline constexpr std::uint32_t kDaRecVersion = 1002;
// Records of this version and older carry only the low half of a data length.
inline constexpr std::uint32_t kDaRecVersionShortLength = 1001;
inline constexpr std::uint32_t kDaRecHeaderSize = 32;
inline constexpr std::uint32_t kDaRecConvertedWords = 6;  // bytes 24 to 31 stay as they are

struct DaRecHeader {
  std::uint32_t magic;    // kDaRecMagic
  std::uint32_t type;     // DaRecType
  std::uint32_t format;   // the type's format word
  std::uint32_t version;  // kDaRecVersion
  std::uint32_t seqNo;    // 0 for an object's start record, then +1 per record
  std::uint32_t length;   // bytes, header included
  std::uint32_t reserved[2];
};
static_assert(sizeof(DaRecHeader) == kDaRecHeaderSize);
static_assert(offsetof(DaRecHeader, seqNo) == 16);
static_assert(offsetof(DaRecHeader, length) == 20);
static_assert(offsetof(DaRecHeader, reserved) == sizeof(std::uint32_t) * kDaRecConvertedWords);

enum DaRecType : int {
  DA_REC_START = 0,
  DA_REC_OBJ_ATTR = 1,
  DA_REC_OBJ_SYS = 2,
  DA_REC_OBJ_DATA = 3,
  DA_REC_OBJ_ERR = 4,
  DA_REC_OBJ_END = 5,
  DA_REC_END = 6,
  DA_REC_NULL = 7,
  DA_REC_OBJ_NT_ATTR = 8,
  kDaRecDataOther = 9,  // laid out and converted as data; readers skip it
  DA_REC_OBJ_NT_NOCAT = 10,
  DA_REC_OBJ_CRYPT = 11,
  DA_REC_OBJ_NOCAT = 12,
};

// Format words the writers put into word 2.
inline constexpr std::uint32_t kDaFmtStart = 7;
inline constexpr std::uint32_t kDaFmtAttr = 10;
inline constexpr std::uint32_t kDaFmtSys = 22;
inline constexpr std::uint32_t kDaFmtData = 7;
inline constexpr std::uint32_t kDaFmtErr = 7;
inline constexpr std::uint32_t kDaFmtObjEnd = 7;
inline constexpr std::uint32_t kDaFmtEnd = 10;
inline constexpr std::uint32_t kDaFmtNull = 7;
inline constexpr std::uint32_t kDaFmtCrypt = 3;

// A text inside a record: its length with the NUL, and its offset from the
// record start.
struct DaStrRef {
  std::uint16_t length;
  std::uint16_t offset;
};

// ---- Record bodies (every struct starts with the record header) ---------------

// Type 0; the four texts follow back to back, each with its NUL.
struct DaRecStart {
  DaRecHeader h;
  std::uint32_t daId;
  std::uint32_t objType;
  std::uint32_t backupType;
  std::uint32_t accessType;
  std::uint32_t accessValue;
  std::uint32_t protType;
  std::uint32_t protValue;
  std::uint32_t startTime;
  std::uint32_t sinceTime;
  DaStrRef objName;
  DaStrRef objDesc;
  DaStrRef appName;
  DaStrRef appDesc;
  std::uint8_t reserved[32];  // not converted
};
static_assert(sizeof(DaRecStart) == 116);
static_assert(offsetof(DaRecStart, daId) == 32);
static_assert(offsetof(DaRecStart, sinceTime) == 64);
static_assert(offsetof(DaRecStart, objName) == 68);
static_assert(offsetof(DaRecStart, appDesc) == 80);
static_assert(offsetof(DaRecStart, reserved) == 84);

// File types of an attribute record.
inline constexpr std::uint32_t kDaFileDirectory = 1;
inline constexpr std::uint32_t kDaFileRegular = 2;
inline constexpr std::uint32_t kDaFileFifo = 3;
inline constexpr std::uint32_t kDaFileBlockDevice = 4;
inline constexpr std::uint32_t kDaFileCharDevice = 5;
inline constexpr std::uint32_t kDaFileSymlink = 6;
inline constexpr std::uint32_t kDaFileSocket = 7;

// Index of the modification time among the four time words.
inline constexpr int kDaAttrModifyTime = 2;

// Types 1 and 12; the item name follows.
struct DaRecAttr {
  DaRecHeader h;
  std::uint32_t itemId;
  std::uint32_t fileType;
  std::uint32_t attributes;  // item attribute word, carried unchanged
  std::uint16_t uidLow;
  std::uint16_t gidLow;
  std::uint16_t mode;  // permission bits
  std::uint8_t reserved50[2];
  std::uint32_t time[4];  // only kDaAttrModifyTime is written; the others travel as 0
  std::uint32_t sizeLow;
  std::uint32_t quantityLow;  // second 64-bit item quantity
  DaStrRef name;
  std::uint32_t reserved80;  // written 0
  std::uint16_t uidHigh;
  std::uint16_t gidHigh;
  std::uint32_t sizeHigh;
  std::uint32_t quantityHigh;
  std::uint8_t reserved96[20];
  std::uint8_t extra[32];  // copied as given, not converted
};
static_assert(sizeof(DaRecAttr) == 148);
static_assert(offsetof(DaRecAttr, uidLow) == 44);
static_assert(offsetof(DaRecAttr, mode) == 48);
static_assert(offsetof(DaRecAttr, time) == 52);
static_assert(offsetof(DaRecAttr, sizeLow) == 68);
static_assert(offsetof(DaRecAttr, name) == 76);
static_assert(offsetof(DaRecAttr, reserved80) == 80);
static_assert(offsetof(DaRecAttr, uidHigh) == 84);
static_assert(offsetof(DaRecAttr, quantityHigh) == 92);
static_assert(offsetof(DaRecAttr, extra) == 116);

// Types 8 and 10, written elsewhere and only read here: sixteen words and six
// half words; the name is UTF-16 at the offset in half word kDaNtNameOffset.
inline constexpr int kDaNtItemId = 0;
inline constexpr int kDaNtAttrBits = 2;
inline constexpr int kDaNtFileType = 3;
inline constexpr int kDaNtAttributes = 4;
inline constexpr int kDaNtKeptFirst = 5;  // six words kept with the item unchanged
inline constexpr int kDaNtKeptCount = 6;
inline constexpr int kDaNtModifyTime = 11;
inline constexpr int kDaNtSizeLow = 13;
inline constexpr int kDaNtSizeHigh = 14;
inline constexpr int kDaNtNameOffset = 3;
struct DaRecNtAttr {
  DaRecHeader h;
  std::uint32_t word[16];
  std::uint16_t half[6];
};
static_assert(sizeof(DaRecNtAttr) == 108);
static_assert(offsetof(DaRecNtAttr, word) + sizeof(std::uint32_t) * kDaNtModifyTime == 76);
static_assert(offsetof(DaRecNtAttr, word) + sizeof(std::uint32_t) * kDaNtSizeHigh == 88);
static_assert(offsetof(DaRecNtAttr, half) + sizeof(std::uint16_t) * kDaNtNameOffset == 102);

// Transform ids of a data record.
inline constexpr std::uint32_t kDaTransformNone = 0;
inline constexpr std::uint32_t kDaTransformEncrypted = 3;

// Types 3 and 9; the data follows at dataOffset.
struct DaRecData {
  DaRecHeader h;
  std::uint32_t itemId;
  std::uint32_t offsetLow;  // item offset of the first data byte
  std::uint32_t offsetHigh;
  std::uint16_t lengthLow;
  std::uint16_t dataOffset;
  std::uint32_t compressionId;
  std::uint32_t transformId;
  std::uint16_t lengthHigh;  // read only from records newer than kDaRecVersionShortLength
  std::uint16_t reserved58;  // converted
  std::uint8_t reserved60[28];
};
static_assert(sizeof(DaRecData) == 88);
static_assert(offsetof(DaRecData, lengthLow) == 44);
static_assert(offsetof(DaRecData, dataOffset) == 46);
static_assert(offsetof(DaRecData, transformId) == 52);
static_assert(offsetof(DaRecData, lengthHigh) == 56);
inline constexpr std::uint32_t kDaDataHeaderSize = sizeof(DaRecData);

// Type 4; the error text follows.
struct DaRecErr {
  DaRecHeader h;
  std::uint32_t itemId;
  std::uint32_t code;
  DaStrRef text;
  std::uint8_t reserved[20];
};
static_assert(sizeof(DaRecErr) == 64);
static_assert(offsetof(DaRecErr, text) == 40);

// Type 5.
struct DaRecObjEnd {
  DaRecHeader h;
  std::uint32_t itemId;
  std::uint32_t code;  // completion code of the item
  std::uint8_t reserved[24];
};
static_assert(sizeof(DaRecObjEnd) == 64);

// Type 6.
struct DaRecEnd {
  DaRecHeader h;
  std::uint32_t daId;
  std::uint32_t startTime;
  std::uint32_t endTime;
  std::uint32_t code;  // completion code of the object
  std::uint32_t fifth;
  std::uint8_t reserved[28];
};
static_assert(sizeof(DaRecEnd) == 80);
static_assert(offsetof(DaRecEnd, fifth) == 48);

// Type 7: the header and a body of kDaNullFill bytes.
inline constexpr std::uint8_t kDaNullFill = 'x';

// Type 2: not converted beyond its header; the body stays in the writer's
// byte order. The data follows at byte 64.
struct DaRecSys {
  DaRecHeader h;
  std::uint32_t kind;
  std::uint16_t length;
  std::uint16_t offset;
  std::uint8_t reserved[24];
};
static_assert(sizeof(DaRecSys) == 64);
static_assert(offsetof(DaRecSys, length) == 36);
static_assert(offsetof(DaRecSys, offset) == 38);

// An encryption metadata record as the encryption library fills and takes it:
// a kind byte, three 16-byte fields and a 32-byte key of which only the CRC-32
// travels in the stream.
inline constexpr std::size_t kDaeMetaDataSize = 81;
inline constexpr std::size_t kDaeFieldSize = 16;
inline constexpr std::size_t kDaeMetaFirst = 1;    // travels as field B
inline constexpr std::size_t kDaeMetaSecond = 17;  // travels as field A
inline constexpr std::size_t kDaeMetaThird = 33;   // travels as field C
inline constexpr std::size_t kDaeMetaKey = 49;
inline constexpr std::size_t kDaeKeySize = 32;
using DaeMetaData = std::array<std::uint8_t, kDaeMetaDataSize>;

// A field of an encryption record: offset from the record start and length.
struct DaFieldRef {
  std::uint32_t offset;
  std::uint32_t length;
};

// Type 11, 144 bytes; zeroed before it is filled.
struct DaRecCrypt {
  DaRecHeader h;
  std::uint16_t kind;  // metadata byte 0
  std::uint16_t one;   // 1
  DaFieldRef fieldA;   // metadata bytes 17-32
  DaFieldRef fieldB;   // metadata bytes 1-16
  DaFieldRef fieldC;   // metadata bytes 33-48
  std::uint32_t keyCrc;
  std::uint8_t zero[32];
  std::uint8_t a[kDaeFieldSize];  // not converted
  std::uint8_t b[kDaeFieldSize];
  std::uint8_t c[kDaeFieldSize];
};
static_assert(sizeof(DaRecCrypt) == 144);
static_assert(offsetof(DaRecCrypt, fieldA) == 36);
static_assert(offsetof(DaRecCrypt, fieldC) == 52);
static_assert(offsetof(DaRecCrypt, keyCrc) == 60);
static_assert(offsetof(DaRecCrypt, a) == 96);
static_assert(offsetof(DaRecCrypt, c) == 128);

// ---- Byte order ----------------------------------------------------------------
// Conversion reverses each field of its width on a little-endian host (and is
// a no-op on a big-endian one), so one function serves both directions.

// Converts words 0 to 10 of the 64 header bytes at `header`.
void HostNetBlkHeader(std::uint8_t* header);
void NetHostBlkHeader(std::uint8_t* header);

// Converts a record in host order: its body by its type's converter, then
// header words 0 to 5. `record` spans the record's length. False, with
// nothing converted, when the type has no converter or the record is shorter
// than the type's fixed part.
bool HostNetRec(std::span<std::uint8_t> record);
// Converts header words 0 to 5 of the record at the start of `room` (the rest
// of the block), then its body by the type now readable. False when `room` is
// shorter than a record header (nothing converted), or when the type is
// unknown or the header's length lies outside [fixed part, room] (only the
// header converted). RbmCheckDArec fails such a record.
bool NetHostRec(std::span<std::uint8_t> room);

// A type's converters: both directions, and the length of the type's fixed
// part, which every record of the type must have.
using DaCvtFn = void (*)(std::uint8_t* record);
struct DaCvtEntry {
  int type;
  DaCvtFn hostNet;
  DaCvtFn netHost;
  std::uint32_t minLength;
};
// Ended by an entry of type -1.
extern const DaCvtEntry cvtTypeTbl[];
// The entry of `type`, or null.
const DaCvtEntry* DaFindCvt(std::uint32_t type);

// Next multiple of kDaAlign at or above `n` (64-bit, so no wrap).
constexpr std::uint64_t DaAlignUp(std::uint64_t n) {
  return (n + kDaAlign - 1) & ~static_cast<std::uint64_t>(kDaAlign - 1);
}
