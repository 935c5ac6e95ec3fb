// The restore side of the data tree: the last session of an item, the image
// of a record in its session and the timestamp of each partition's image.
#include "kestrel/sessions.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "bar2/barquery.h"
#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/objname.h"
#include "db2/vendoropts.h"

TARN_RCSID("integ/db2/kestrel/sessions.cpp");

namespace {

constexpr int kTrace = 20;
constexpr int kDb2ObjectType = 5;
constexpr char kDb2Label[] = "DB2";

// Catalogue arrays freed at scope end.
template <typename Record>
struct QueryArray {
  int count = 0;
  Record* records = nullptr;
  void (*freeRecord)(void*) = nullptr;
  explicit QueryArray(void (*f)(void*)) : freeRecord(f) {}
  QueryArray(const QueryArray&) = delete;
  QueryArray& operator=(const QueryArray&) = delete;
  ~QueryArray() {
    if (records != nullptr)
      VEK_FreeArray(count, records, static_cast<int>(sizeof(Record)), freeRecord);
  }
  Record* begin() const { return records; }
  Record* end() const { return records + (records != nullptr ? count : 0); }
};

std::string_view WithoutSlash(std::string_view mountPoint) {
  if (!mountPoint.empty() && mountPoint.front() == '/') mountPoint.remove_prefix(1);
  return mountPoint;
}

// The stored options of a version: its -baropt text, else the whole text.
std::string_view StoredOptions(const VEK_Version& v) {
  if (v.barOpt != nullptr) return v.barOpt;
  return v.options != nullptr ? v.options : "";
}

bool TreeHolds(const VEK_Version& v, const std::string& entry) {
  const std::vector<std::string> entries = StoredTreeEntries(StoredOptions(v));
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

// TreeHolds for the image search of a record, traced: `attempt` counts the
// objects looked at.
bool TreeHoldsTraced(const VEK_Version& v, const std::string& entry, int attempt) {
  const std::string_view options = StoredOptions(v);
  if (options.find("external") == std::string_view::npos) return false;
  DbgPlain(kTrace, "external found");
  if (DbgMatch(kTrace) == 0) return TreeHolds(v, entry);
  std::string tree(StoredTreeText(options));
  std::replace(tree.begin(), tree.end(), kDataTreeSeparator, '\n');
  DbgPlain(kTrace, "Looking for item %s in %s", entry.c_str(), tree.c_str());
  DbgPlain(kTrace, "Try %d: Looking for item \"%s\" in tree \"%s\"", attempt, entry.c_str(),
           tree.c_str());
  return TreeHolds(v, entry);
}

std::string TreeEntry(const std::string& instance, const AgentItem& item) {
  std::string entry = "/" + instance + "/" + item.database + "/";
  if (item.kind == kItemTablespace) entry += item.tablespace + "/";
  return entry;
}

// The sessions whose versions of the item's objects hold the entry, newest
// first; with `notAfter`, those none of whose versions is later than it.
std::vector<std::string> SessionsHolding(const char* host, const std::string& instance,
                                         BarContext* handle, const AgentItem& item,
                                         const std::int64_t* notAfter) {
  static const char kFn[] = "CreateDataTree";
  VEK_Catalog* catalog = VEK_ContextCatalog(handle);
  const std::string part = instance + ":" + item.database + "#";
  DbgPlain(kTrace, "[%s] Looking for PartName %s", kFn, part.c_str());
  QueryArray<VEK_Object> objects(nullptr);
  VEK_QueryObjectsPartName(catalog, kDb2ObjectType, part.c_str(), kDb2Label, &objects.count,
                           &objects.records);
  std::vector<const VEK_Object*> sorted;
  for (const VEK_Object& object : objects) sorted.push_back(&object);
  std::sort(sorted.begin(), sorted.end(),
            [](const VEK_Object* a, const VEK_Object* b) { return CompareByObjectName(*a, *b); });
  const std::string entry = TreeEntry(instance, item);
  std::map<std::string, std::int64_t> latest;  // per session, its latest version
  for (const VEK_Object* sortedObject : sorted) {
    const VEK_Object& object = *sortedObject;
    // The catalogue matches part names anywhere in the name; only a prefix
    // is an image of this database.
    if (WithoutSlash(object.mountPoint).substr(0, part.size()) != part) continue;
    if (host != nullptr && strcasecmp(object.host, host) != 0) continue;
    char name[kObjNameSize] = {};
    if (StrToObjectName(kDb2ObjectType, object.host, object.mountPoint, kDb2Label, name) != 0)
      continue;
    QueryArray<VEK_Version> versions(VEK_VersionFree);
    VEK_QueryObjectVersionsEx(catalog, name, 1, &versions.count, &versions.records);
    for (const VEK_Version& v : versions) {
      if (!TreeHolds(v, entry)) continue;
      const auto [at, added] = latest.emplace(AgentSessionId(v.backupId), VEK_VersionTime(v));
      if (!added) at->second = std::max(at->second, VEK_VersionTime(v));
    }
  }
  std::vector<std::pair<std::string, std::int64_t>> kept;
  for (const auto& [id, time] : latest)
    if (notAfter == nullptr || time <= *notAfter) kept.emplace_back(id, time);
  // Of sessions of one second, the first by id.
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<std::string> sessions;
  for (auto& [id, time] : kept) sessions.push_back(std::move(id));
  return sessions;
}

}  // namespace

std::string AgentSessionId(std::string_view backupId) {
  const std::size_t dash = backupId.rfind('-');
  if (dash == std::string_view::npos) return std::string(backupId);
  const std::string_view digits = backupId.substr(dash + 1);
  int number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
      number < 0 || number > kSessionNumberMax)
    return std::string(backupId);
  char text[16];
  std::snprintf(text, sizeof text, " %04d", number);
  return std::string(backupId.substr(0, dash)) + text;
}

