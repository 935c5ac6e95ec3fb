// The data tree of a run and the partitions of each database.
#include "kestrel/datatree.h"

#include "kestrel/sessions.h"

#include <algorithm>
#include <cstring>

#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "db2/db2api.h"
#include "db2/db2conn.h"

TARN_RCSID("integ/db2/kestrel/datatree.cpp");

namespace {

constexpr int kTrace = 20;

void Report(const char* function, const std::string& text) {
  ErhFullReport(function, kErhMajor, text.c_str());
}

// A blank-padded directory name without its padding.
std::string DirectoryName(const char* field, std::size_t size) {
  std::string name(field, strnlen(field, size));
  const std::size_t blank = name.find(' ');
  if (blank != std::string::npos) name.resize(blank);
  return name;
}

// The catalog partition of `database` from the system database directory,
// or -1 when it is not listed. 0, or the scan's failure.
int FindCatalogNode(const std::string& database, int* catalog) {
  static const char kFn[] = "GetNodesInfo";
  *catalog = -1;
  sqlca ca{};
  std::uint16_t handle = 0;
  std::uint16_t count = 0;
  sqledosd_api("", &handle, &count, &ca);
  VEKSqlInfoPrint("Open DB directory Scan", &ca, __LINE__, rcsId);
  if (ca.sqlcode < 0) return ca.sqlcode;
  DbgPlain(kTrace, "[%s] Starting DB Directory Scan\n\t number of entries = %d", kFn, count);
  int failed = 0;
  for (int i = 0; i < count && *catalog == -1; ++i) {
    sqledinfo* entry = nullptr;
    sqledgne_api(handle, &entry, &ca);
    VEKSqlInfoPrint("Next DB directory Scan", &ca, __LINE__, rcsId);
    if (ca.sqlcode < 0) {
      failed = ca.sqlcode;
      break;
    }
    if (entry == nullptr) break;
    const std::string name = DirectoryName(entry->dbname, sizeof entry->dbname);
    DbgPlain(kTrace, "[%s] DB %d read %s", kFn, i, name.c_str());
    DbgPlain(kTrace, "[%s] Compare received dbname |%s| and dbname |%s|", kFn, name.c_str(),
             database.c_str());
    if (name == database) {
      *catalog = entry->cat_nodenum;
      DbgPlain(kTrace, "[%s] Catalog node for DB %s is %d", kFn, database.c_str(), *catalog);
    }
  }
  if (*catalog == -1 && failed == 0)
    DbgPlain(kDbgAlways, "[%s] Catalog nod for DB %s is not found", kFn, database.c_str());
  // DB2 keeps an open scan until it is closed, also after a failed step.
  sqlca closeCa{};
  sqledcls_api(handle, &closeCa);
  VEKSqlInfoPrint("Close DB directory Scan", &closeCa, __LINE__, rcsId);
  return failed;
}

// Traces how many databases the items ask for: whole, and named by table
// spaces only (one per database and session).
void TraceItemCounts(const AgentItems& items) {
  static const char kFn[] = "CreateDataTree";
  int whole = 0;
  int different = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const AgentItem& item = items[i];
    if (item.kind == kItemDatabase) ++whole;
    if (item.kind != kItemTablespace) continue;
    const bool seen = std::any_of(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(i),
                                  [&](const AgentItem& before) {
                                    return before.kind != kItemLog &&
                                           before.database == item.database &&
                                           before.sessionId == item.sessionId;
                                  }) ||
                      std::any_of(items.begin(), items.end(), [&](const AgentItem& db) {
                        return db.kind == kItemDatabase && db.database == item.database &&
                               db.sessionId == item.sessionId;
                      });
    if (!seen) ++different;
  }
  DbgPlain(kTrace, "[%s] %d full database elements found", kFn, whole);
  DbgPlain(kTrace, "[%s] %d different database elements found", kFn, different);
}

Db2Database* FindRecord(DataTree* tree, const AgentItem& item) {
  for (Db2Database& db : *tree)
    if (db.name == item.database && db.sessionId == item.sessionId) return &db;
  return nullptr;
}

}  // namespace

bool CompareItemsByKind(const AgentItem& a, const AgentItem& b) {
  return a.kind < b.kind;
}

