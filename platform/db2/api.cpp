// Administrative and call-level interface of the stand-in DB2, over its state
// directory and its backup and restore engine. Process-wide state (attach,
// connection settings, scans, handles) lives here, as it does in a client
// library; no call ends the process or throws to its caller.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db2/engine.h"
#include "db2/logs.h"
#include "db2/sqladmin.h"
#include "db2/sqlcli.h"
#include "db2/store.h"
#include "db2/util.h"

namespace db2sim {
namespace {

constexpr int kSqlNoEntry = -1014;       // directory scan past its last entry
constexpr int kSqlDirEmpty = 1057;       // the database directory is empty (warning)
constexpr int kSqlBadScan = -1015;       // no such directory scan
constexpr int kSqlNoInstance = -1097;    // the instance does not exist
constexpr int kSqlBadLogin = -30082;     // user name or password rejected
constexpr int kSqlNoConnection = -1024;  // no database connection

struct MessageText {
  int code;
  const char* state;
  const char* text;
};

// The stand-in's own texts for the SQLCODEs it answers with.
constexpr MessageText kTexts[] = {
    {kSqlOk, "00000", "The call completed successfully."},
    {kSqlDbNotFound, "42705", "The database alias or name was not found in the instance."},
    {kSqlNotStarted, "57019", "The instance has not been started."},
    {kSqlBadParameter, "22531", "A parameter of the call is not valid."},
    {kSqlVendorLoad, "58031", "The vendor library could not be loaded."},
    {kSqlVendorError, "58031", "The vendor library reported an error or stopped answering."},
    {kSqlImageCorrupt, "58031", "The backup image is damaged and was not restored."},
    {kSqlInternal, "58004", "An internal error occurred in the database manager."},
    {kSqlNoEntry, "01501", "The directory scan has no further entries."},
    {kSqlDirEmpty, "01606", "The database directory is empty."},
    {kSqlBadScan, "58004", "The directory scan handle is not valid."},
    {kSqlNoInstance, "58004", "The instance does not exist."},
    {kSqlBadLogin, "08001", "The user name or password was rejected."},
    {kSqlNoConnection, "08003", "There is no connection to a database."},
    {kSqlNoTableSpace, "42704", "The table space does not exist."},
    {kSqlContainerWarning, "01655",
     "Containers of the table space cannot be created; redefine them, then continue the restore."},
    {kSqlContainerBad, "57048", "A container of the table space cannot be created."},
    {kSqlRestoreOtherDb, "01000",
     "The target database exists and is not the database of the image; continue to replace it."},
    {kSqlNothingToContinue, "55000", "No restore is waiting to be continued."},
    {-2009, "57011", "The utility heap is too small for the requested buffers."},
    {kSqlNotPending, "55039", "The database is not in the roll-forward pending state."},
    {kSqlLogRetrieve, "58031", "The user exit could not retrieve a log file."},
    {kSqlLogArchive, "58031", "The user exit could not archive a log file."},
    {kSqlLogCorrupt, "58031", "A log file is damaged or a log record is missing."},
    {kSqlLogOtherChain, "58031",
     "A log file does not belong to the log chain of the restored image."},
};

const MessageText* TextOf(int code) {
  for (const auto& t : kTexts)
    if (t.code == code) return &t;
  return nullptr;
}

void SetCa(sqlca* ca, int code, const std::string& tokens = {}) {
  if (ca == nullptr) return;
  std::memset(ca, 0, sizeof *ca);
  std::memcpy(ca->sqlcaid, "SQLCA   ", 8);
  ca->sqlcabc = sizeof *ca;
  ca->sqlcode = code;
  std::size_t n = std::min(tokens.size(), sizeof ca->sqlerrmc);
  std::memcpy(ca->sqlerrmc, tokens.data(), n);
  ca->sqlerrml = static_cast<std::int16_t>(n);
  const MessageText* t = TextOf(code);
  std::memcpy(ca->sqlstate, t != nullptr ? t->state : (code < 0 ? "58004" : "01000"), 5);
}

struct Diag {
  std::string state;
  int native = 0;
  std::string text;
};

struct Handle {
  int type = 0;
  int parent = 0;
  bool connected = false;
  std::vector<Diag> diags;
};

struct ProcessState {
  std::string instance;  // attached instance; empty: DB2INSTANCE
  int connectNode = 0;
  int attachNode = 0;
  std::map<std::uint16_t, std::pair<std::vector<sqledinfo>, std::size_t>> scans;
  std::uint16_t nextScan = 1;
  std::map<int, Handle> handles;
  int nextHandle = 1;
  std::string connectedDb;
  int connectedNode = 0;
  std::vector<std::string> tableSpaceNames;  // ids of the last sqlbmtsq
  // A restore stopped for container redirection, waiting for continue or
  // terminate; its database is the "connected" one meanwhile.
  std::optional<RestoreRequest> pendingRestore;
  int contexts = 0;
};

ProcessState& P() {
  static ProcessState p;
  return p;
}

std::string CurrentInstance() {
  if (!P().instance.empty()) return P().instance;
  const char* e = std::getenv("DB2INSTANCE");
  return e != nullptr ? e : "";
}

std::string Text(const char* s, std::size_t limit = 1024) {
  return s != nullptr ? std::string(s, strnlen(s, limit)) : std::string();
}

// Logs the call and answers a fault setting for it. True when the call must
// stop (the sqlca is then set).
bool Enter(const char* call, sqlca* ca, const std::string& params) {
  try {
    Store store(StateRoot());
    LogCall(store.CallsLog(), call, params);
    if (auto f = FaultFor(store.root(), call)) {
      SetCa(ca, *f, "fault");
      LogCall(store.CallsLog(), std::string(call) + "-result", "sqlcode=" + std::to_string(*f));
      return true;
    }
  } catch (const std::exception&) {
    SetCa(ca, kSqlInternal);
    return true;
  }
  SetCa(ca, kSqlOk);
  return false;
}

// Runs `body` and turns a thrown failure into kSqlInternal; returns the sqlcode.
template <typename Body>
int Guard(sqlca* ca, Body body) {
  try {
    body();
  } catch (const std::exception& e) {
    SetCa(ca, kSqlInternal, e.what());
  }
  return ca != nullptr ? ca->sqlcode : 0;
}

void Pad8(char* out, const std::string& name) {
  std::memset(out, ' ', 8);
  std::memcpy(out, name.data(), std::min<std::size_t>(8, name.size()));
}

std::string Wrap(const std::string& text, std::size_t width) {
  if (width == 0) return text;
  std::string out, line;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t sp = text.find(' ', at);
    std::string word = text.substr(at, sp == std::string::npos ? std::string::npos : sp - at);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    if (sp == std::string::npos) break;
    at = sp + 1;
  }
  return out + line;
}

// Vendor-call and user-exit time-outs from their settings.
int TimeoutSetting(const char* name) {
  const char* t = std::getenv(name);
  return t != nullptr ? std::max(100, std::atoi(t)) : 60000;
}

// Buffers are counted in 4 KiB pages; 0 takes 1024 pages.
int BufferBytes(std::uint32_t pages) {
  return static_cast<int>(std::min<std::uint32_t>(pages == 0 ? 1024 : pages, 16384) * 4096);
}

// The 33-byte application id a backup or restore hands back.
void FillApplicationId(char* out, const std::string& instance) {
  if (out == nullptr) return;
  std::string id = "*LOCAL." + instance.substr(0, 16) + "." + std::to_string(::getpid());
  std::memcpy(out, id.c_str(), std::min<std::size_t>(id.size(), 32) + 1);
  out[32] = '\0';
}

// Table-space names of a backup or restore list; empty for none. False when
// the list is malformed.
bool TableSpaceNames(const sqlu_tablespace_bkrst_list* list, std::vector<std::string>& out) {
  out.clear();
  if (list == nullptr) return true;
  if (list->num_entry < 0 || list->num_entry > 4096 ||
      (list->num_entry > 0 && list->tablespace == nullptr))
    return false;
  for (std::int32_t i = 0; i < list->num_entry; ++i) {
    const auto& e = list->tablespace[i];
    std::string name(e.tablespace_entry, strnlen(e.tablespace_entry, sizeof e.tablespace_entry));
    if (!IsSafeName(name)) return false;
    out.push_back(name);
  }
  return true;
}

int CopyText(char* buffer, std::int16_t size, const std::string& text) {
  if (buffer == nullptr || size <= 0 || text.size() + 1 > static_cast<std::size_t>(size)) return -2;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

}  // namespace
}  // namespace db2sim

