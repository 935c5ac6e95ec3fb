// The shared-memory buffers of a data stream as the media side describes
// them, and where each buffer and its block lie: the same rule on the backup
// and the restore side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"

// Buffers a stream may have; a description with more is refused (the
// network processes' buffer tables and id rings hold this many).
inline constexpr int kBmMaxBuffers = 64;

// The shared-memory description of a media agent (a network process's
// MSG_LISTEN has no address: 0).
struct BmShmDescription {
  int section;
  int key;
  std::uintptr_t address;
  int bufSize;
  int bufNum;
  int shmSize;
  int bufOffset;
};
// Null when the buffers described can be used by a stream of `side`:
// 1..kBmMaxBuffers buffers of a size that is a multiple of 8 and leaves room
// for a block header and a record behind the offset, all lying inside the
// segment where DaBufferStart puts them. Else the reason.
const char* BmCheckShmDescription(const BmShmDescription& description, DaSide side);

// Reads a media agent's description (section, key, address, buffer size,
// buffer count, segment size, buffer offset) from the parse of `msg` in
// progress, past its code. Null when all seven are numbers; else the reason.
const char* DaReadShmDescription(StrMsg* msg, BmShmDescription* description);
// DaReadShmDescription, then BmCheckShmDescription for `side`. Null when
// usable; else the reason.
const char* BmParseShmDescription(StrMsg* msg, BmShmDescription* description, DaSide side);

// Reads MSG_LISTEN's six items (key, segment size, section, buffer count,
// buffer size, buffer offset) from the parse of `msg` in progress, past its
// code; the address is 0. Null when all six are numbers; else the reason.
// The values are checked when the segment is attached.
const char* DaParseListen(StrMsg* msg, BmShmDescription* description);

// Bytes in front of a buffer's block: the buffer offset rounded up to 8.
int DaBlockSkip(int bufOffset);
// Where buffer `id` of a stream of `side` starts in its segment: for a
// backup buffer size x (section x buffer count + id), behind the buffers of
// the sections in front; for a restore buffer size x id, whatever the
// section (media agents fill restore buffers there). The caller has
// range-checked `id` against a description checked for the same side.
std::size_t DaBufferStart(const DaShmBuffers& shm, int id, DaSide side);
