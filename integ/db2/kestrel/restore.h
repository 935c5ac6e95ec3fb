// Partition restore: the parameter block of DB2's restore call, the call
// with its continue and terminate, container redirection from the
// instance's "Redirection" configuration, and the loop over the data tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "db2/db2api.h"
#include "kestrel/agent.h"
#include "kestrel/datatree.h"

// Restore types and caller actions of DB2's restore call as the agent sends them.
inline constexpr std::uint32_t kRestoreDatabase = 0;
inline constexpr std::uint32_t kRestoreTablespaces = 3;
inline constexpr std::uint32_t kRestoreIncrementalFlags = 0x110;
inline constexpr std::uint32_t kRestoreActionRestore = 0;
inline constexpr std::uint32_t kRestoreActionContinue = 1;
inline constexpr std::uint32_t kRestoreActionTerminate = 2;
inline constexpr std::uint32_t kRestoreActionNoInterrupt = 3;
inline constexpr std::uint32_t kRestoreActionStorDef = 100;

// The restore call's parameters of one partition. Plain values only, so a
// forked task runs on its own copy.
struct RstInfo {
  std::string pSourceDbAlias;
  std::string pTargetDbAlias;  // empty: restore into the source name
  std::uint32_t bufferSize = 0;
  std::uint32_t rollforwardMode = 0;
  std::uint32_t datalinkMode = 0;
  std::uint32_t RestoreType = kRestoreDatabase;
  std::uint32_t RestoreMode = 0;
  std::uint32_t callerAction = kRestoreActionNoInterrupt;
  std::uint32_t startAction = kRestoreActionNoInterrupt;  // the first call's, with "continue"
  char applicationId[33] = {};
  std::string timestamp;
  std::uint32_t numBuffers = 0;
  std::vector<std::string> tablespaces;  // with kRestoreTablespaces
  std::string library;
  std::string user, password;  // empty user: the process's own account
  std::vector<std::uint8_t> vendorOptions;
  std::uint32_t parallelism = 1;
  sqlca ca{};
  int node = 0;
};

// Fills the block for `db` on partition `node` (whose image timestamp
// SetTimestamp put into `db`): parallelism from the number of catalogue
// objects of that partition's image, buffers, media, credentials and vendor
// options. 0, or -1 (block emptied) when a table-space name or the vendor
// options do not fit what DB2 takes.
int FillrstInfo(const Db2Database& db, int node, RstInfo* info, const AgentOptions& options,
                BarContext* handle, const char* instance);
void FreeRstInfo(RstInfo* info);

// The restore of one partition (a TaskFn over an RstInfo): 0 when the final
// restore call succeeded (a warning that was continued counts as success),
// -1 when it failed or was terminated.
int DB2Restore(void* info);
// Continue (RestoreContinue) or terminate (RestoreAbort) a restore DB2 holds
// pending. 0, or -1 when DB2 answers with an error.
int RestoreContinue(RstInfo* info);
int RestoreAbort(RstInfo* info);

// One container redirection of the "Redirection" configuration.
struct Redirection {
  std::string oldName, newName;
};
inline constexpr std::size_t kRedirectionNameMax = 1022;
// The redirections of `database` from the configuration of `instance` on
// `host`. 0, or -1 when the configuration, its "Redirection" list or the
// database's sub-list is missing, or an entry does not fit.
int GetRedirectionArray(const char* host, const char* instance, const char* database,
                        std::vector<Redirection>* out);
// Redefines every container DB2 reports inaccessible whose name equals an
// entry's old name. 0, or the SQLCODE of the last failed redefinition (-1
// when a new name does not fit DB2's container field).
int RedirectTS(const std::vector<Redirection>& entries);

// Results of the restore action.
struct RestoreOutcome {
  int failed = 0;        // partitions or databases that were not restored
  bool refused = false;  // the option line was refused: nothing is restored
};

// What a restore decides before its first partition is overwritten. Builds
// the data tree of `items` (CreateDataTree over `host` and `from`; with
// `notAfter` each session the newest not later than it) and keeps in it
// only the databases that can be restored whole from their session: their
// partitions known, one at least on this host, the catalog partition
// known, and an image of every local partition in the session (of a
// table-space restore, a partition that holds none of its table spaces
// needs none and goes into the record's leftOut). Every
// database left out is reported and counted in `failed`; when its session
// was not named, the report also names the newest session that holds
// every partition. `refused` (tree emptied) when the items of one database
// name two sessions, or with `notAfter` a database has no session not later
// than it. A roll-forward left to the catalog partition's host is reported.
RestoreOutcome DB2RestorePreconditions(const char* host, const char* from,
                                       const AgentItems& items, const AgentOptions& options,
                                       BarContext* handle, const char* instance,
                                       const std::int64_t* notAfter, DataTree* tree);
// Restores (and rolls forward, when asked) every database of the tree, as
// DB2RestorePreconditions left it.
RestoreOutcome DB2RestoreDatabases(DataTree* tree, const AgentOptions& options, BarContext* handle,
                                   const char* instance);