using namespace db2sim;

extern "C" {

int sqlefmem_api(sqlca* ca, void* memory) {
  if (Enter("sqlefmem_api", ca, "")) return ca->sqlcode;
  std::free(memory);
  return 0;
}

int sqleatin_api(const char* instance, const char* user, const char* password, sqlca* ca) {
  std::string name =
      instance != nullptr && *instance != '\0' ? Text(instance, 64) : CurrentInstance();
  if (Enter("sqleatin_api", ca, "instance=" + name + " user=" + Text(user, 64))) return ca->sqlcode;
  return Guard(ca, [&] {
    Store store(StateRoot());
    if (!IsSafeName(name) || !Exists(store.root() + "/instances/" + name + "/instance.cfg"))
      return SetCa(ca, kSqlNoInstance, name);
    Instance inst = store.ReadInstance(name);
    if (!inst.started) return SetCa(ca, kSqlNotStarted);
    if (user != nullptr && !inst.user.empty() &&
        (Text(user, 64) != inst.user || Text(password, 256) != inst.password))
      return SetCa(ca, kSqlBadLogin);
    P().instance = name;
  });
}

int sqledtin_api(sqlca* ca) {
  if (Enter("sqledtin_api", ca, "")) return ca->sqlcode;
  P().instance.clear();
  return 0;
}

int sqlesetc_api(sqle_conn_setting* settings, std::uint16_t count, sqlca* ca) {
  std::string params;
  for (std::uint16_t i = 0; settings != nullptr && i < count; ++i)
    params += std::to_string(settings[i].type) + ":" + std::to_string(settings[i].value) + " ";
  if (Enter("sqlesetc_api", ca, params)) return ca->sqlcode;
  if (settings == nullptr && count > 0) return SetCa(ca, kSqlBadParameter), kSqlBadParameter;
  // "sqlesetc_api.node<N>=<sqlcode>" refuses the switch to partition N only.
  for (std::uint16_t i = 0; i < count; ++i) {
    if (settings[i].type != SQL_CONNECT_NODE && settings[i].type != SQL_ATTACH_NODE) continue;
    std::optional<int> fault;
    try {
      fault = FaultFor(Store(StateRoot()).root(),
                       "sqlesetc_api.node" + std::to_string(settings[i].value));
    } catch (const std::exception&) {
      fault = kSqlInternal;
    }
    if (fault) return SetCa(ca, *fault, "fault"), *fault;
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    if (settings[i].type == SQL_CONNECT_NODE)
      P().connectNode = settings[i].value;
    else if (settings[i].type == SQL_ATTACH_NODE)
      P().attachNode = settings[i].value;
  }
  return 0;
}

int sqleBeginCtx(void** context, std::int32_t options, void*, sqlca* ca) {
  if (Enter("sqleBeginCtx", ca, "options=" + std::to_string(options))) return ca->sqlcode;
  ++P().contexts;
  if (context != nullptr) *context = &P();
  return 0;
}

int sqleEndCtx(void** context, std::int32_t options, void*, sqlca* ca) {
  if (Enter("sqleEndCtx", ca, "options=" + std::to_string(options))) return ca->sqlcode;
  if (P().contexts == 0) return SetCa(ca, kSqlBadParameter), kSqlBadParameter;
  --P().contexts;
  if (context != nullptr) *context = nullptr;
  return 0;
}

int sqledosd_api(const char* path, std::uint16_t* handle, std::uint16_t* count, sqlca* ca) {
  if (Enter("sqledosd_api", ca, "path=" + Text(path))) return ca->sqlcode;
  if (handle == nullptr || count == nullptr) return SetCa(ca, kSqlBadParameter), kSqlBadParameter;
  return Guard(ca, [&] {
    Store store(StateRoot());
    std::string inst = CurrentInstance();
    if (!IsSafeName(inst)) return SetCa(ca, kSqlNoInstance);
    std::vector<sqledinfo> entries;
    for (const auto& name : store.ListDatabases(inst)) {
      if (!store.HasDatabase(inst, name)) continue;
      Database db = store.ReadDatabase(inst, name);
      sqledinfo e;
      std::memset(&e, ' ', sizeof e);
      Pad8(e.alias, name);
      Pad8(e.dbname, name);
      e.com_codepage = 1208;
      e.type = '0';
      e.authentication = 0;
      e.cat_nodenum = static_cast<std::int16_t>(db.catalog);
      e.nodenum = static_cast<std::int16_t>(db.catalog);
      entries.push_back(e);
    }
    *count = static_cast<std::uint16_t>(entries.size());
    *handle = P().nextScan++;
    P().scans[*handle] = {std::move(entries), 0};
    if (*count == 0) SetCa(ca, kSqlDirEmpty);
  });
}

int sqledgne_api(std::uint16_t handle, sqledinfo** entry, sqlca* ca) {
  if (Enter("sqledgne_api", ca, "handle=" + std::to_string(handle))) return ca->sqlcode;
  auto it = P().scans.find(handle);
  if (it == P().scans.end() || entry == nullptr) return SetCa(ca, kSqlBadScan), kSqlBadScan;
  auto& [entries, next] = it->second;
  if (next >= entries.size()) return SetCa(ca, kSqlNoEntry), kSqlNoEntry;
  *entry = &entries[next++];
  return 0;
}

int sqledcls_api(std::uint16_t handle, sqlca* ca) {
  if (Enter("sqledcls_api", ca, "handle=" + std::to_string(handle))) return ca->sqlcode;
  if (P().scans.erase(handle) == 0) return SetCa(ca, kSqlBadScan), kSqlBadScan;
  return 0;
}

int sqlbmtsq(sqlca* ca, std::uint32_t* count, SQLB_TBSPQRY_DATA*** data, std::uint32_t,
             std::uint32_t) {
  if (Enter("sqlbmtsq", ca, "db=" + P().connectedDb)) return ca->sqlcode;
  if (count == nullptr || data == nullptr) return SetCa(ca, kSqlBadParameter), kSqlBadParameter;
  if (P().connectedDb.empty()) return SetCa(ca, kSqlNoConnection), kSqlNoConnection;
  return Guard(ca, [&] {
    Store store(StateRoot());
    auto names = store.TableSpaces(CurrentInstance(), P().connectedDb, P().connectedNode);
    // One block: the pointer array, then the records, freed by sqlefmem_api.
    std::size_t n = names.size();
    void* block =
        std::calloc(1, n * sizeof(SQLB_TBSPQRY_DATA*) + n * sizeof(SQLB_TBSPQRY_DATA) + 1);
    if (block == nullptr) return SetCa(ca, kSqlInternal);
    auto** ptrs = static_cast<SQLB_TBSPQRY_DATA**>(block);
    auto* recs = reinterpret_cast<SQLB_TBSPQRY_DATA*>(ptrs + n);
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(recs[i].tbspqver, "SQLB0001", 8);
      recs[i].id = static_cast<std::uint32_t>(i);
      recs[i].nameLen = static_cast<std::uint32_t>(std::min<std::size_t>(names[i].size(), 127));
      std::memcpy(recs[i].name, names[i].data(), recs[i].nameLen);
      recs[i].nContainers = static_cast<std::uint32_t>(
          store.Containers(CurrentInstance(), P().connectedDb, P().connectedNode, names[i]).size());
      ptrs[i] = &recs[i];
    }
    P().tableSpaceNames = names;
    *count = static_cast<std::uint32_t>(n);
    *data = ptrs;
  });
}

