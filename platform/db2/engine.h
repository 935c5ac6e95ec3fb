// Backup and restore of one database partition by the stand-in DB2: checks,
// then N session processes alive at once, each loading the vendor library
// from the media-target path and running its share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace db2sim {

// SQLCODEs the engine answers with (0 on success).
enum SqlCode : int {
  kSqlOk = 0,
  kSqlDbNotFound = -1013,       // no such database (or partition) in the instance
  kSqlNotStarted = -1032,       // the instance is not started
  kSqlBadParameter = -2032,     // a parameter of the call is not valid
  kSqlVendorLoad = -2062,       // the vendor library could not be loaded
  kSqlVendorError = -2079,      // the vendor library failed, crashed or hung
  kSqlImageCorrupt = -2530,     // the image read back is damaged
  kSqlInternal = -902,          // the stand-in's own machinery failed
  kSqlNotPending = -4906,       // the database is not roll-forward pending
  kSqlLogRetrieve = -1268,      // the user exit failed to retrieve a log
  kSqlLogArchive = -1269,       // the user exit failed to archive a log
  kSqlLogCorrupt = -1273,       // a log file is damaged or a record is missing
  kSqlLogOtherChain = -1265,    // a log record is not of the restored image's log chain
  kSqlContainerWarning = 1277,  // containers cannot be created: redirect, then continue
  kSqlContainerBad = -298,      // a container still cannot be created
  kSqlNoTableSpace = -293,      // a named table space is not in the database or image
  kSqlRestoreOtherDb = 2529,    // the target exists and is another database: continue or terminate
  kSqlNothingToContinue = -2055,  // continue or terminate without a restore waiting
};

inline constexpr int kCallerActionCheckOnly = 11;

struct BackupRequest {
  std::string instance;
  std::string alias;
  int node = 0;
  std::string library;  // media target: path of the vendor library
  int sessions = 1;
  int bufferSize = 4096;                 // bytes per vendor call
  int callerAction = 0;                  // kCallerActionCheckOnly: stop after the checks
  std::string type = "0";                // backup type text the library sees
  std::string timestamp;                 // empty: the current time, "YYYYMMDDhhmmss"
  std::vector<std::string> tableSpaces;  // empty: the whole database
  std::string options;                   // vendor-options block, copied to every session
  int timeoutMs = 60000;                 // longest wait for one answer of a session
};

struct RestoreRequest {
  std::string instance;
  std::string alias;   // the database the image is of
  std::string target;  // the database to restore into; empty: alias
  int node = 0;
  std::string library;
  int sessions = 1;
  int bufferSize = 4096;
  std::string timestamp;  // of the image to read
  std::string type = "0";
  std::vector<std::string> tableSpaces;  // empty: everything the image holds
  std::string options;
  int timeoutMs = 60000;
};

struct Result {
  int sqlcode = kSqlOk;
  std::string message;      // why, when sqlcode is not 0
  std::string timestamp;    // the image's timestamp
  int objects = 0;          // backup objects written or read
  std::uint64_t bytes = 0;  // size of the image (backup)
};

// The state root comes from StateRoot(); the session program from the
// setting TARN_DB2_SESSION_PROGRAM, else the one built beside the library.
Result RunBackup(const BackupRequest& req);
// Reads every object (in waves when there are more objects than sessions),
// verifies the image and only then replaces the partition's containers; a
// database that archives its logs is left roll-forward pending.
Result RunRestore(const RestoreRequest& req);

}  // namespace db2sim
