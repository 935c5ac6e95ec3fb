// The databases a run works on (the data tree) and the partitions of each
// that run on this host, with the catalog partition first.
#pragma once

#include <string>
#include <vector>

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
};
using DataTree = std::vector<Db2Database>;

// Builds the data tree of the items: one record per database (table-space
// items of one database gather in one record; a database also requested
// whole takes none of them); log items make none. `host` and `instance`
// are where a restore looks for the backups; a backup does not look.
// 0, or -1 for a restore, whose catalogue search this build does not have.
int CreateDataTree(const char* host, const char* instance, int action, const AgentItems& items,
                   DataTree* tree);

// Fills `db->nodes` with the instance's partitions on this host (from the
// configuration's DB2_NODES) and `db->catalogNode` from DB2's database
// directory. A configuration without DB2_NODES leaves the record as it was
// (a new record: catalog partition 0, no partitions). 0, or the failing
// call's code (the record then as far as it got).
int GetNodesInfo(Db2Database* db, const char* instance);

// Puts the catalog partition first when it is among `nodes`, else sets the
// catalog partition to -1.
void PlaceCatalogFirst(Db2Database* db);