int sqlbtcq(sqlca* ca, std::uint32_t tableSpaceId, std::uint32_t* count,
            SQLB_TBSCONTQRY_DATA** containers) {
  if (Enter("sqlbtcq", ca, "id=" + std::to_string(tableSpaceId))) return ca->sqlcode;
  if (count == nullptr || containers == nullptr)
    return SetCa(ca, kSqlBadParameter), kSqlBadParameter;
  if (P().connectedDb.empty()) return SetCa(ca, kSqlNoConnection), kSqlNoConnection;
  if (tableSpaceId >= P().tableSpaceNames.size())
    return SetCa(ca, kSqlNoTableSpace), kSqlNoTableSpace;
  return Guard(ca, [&] {
    Store store(StateRoot());
    auto paths = store.Containers(CurrentInstance(), P().connectedDb, P().connectedNode,
                                  P().tableSpaceNames[tableSpaceId]);
    auto* recs = static_cast<SQLB_TBSCONTQRY_DATA*>(
        std::calloc(paths.size() + 1, sizeof(SQLB_TBSCONTQRY_DATA)));
    if (recs == nullptr) return SetCa(ca, kSqlInternal);
    for (std::size_t i = 0; i < paths.size(); ++i) {
      recs[i].id = static_cast<std::uint32_t>(i);
      recs[i].nTbs = 1;
      recs[i].tbsID = tableSpaceId;
      recs[i].nameLen = static_cast<std::uint32_t>(std::min<std::size_t>(paths[i].size(), 255));
      std::memcpy(recs[i].name, paths[i].data(), recs[i].nameLen);
      recs[i].ok = Exists(paths[i]) ? 1 : 0;
    }
    *count = static_cast<std::uint32_t>(paths.size());
    *containers = recs;
  });
}