bool CompareByObjectName(const VEK_Object& a, const VEK_Object& b) {
  return std::strcmp(a.mountPoint, b.mountPoint) < 0;
}

std::string_view StoredTreeText(std::string_view options) {
  const std::size_t external = options.find("external");
  if (external == std::string_view::npos) return {};
  constexpr std::string_view kTree = "DBtree=";
  const std::size_t at = options.find(kTree, external);
  if (at == std::string_view::npos) return {};
  return options.substr(at + kTree.size());
}

std::vector<std::string> StoredTreeEntries(std::string_view options) {
  std::vector<std::string> entries;
  std::string_view tree = StoredTreeText(options);
  for (std::size_t end; (end = tree.find(kDataTreeSeparator)) != std::string_view::npos;) {
    if (end > 0) entries.emplace_back(tree.substr(0, end));
    tree.remove_prefix(end + 1);
  }
  return entries;
}

bool ParseImageName(std::string_view mountPoint, ImageName* out) {
  std::vector<std::string_view> pieces;
  std::string_view rest = WithoutSlash(mountPoint);
  for (std::size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
    pieces.push_back(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
  }
  pieces.push_back(rest);
  if (pieces.size() < 3 || pieces[0].empty() || pieces[1].empty()) return false;
  ImageName name;
  name.instance = pieces[0];
  const std::size_t hash = pieces[1].find('#');
  name.database = pieces[1].substr(0, hash);
  if (hash != std::string_view::npos) {
    const std::string_view node = pieces[1].substr(hash + 1);
    const auto [end, ec] = std::from_chars(node.data(), node.data() + node.size(), name.node);
    if (ec != std::errc() || end != node.data() + node.size() || name.node < 0) return false;
  }
  name.timestamp = pieces[2];
  if (pieces.size() > 3 && !pieces[3].empty()) {
    const auto [end, ec] =
        std::from_chars(pieces[3].data(), pieces[3].data() + pieces[3].size(), name.type);
    if (ec != std::errc() || end != pieces[3].data() + pieces[3].size()) return false;
  }
  *out = std::move(name);
  return true;
}

void FindLastSessions(const char* host, const char* instance, BarContext* handle, AgentItems* items,
                      const std::int64_t* notAfter) {
  static const char kFn[] = "CreateDataTree";
  const std::string dInstance = instance != nullptr ? instance : "";
  VekQueryScope queries(handle);
  for (AgentItem& item : *items) {
    if (item.kind == kItemLog || !item.sessionId.empty()) continue;
    DbgPlain(kTrace, "[%s] Looking for last session", kFn);
    if (queries.rc() == 0) {
      const std::vector<std::string> sessions =
          SessionsHolding(host, dInstance, handle, item, notAfter);
      if (!sessions.empty()) item.sessionId = sessions.front();
    }
    if (item.sessionId.empty())
      DbgPlain(kDbgAlways, "[%s] No sessions found for database %s", kFn, item.database.c_str());
    else
      DbgPlain(kTrace, "[%s] items->items[i].sessionID=%s", kFn, item.sessionId.c_str());
  }
}

std::vector<std::string> FindSessions(const char* host, const char* instance, BarContext* handle,
                                      const AgentItem& item, const std::int64_t* notAfter) {
  VekQueryScope queries(handle);
  if (queries.rc() != 0) return {};
  return SessionsHolding(host, instance != nullptr ? instance : "", handle, item, notAfter);
}

int FindSessionImages(const char* host, const char* instance, BarContext* handle, DataTree* tree) {
  static const char kFn[] = "CreateDataTree";
  const std::string dInstance = instance != nullptr ? instance : "";
  VekQueryScope queries(handle);
  int missing = 0;
  for (Db2Database& db : *tree) {
    if (db.sessionId.empty() || queries.rc() != 0) {
      ++missing;
      continue;
    }
    DbgPlain(kTrace, "[%s] Looking for objects for session %s", kFn, db.sessionId.c_str());
    QueryArray<VEK_ObjectVersion> found(VEK_ObjectVersionFree);
    VEK_QueryObjectsOfSessionEx(VEK_ContextCatalog(handle), db.sessionId.c_str(), host, kDb2Label,
                                0, &found.count, &found.records);
    if (found.count == 0)
      DbgPlain(kDbgAlways, "[%s] No objects found for session %s", kFn, db.sessionId.c_str());
    AgentItem wanted;
    wanted.database = db.name;
    if (db.hasTablespaces && !db.tablespaces.empty()) {
      wanted.kind = kItemTablespace;
      wanted.tablespace = db.tablespaces.front();
    }
    const std::string entry = TreeEntry(dInstance, wanted);
    int index = 0;
    for (const VEK_ObjectVersion& ov : found) {
      const int number = index++;
      DbgPlain(kTrace, "%d object = %s", number, ov.object.mountPoint);
      ImageName name;
      if (!ParseImageName(ov.object.mountPoint, &name)) continue;
      DbgPlain(kTrace, "%d database name = %s", number, name.database.c_str());
      if (name.instance != dInstance || strcasecmp(name.database.c_str(), db.name.c_str()) != 0) {
        DbgPlain(kTrace, "DB name %s is not equal to db name %s", name.database.c_str(),
                 db.name.c_str());
        continue;
      }
      if (!TreeHoldsTraced(ov.version, entry, number)) continue;
      db.timestamp = name.timestamp;
      db.backupType = name.type;
      DbgPlain(kTrace, "[%s] Backup type is :%d", kFn, db.backupType);
      DbgPlain(kTrace, "[%s] Timestamp %s is found for database %s", kFn, db.timestamp.c_str(),
               db.name.c_str());
      break;
    }
    if (db.timestamp.empty()) {
      DbgPlain(kDbgAlways, "[%s] %s is not found in session %s", kFn, entry.c_str(),
               db.sessionId.c_str());
      ++missing;
    }
  }
  return missing == 0 ? 0 : -1;
}

int SetTimestamp(Db2Database* db, int node, const char* instance, const AgentOptions& options,
                 BarContext* handle) {
  static const char kFn[] = "SetTimestamp";
  const std::string dInstance =
      !options.fromInstance.empty() ? options.fromInstance : (instance != nullptr ? instance : "");
  DbgPlain(kTrace, "[%s] dInstance= %s", kFn, dInstance.c_str());
  const std::string host = !options.fromHost.empty() ? options.fromHost : cmnHostname;
  if (db->sessionId.empty()) return -1;
  VekQueryScope queries(handle);
  QueryArray<VEK_ObjectVersion> found(VEK_ObjectVersionFree);
  const int rc =
      VEK_QueryObjectsOfSessionEx(VEK_ContextCatalog(handle), db->sessionId.c_str(), host.c_str(),
                                  kDb2Label, 0, &found.count, &found.records);
  if (rc != 0) {
    DbgPlain(kDbgAlways, "[%s] VEK_QueryObjectsOfSAession failed with retVal %d", kFn, rc);
    return rc;
  }
  if (found.count == 0) {
    DbgPlain(kDbgAlways, "[%s] No objects found.", kFn);
    return -1;
  }
  const std::string key = dInstance + ":" + db->name + "#" + std::to_string(node);
  DbgPlain(kTrace, "[%s] Looking for %s in query results", kFn, key.c_str());
  int index = 0;
  for (const VEK_ObjectVersion& ov : found) {
    DbgPlain(kTrace, "[%s] Object number %d is %s", kFn, index++, ov.object.mountPoint);
    ImageName name;
    if (!ParseImageName(ov.object.mountPoint, &name)) continue;
    if (strcasecmp(name.instance.c_str(), dInstance.c_str()) != 0 ||
        strcasecmp(name.database.c_str(), db->name.c_str()) != 0 || name.node != node)
      continue;
    DbgPlain(kTrace, "[%s] Match found %s", kFn, ov.object.mountPoint);
    if (name.timestamp.empty()) {
      DbgPlain(kTrace, "[%s] Old backup object detected, timestemp is left unchanged", kFn);
      return 0;
    }
    db->timestamp = name.timestamp;
    DbgPlain(kTrace, "[%s] FoundTimestamp is %s", kFn, db->timestamp.c_str());
    return 0;
  }
  DbgPlain(kTrace, "[%s] No objects for node %d found. Possible old backup virsion", kFn, node);
  return 1;
}
