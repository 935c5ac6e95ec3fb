// Record writers of the backup side. Each builds one record of the data
// stream in the current block of the installed block writer and commits it.
// They return 1 on success and 0 on failure, whose cause has been reported.
#pragma once

#include <cstdint>

#include "vekdf/dablock.h"
#include "vekdf/daformat.h"

// What the writers read of an item. Texts are borrowed for the call.
struct DaItemAttr {
  std::uint32_t itemId;
  std::uint32_t fileType;    // kDaFile...
  std::uint32_t attributes;  // item attribute word, carried unchanged
  const char* name;          // null: empty
  const char* longName;      // used instead of name when not null
  std::uint64_t size;
  std::uint64_t quantity;  // second item quantity, carried unchanged
  std::uint32_t uid;
  std::uint32_t gid;
  std::uint32_t mode;     // permission bits; 16 travel
  std::uint32_t time[4];  // time[kDaAttrModifyTime] is the modification time
  std::uint32_t reserved;
  std::uint8_t extra[32];  // travels as given
  const char* errorText;   // text of an error record; null: empty
};

// The encryption library's call that fills the metadata of the object being
// encrypted: (handle, 81-byte record), non-zero on success. The library is
// bound at run time; until a call is installed RmCreateObjEncryptRec fails
// for any handle.
using DaeRecvEncryptMetaDataFn = int (*)(void* handle, unsigned char* meta);
// Installs the call (null: none) and returns the previous one.
DaeRecvEncryptMetaDataFn RmSetDaeRecvEncryptMetaData(DaeRecvEncryptMetaDataFn fn);

// The block writer the record writers use (null: none, every writer fails).
// The caller keeps it alive while installed. Returns the previous one.
DaBlockWriter* RmSetBlockWriter(DaBlockWriter* writer);
DaBlockWriter* RmGetBlockWriter();

// Start record (type 0); the record sequence number starts again at 0. Null
// texts are written empty; together they must fit the record's 16-bit
// offsets.
int RmWriteStart(std::uint32_t daId, std::uint32_t startTime, std::uint32_t sinceTime,
                 std::uint32_t objType, std::uint32_t backupType, std::uint32_t accessType,
                 std::uint32_t accessValue, std::uint32_t protType, std::uint32_t protValue,
                 const char* objName, const char* objDesc, const char* appName,
                 const char* appDesc);
// Attribute record of `recType` (DA_REC_OBJ_ATTR or DA_REC_OBJ_NOCAT).
int RmWriteObjAttribute(int recType, const DaItemAttr& attr);
// RmWriteObjAttribute with DA_REC_OBJ_ATTR.
int RmWriteObjAttr(const DaItemAttr& attr);
// Reserves a data record for 1 to `wanted` data bytes; returns where the data
// goes and their room in *granted, or null. The record is committed by
// RmWriteObjData with that address; another writer call gives it up.
std::uint8_t* RmGetObjDataBuf(std::uint32_t wanted, std::uint32_t* granted);
// Fills the header in front of `data` (from RmGetObjDataBuf) and commits the
// record of `length` data bytes (at most the room granted).
int RmWriteObjData(std::uint8_t* data, std::uint32_t itemId, std::uint32_t length,
                   std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t compressionId,
                   std::uint32_t transformId);
// Error record (type 4) with the item's id and error text.
int RmWriteObjErr(const DaItemAttr& item, std::uint32_t code);
// Item end record (type 5).
int RmWriteObjEnd(const DaItemAttr& item, std::uint32_t code);
// End record (type 6); callers pass 0 as `fifth`.
int RmWriteEnd(std::uint32_t daId, std::uint32_t startTime, std::uint32_t endTime,
               std::uint32_t code, std::uint32_t fifth);
// Padding record (type 7): a header and up to `wanted` bytes of kDaNullFill,
// as many as the current block has room for.
int RmWriteNull(std::uint32_t wanted);
// Encryption record (type 11) of `meta`; the key travels only as its CRC-32.
// `attr` is not read.
int RmWriteObjEncrypt(const DaItemAttr* attr, const DaeMetaData& meta);
// Asks the encryption library for the metadata of `handle` and writes the
// encryption record. A null handle writes nothing and succeeds.
int RmCreateObjEncryptRec(const DaItemAttr* attr, void* handle);