int sqlbstsc(sqlca* ca, std::uint32_t option, std::uint32_t tableSpaceId, std::uint32_t count,
             SQLB_TBSCONTQRY_DATA* containers) {
  if (Enter("sqlbstsc", ca,
            "option=" + std::to_string(option) + " id=" + std::to_string(tableSpaceId) +
                " count=" + std::to_string(count)))
    return ca->sqlcode;
  if (P().connectedDb.empty()) return SetCa(ca, kSqlNoConnection), kSqlNoConnection;
  if (tableSpaceId >= P().tableSpaceNames.size())
    return SetCa(ca, kSqlNoTableSpace), kSqlNoTableSpace;
  if (count == 0 || count > 1000 || containers == nullptr)
    return SetCa(ca, kSqlBadParameter), kSqlBadParameter;
  return Guard(ca, [&] {
    std::string list;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string name(containers[i].name, strnlen(containers[i].name, sizeof containers[i].name));
      if (name.empty() || name[0] != '/' || name.find('\n') != std::string::npos)
        return SetCa(ca, kSqlBadParameter, name);
      list += name + "\n";
    }
    Store store(StateRoot());
    WriteWholeFile(store.NodeDir(CurrentInstance(), P().connectedDb, P().connectedNode) + "/ts/" +
                       P().tableSpaceNames[tableSpaceId] + "/containers",
                   list);
  });
}

