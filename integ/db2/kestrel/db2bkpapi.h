// DB2's backup call and the contexts the agent uses around it, with the
// parameter blocks they take. Plain C layout that must match DB2's.
#pragma once

#include <cstdint>

#include "db2/db2api.h"

extern "C" {

// Own DB2 context of the calling process for the calls that follow.
int sqleBeginCtx(void** context, std::int32_t options, void* reserved, sqlca* ca);
int sqleEndCtx(void** context, std::int32_t options, void* reserved, sqlca* ca);

// One table space of a backup: a name of at most 18 characters.
struct sqlu_tablespace_entry {
  std::uint32_t reserve_len;
  char tablespace_entry[19];
  char filler[1];
};
struct sqlu_tablespace_bkrst_list {
  std::int32_t num_entry;
  sqlu_tablespace_entry* tablespace;
};
static_assert(sizeof(sqlu_tablespace_entry) == 24);

// The vendor library DB2 loads: `shr_lib` its path.
struct sqlu_vendor {
  std::uint32_t reserve_len1;
  char shr_lib[256];
  std::uint32_t reserve_len2;
  char filename[256];
};
static_assert(sizeof(sqlu_vendor) == 520);

enum : char { SQLU_OTHER_MEDIA = 'O' };
struct sqlu_media_list {
  char media_type;
  char filler[3];
  std::int32_t sessions;
  union {
    void* media;
    sqlu_vendor* vendor;
  } target;
};

enum : std::uint32_t { SQLUB_BACKUP = 0, SQLUB_PARM_CHECK_ONLY = 11 };
// The table-space bits of a backup type.
inline constexpr std::uint32_t kSqlubTablespaces = 3;
// The utility heap is too small for the buffers asked for.
inline constexpr int kSqlUtilHeapTooSmall = -2009;
// A backup that DB2 reports done with a warning about its image.
inline constexpr int kSqlBackupWarning = -2066;

// Backs up `alias` on the attach partition through the media list.
// `applicationId` takes 33 bytes, `timestamp` 15, `backupSize` one word (MB).
int sqlubkp(const char* alias, std::uint32_t bufferSize, std::uint32_t backupMode,
            std::uint32_t backupType, std::uint32_t callerAction, char* applicationId,
            char* timestamp, std::uint32_t numBuffers, sqlu_tablespace_bkrst_list* tableSpaces,
            sqlu_media_list* media, const char* user, const char* password, void* reserved1,
            std::uint32_t vendorOptionsSize, void* vendorOptions, std::uint32_t parallelism,
            std::uint32_t* backupSize, void* reserved2, void* reserved3, sqlca* ca);

}  // extern "C"
