// DB2's client interface as the agent and the configuration utility use it:
// the administrative calls (attach, connection settings, contexts, the
// database directory, table-space and container queries, backup, restore,
// roll-forward, message texts) and the call-level interface (handles,
// connect, diagnostics), with the structures they exchange. Plain C layout that must match DB2's
// byte for byte (the asserts at the end pin every offset). Memory DB2 hands out is freed with
// sqlefmem_api.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Result area of every administrative call: `sqlcode` 0 success, negative
// error, positive warning; `sqlstate` five characters, not NUL-terminated.
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

// SQLCODEs this integration tells apart.
inline constexpr int kSqlOk = 0;
inline constexpr int kSqlNoData = 100;
inline constexpr int kSqlContainerWarning = 1277;  // restore needs redefined containers
inline constexpr int kSqlDirEmpty = 1057;          // the database directory is empty
inline constexpr int kSqlDirEmptyError = -1031;    // the database directory is missing or empty
inline constexpr int kSqlNotStarted = -1032;       // the instance is not started

// --- memory, attach, connection settings -----------------------------------

int sqlefmem_api(sqlca* ca, void* memory);
// Attaches the process to `instance` with the credentials (null: the
// process's own account).
int sqleatin_api(const char* instance, const char* user, const char* password, sqlca* ca);
int sqledtin_api(sqlca* ca);

enum : std::uint16_t { SQL_CONNECT_NODE = 7, SQL_ATTACH_NODE = 8 };
struct sqle_conn_setting {
  std::uint16_t type;
  std::uint16_t value;
};
// Sets the partition later connects and attaches go to.
int sqlesetc_api(sqle_conn_setting* settings, std::uint16_t count, sqlca* ca);

// --- database directory -------------------------------------------------------

// One entry of a database directory. Names are blank-padded, not
// NUL-terminated; `type` '0' is a local database.
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

// Opens a scan (`path` empty: the system database directory); DB2 keeps
// each entry until the scan is closed.
int sqledosd_api(const char* path, std::uint16_t* handle, std::uint16_t* count, sqlca* ca);
int sqledgne_api(std::uint16_t handle, sqledinfo** entry, sqlca* ca);
int sqledcls_api(std::uint16_t handle, sqlca* ca);

// --- table spaces and containers of the connected database -------------------

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

enum : std::uint32_t { SQLB_RESERVED1 = 0xFFFD, SQLB_RESERVED2 = 0xFFFE };

// The table spaces on the connect partition: `count` pointers (sqlefmem_api).
int sqlbmtsq(sqlca* ca, std::uint32_t* count, SQLB_TBSPQRY_DATA*** data, std::uint32_t reserved1,
             std::uint32_t reserved2);
// The containers of one table space (sqlefmem_api).
int sqlbtcq(sqlca* ca, std::uint32_t tableSpaceId, std::uint32_t* count,
            SQLB_TBSCONTQRY_DATA** containers);

// --- contexts, container redefinition -----------------------------------------

// A DB2 context of the calling process's own (options 0).
int sqleBeginCtx(void** context, std::int32_t options, void* reserved, sqlca* ca);
int sqleEndCtx(void** context, std::int32_t options, void* reserved, sqlca* ca);

// Redefines the containers of a table space while a restore waits for it
// (option 1: the final definition); only the names are read.
int sqlbstsc(sqlca* ca, std::uint32_t option, std::uint32_t tableSpaceId, std::uint32_t count,
             SQLB_TBSCONTQRY_DATA* containers);

// --- backup and restore -----------------------------------------------------------

struct sqlu_tablespace_entry {
  std::uint32_t reserve_len;
  char tablespace_entry[19];
  char filler[1];
};
struct sqlu_tablespace_bkrst_list {
  std::int32_t num_entry;
  sqlu_tablespace_entry* tablespace;
};

// The vendor library of a backup or restore: `shr_lib` its path.
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

enum : char { SQLU_OTHER_MEDIA = 'O', SQLU_LOCAL_MEDIA = 'L' };
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

// Backs up `alias` on the attach partition through the vendor library of
// `media`. `applicationId` needs 33 bytes, `timestamp` 15.
int sqlubkp(const char* alias, std::uint32_t bufferSize, std::uint32_t backupMode,
            std::uint32_t backupType, std::uint32_t callerAction, char* applicationId,
            char* timestamp, std::uint32_t numBuffers, sqlu_tablespace_bkrst_list* tableSpaces,
            sqlu_media_list* media, const char* user, const char* password, void* reserved1,
            std::uint32_t vendorOptionsSize, void* vendorOptions, std::uint32_t parallelism,
            std::uint32_t* backupSize, void* reserved2, void* reserved3, sqlca* ca);
// Restores `source` (into `target` when given) from the image of `timestamp`
// on the attach partition; callerAction 1 continues, 2 terminates a restore
// that stopped for redefined containers (SQLCODE 1277).
int sqlurestore(const char* source, const char* target, std::uint32_t bufferSize,
                std::uint32_t rollforwardMode, std::uint32_t datalinkMode,
                std::uint32_t restoreType, std::uint32_t restoreMode, std::uint32_t callerAction,
                char* applicationId, const char* timestamp, const char* targetPath,
                std::uint32_t numBuffers, const char* reportFile,
                sqlu_tablespace_bkrst_list* tableSpaces, sqlu_media_list* media, const char* user,
                const char* password, const char* newLogPath, std::uint32_t vendorOptionsSize,
                void* vendorOptions, std::uint32_t parallelism, void* reserved1, void* reserved2,
                void* reserved3, sqlca* ca);

// --- roll-forward ------------------------------------------------------------------

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

