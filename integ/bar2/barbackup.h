// Backup sessions, objects and items: the session start and end, the object
// request and the object's data path, and the item calls that pack item
// attributes and data into records.
#pragma once

#include <cstdint>

#include "bar2/bar2.h"
#include "vekdf/rm.h"

// The fifth argument of VEK_StartObjectBackupEx; null: flags 1, all else empty.
inline constexpr unsigned kObjOptBalancing = 0x20;
struct ObjectBackupOptions {
  unsigned flags;
  const char* extOpts;     // external option text
  const char* resType;     // at most 255 characters
  const char* mapLibName;  // at most 500
  const char* mapShmName;  // at most 500
  const char* trees;       // tree text
  const char* deviceFilter;
};

inline constexpr int kBarBackupTypeMax = 27;
// Backup types that register the object but open no data path.
inline constexpr int kBarBackupNoData1 = 15;
inline constexpr int kBarBackupNoData2 = 16;
// Room the start record needs besides the description.
inline constexpr int kBarDescriptionReserve = 1639;
inline constexpr int kBarMaxRecSize = 1048576;
inline constexpr int kBarExtAttrOffset = 64;
inline constexpr std::size_t kBarItemNameMax = 1023;

// Opens (or re-attaches) the backup session for `barlist`. 0, -4, -5, -8, -2, -21.
int VEK_StartBackup(BarContext* ctx, const char* barlist);
// Asks the session manager for the object, opens its data path and writes
// its start record. 0, -2, -3, -4, -5, -17, -21.
int VEK_StartObjectBackupEx(BarContext* ctx, int backupType, const char* objectName,
                            const char* const* trees, const ObjectBackupOptions* options);
// Starts an item: its attribute record (`flags` bit 0: not for the catalogue)
// and, with `extAttrSize` 1 to 1024, its extended-attribute record. The
// item's id field receives the item id. 0, -2, -4, -5, -21.
int VEK_StartItemBackup(BarContext* ctx, DaItemAttr* item, const void* extAttr, int extAttrSize,
                        int flags);
int VEK_WriteObjAttr(BarContext* ctx, DaItemAttr* item, int flags);
// Fills an extended-attribute record of `recSize` bytes (at least 64 + size).
// 1, or 0 when it does not fit.
int VEK_SetDAExtAttrRec(std::uint8_t* record, std::uint32_t recSize, std::uint32_t itemId,
                        const void* attr, std::uint32_t size);
// Copies item data into data records; a partly filled record stays pending.
// `length`, or -2, -4, -5, -21.
int VEK_WriteItemData(BarContext* ctx, const void* buffer, int length);
// Zero copy: the caller put `length` bytes at base + offset of the local
// media agent's buffer `base` (shared memory `key`, `shmSize` bytes, which
// must be the block size). The mode, `base` and the offset and length are
// checked first; with a remote media agent the bytes are then copied with
// VEK_WriteItemData, whatever `key` and `shmSize` say. `length`, or -2, -4,
// -5, -21.
int VEK_WriteItemData_NMC(BarContext* ctx, int key, char* base, int offset, int shmSize,
                          int length);
// Pull-through form: `read`(buffer, room, ctx) fills a record; 0 ends the data.
using VekReadCallback = int (*)(void* buffer, int room, void* context);
int VEK_BackupItemCB(BarContext* ctx, VekReadCallback read);
// Writes the pending record and the item end record. 0, -2, -5, -21.
int VEK_EndItemBackup(BarContext* ctx, int code);
// An item with only a name and a portable file type, no data, code 0.
int VEK_BackupEmptyItem(BarContext* ctx, const char* itemName, int fileType);
// Ends the object: end record, flush, data path closed, stop or abort to the
// session manager, then the session re-attached. 0 only when the code was 0
// and every step and the restart worked; else -2 (-5 wrong mode, -21).
int VEK_EndObjectBackup(BarContext* ctx, int code);
// The short forms: the object name composed with VEK_ObjectnameEx (or given
// whole), the device filter from VEKDEVICEFILTER, no external options and no
// tree list.
int VEK_StartObjectBackup(BarContext* ctx, int objType, const char* host, const char* name,
                          int backupType, const char* trees, const char* resType, unsigned flags,
                          const char* mapLibName, const char* mapShmName);
int VEK_StartObjectBackupFullName(BarContext* ctx, const char* fullName, int backupType,
                                  const char* trees, const char* resType, unsigned flags,
                                  const char* mapLibName, const char* mapShmName);
// Object names "TT host:name // appType": an empty host is this host, a null
// name empty, a null application type the context's. Kept in the context and
// overwritten by the next call; null without a context or for a name that
// would not parse back.
const char* VEK_Objectname(const char* name, const char* host);
const char* VEK_ObjectnameEx(int type, const char* host, const char* name, const char* appType);
// The name of `backupType` in the backup-type table of the context's
// application type ("-full", "-incr", ...), or "<unknown>" when that table
// has no name for it or there is no context. A constant text.
const char* VEK_BackupTypeToText(BarContext* ctx, int backupType);
// Ends the session: stop for code 0, else abort. 0, -5, -21.
int VEK_EndBackup(BarContext* ctx, int code);

// The description cut: cuts `text` (NUL-ended, in place) to `room`
// characters, then back to its last CR, else LF, else blank. Returns the
// new length; *trimmed 0 when none of the three was found.
int BarCutDescription(char* text, int room, int* trimmed);

struct VEK_Stat;
// Copies a portable file status into an item descriptor: file type, mode,
// owner, group, size (into both size fields) and modification time. The
// name and id stay as they are. 0; -4 for a null argument.
int VEK_StatToItem(const VEK_Stat* stat, DaItemAttr* item);
