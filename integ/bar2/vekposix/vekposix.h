// File items: the bytes of one open file as the data of the current backup
// item, and the data of the current restore item written back to a file.
#pragma once

#include <cstdint>

#include "bar2/bar2.h"
#include "vekdf/rm.h"

// Reads `fd` to its end into the item opened with VEK_StartItemBackup
// (mode 4), in records of up to 1 MiB (compressed when the object asks for
// it). *size gets the bytes read. 0; -21 no context, -5 wrong mode, -4 bad
// descriptor or size, -7 a read of the file failed, -2 the data path failed.
// A refused call is written to debug.log with the stack that made it; an
// error still marked from before the call is cleared.
int VEK_BackupFileItem(BarContext* ctx, int fd, std::int64_t* size);
// Writes the data of the current restore item (mode 7) to `fd` up to its end
// record, which stays current for VEK_EndItemRestore. With the session's
// sparse flag zero runs become holes and the file still gets its whole
// length. *size gets the item's bytes. 0; -21, -5, -4 as above, -7 a write
// failed, -2 the data path failed or a record belongs to another item.
int VEK_RestoreFileItem(BarContext* ctx, int fd, std::int64_t* size);
// The compressing read of VEK_BackupFileItem: the compression call's result;
// -21 without a context.
int BackupFileItemCompress(BarContext* ctx, int fd);
// Codec callbacks of the two calls (user argument: the context): the bytes
// read from, or written to, the file of the call in progress. The read gives
// 0 at the end and after a read error (which the call then reports); both
// give -21 without a context.
int BFileDcRead(void* buffer, int size, void* context);
int RFileDcWrite(void* data, int length, void* context);
// The fragment size of the file system holding `path`; 1 when unknown.
int GetBlockSize(const char* path);
// Backs up the file at `path` as a whole item of the open object (mode 3):
// *item (its name set by the caller) gets the file's attributes, the item is
// started, filled and ended. With `aligned` set every read is a multiple of
// the file system's block size. 0 or the first failing call's code; -7 when
// the file cannot be opened or read.
int VEK_BackupFileItemAl(BarContext* ctx, const char* path, DaItemAttr* item, int aligned);