int sqlubkp(const char* alias, std::uint32_t bufferSize, std::uint32_t backupMode,
            std::uint32_t backupType, std::uint32_t callerAction, char* applicationId,
            char* timestamp, std::uint32_t numBuffers, sqlu_tablespace_bkrst_list* tableSpaces,
            sqlu_media_list* media, const char* user, const char*, void*,
            std::uint32_t vendorOptionsSize, void* vendorOptions, std::uint32_t parallelism,
            std::uint32_t* backupSize, void*, void*, sqlca* ca) {
  // The engine logs the call itself; only the fault and the checks of the
  // parameter blocks happen here.
  SetCa(ca, kSqlOk);
  return Guard(ca, [&] {
    if (alias == nullptr || media == nullptr || media->media_type != SQLU_OTHER_MEDIA ||
        media->target.vendor == nullptr || (vendorOptionsSize > 0 && vendorOptions == nullptr) ||
        vendorOptionsSize > (1u << 20))
      return SetCa(ca, kSqlBadParameter);
    BackupRequest req;
    if (!TableSpaceNames(tableSpaces, req.tableSpaces)) return SetCa(ca, kSqlBadParameter);
    req.instance = CurrentInstance();
    req.alias = Text(alias, 8);
    req.node = P().attachNode;
    req.library = Text(media->target.vendor->shr_lib, sizeof media->target.vendor->shr_lib);
    req.sessions = media->sessions;
    req.bufferSize = BufferBytes(bufferSize);
    req.callerAction = callerAction == SQLUB_PARM_CHECK_ONLY ? kCallerActionCheckOnly : 0;
    // "<D|T> <level>": database or table-space image; level 0 full, 1 incremental, 3 delta.
    char level = (backupType & 48) == 48 ? '3' : (backupType & 16) ? '1' : '0';
    req.type = std::string((backupType & 3) == 3 ? "T " : "D ") + level;
    if (vendorOptionsSize > 0)
      req.options.assign(static_cast<const char*>(vendorOptions), vendorOptionsSize);
    req.timeoutMs = TimeoutSetting("TARN_DB2_VENDOR_TIMEOUT_MS");
    Store store(StateRoot());
    LogCall(store.CallsLog(), "sqlubkp-parameters",
            "mode=" + std::to_string(backupMode) + " type=" + std::to_string(backupType) +
                " buffers=" + std::to_string(numBuffers) +
                " parallelism=" + std::to_string(parallelism) + " user=" + Text(user, 64) +
                " options=" + std::to_string(vendorOptionsSize));
    if (callerAction != SQLUB_BACKUP && callerAction != SQLUB_PARM_CHECK_ONLY)
      return SetCa(ca, kSqlBadParameter);
    Result r = RunBackup(req);
    SetCa(ca, r.sqlcode, r.message);
    if (r.sqlcode != 0) return;
    if (timestamp != nullptr && !r.timestamp.empty())
      std::memcpy(timestamp, r.timestamp.c_str(), 15);
    FillApplicationId(applicationId, req.instance);
    if (backupSize != nullptr)
      *backupSize = static_cast<std::uint32_t>((r.bytes + (1 << 20) - 1) >> 20);
  });
}

// The incremental bits of a restore type.
constexpr std::uint32_t kRestoreIncrementalFlags = 0x110;

