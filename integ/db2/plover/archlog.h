// Archived DB2 log files: the names they are stored and found under, the
// archive of one log file as an item of a backup object, and its retrieval
// from the newest (or a named session's) copy in the catalogue. Shared by the
// user exit and the backup agent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bar2/bar2.h"
#include "barutil/bp.h"

// Exit codes DB2 reads from the user exit.
inline constexpr int kUeOk = 0;
inline constexpr int kUeSoftwareError = 16;
inline constexpr int kUeIoError = 28;

inline constexpr char kUeArchivedLogs[] = "ArchivedLogs";
// The last byte of every archived log's item name.
inline constexpr char kUeNameEnd = '\x01';
inline constexpr std::size_t kUeItemNameMax = 1023;
inline constexpr std::size_t kUeSessionIdMax = 16;

// Catalogue names of one archived log file.
struct ArchivedLogName {
  std::string object;  // "<instance>:<database>:0:<set number>:0"
  std::string tree;    // "/<instance>/<database>/ArchivedLogs<clean path>\x01"
  // The tree text as the item is stored (DB2_fNameFormatIDB), its directory
  // part and its last part (with the 0x01).
  std::string item;
  std::string directory;
  std::string file;
};
// The names of the log file `path` (absolute) of a database; nothing when a
// part is empty or a name would pass its buffer (item 1023, object 1184).
std::optional<ArchivedLogName> MakeArchivedLogName(const char* instance, const char* database,
                                                   int setNumber, const char* path);

// Orders two session ids "YYYY/MM/DD-<n>": by date, then by the serial number
// as a number. Negative, 0 or positive; ids without a serial compare as text.
int UE_CompareSessionIds(const char* a, const char* b);

// The barlist for the logs of `database`: the text value under
// the database's name in the configuration list "USEREXIT_BARLISTS". A heap
// copy (safe_free), or null.
char* UE_GetBarList(const BpList* config, const char* database);
// The set number the next archive of this instance and database takes in the
// running session of `barlist` ("DB2 <barlist>"): one more than the highest
// one stored there, else 0.
int UE_GetNextID(BarContext* ctx, const char* host, const char* instance, const char* database,
                 const char* barlist);
// Archives the log file `path`. A missing file is nothing to do (0); only a
// regular file (links followed) is archived. An exit code.
int UE_BackupFile(BarContext* ctx, const BpList* config, const char* instance, const char* database,
                  const char* path);
// Finds the copy of `path` to restore: with *sessionId empty the newest, else
// that session's first. 0 with the session id (empty when nothing was ever
// archived under the log's name), the object name (its name part), the item
// name and the object-version id; 16 on failure, also when the catalogue
// holds items for the log's name but none is the log, or the requested
// session holds no copy. The buffers hold kUeSessionIdMax + 1, kBarObjNameMax + 1 and
// kUeItemNameMax + 1 bytes.
int UE_FindRestoreData(BarContext* ctx, const char* instance, const char* database,
                       const char* path, char* sessionId, char* objectName, char* itemName,
                       const char* host, std::int64_t* versionId);
// Retrieves the log file `path`: written to a new file beside it (left-over
// ones of a killed run are removed first), synced, given the archived mode,
// times and owner, then renamed into place, and only when the stored item
// ended well; a copy whose item failed is passed over for the next one (16
// when none is left). The log is in place exactly when the result is 0. No
// copy in the catalogue is success with no file (0); `found`, when given, tells
// the two apart. `sessionId`, `host` and
// `sourceInstance` may be null. An exit code.
int UE_RestoreFile(BarContext* ctx, const char* instance, const char* database, const char* path,
                   const char* sessionId, const char* host, const char* sourceInstance,
                   bool* found = nullptr);

// printf into a heap text (safe_free); null on failure.
char* UE_Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The integration log all these write their summary lines to.
inline constexpr char kUeLog[] = "db2.log";
