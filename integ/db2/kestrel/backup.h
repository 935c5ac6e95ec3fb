// Backup of the databases of the data tree, partition by partition: the
// catalog partition first in the agent, the others in forked tasks, never
// more at once than there are backup devices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db2/db2api.h"
#include "kestrel/agent.h"
#include "kestrel/datatree.h"

// The media list of DB2's backup and restore calls: one vendor library with
// `sessions` sessions, and the table-space list. Points into itself, so it
// is neither copied nor moved.
struct VendorMedia {
  VendorMedia(const std::string& library, std::uint32_t sessions,
              const std::vector<std::string>& tablespaces);
  VendorMedia(const VendorMedia&) = delete;
  VendorMedia& operator=(const VendorMedia&) = delete;
  sqlu_vendor vendor{};
  sqlu_media_list media{};
  std::vector<sqlu_tablespace_entry> entries;
  sqlu_tablespace_bkrst_list list{};
};

// Reports DB2's refusal of the buffers asked for (the utility heap is too
// small) with their count, size and product.
void ReportUtilHeap(const char* function, int sqlcode, std::uint32_t numBuffers,
                    std::uint32_t bufferSize);

// The backup call's parameters of one partition. Plain values only, so a
// forked task runs on its own copy.
struct BkpInfo {
  std::string dbAlias;
  std::uint32_t bufferSize = 0;
  std::uint32_t backupMode = 0;
  std::uint32_t backupType = 0;
  std::uint32_t callerAction = 0;
  char applicationId[33] = {};
  char pTimestamp[15] = {};
  std::uint32_t numBuffers = 0;
  bool hasTablespaceList = false;
  std::vector<std::string> tablespaces;  // those requested that lie on the partition
  std::string library;                   // the vendor library DB2 loads
  std::string user, password;            // empty user: the process's own account
  std::vector<std::uint8_t> vendorOptions;
  std::uint32_t parallelism = 1;
  std::uint32_t pBackupSize = 0;  // DB2 fills in the image size in MB
  sqlca ca{};
  int node = 0;
};

// Results of FillBkpInfo.
enum FillResult : int { kFillReady = 0, kFillNothing = 1, kFillRefused = -1 };

// Fills the block for `db` on `node`. kFillNothing when none of the
// requested table spaces lies on the partition; kFillRefused (block
// emptied) when the table spaces cannot be listed, the barlist is missing or
// the vendor options do not fit.
int FillBkpInfo(const Db2Database& db, int node, BkpInfo* info, const AgentOptions& options);
// The table-space names of `database` on `node` (DB2's list, under
// `instance`). 0, or the listing's failure. With `fn`, the release of DB2's
// list is traced under that name.
int TablespacesOnNode(const std::string& database, int node, const char* instance,
                      std::vector<std::string>* names, const char* fn = nullptr);
// The vendor-options record of the block. 0 or -1 (block emptied).
int FillBkpVendorOpts(const Db2Database& db, BkpInfo* info, const AgentOptions& options);
void FreeBkpInfo(BkpInfo* info);

// The options part of VEKOPTS in the vendor options of backup and restore:
// the agent's own VEKOPTS (the merged debug words beside the session
// manager's options); the option line's debug words alone when it is empty.
std::string VendorOptionsOpts(const AgentOptions& options);

// A new text of printf-style `format` filled with its one string argument.
std::string FormatString(const char* format, const char* argument);

// The backup of one partition (a TaskFn over a BkpInfo): 0, or DB2's
// SQLCODE, or -1 when the partition could not be started.
int DB2Backup(void* info);
// Runs the test program siskin from the bin directory. 0 when it ran and
// ended with 0, else -1.
int DB2BackupTest();

// Results of the backup action.
struct BackupOutcome {
  bool refused = false;  // a partition block was refused: the run stops
  int failed = 0;        // partitions whose backup failed
  int skipped = 0;       // databases refused or with nothing backed up, and
                         // requested table spaces no partition here holds
};
// Backs up every database of the tree. Each database that backed something
// up is reported with the partitions it backed up.
BackupOutcome DB2BackupDatabases(DataTree* tree, const AgentOptions& options, const char* instance);