int sqlurestore(const char* source, const char* target, std::uint32_t bufferSize, std::uint32_t,
                std::uint32_t, std::uint32_t restoreType, std::uint32_t, std::uint32_t callerAction,
                char* applicationId, const char* timestamp, const char*, std::uint32_t, const char*,
                sqlu_tablespace_bkrst_list* tableSpaces, sqlu_media_list* media, const char*,
                const char*, const char*, std::uint32_t vendorOptionsSize, void* vendorOptions,
                std::uint32_t, void*, void*, void*, sqlca* ca) {
  SetCa(ca, kSqlOk);
  return Guard(ca, [&] {
    Store store(StateRoot());
    auto& pending = P().pendingRestore;
    if (callerAction == SQLUD_TERMINATE) {
      LogCall(store.CallsLog(), "sqlurestore",
              std::string("action=terminate pending=") + (pending ? "1" : "0"));
      if (pending) P().connectedDb.clear();
      pending.reset();
      return;
    }
    std::optional<RestoreRequest> run;
    if (callerAction == SQLUD_CONTINUE) {
      LogCall(store.CallsLog(), "sqlurestore",
              std::string("action=continue pending=") + (pending ? "1" : "0"));
      if (!pending) return SetCa(ca, kSqlNothingToContinue);
      run = pending;
    } else {
      if (source == nullptr || timestamp == nullptr || media == nullptr ||
          media->media_type != SQLU_OTHER_MEDIA || media->target.vendor == nullptr ||
          (vendorOptionsSize > 0 && vendorOptions == nullptr) || vendorOptionsSize > (1u << 20))
        return SetCa(ca, kSqlBadParameter);
      // The whole-database (0) and table-space (3) forms, each with the
      // incremental flags or without them.
      const std::uint32_t form = restoreType & ~kRestoreIncrementalFlags;
      if ((form != 0 && form != 3) ||
          (callerAction != SQLUD_RESTORE && callerAction != SQLUD_NOINTERRUPT &&
           callerAction != SQLUD_RESTORE_STORDEF))
        return SetCa(ca, kSqlBadParameter);
      LogCall(store.CallsLog(), "sqlurestore", "caller=" + std::to_string(callerAction));
      RestoreRequest req;
      if (form == 3 && !TableSpaceNames(tableSpaces, req.tableSpaces))
        return SetCa(ca, kSqlBadParameter);
      req.instance = CurrentInstance();
      req.alias = Text(source, 8);
      req.target = target != nullptr && *target != '\0' ? Text(target, 8) : std::string();
      req.node = P().attachNode;
      req.library = Text(media->target.vendor->shr_lib, sizeof media->target.vendor->shr_lib);
      req.sessions = media->sessions;
      req.bufferSize = BufferBytes(bufferSize);
      req.timestamp = Text(timestamp, 14);
      req.type = form == 3 ? "T 0" : "D 0";
      if (vendorOptionsSize > 0)
        req.options.assign(static_cast<const char*>(vendorOptions), vendorOptionsSize);
      req.timeoutMs = TimeoutSetting("TARN_DB2_VENDOR_TIMEOUT_MS");
      run = req;
      pending.reset();
      // Replacing an existing database of another name waits for the
      // caller's continue or terminate.
      if (!req.target.empty() && req.target != req.alias && IsSafeName(req.instance) &&
          store.HasDatabase(req.instance, req.target)) {
        pending = run;
        LogCall(store.CallsLog(), "sqlurestore-result", "sqlcode=2529 target=" + req.target);
        return SetCa(ca, kSqlRestoreOtherDb, req.target);
      }
    }
    std::string into = run->target.empty() ? run->alias : run->target;
    // Containers whose folder is missing cannot be created: stop with the
    // warning so the caller can redefine them, or fail a continue.
    if (IsSafeName(run->instance) && store.HasDatabase(run->instance, into) &&
        Exists(store.NodeDir(run->instance, into, run->node))) {
      for (const auto& ts : store.TableSpaces(run->instance, into, run->node))
        for (const auto& path : store.Containers(run->instance, into, run->node, ts)) {
          if (Exists(path.substr(0, path.rfind('/')))) continue;
          if (callerAction == SQLUD_CONTINUE) return SetCa(ca, kSqlContainerBad, path);
          pending = run;
          P().connectedDb = into;
          P().connectedNode = run->node;
          LogCall(store.CallsLog(), "sqlurestore-result", "sqlcode=1277 container=" + path);
          return SetCa(ca, kSqlContainerWarning, path);
        }
    }
    if (pending) P().connectedDb.clear();
    pending.reset();
    Result r = RunRestore(*run);
    SetCa(ca, r.sqlcode, r.message);
    if (r.sqlcode == 0) FillApplicationId(applicationId, run->instance);
  });
}

