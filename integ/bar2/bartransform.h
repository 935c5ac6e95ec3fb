// Encoding, compression and encryption of object data: which transforms an
// object gets, starting and ending the codec libraries, the per-record
// transforms on the way to and from the data path, and the encryption record.
#pragma once

#include <cstdint>
#include <span>

#include "bar2/bar2.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "vekdf/rm.h"

// Bits of BarCodecs::codecsStarted.
inline constexpr int kBarCodecEncoding = 1;
inline constexpr int kBarCodecCompression = 2;

// Backup object start: clears every transform flag and id, takes the object's
// encode, encrypt (algorithm, 0 none) and compress requests, drops what the
// process cannot do or what clashes, and starts what is left (encoding,
// compression, then encryption). 0; -1 or -2 from the start that failed; -3
// when encryption is asked for but not available. Flags and ids of a failed
// start are left cleared, its started libraries ended.
int BarStartBackupTransforms(BarContext* ctx, int encode, int encrypt, int compress);
// Restore object start: clears the transforms, then starts the encoding and
// compression libraries as the process's capability allows. 0, -1 or -2.
int BarStartRestoreTransforms(BarContext* ctx);
// Object end (also on failure paths and context release): ends exactly the
// libraries that were started, then clears every transform flag and id.
void BarEndTransforms(BarContext* ctx);

// Encoding handshake; 0, or -1 with the encode flag and transform id cleared.
int VEK_InitEncoding(BarContext* ctx);
// Compression handshake; 0, or -2 with the compress flag and id cleared.
int VEK_InitCompression(BarContext* ctx);
// Starts encryption (encrypt 1) or decryption (0); makes the key entity when
// encrypting. 0; -2 (reported) when the library gives no handle.
int VEK_InitEncryption(BarContext* ctx, int encrypt);
// Ends encryption, forgets the key entity and the database id. 0.
int VEK_ExitEncryption(BarContext* ctx);
// Builds the key-entity name of the context into `out`; its length.
int BarKeyEntityName(const BarContext* ctx, char* out, std::size_t size);

// The filled data record of the current item (ctx->item.dataRecord from
// RmGetObjDataBuf with ctx->item.recSize bytes of room): encrypts or encodes
// `length` bytes in place and commits the record. The record is given up in
// every case. Non-zero on success, 0 on failure.
int VEK_BmWriteData(BarContext* ctx, int length, std::uint32_t offsetLow, std::uint32_t offsetHigh);
// The next restore record (host order, also kept as ctx->item.restoreRecord), its
// data already decrypted or decoded, or null at the end or on failure (the
// context's last code then says which: 0 the end). For a data record
// ctx->item.recSize and ctx->item.recSpaceLeft become its data length, else 0. Encrypted
// data without a checked key is a failure, never passed on.
std::uint8_t* VEK_RbmNextRecord(BarContext* ctx);

// Backup, after each attribute record while encrypting: a fresh key for the
// item and its encryption record. 0 or -2 (reported).
int VEK_WriteEncryptRecord(BarContext* ctx, const DaItemAttr* item);
// Restore: takes an encryption record (host order) into the library, fetches
// the key and checks it against the record's CRC. 0 or -2 (reported).
int VEK_ProcessEncryptMetaData(BarContext* ctx, std::span<const std::uint8_t> record);

// Compression callbacks (user argument: the context): item data written or
// read, the count; 0 on failure; -21 without context.
int BDcWrite(void* data, int length, void* context);
int RDcRead(void* buffer, int length, void* context);

// The key callback put into the start record (null: DaeGetKeyInfo). Returns
// the previous one.
using BarKeyCallback = int (*)(IpcHandle handle, char* buffer, DaKeyInfo* info, int action);
BarKeyCallback BarSetKeyCallback(BarKeyCallback fn);