int CreateDataTree(const char* host, const char* instance, int action, const AgentItems& given,
                   DataTree* tree, BarContext* handle, const std::int64_t* notAfter) {
  static const char kFn[] = "CreateDataTree";
  DbgPlain(kTrace, "[%s] dInstance=%s", kFn, instance != nullptr ? instance : "");
  tree->clear();
  const bool restore = action == kActionRestore;
  // Table spaces of a database also requested whole are dropped before the
  // sessions are found: a database asked for whole is restored whole, and
  // from the session any of its items names (the caller refuses two).
  auto wholeDatabase = [&](const AgentItem& ts) {
    return std::any_of(given.begin(), given.end(), [&](const AgentItem& db) {
      return db.kind == kItemDatabase && db.database == ts.database;
    });
  };
  TraceItemCounts(given);
  AgentItems items;
  for (const AgentItem& item : given)
    if (item.kind != kItemTablespace || !wholeDatabase(item)) items.push_back(item);
  for (AgentItem& db : items)
    for (const AgentItem& ts : given)
      if (restore && db.kind == kItemDatabase && db.sessionId.empty() &&
          ts.kind == kItemTablespace && ts.database == db.database)
        db.sessionId = ts.sessionId;
  if (restore) FindLastSessions(host, instance, handle, &items, notAfter);
  std::vector<const AgentItem*> sorted;
  for (const AgentItem& item : items) sorted.push_back(&item);
  std::stable_sort(sorted.begin(), sorted.end(), [](const AgentItem* a, const AgentItem* b) {
    return CompareItemsByKind(*a, *b);
  });
  for (const AgentItem* item : sorted) {
    if (item->kind == kItemLog) continue;
    Db2Database* db = FindRecord(tree, *item);
    if (db == nullptr) {
      DbgPlain(kTrace, "items->items[i].dbname=%s", item->database.c_str());
      db = &tree->emplace_back();
      db->name = item->database;
      db->online = item->online;
      db->newName = item->newName;
      db->sessionId = item->sessionId;
      DbgPlain(kTrace, "[%s] New database %s is added", kFn, db->name.c_str());
    }
    if (item->kind == kItemTablespace) {
      db->hasTablespaces = true;
      if (std::find(db->tablespaces.begin(), db->tablespaces.end(), item->tablespace) ==
          db->tablespaces.end())
        db->tablespaces.push_back(item->tablespace);
      DbgPlain(kTrace, "[%s] tablespace %s is added into the database %s", kFn,
               item->tablespace.c_str(), db->name.c_str());
    }
  }
  if (!restore) return 0;
  return FindSessionImages(host, instance, handle, tree);
}

std::vector<int> LocalNodes(const Db2Database& db) {
  std::vector<int> nodes = db.nodes;
  if (nodes.empty() && db.catalogNode == 0) nodes.push_back(0);
  return nodes;
}

void PlaceCatalogFirst(Db2Database* db) {
  static const char kFn[] = "GetNodesInfo";
  for (std::size_t i = 0; i < db->nodes.size(); ++i) {
    DbgPlain(kTrace, "[%s] Compare node %d with catalog node %d", kFn, db->nodes[i],
             db->catalogNode);
    if (db->nodes[i] == db->catalogNode) {
      DbgPlain(kTrace, "[%s] Catalog node is on current host. Put it first ", kFn);
      std::swap(db->nodes[0], db->nodes[i]);
      return;
    }
  }
  DbgPlain(kTrace, "[%s] Catalog node is not on current host. Set it to -1", kFn);
  db->catalogNode = -1;
}

int GetNodesInfo(Db2Database* db, const char* instance, const std::string& listedAs) {
  static const char kFn[] = "GetNodesInfo";
  // Without a DB2_NODES section the instance is not partitioned; with one,
  // a host that runs none of its partitions backs nothing up.
  int* all = nullptr;
  const int partitions = GetNodes(instance, &all);
  FreeNodeList(all);
  int* nodes = nullptr;
  const int count = partitions > 0 ? GetNodesOnHost(instance, &nodes, nullptr) : partitions;
  if (count < 0) {
    DbgPlain(kDbgAlways, "[%s] Getting configuration for intstance %s failed", kFn, instance);
    Report(kFn, "The configuration of instance " +
                    std::string(instance != nullptr ? instance : "") +
                    " could not be read, so the partitions of database " + db->name +
                    " are not known; the database is left out.");
    return count;
  }
  if (partitions == 0) return 0;
  db->nodes.assign(nodes, nodes + count);
  FreeNodeList(nodes);
  const std::string& listed = listedAs.empty() ? db->name : listedAs;
  int catalog = -1;
  const int rc = FindCatalogNode(listed, &catalog);
  if (rc != 0) {
    Report(kFn, "DB2's database directory could not be read (SQLCODE " + std::to_string(rc) +
                    "), so the catalog partition of database " + listed +
                    " is not known; the database is left out.");
    return rc;
  }
  if (catalog == -1) {
    // Not in the directory (dropped, or a new machine): the only partition
    // of the instance can only be the catalog partition; of several, none
    // is known to be.
    if (partitions == 1 && count == 1)
      catalog = db->nodes[0];
    else
      db->catalogListed = false;
  }
  db->catalogNode = catalog;
  db->listedCatalogNode = catalog;
  PlaceCatalogFirst(db);
  return 0;
}