int sqluroll_api(rfwd_input* input, rfwd_output* output, sqlca* ca) {
  std::string alias = input != nullptr ? Text(input->pDbAlias, 8) : std::string();
  std::string stop =
      input != nullptr && input->pStopTime != nullptr ? Text(input->pStopTime, 26) : std::string();
  if (Enter("sqluroll_api", ca, "alias=" + alias + " stop=" + stop)) return ca->sqlcode;
  return Guard(ca, [&] {
    if (input == nullptr || alias.empty() || input->CallerAction != SQLUM_ROLLFWD_STOP)
      return SetCa(ca, kSqlBadParameter);
    Store store(StateRoot());
    std::string inst = CurrentInstance();
    if (!IsSafeName(inst) || !store.HasDatabase(inst, alias)) return SetCa(ca, kSqlDbNotFound);
    if (stop.empty()) stop = "9999-12-31-23.59.59.999999";
    int timeoutMs = TimeoutSetting("TARN_DB2_USEREXIT_TIMEOUT_MS");
    Database db = store.ReadDatabase(inst, alias);
    int replies = 0, pending = 0;
    for (int node : db.partitions) {
      if (!store.ReadNodeState(inst, alias, node).rfPending) continue;
      ++pending;
      int applied = 0;
      int code = RollForwardNode(store, inst, alias, node, stop, timeoutMs, applied);
      LogCall(store.CallsLog(), "sqluroll_api-node",
              "node=" + std::to_string(node) + " sqlcode=" + std::to_string(code) +
                  " applied=" + std::to_string(applied));
      if (output != nullptr && output->pNodeInfo != nullptr && replies < input->NumNodeInfo) {
        sqlurf_info& info = output->pNodeInfo[replies];
        std::memset(&info, 0, sizeof info);
        info.nodenum = static_cast<std::int16_t>(node);
        info.state = code;
      }
      ++replies;
      if (code != kSqlOk) return SetCa(ca, code);
    }
    if (pending == 0) return SetCa(ca, kSqlNotPending);
    if (output != nullptr && output->pNumReplies != nullptr) *output->pNumReplies = replies;
    if (output != nullptr) FillApplicationId(output->pApplicationId, inst);
  });
}

int sqlaintp_api(char* buffer, std::int16_t bufferSize, std::int16_t lineWidth, const char*,
                 sqlca* ca) {
  if (ca == nullptr) return -1;
  const MessageText* t = TextOf(ca->sqlcode);
  if (t == nullptr) return -1;
  int code = ca->sqlcode;
  std::string text =
      "SQL" + std::to_string(code < 0 ? -code : code) + (code < 0 ? "N  " : "W  ") + t->text;
  return CopyText(buffer, bufferSize,
                  Wrap(text, lineWidth > 0 ? static_cast<std::size_t>(lineWidth) : 0));
}

int sqlogstt(char* buffer, std::int16_t bufferSize, std::int16_t lineWidth, char* sqlstate) {
  if (sqlstate == nullptr) return -1;
  std::string state(sqlstate, strnlen(sqlstate, 5));
  for (const auto& t : kTexts)
    if (state == t.state) {
      std::string text = "SQLSTATE " + state + ": " + t.text;
      return CopyText(buffer, bufferSize,
                      Wrap(text, lineWidth > 0 ? static_cast<std::size_t>(lineWidth) : 0));
    }
  return -1;
}

// --- call-level interface -----------------------------------------------------

SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
  sqlca ca;
  if (Enter("SQLAllocHandle", &ca,
            "type=" + std::to_string(type) + " input=" + std::to_string(input)))
    return SQL_ERROR;
  if (output == nullptr) return SQL_ERROR;
  if (type == SQL_HANDLE_DBC) {
    auto it = P().handles.find(input);
    if (it == P().handles.end() || it->second.type != SQL_HANDLE_ENV) return SQL_INVALID_HANDLE;
  } else if (type != SQL_HANDLE_ENV) {
    return SQL_ERROR;
  }
  int h = P().nextHandle++;
  P().handles[h] = Handle{type, input, false, {}};
  *output = h;
  return SQL_SUCCESS;
}

