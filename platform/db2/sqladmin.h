// Administrative calls of the stand-in DB2 and their structures: instance
// attach, connection settings, contexts, the database directory, table-space
// and container queries, backup, restore, roll-forward and message texts.
// Every call writes its result into the sqlca it is given; any call can be
// made to fail with a chosen SQLCODE by a fault setting (db2/faults.h).
#pragma once

#include <cstdint>

extern "C" {

// Result area of every call: `sqlcode` 0 success, negative error, positive
// warning; `sqlstate` five characters, not NUL-terminated.
struct sqlca {
  char sqlcaid[8];
  std::int32_t sqlcabc;
  std::int32_t sqlcode;
  std::int16_t sqlerrml;
  char sqlerrmc[70];
  char sqlerrp[8];
  std::int32_t sqlerrd[6];
  char sqlwarn[11];
  char sqlstate[5];
};

// --- memory, attach, settings, contexts ---------------------------------

// Frees memory the stand-in handed out (table-space and container lists).
int sqlefmem_api(sqlca* ca, void* memory);
// Attaches this process to `instance`; user and password may be null (the
// instance then takes the process's own account).
int sqleatin_api(const char* instance, const char* user, const char* password, sqlca* ca);
int sqledtin_api(sqlca* ca);

enum { SQL_CONNECT_NODE = 7, SQL_ATTACH_NODE = 8 };
struct sqle_conn_setting {
  std::uint16_t type;
  std::uint16_t value;
};
// Sets the partition later connects and attaches go to.
int sqlesetc_api(sqle_conn_setting* settings, std::uint16_t count, sqlca* ca);

int sqleBeginCtx(void** context, std::int32_t options, void* reserved, sqlca* ca);
int sqleEndCtx(void** context, std::int32_t options, void* reserved, sqlca* ca);

// --- database directory ---------------------------------------------------

// One entry of the system database directory. Names are blank-padded to 8
// characters, not NUL-terminated. `type` '0' is a local database.
struct sqledinfo {
  char alias[8];
  char dbname[8];
  char drive[215];
  char intname[8];
  char nodename[8];
  char dbtype[20];
  char comment[30];
  std::int16_t com_codepage;
  char type;
  std::uint16_t authentication;
  char glbdbname[255];
  char dceprincipal[1024];
  std::int16_t cat_nodenum;
  std::int16_t nodenum;
};

// Opens a scan of the directory (`path` empty or null: the system
// directory); `handle` and `count` are set. The entries stay valid until
// the scan is closed.
int sqledosd_api(const char* path, std::uint16_t* handle, std::uint16_t* count, sqlca* ca);
int sqledgne_api(std::uint16_t handle, sqledinfo** entry, sqlca* ca);
int sqledcls_api(std::uint16_t handle, sqlca* ca);

// --- table spaces and containers (of the connected database) -------------

struct SQLB_TBSPQRY_DATA {
  char tbspqver[8];
  std::uint32_t id;
  std::uint32_t nameLen;
  char name[128];
  std::uint32_t totalPages;
  std::uint32_t useablePages;
  std::uint32_t flags;
  std::uint32_t pageSize;
  std::uint32_t extSize;
  std::uint32_t prefetchSize;
  std::uint32_t nContainers;
  std::uint32_t tbsState;
};

struct SQLB_TBSCONTQRY_DATA {
  std::uint32_t id;
  std::uint32_t nTbs;
  std::uint32_t tbsID;
  std::uint32_t nameLen;
  char name[256];
  std::uint32_t underDBDir;
  std::uint32_t contType;
  std::uint32_t totalPages;
  std::uint32_t useablePages;
  std::uint32_t ok;
};

enum { SQLB_RESERVED1 = 0xFFFD, SQLB_RESERVED2 = 0xFFFE };
enum { SQLB_SET_CONT_INIT_STATE = 0, SQLB_SET_CONT_FINAL_STATE = 1 };

// All table spaces of the connected database on the connect partition: an
// array of `count` pointers, freed with sqlefmem_api.
int sqlbmtsq(sqlca* ca, std::uint32_t* count, SQLB_TBSPQRY_DATA*** data, std::uint32_t reserved1,
             std::uint32_t reserved2);
// Containers of one table space; `ok` is 1 when the container file exists.
// Freed with sqlefmem_api.
int sqlbtcq(sqlca* ca, std::uint32_t tableSpaceId, std::uint32_t* count,
            SQLB_TBSCONTQRY_DATA** containers);
// Redefines the containers of a table space (names only are used).
int sqlbstsc(sqlca* ca, std::uint32_t option, std::uint32_t tableSpaceId, std::uint32_t count,
             SQLB_TBSCONTQRY_DATA* containers);

// --- backup and restore ----------------------------------------------------

struct sqlu_tablespace_entry {
  std::uint32_t reserve_len;
  char tablespace_entry[19];
  char filler[1];
};
struct sqlu_tablespace_bkrst_list {
  std::int32_t num_entry;
  sqlu_tablespace_entry* tablespace;
};

// The vendor library a backup or restore loads: `shr_lib` its path.
struct sqlu_vendor {
  std::uint32_t reserve_len1;
  char shr_lib[256];
  std::uint32_t reserve_len2;
  char filename[256];
};
struct sqlu_media_entry {
  std::uint32_t reserve_len;
  char media_entry[216];
};
struct sqlu_location_entry {
  std::uint32_t reserve_len;
  char location_entry[256];
};

enum { SQLU_OTHER_MEDIA = 'O', SQLU_LOCAL_MEDIA = 'L' };
struct sqlu_media_list {
  char media_type;
  char filler[3];
  std::int32_t sessions;
  union {
    sqlu_media_entry* media;
    sqlu_vendor* vendor;
    sqlu_location_entry* location;
  } target;
};

enum { SQLUB_OFFLINE = 0, SQLUB_ONLINE = 1 };
enum { SQLUB_BACKUP = 0, SQLUB_PARM_CHECK_ONLY = 11 };
enum {
  SQLUD_RESTORE = 0,
  SQLUD_CONTINUE = 1,
  SQLUD_TERMINATE = 2,
  SQLUD_NOINTERRUPT = 3,
  SQLUD_RESTORE_STORDEF = 100
};

// Backs up the database `alias` on the attach partition through the vendor
// library of `media` (type 'O'), with `media->sessions` sessions.
// `applicationId` needs 33 bytes, `timestamp` 15, `backupSize` one word
// (megabytes). The vendor-options block is copied into every session.
int sqlubkp(const char* alias, std::uint32_t bufferSize, std::uint32_t backupMode,
            std::uint32_t backupType, std::uint32_t callerAction, char* applicationId,
            char* timestamp, std::uint32_t numBuffers, sqlu_tablespace_bkrst_list* tableSpaces,
            sqlu_media_list* media, const char* user, const char* password, void* reserved1,
            std::uint32_t vendorOptionsSize, void* vendorOptions, std::uint32_t parallelism,
            std::uint32_t* backupSize, void* reserved2, void* reserved3, sqlca* ca);

// Restores `source` (into `target` when given) from the image of
// `timestamp` on the attach partition.
int sqlurestore(const char* source, const char* target, std::uint32_t bufferSize,
                std::uint32_t rollforwardMode, std::uint32_t datalinkMode,
                std::uint32_t restoreType, std::uint32_t restoreMode, std::uint32_t callerAction,
                char* applicationId, const char* timestamp, const char* targetPath,
                std::uint32_t numBuffers, const char* reportFile,
                sqlu_tablespace_bkrst_list* tableSpaces, sqlu_media_list* media, const char* user,
                const char* password, const char* newLogPath, std::uint32_t vendorOptionsSize,
                void* vendorOptions, std::uint32_t parallelism, void* reserved1, void* reserved2,
                void* reserved3, sqlca* ca);

// --- roll-forward ----------------------------------------------------------

struct sqlurf_newlogpath {
  std::int32_t num_changes;
  void* changes;
};

struct rfwd_input {
  std::uint32_t version;
  char* pDbAlias;
  std::uint16_t CallerAction;
  char* pStopTime;
  char* pUserName;
  char* pPassword;
  char* pOverflowLogPath;
  std::uint16_t NumChngLgOvrflw;
  sqlurf_newlogpath* pChngLogOvrflw;
  std::uint16_t ConnectMode;
  sqlu_tablespace_bkrst_list* pTablespaceList;
  std::int16_t AllNodeFlag;
  std::int16_t NumNodes;
  void* pNodeList;
  std::int16_t NumNodeInfo;
  std::int16_t DlMode;
  char* pReportFile;
  char* pDroppedTblID;
  char* pExportDir;
};

struct sqlurf_info {
  std::int16_t nodenum;
  std::int32_t state;
  char nextarclog[13];
  char firstarcdel[13];
  char lastarcdel[13];
  char lastcommit[27];
};

struct rfwd_output {
  char* pApplicationId;
  std::int32_t* pNumReplies;
  sqlurf_info* pNodeInfo;
};

enum { SQLUM_ROLLFWD_STOP = 3 };
enum { SQLUM_OFFLINE = 0, SQLUM_ONLINE = 1 };

// Applies the logs of the database up to `pStopTime` (UTC
// "YYYY-MM-DD-hh.mm.ss.ffffff"), fetching missing ones through the
// instance's user exit, and ends the roll-forward-pending state.
int sqluroll_api(rfwd_input* input, rfwd_output* output, sqlca* ca);

// --- message texts -----------------------------------------------------------

// The text of the sqlca's SQLCODE, wrapped at `lineWidth`: its length, or a
// negative value when there is none or the buffer is too small.
int sqlaintp_api(char* buffer, std::int16_t bufferSize, std::int16_t lineWidth,
                 const char* messageFile, sqlca* ca);
// The text of a five-character SQLSTATE: its length, or negative.
int sqlogstt(char* buffer, std::int16_t bufferSize, std::int16_t lineWidth, char* sqlstate);

}  // extern "C"
