// The databases a run works on (the data tree) and the partitions of each
// that run on this host, with the catalog partition first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bar2/bar2.h"
#include "kestrel/agent.h"

// One database of the data tree.
struct Db2Database {
  std::string name;                      // upper case
  bool hasTablespaces = false;           // false: the whole database
  std::vector<std::string> tablespaces;  // requested table spaces
  int online = 1;
  std::string newName;
  std::string timestamp;   // restore: of the image to use
  std::string sessionId;   // restore: the backup session
  int backupType = 0;      // restore: the image's type
  std::vector<int> nodes;  // local partitions; the catalog partition first when local
  int catalogNode = 0;     // -1 when the catalog partition is not local
  // False: not in DB2's database directory, so the catalog partition is unknown.
  bool catalogListed = true;
  int listedCatalogNode = -1;  // the catalog partition, local or not; -1 unknown
  // Restore of table spaces: local partitions that hold none of them and of
  // which the session has no image; they have nothing to restore.
  std::vector<int> leftOut;
};
using DataTree = std::vector<Db2Database>;

// Item order: database items first, then table-space items, then log items.
bool CompareItemsByKind(const AgentItem& a, const AgentItem& b);

// Builds the data tree of the items: one record per database (table-space
// items of one database gather in one record; a database also requested
// whole takes none of them, and for a restore the session one of them
// names when its own item names none); log items make none. `host` and `instance`
// are where a restore looks for the backups; a backup does not look. For a
// restore, an item without a session gets the newest session whose stored
// tree holds it, and each record the timestamp and type of its image in
// the session (through the catalogue of `handle`). 0; for a restore -1 when
// some record found no image (it stays without timestamp).
// With `notAfter` the last session is the newest not later than it.
int CreateDataTree(const char* host, const char* instance, int action, const AgentItems& items,
                   DataTree* tree, BarContext* handle = nullptr,
                   const std::int64_t* notAfter = nullptr);

// Puts the timestamp of partition `node`'s image in the record's session
// into db->timestamp. 0 found (or an image named without timestamp), 1 the
// session holds no image of the partition, -1 no objects in the session, or
// the query's failure code.
int SetTimestamp(Db2Database* db, int node, const char* instance, const AgentOptions& options,
                 BarContext* handle);

// The tree text a backup stored with an image: what follows "DBtree=" after
// "external" in the version's stored options; empty without them.
std::string_view StoredTreeText(std::string_view options);
// The whole entries of the data tree a backup stored with an image: the
// text after "DBtree=" that follows "external" in the version's stored
// options, split at its separators; a piece without its separator is no entry.
std::vector<std::string> StoredTreeEntries(std::string_view options);

// The pieces of an image object's mount point
// "instance:database#node:timestamp:type:sequence" (a leading "/" ignored).
struct ImageName {
  std::string instance, database;
  int node = -1;  // -1: an older name without "#node"
  std::string timestamp;
  int type = 0;
};
// False when the text is not such a name.
bool ParseImageName(std::string_view mountPoint, ImageName* out);

// Fills `db->nodes` with the instance's partitions on this host (from the
// configuration's DB2_NODES) and `db->catalogNode` from DB2's database
// directory, under `listedAs` when given (a restore's new name), else
// under the record's name. A configuration without DB2_NODES leaves the record as it was
// (a new record: catalog partition 0, no partitions). A database missing
// from the directory gets catalogListed false, unless the instance has one
// partition only, which is then its catalog partition. 0, or the failing
// call's code, reported (the record then as far as it got).
int GetNodesInfo(Db2Database* db, const char* instance, const std::string& listedAs = {});

// The partitions of `db` on this host, as GetNodesInfo left the record,
// catalog partition first when it is local: a database of an instance
// without DB2_NODES is its catalog partition 0 alone.
std::vector<int> LocalNodes(const Db2Database& db);

// Puts the catalog partition first when it is among `nodes`, else sets the
// catalog partition to -1.
void PlaceCatalogFirst(Db2Database* db);