SQLRETURN SQLConnect(SQLHDBC connection, SQLCHAR* server, SQLSMALLINT serverLength, SQLCHAR*,
                     SQLSMALLINT, SQLCHAR*, SQLSMALLINT) {
  auto it = P().handles.find(connection);
  if (it == P().handles.end() || it->second.type != SQL_HANDLE_DBC) return SQL_INVALID_HANDLE;
  Handle& h = it->second;
  h.diags.clear();
  std::string db;
  if (server != nullptr) {
    const char* s = reinterpret_cast<const char*>(server);
    db = serverLength == SQL_NTS ? Text(s, 64)
         : serverLength > 0 ? std::string(s, strnlen(s, static_cast<std::size_t>(serverLength)))
                            : std::string();
  }
  sqlca ca;
  bool faulted = Enter("SQLConnect", &ca, "db=" + db + " node=" + std::to_string(P().connectNode));
  try {
    Store store(StateRoot());
    std::string inst = CurrentInstance();
    if (!faulted) {
      if (!IsSafeName(inst) || !Exists(store.root() + "/instances/" + inst + "/instance.cfg"))
        SetCa(&ca, kSqlNoInstance);
      else if (!store.ReadInstance(inst).started)
        SetCa(&ca, kSqlNotStarted);
      else if (!store.HasDatabase(inst, db) || !Exists(store.NodeDir(inst, db, P().connectNode)))
        SetCa(&ca, kSqlDbNotFound, db);
    }
  } catch (const std::exception&) {
    SetCa(&ca, kSqlInternal);
  }
  if (ca.sqlcode < 0) {
    const MessageText* t = TextOf(ca.sqlcode);
    h.diags.push_back({std::string(ca.sqlstate, 5), ca.sqlcode,
                       t != nullptr ? t->text : "The call failed by a fault setting."});
    return SQL_ERROR;
  }
  h.connected = true;
  P().connectedDb = db;
  P().connectedNode = P().connectNode;
  return SQL_SUCCESS;
}

SQLRETURN SQLDisconnect(SQLHDBC connection) {
  auto it = P().handles.find(connection);
  if (it == P().handles.end() || it->second.type != SQL_HANDLE_DBC) return SQL_INVALID_HANDLE;
  Handle& h = it->second;
  h.diags.clear();
  sqlca ca;
  if (Enter("SQLDisconnect", &ca, "handle=" + std::to_string(connection))) {
    h.diags.push_back(
        {std::string(ca.sqlstate, 5), ca.sqlcode, "The call failed by a fault setting."});
    return SQL_ERROR;
  }
  if (!h.connected) {
    h.diags.push_back({"08003", kSqlNoConnection, TextOf(kSqlNoConnection)->text});
    return SQL_ERROR;
  }
  h.connected = false;
  P().connectedDb.clear();
  return SQL_SUCCESS;
}

SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
  sqlca ca;
  if (Enter("SQLFreeHandle", &ca,
            "type=" + std::to_string(type) + " handle=" + std::to_string(handle)))
    return SQL_ERROR;
  auto it = P().handles.find(handle);
  if (it == P().handles.end() || it->second.type != type) return SQL_INVALID_HANDLE;
  if (type == SQL_HANDLE_ENV)
    for (const auto& [id, h] : P().handles)
      if (h.type == SQL_HANDLE_DBC && h.parent == handle) {
        it->second.diags = {
            {"HY010", -99999, "Connections of the environment are still allocated."}};
        return SQL_ERROR;
      }
  if (it->second.connected) P().connectedDb.clear();
  P().handles.erase(it);
  return SQL_SUCCESS;
}

SQLRETURN SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR* state,
                        SQLINTEGER* nativeError, SQLCHAR* message, SQLSMALLINT bufferLength,
                        SQLSMALLINT* textLength) {
  auto it = P().handles.find(handle);
  if (it == P().handles.end() || it->second.type != type) return SQL_INVALID_HANDLE;
  if (record < 1) return SQL_ERROR;
  const auto& diags = it->second.diags;
  if (static_cast<std::size_t>(record) > diags.size()) return SQL_NO_DATA_FOUND;
  const Diag& d = diags[static_cast<std::size_t>(record - 1)];
  if (state != nullptr) {
    std::memcpy(state, d.state.c_str(), std::min<std::size_t>(d.state.size(), 5));
    state[std::min<std::size_t>(d.state.size(), 5)] = '\0';
  }
  if (nativeError != nullptr) *nativeError = d.native;
  std::string text =
      "[stand-in][CLI] SQL" + std::to_string(d.native < 0 ? -d.native : d.native) + "N  " + d.text;
  if (textLength != nullptr) *textLength = static_cast<SQLSMALLINT>(text.size());
  if (message != nullptr && bufferLength > 0) {
    std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(bufferLength) - 1);
    std::memcpy(message, text.data(), n);
    message[n] = '\0';
    if (n < text.size()) return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

}  // extern "C"
