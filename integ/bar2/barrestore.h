// Restore sessions, objects and items: the session start and end, the object
// request and the object's restore data path, and the item calls that walk
// the stored records of each item back to its attributes and data.
#pragma once

#include <cstdint>
#include <span>

#include "bar2/bar2.h"
#include "barutil/queryrec.h"

// Opens the restore session for `barlist` (VEK_StartRestoreEx with only the
// barlist); the result is also the context's last code.
int VEK_StartRestore(BarContext* ctx, const char* barlist);
// 0, -2, -5, -8, -21.
int VEK_StartRestoreEx(BarContext* ctx, const SessionConnectOptions* options);
// Asks the session manager for the object version and opens its restore data
// path. 0, -1, -2, -4, -5, -17, -21.
int VEK_StartObjectRestoreEx(BarContext* ctx, const char* objectName, const char* sessionId,
                             const char* tree, int versionId);
// Steps to the next item: fills `item` from its attribute record and, when
// both `attrBuffer` and `attrSize` are given, copies its extended attributes
// into `attrBuffer`, which must hold kBarExtAttrMax bytes, and their count
// into *attrSize (0 when the item has none); *attrSize is not read. `name`
// must be null. 0; -6 when the object has no further item; -2, -4, -5, -21.
int VEK_StartItemRestoreEx(BarContext* ctx, const char* name, VEK_Item* item, void* attrBuffer,
                           int* attrSize);
// Reads up to `length` bytes of the item's data; the count (0 once the
// item's data has ended, and for a length of 0), or -2, -4 (also a negative
// length), -5, -21.
int VEK_ReadItemData(BarContext* ctx, void* buffer, int length);
// Push form: `write`(data, length, ctx) gets the item's data record by
// record, with the integration context (the caller's own state must be
// reachable from elsewhere, as with VEK_BackupItemCB); it returns a count, 0
// when it wants no more data, a negative value on failure. 0, -2, -4, -5, -7 (the callback failed),
// -21.
using VekWriteCallback = int (*)(const void* data, int length, void* context);
int VEK_RestoreItemCB(BarContext* ctx, VekWriteCallback write);
// Walks to the item's end record; its completion code goes to *code (may be
// null), never 0 for an item error record. 0; -1 no record; -6 the object's end; -2, -5, -21.
int VEK_EndItemRestore(BarContext* ctx, int* code);
// Ends the object (stop for code 0, else abort) and opens the restore
// session again; that result, or -5, -21.
int VEK_EndObjectRestore(BarContext* ctx, int code);
// Ends the session: stop for code 0, else abort. 0, -5, -21.
int VEK_EndRestore(BarContext* ctx, int code);

// The readers of the two attribute record forms (`record` in host order, as
// VEK_RbmNextRecord gives it). Both clear `item`, then fill its id, its size,
// its modification time, its permission bits (mode), its file type (number2)
// and its attribute word (number9); the plain form (types 1 and 12) also the
// owner and group and its second quantity (number10). The name goes whole
// into the context's item name and, cut to 1023 characters, into item->name;
// the other form's (types 8 and 10) UTF-16 name is converted first. 0, or -2
// for a record that does not hold together.
int VEK_ReadObjAttr(BarContext* ctx, std::span<const std::uint8_t> record, VEK_Item* item);
int VEK_ReadNtObjAttr(BarContext* ctx, std::span<const std::uint8_t> record, VEK_Item* item);
