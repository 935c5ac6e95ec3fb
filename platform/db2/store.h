// State of the stand-in DB2 on disk: instances, their database directory,
// partitions, table spaces with container files, and the calls log.
//
// <root>/calls.log
// <root>/instances/<instance>/instance.cfg          home= owner= user= password= started=
// <root>/instances/<instance>/db/<DB>/db.cfg         partitions=0,1 catalog=0 logarchive=0
// <root>/instances/<instance>/db/<DB>/NODE<nnnn>/node.cfg   rfpending= lsn= log= rflog=
//                                                     behind=<lsn>:<first>:<next>,...
// <root>/instances/<instance>/db/<DB>/NODE<nnnn>/ts/<TS>/containers   one path a line
// <root>/instances/<instance>/db/<DB>/NODE<nnnn>/logs/S<nnnnnnn>.LOG
//
// The root is the setting TARN_DB2_STATE, else "$TARN_ROOT/var/db2".
// Every function throws Error on bad names or unreadable state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db2/image.h"

namespace db2sim {

// The state root from the settings; throws Error when neither is set.
std::string StateRoot();

struct Instance {
  std::string name;
  std::string home;  // the owner's home directory (sqllib/ lives under it)
  std::string owner;
  std::string user;  // credentials an attach must present; empty = any
  std::string password;
  bool started = true;
};

struct Database {
  std::string name;  // upper case, at most 8 characters
  std::vector<int> partitions;
  int catalog = 0;
  bool logArchive = false;
};

// The logs a roll-forward that stopped at a point in time left behind: the
// records after `lastLsn` in the log files `firstLog` to `nextLog` - 1 are of
// a chain the database no longer follows; its logging goes on in `nextLog`.
struct LeftBehind {
  std::uint64_t lastLsn = 0;
  std::uint32_t firstLog = 0;
  std::uint32_t nextLog = 0;

  bool operator==(const LeftBehind&) const = default;
};

// Per partition: roll-forward pending, the last log record applied (lsn),
// the active log file's number, the log file a roll-forward starts at, and
// what roll-forwards to a point in time left behind, oldest first.
struct NodeState {
  bool rfPending = false;
  std::uint64_t lsn = 0;
  std::uint32_t log = 0;
  std::uint32_t rfLog = 0;
  std::vector<LeftBehind> leftBehind;
};

class Store {
 public:
  explicit Store(std::string root) : root_(std::move(root)) {}
  const std::string& root() const { return root_; }

  void CreateInstance(const Instance& inst) const;
  Instance ReadInstance(const std::string& name) const;

  // Creates the database on each partition with the table spaces, one
  // container file each.
  void CreateDatabase(const std::string& instance, const Database& db,
                      const std::vector<std::string>& tableSpaces) const;
  // Removes the database with all its partitions, containers and logs.
  void DropDatabase(const std::string& instance, const std::string& name) const;
  // Makes sure the database has the partition with the table spaces, each
  // with at least the given number of containers (a restore into a new
  // database name). An existing table space is left as it is.
  void EnsurePartition(const std::string& instance, const std::string& db, int node,
                       const std::vector<std::pair<std::string, int>>& tableSpaces,
                       bool logArchive) const;
  bool HasDatabase(const std::string& instance, const std::string& db) const;
  Database ReadDatabase(const std::string& instance, const std::string& db) const;
  std::vector<std::string> ListDatabases(const std::string& instance) const;

  std::string NodeDir(const std::string& instance, const std::string& db, int node) const;
  std::vector<std::string> TableSpaces(const std::string& instance, const std::string& db,
                                       int node) const;
  std::vector<std::string> Containers(const std::string& instance, const std::string& db, int node,
                                      const std::string& tableSpace) const;

  NodeState ReadNodeState(const std::string& instance, const std::string& db, int node) const;
  void WriteNodeState(const std::string& instance, const std::string& db, int node,
                      const NodeState& state) const;

  // Appends `data` to the first container of the table space.
  void WriteData(const std::string& instance, const std::string& db, int node,
                 const std::string& tableSpace, const std::string& data) const;

  // The partition's content as payload records ("<TS>/<container index>"),
  // each the whole of its container file as it is now (nothing is read).
  std::vector<PayloadPart> Snapshot(const std::string& instance, const std::string& db,
                                    int node) const;
  // Replaces the partition's containers with the records' data; the
  // partition must exist and every record must name one of its containers.
  void Apply(const std::string& instance, const std::string& db, int node,
             const std::vector<PayloadPart>& parts) const;
  // Checksum over the partition's content, as the admin tool prints it.
  std::uint64_t ContentChecksum(const std::string& instance, const std::string& db, int node) const;

  std::string CallsLog() const { return root_ + "/calls.log"; }

 private:
  std::string InstanceDir(const std::string& name) const;
  std::string DbDir(const std::string& instance, const std::string& db) const;
  std::string root_;
};

// The number of `key` in a text of "<key>=<number>" items separated by `sep`
// (numbers from -99999 to 99999); none when absent or not a number.
std::optional<int> FindSetting(std::string_view text, char sep, const std::string& key);
// The SQLCODE a call is set to fail with, if any: "<call>=<sqlcode>" lines
// in "<root>/faults", or comma-separated in the setting TARN_DB2_FAULTS
// (which wins). Read at every call, so a test can change it between calls.
// Besides the calls, "session-dies=<index>" makes the backup or restore
// session process of that index end before it calls sqluvint.
std::optional<int> FaultFor(const std::string& root, const std::string& call);
// The fault of a call made for one partition: "<call>.node<node>" first
// (only that partition fails), else the call's own.
std::optional<int> FaultForNode(const std::string& root, const std::string& call, int node);
// Sets (or with `clear`, removes) the fault of a call in "<root>/faults".
void SetFault(const std::string& root, const std::string& call, int sqlcode, bool clear = false);

// The environment of a process the stand-in starts for an instance (session
// processes, the user exit): only what such a process would have, plus the
// settings that point the stand-ins and the test tooling at their places.
std::vector<std::string> InstanceEnvironment(const Instance& inst, const std::string& root);

// Appends one line to the calls log: "<pid> <call> <text>". One write per
// line, so lines of concurrent processes never interleave.
void LogCall(const std::string& logPath, const std::string& call, const std::string& text);

}  // namespace db2sim