// Applies the logs of the database up to `pStopTime` (UTC
// "YYYY-MM-DD-hh.mm.ss.ffffff"; null: the end of the logs) and ends the
// roll-forward-pending state. `pNodeInfo` holds NumNodeInfo replies.
int sqluroll_api(rfwd_input* input, rfwd_output* output, sqlca* ca);

// --- message texts ---------------------------------------------------------------

// The text of the sqlca's SQLCODE wrapped at `lineWidth`: its length (> 0),
// or 0 or less when there is none.
int sqlaintp_api(char* buffer, std::int16_t bufferSize, std::int16_t lineWidth,
                 const char* messageFile, sqlca* ca);
// The text of a five-character SQLSTATE: its length (>= 0), or negative.
int sqlogstt(char* buffer, std::int16_t bufferSize, std::int16_t lineWidth, char* sqlstate);

// --- call-level interface ---------------------------------------------------------

typedef std::int32_t SQLHANDLE;
typedef SQLHANDLE SQLHENV;
typedef SQLHANDLE SQLHDBC;
typedef std::int16_t SQLSMALLINT;
typedef std::int32_t SQLINTEGER;
typedef std::int16_t SQLRETURN;
typedef unsigned char SQLCHAR;

enum : SQLSMALLINT { SQL_HANDLE_ENV = 1, SQL_HANDLE_DBC = 2 };
enum : SQLRETURN {
  SQL_SUCCESS = 0,
  SQL_SUCCESS_WITH_INFO = 1,
  SQL_STILL_EXECUTING = 2,
  SQL_NEED_DATA = 99,
  SQL_NO_DATA_FOUND = 100,
  SQL_ERROR = -1,
  SQL_INVALID_HANDLE = -2,
};
enum : SQLSMALLINT { SQL_NTS = -3 };
inline constexpr SQLHANDLE SQL_NULL_HANDLE = 0;

SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output);
SQLRETURN SQLConnect(SQLHDBC connection, SQLCHAR* server, SQLSMALLINT serverLength, SQLCHAR* user,
                     SQLSMALLINT userLength, SQLCHAR* password, SQLSMALLINT passwordLength);
SQLRETURN SQLDisconnect(SQLHDBC connection);
SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle);
// Diagnostic record `record` (from 1) of the handle's last call; `state`
// needs 6 bytes.
SQLRETURN SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR* state,
                        SQLINTEGER* nativeError, SQLCHAR* message, SQLSMALLINT bufferLength,
                        SQLSMALLINT* textLength);

}  // extern "C"

// DB2's byte layout on the 64-bit platforms these programs are built for: a
// field moved or resized fails the build, not a call.
static_assert(sizeof(sqlca) == 136);
static_assert(offsetof(sqlca, sqlcode) == 12);
static_assert(offsetof(sqlca, sqlerrmc) == 18);
static_assert(offsetof(sqlca, sqlerrd) == 96);
static_assert(offsetof(sqlca, sqlwarn) == 120);
static_assert(offsetof(sqlca, sqlstate) == 131);
static_assert(sizeof(sqle_conn_setting) == 4);
static_assert(offsetof(sqle_conn_setting, value) == 2);
static_assert(sizeof(sqledinfo) == 1588);
static_assert(offsetof(sqledinfo, dbname) == 8);
static_assert(offsetof(sqledinfo, com_codepage) == 298);
static_assert(offsetof(sqledinfo, type) == 300);
static_assert(offsetof(sqledinfo, authentication) == 302);
static_assert(offsetof(sqledinfo, cat_nodenum) == 1584);
static_assert(sizeof(SQLB_TBSPQRY_DATA) == 176);
static_assert(offsetof(SQLB_TBSPQRY_DATA, id) == 8);
static_assert(offsetof(SQLB_TBSPQRY_DATA, nameLen) == 12);
static_assert(offsetof(SQLB_TBSPQRY_DATA, name) == 16);
static_assert(offsetof(SQLB_TBSPQRY_DATA, tbsState) == 172);
static_assert(sizeof(SQLB_TBSCONTQRY_DATA) == 292);
static_assert(offsetof(SQLB_TBSCONTQRY_DATA, name) == 16);
static_assert(offsetof(SQLB_TBSCONTQRY_DATA, ok) == 288);
static_assert(sizeof(sqlu_tablespace_entry) == 24);
static_assert(offsetof(sqlu_tablespace_entry, tablespace_entry) == 4);
static_assert(sizeof(sqlu_tablespace_bkrst_list) == 16);
static_assert(sizeof(sqlu_vendor) == 520);
static_assert(offsetof(sqlu_vendor, filename) == 264);
static_assert(sizeof(sqlu_media_entry) == 220);
static_assert(sizeof(sqlu_location_entry) == 260);
static_assert(offsetof(sqlu_media_list, sessions) == 4);
static_assert(offsetof(sqlu_media_list, target) == 8);
static_assert(sizeof(rfwd_input) == 136);
static_assert(offsetof(rfwd_input, CallerAction) == 16);
static_assert(offsetof(rfwd_input, pStopTime) == 24);
static_assert(offsetof(rfwd_input, ConnectMode) == 72);
static_assert(offsetof(rfwd_input, AllNodeFlag) == 88);
static_assert(offsetof(rfwd_input, NumNodeInfo) == 104);
static_assert(offsetof(rfwd_input, pExportDir) == 128);
static_assert(sizeof(sqlurf_info) == 76);
static_assert(offsetof(sqlurf_info, nextarclog) == 8);
static_assert(offsetof(sqlurf_info, lastcommit) == 47);
static_assert(sizeof(rfwd_output) == 24);
