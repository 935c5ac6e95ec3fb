// Partition restore: the parameter block, DB2's restore call with its
// continue and terminate, container redirection and the restore loop.
#include "kestrel/restore.h"

#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "bar2/barquery.h"
#include "barutil/bp.h"
#include "barutil/buconfig.h"
#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/user.h"
#include "db2/db2common.h"
#include "db2/db2conn.h"
#include "db2/db2msg.h"
#include "db2/owned.h"
#include "db2/vendoropts.h"
#include "kestrel/backup.h"
#include "kestrel/rollfwd.h"
#include "kestrel/sessions.h"
#include "task/task.h"

TARN_RCSID("integ/db2/kestrel/restore.cpp");

namespace {

constexpr int kTrace = 20;
constexpr int kBufferTrace = 6;
constexpr int kDb2ObjectType = 5;
constexpr char kDb2Label[] = "DB2";
constexpr int kReportMajor = 1;
constexpr std::uint32_t kDefaultBufferSize = 1024;
constexpr std::size_t kContainerNameMax = 255;
constexpr int kContainersInaccessible = 15021;
constexpr int kSqlRestoreBenign = -2542;
constexpr int kSqlUtilHeapTooSmall = -2073;
constexpr int kSqlRedirect = 1277;

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

// A decimal setting within [1, max]: true and the value; false when unset or
// not such a number (the default then applies).
bool ReadSetting(const char* name, int max, int* out) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > max) return false;
  *out = static_cast<int>(value);
  return true;
}

void ReportText(const char* function, const std::string& text) {
  ErhFullReport(function, kErhMajor, text.c_str());
}

// Catalogue objects of the image of `db` on `node`: under the part name with
// the partition, else under the older name without it.
int CountImageObjects(BarContext* handle, const std::string& instance, const Db2Database& db,
                      int node) {
  static const char kFn[] = "FillrstInfo";
  VEK_Catalog* catalog = VEK_ContextCatalog(handle);
  VekQueryScope queries(handle);
  if (queries.rc() != 0) return 0;
  auto count = [&](const std::string& part) {
    DbgPlain(kTrace, "VEK_QueryObjectsPartName(%s)", part.c_str());
    int n = 0;
    VEK_Object* objects = nullptr;
    VEK_QueryObjectsPartName(catalog, kDb2ObjectType, part.c_str(), kDb2Label, &n, &objects);
    int kept = 0;
    for (int i = 0; i < n; ++i) {
      std::string_view mp = objects[i].mountPoint;
      if (!mp.empty() && mp.front() == '/') mp.remove_prefix(1);
      kept += mp.substr(0, part.size()) == part;
    }
    if (objects != nullptr) VEK_FreeArray(n, objects, sizeof(VEK_Object), nullptr);
    return kept;
  };
  int n = count(instance + ":" + db.name + "#" + std::to_string(node) + ":" + db.timestamp + ":");
  if (n == 0) n = count(instance + ":" + db.name + ":" + db.timestamp + ":");
  DbgPlain(kTrace, "[%s] nObjects:%d", kFn, n);
  return n;
}

void TraceBlock(const char* fn, const RstInfo& info) {
  DbgPlain(kTrace,
           "[%s] sqlurestore is calling with following parameters:\npSourceDbAlias    = "
           "%s\npTargetDbAlias    = %s\nBufferSize        = %u\nRollforward mode  = %u\nDatalink "
           "mode     = %u\nRestoreType       = %u\nRestoreMode       = %u\nCallerAction      = "
           "%u\nNumBuffers        = %u\nVendorOptionsSize = %zu\nParallelism       = "
           "%u\nTimestamp         = %s",
           fn, info.pSourceDbAlias.c_str(), info.pTargetDbAlias.c_str(), info.bufferSize,
           info.rollforwardMode, info.datalinkMode, info.RestoreType, info.RestoreMode,
           info.callerAction, info.numBuffers, info.vendorOptions.size(), info.parallelism,
           info.timestamp.c_str());
}

// One call of DB2's restore with the block's values; `action` and the
// restore type, target and timestamp as the call needs them.
void CallRestore(RstInfo* info, std::uint32_t action) {
  const bool first = action != kRestoreActionContinue;
  VendorMedia vm(info->library, info->parallelism, info->tablespaces);
  sqlu_media_list& media = vm.media;
  sqlu_tablespace_bkrst_list& list = vm.list;
  const bool tablespaces = (info->RestoreType & 0xF) == kRestoreTablespaces;
  info->ca = sqlca{};
  sqlurestore(info->pSourceDbAlias.c_str(), first ? OrNull(info->pTargetDbAlias) : nullptr,
              info->bufferSize, info->rollforwardMode, info->datalinkMode,
              first ? info->RestoreType : kRestoreDatabase, info->RestoreMode, action,
              info->applicationId, first ? info->timestamp.c_str() : nullptr, nullptr,
              info->numBuffers, nullptr, first && tablespaces ? &list : nullptr, &media,
              OrNull(info->user), OrNull(info->user) != nullptr ? info->password.c_str() : nullptr,
              nullptr, static_cast<std::uint32_t>(info->vendorOptions.size()),
              info->vendorOptions.empty() ? nullptr : info->vendorOptions.data(), info->parallelism,
              nullptr, nullptr, nullptr, &info->ca);
}

// Continue or terminate: 0, or -1 when DB2 answers with an error.
int FollowUp(RstInfo* info, std::uint32_t action, const char* fn) {
  RstInfo shown = *info;
  shown.callerAction = action;
  TraceBlock(fn, shown);
  ErhFullReportPacked(
      fn, kReportInfo,
      NlsPackMessage(kDb2MsgSet, kDb2MsgRestoreStarted, info->pSourceDbAlias.c_str(), info->node));
  CallRestore(info, action);
  VEKSqlInfoPrint("restoring the database", &info->ca, __LINE__, rcsId);
  if (info->ca.sqlcode < 0) return -1;
  if (action == kRestoreActionTerminate)
    ReportText(fn, "The restore of database " + info->pSourceDbAlias + ", partition " +
                       std::to_string(info->node) + " was aborted.");
  else
    ErhFullReportPacked(
        fn, kReportInfo,
        NlsPackMessage(kDb2MsgSet, kDb2MsgRestoreDone, info->pSourceDbAlias.c_str(), info->node));
  DbgPlain(kTrace,
           action == kRestoreActionContinue
               ? "[%s] Restore of database %s is completed successfully"
               : "[%s]  Restore of database %s is completed successfully",
           fn, info->pSourceDbAlias.c_str());
  DbgPlain(kTrace, "[%s] ApplicationID = %.*s ", fn, static_cast<int>(sizeof info->applicationId),
           info->applicationId);
  if (action == kRestoreActionContinue)
    DbgPlain(kTrace, "[%s] Return code = %d", fn, info->ca.sqlcode);
  return 0;
}

bool IsNameWarning(int sqlcode) {
  return (sqlcode >= 2523 && sqlcode <= 2529) || sqlcode == 2539;
}

}  // namespace

void FreeRstInfo(RstInfo* info) {
  *info = RstInfo{};
}

int FillrstInfo(const Db2Database& db, int node, RstInfo* info, const AgentOptions& options,
                BarContext* handle, const char* instance) {
  static const char kFn[] = "FillrstInfo";
  FreeRstInfo(info);
  info->node = node;
  info->RestoreMode = db.hasTablespaces ? static_cast<std::uint32_t>(db.online) : 0;
  info->pSourceDbAlias = db.name;
  const std::string own = instance != nullptr ? instance : "";
  const std::string from = !options.fromInstance.empty() ? options.fromInstance : own;
  const int objects = CountImageObjects(handle, from, db, node);
  info->parallelism = static_cast<std::uint32_t>(std::max(objects, 1));
  DbgPlain(kTrace, "nObjects:%d parallelism=%u", objects, info->parallelism);
  if (!own.empty()) {
    Db2HeapText user, password;
    GetUserAndPass(own.c_str(), &user.p, &password.p);
    if (user.p != nullptr && password.p != nullptr) {
      info->user = user.p;
      info->password = password.p;
    }
  }
  info->pTargetDbAlias = db.newName;
  int size = 0;
  if (ReadSetting("DB2_BUFFER_SIZE", kBufferSizeMax, &size)) {
    info->bufferSize = static_cast<std::uint32_t>(size);
    DbgPlain(kBufferTrace, "[%s] The size of DB2 buffers is %d", kFn, size);
  } else {
    info->bufferSize = kDefaultBufferSize;
    DbgPlain(kBufferTrace, "[%s], DB2_BUFFER_SIZE is not set. Using default value =1024", kFn);
  }
  info->RestoreType = db.hasTablespaces ? kRestoreTablespaces : kRestoreDatabase;
  if (db.backupType != 0) info->RestoreType |= kRestoreIncrementalFlags;
  info->callerAction = kRestoreActionNoInterrupt;
  if (!db.newName.empty() || !options.fromInstance.empty())
    info->callerAction = kRestoreActionStorDef;
  info->startAction = info->callerAction;
  if (options.continueFlag != 0) info->callerAction = kRestoreActionContinue;
  info->timestamp = db.timestamp;
  int buffers = 0;
  if (ReadSetting("NUM_DB2_BUFFERS", kNumBuffersMax, &buffers)) {
    DbgPlain(kBufferTrace, "[%s] tmp=%s", kFn, std::getenv("NUM_DB2_BUFFERS"));
    DbgPlain(kBufferTrace, "[%s] The number of DB2 buffers is %d", kFn, buffers);
  } else {
    buffers = static_cast<int>(info->parallelism) * 2;
    DbgPlain(kBufferTrace, "[%s], NUM_DB2_BUFFERS is not set. Using default value =%d", kFn,
             buffers);
  }
  info->numBuffers = static_cast<std::uint32_t>(buffers);
  if (db.hasTablespaces) {
    for (const std::string& name : db.tablespaces) {
      if (name.size() > kTablespaceEntryMax) {
        ReportText(kFn, "Table space " + name + " has a name longer than " +
                            std::to_string(kTablespaceEntryMax) + " characters.");
        FreeRstInfo(info);
        return -1;
      }
      info->tablespaces.push_back(name);
    }
  }
  info->library = std::string(cmnFenLib) + "/" + kVendorLibraryName;

  VendorOptions record;
  record.barlist = AgentEnv("VEKBARLIST");
  if (record.barlist.empty()) DbgPlain(kDbgAlways, "[%s] Variable VEKBARLIST is missed", kFn);
  record.variables = VendorOptionsVariables(record.barlist, VendorOptionsOpts(options));
  record.restoreHost = options.fromHost;
  record.restoreInstance = options.fromInstance;
  if (VendorOptionsWrite(record, &info->vendorOptions) != 0) {
    ReportText(kFn, "The options for the restore of database " + db.name +
                        " are longer than DB2 can carry.");
    FreeRstInfo(info);
    return -1;
  }
  return 0;
}

int RestoreContinue(RstInfo* info) {
  return FollowUp(info, kRestoreActionContinue, "RestoreContinue");
}

int RestoreAbort(RstInfo* info) {
  return FollowUp(info, kRestoreActionTerminate, "RestoreAbort");
}

int DB2Restore(void* argument) {
  static const char kFn[] = "DB2Restore";
  auto* info = static_cast<RstInfo*>(argument);
  DB2StartForkedTask(nullptr);
  if (info == nullptr || info->pSourceDbAlias.empty()) return -1;
  const std::string instance = AgentEnv("DB2INSTANCE");
  TraceBlock(kFn, *info);
  ErhFullReportPacked(
      kFn, kReportInfo,
      NlsPackMessage(kDb2MsgSet, kDb2MsgRestoreStarted, info->pSourceDbAlias.c_str(), info->node));
  const std::string& into =
      !info->pTargetDbAlias.empty() ? info->pTargetDbAlias : info->pSourceDbAlias;
  int inaccessible = 0;
  const int test = TestContainersOnNode(into.c_str(), info->node, instance.c_str(), &inaccessible);
  if (test == kContainersInaccessible) {
    DbgPlain(kTrace, "[%s] %d Containers are not accessible they may need re-creation", kFn,
             inaccessible);
    ErhFullReportPacked(kFn, kReportInfo, NlsPackMessage(kDb2MsgSet, kDb2MsgContainersInaccessible));
  } else if (test != 0) {
    DbgPlain(kTrace,
             "[%s] TestContainersOnNode() failed not able to get table space information ", kFn);
  }

  void* context = nullptr;
  sqlca ctxCa{};
  if (sqleBeginCtx(&context, 0, nullptr, &ctxCa) != 0 || ctxCa.sqlcode < 0)
    DbgPlain(kDbgAlways, "[%s] Creation of context failed", kFn);
  struct EndContext {
    void** context;
    ~EndContext() {
      sqlca ca{};
      sqleEndCtx(context, 0, nullptr, &ca);
    }
  } endContext{&context};
  if (AttachToNode(info->node, instance.c_str()) != 0) {
    ReportText(kFn, "Partition " + std::to_string(info->node) + " of database " +
                        info->pSourceDbAlias + " could not be attached; it is not restored.");
    return -1;
  }
  // Whatever the call's action, the first call starts a restore, with the
  // action it would have had without "continue".
  const std::uint32_t action =
      info->callerAction == kRestoreActionContinue ? info->startAction : info->callerAction;
  CallRestore(info, action);
  VEKSqlInfoPrint("restoring the database", &info->ca, __LINE__, rcsId);
  const int sqlcode = info->ca.sqlcode;
  if (sqlcode < 0) {
    if (sqlcode == kSqlUtilHeapTooSmall) {
      ReportUtilHeap(kFn, sqlcode, info->numBuffers, info->bufferSize);
    }
    return sqlcode == kSqlRestoreBenign ? 0 : -1;
  }
  // A restore that waits for its containers is not done: the continue reports it.
  if (sqlcode != kSqlRedirect)
    ErhFullReportPacked(
        kFn, kReportInfo,
        NlsPackMessage(kDb2MsgSet, kDb2MsgRestoreDone, info->pSourceDbAlias.c_str(), info->node));
  DbgPlain(kTrace, "[%s]  Restore of database %s is completed successfully", kFn,
           info->pSourceDbAlias.c_str());
  DbgPlain(kTrace, "[%s] ApplicationID = %.*s ", kFn,
           static_cast<int>(sizeof info->applicationId), info->applicationId);
  DbgPlain(kTrace, "[%s] Return code = %d", kFn, sqlcode);
  int result = 0;
  if (IsNameWarning(sqlcode)) {
    DbgPlain(kTrace,
             "[%s] Return code is warning for match/not match of database alias/name/seed, "
             "continuing.",
             kFn);
    result = RestoreContinue(info);
  } else if (sqlcode == kSqlRedirect) {
    ErhFullReportPacked(kFn, kReportInfo, NlsPackMessage(kDb2MsgSet, kDb2MsgRedirectNeeded));
    std::vector<Redirection> entries;
    if (GetRedirectionArray(cmnHostname, instance.c_str(), info->pSourceDbAlias.c_str(),
                            &entries) == 0 &&
        RedirectTS(entries) == 0) {
      ErhFullReportPacked(kFn, kReportInfo,
                          NlsPackMessage(kDb2MsgSet, kDb2MsgRedirected, instance.c_str(),
                                         info->pSourceDbAlias.c_str()));
      result = RestoreContinue(info);
    } else {
      ErhFullReportPacked(kFn, kReportMajor, NlsPackMessage(kDb2MsgSet, kDb2MsgRedirectFailed));
      DbgPlain(kDbgAlways, "[%s] Can't continue restore. Restore aborted", kFn);
      RestoreAbort(info);
      result = -1;
    }
  }
  // The continue or the terminate can still find the utility heap too small.
  if (info->ca.sqlcode == kSqlUtilHeapTooSmall)
    ReportUtilHeap(kFn, info->ca.sqlcode, info->numBuffers, info->bufferSize);
  return result;
}

int GetRedirectionArray(const char* host, const char* instance, const char* database,
                        std::vector<Redirection>* out) {
  static const char kFn[] = "GetRedirectionArray";
  out->clear();
  Db2HeapText cellServer;
  if (const int rc = CliReadCSHost(&cellServer.p); rc != 0) {
    DbgPlain(kDbgAlways, "[%s] CliReadCSHost failed with error %d", kFn, rc);
    return -1;
  }
  Db2List config;
  if (BU_GetConfig(cellServer.p, host, kDb2Label, instance, &config.v) != 0) {
    DbgPlain(kDbgAlways, "[%s] Getting configuration for instance %s failed", kFn, instance);
    ErhClearError();
    return -1;
  }
  CmnVar* redirection = nullptr;
  if (BP_GetListByName(config.v, "Redirection", &redirection) != kBpOk) {
    DbgPlain(kDbgAlways, "[%s] Can not get redirection sublist  from the configuration", kFn);
    return -1;
  }
  CmnVar* list = nullptr;
  if (BP_GetListByName(*redirection, database, &list) != kBpOk) {
    DbgPlain(kDbgAlways, "[%s] Can not get %s  sublist  from the configuration", kFn, database);
    return -1;
  }
  const int entries = CmnVarLength(*list);
  for (int i = 0; i < entries; ++i) {
    const char* oldName = CmnVarKey(*list, i);
    const char* newName = nullptr;
    if (oldName == nullptr || BP_GetStrAt(*list, i, &newName) != kBpOk || newName == nullptr)
      continue;
    if (std::strlen(oldName) > kRedirectionNameMax || std::strlen(newName) > kRedirectionNameMax) {
      ReportText(kFn, std::string("A container redirection of database ") + database +
                          " names a container longer than " +
                          std::to_string(kRedirectionNameMax) + " characters.");
      out->clear();
      return -1;
    }
    out->push_back({oldName, newName});
    DbgPlain(kTrace, "[%s] Redirection structure is added", kFn);
    DbgPlain(kTrace, "Old container name =%s\n new container name = %s", oldName, newName);
  }
  return 0;
}

int RedirectTS(const std::vector<Redirection>& entries) {
  static const char kFn[] = "RedirectTS";
  sqlca ca{};
  std::uint32_t count = 0;
  SQLB_TBSPQRY_DATA** spaces = nullptr;
  sqlbmtsq(&ca, &count, &spaces, SQLB_RESERVED1, SQLB_RESERVED2);
  VEKSqlInfoPrint("tablespaces -- get", &ca, __LINE__, rcsId);
  if (ca.sqlcode < 0) return ca.sqlcode;
  int result = 0;
  DbgPlain(kTrace, "[%s] Starting containers redirection", kFn);
  for (std::uint32_t t = 0; t < count && spaces != nullptr; ++t) {
    if (spaces[t] == nullptr) continue;
    const std::uint32_t id = spaces[t]->id;
    std::uint32_t n = 0;
    SQLB_TBSCONTQRY_DATA* containers = nullptr;
    sqlbtcq(&ca, id, &n, &containers);
    VEKSqlInfoPrint("tablespace containers -- get", &ca, __LINE__, rcsId);
    if (ca.sqlcode < 0 || containers == nullptr) {
      result = ca.sqlcode < 0 ? ca.sqlcode : -1;
      continue;
    }
    bool fits = true;
    for (std::uint32_t c = 0; c < n; ++c) {
      SQLB_TBSCONTQRY_DATA& container = containers[c];
      if (container.ok != 0) continue;
      const std::string name(container.name,
                             strnlen(container.name, std::min<std::size_t>(container.nameLen,
                                                                           sizeof container.name)));
      DbgPlain(kTrace, "[%s] Looking for redirection for container %s", kFn, name.c_str());
      // An exact match wins; only without one a name that differs in case.
      auto entry = std::find_if(entries.begin(), entries.end(),
                                [&](const Redirection& r) { return r.oldName == name; });
      if (entry == entries.end())
        entry = std::find_if(entries.begin(), entries.end(), [&](const Redirection& r) {
          return strcasecmp(r.oldName.c_str(), name.c_str()) == 0;
        });
      if (entry == entries.end()) {
        DbgPlain(kDbgAlways, "[%s] Container %s was not redefined. Possible error!!!", kFn,
                 name.c_str());
        continue;
      }
      if (entry->newName.size() > kContainerNameMax) {
        ReportText(kFn, "The new name of container " + name + " is longer than " +
                            std::to_string(kContainerNameMax) + " characters.");
        fits = false;
        continue;
      }
      std::memset(container.name, 0, sizeof container.name);
      std::memcpy(container.name, entry->newName.data(), entry->newName.size());
      container.nameLen = static_cast<std::uint32_t>(entry->newName.size());
      DbgPlain(kTrace, "[%s] Container %s is redirected to %s", kFn, name.c_str(),
               entry->newName.c_str());
      ErhFullReportPacked(kFn, kReportInfo,
                          NlsPackMessage(kDb2MsgSet, kDb2MsgContainerRedirected, name.c_str(),
                                         entry->newName.c_str()));
    }
    if (!fits) {
      result = -1;
    } else {
      sqlbstsc(&ca, 1, id, n, containers);
      if (ca.sqlcode < 0) {
        DbgPlain(kDbgAlways, "[%s] Redirection for tablespace %u failed!", kFn, id);
        VEKSqlInfoPrint("tablespace containers -- redefine", &ca, __LINE__, rcsId);
        result = ca.sqlcode;
      }
    }
    sqlca freeCa{};
    sqlefmem_api(&freeCa, containers);
  }
  if (spaces != nullptr) {
    sqlca freeCa{};
    sqlefmem_api(&freeCa, spaces);
  }
  return result;
}

namespace {

constexpr char kLoopFn[] = "DB2RestoreDatabases";

std::string NodeNumbers(const std::vector<int>& nodes) {
  std::string text;
  for (const int node : nodes) text += (text.empty() ? "" : ", ") + std::to_string(node);
  return text;
}

// "Session S holds no image of partition N of database D" and `outcome`.
void ReportNoImage(const Db2Database& db, const std::vector<int>& nodes, const char* outcome) {
  ReportText(kLoopFn, "Session " + db.sessionId + " holds no image of partition" +
                          (nodes.size() > 1 ? "s " : " ") + NodeNumbers(nodes) +
                          " of database " + db.name + outcome);
}

// Whether partition `node` of the database restored into holds none of the
// table spaces `db` asks for. One whose table spaces cannot be listed may
// hold them.
bool HoldsNoneOfTheTablespaces(const Db2Database& db, int node, const char* instance) {
  const std::string& into = db.newName.empty() ? db.name : db.newName;
  std::vector<std::string> names;
  if (TablespacesOnNode(into, node, instance, &names) != 0) {
    DbgPlain(kDbgAlways, "[%s] The table spaces of database %s on partition %d are not known",
             kLoopFn, into.c_str(), node);
    return false;
  }
  return std::none_of(db.tablespaces.begin(), db.tablespaces.end(), [&](const std::string& ts) {
    return std::find(names.begin(), names.end(), ts) != names.end();
  });
}

// The partitions of `nodes` of which `session` holds no image of `db`: 0,
// or SetTimestamp's failure on the partition in *node. A table-space restore
// has nothing to restore on a partition that holds none of its table spaces
// (the backup did not take one): such a partition without image goes into
// *leftOut, unless every partition would, since then nothing is restored.
int MissingImages(const Db2Database& db, const std::string& session,
                  const std::vector<int>& nodes, const AgentOptions& options, BarContext* handle,
                  const char* instance, std::vector<int>* missing, std::vector<int>* leftOut,
                  int* node) {
  Db2Database scratch = db;
  scratch.sessionId = session;
  missing->clear();
  leftOut->clear();
  for (const int n : nodes) {
    const int rc = SetTimestamp(&scratch, n, instance, options, handle);
    if (rc == 1)
      (db.hasTablespaces && HoldsNoneOfTheTablespaces(db, n, instance) ? leftOut : missing)
          ->push_back(n);
    if (rc != 0 && rc != 1) {
      *node = n;
      return rc;
    }
  }
  if (leftOut->size() == nodes.size()) missing->swap(*leftOut);
  return 0;
}

// The newest session of `db` (after its own, which lacks partitions) that
// holds an image of each of `nodes`; empty for none.
std::string NewestCompleteSession(const Db2Database& db, const std::vector<int>& nodes,
                                  const char* host, const char* from, const AgentOptions& options,
                                  BarContext* handle, const char* instance,
                                  const std::int64_t* notAfter) {
  AgentItem wanted;
  wanted.database = db.name;
  if (db.hasTablespaces && !db.tablespaces.empty()) {
    wanted.kind = kItemTablespace;
    wanted.tablespace = db.tablespaces.front();
  }
  std::vector<int> missing, leftOut;
  int node = 0;
  for (const std::string& session : FindSessions(host, from, handle, wanted, notAfter))
    if (session != db.sessionId &&
        MissingImages(db, session, nodes, options, handle, instance, &missing, &leftOut,
                      &node) == 0 &&
        missing.empty())
      return session;
  return {};
}

// Whether `db` can be restored whole from its session; when not, the report
// says why. `named`: the option line named the session.
bool Restorable(Db2Database* db, bool named, const char* host, const char* from,
                const AgentOptions& options, BarContext* handle, const char* instance,
                const std::int64_t* notAfter) {
  const std::string& into = db->newName.empty() ? db->name : db->newName;
  if (GetNodesInfo(db, instance, into) != 0) return false;
  const std::vector<int> nodes = LocalNodes(*db);
  if (nodes.empty()) {
    ReportText(kLoopFn, "No partition of database " + db->name + " runs on this host (" +
                            cmnHostname + "); the database is not restored.");
    return false;
  }
  if (db->timestamp.empty() && db->sessionId.empty()) {
    ReportText(kLoopFn, "No backup of database " + db->name + " was found.");
    return false;
  }
  if (db->timestamp.empty()) {
    ReportText(kLoopFn, "Session " + db->sessionId + " holds no image of database " + db->name +
                            "; nothing of it is restored.");
    return false;
  }
  if (!db->catalogListed) {
    ReportText(kLoopFn, "Database " + into +
                            " is not in DB2's database directory, so its catalog partition, "
                            "which must be restored first, is not known; nothing of it is "
                            "restored. Create or catalog the database, then restore it again.");
    return false;
  }
  std::vector<int> missing;
  int node = 0;
  if (MissingImages(*db, db->sessionId, nodes, options, handle, instance, &missing, &db->leftOut,
                    &node) != 0) {
    ReportText(kLoopFn, "The image of database " + db->name + " on partition " +
                            std::to_string(node) + " was not found.");
    return false;
  }
  if (!missing.empty()) {
    ReportNoImage(*db, missing, "; nothing of the database is restored.");
    if (named) return false;
    // An older image is the administrator's choice to make, not the agent's.
    const std::string complete =
        NewestCompleteSession(*db, nodes, host, from, options, handle, instance, notAfter);
    ReportText(kLoopFn,
               complete.empty()
                   ? "No session holds an image of every partition of database " + db->name + "."
                   : "The newest session that holds an image of every partition of database " +
                         db->name + (notAfter != nullptr ? " before the roll-forward time" : "") +
                         " is " + complete + "; name it to restore the database from it.");
    return false;
  }
  for (const int n : db->leftOut)
    DbgPlain(kTrace,
             "[%s] Partition %d of database %s holds none of the requested table spaces and "
             "session %s has no image of it; it is left out",
             kLoopFn, n, into.c_str(), db->sessionId.c_str());
  // A partition DB2 refuses to switch to is found now, not after the
  // partitions before it were overwritten.
  for (const int n : nodes)
    if (std::find(db->leftOut.begin(), db->leftOut.end(), n) == db->leftOut.end() &&
        AttachToNode(n, instance) != 0) {
      ReportText(kLoopFn, "Partition " + std::to_string(n) + " of database " + into +
                              " cannot be attached; nothing of the database is restored.");
      return false;
    }
  if (options.partitioned == 0 && options.rollForward > 0 && db->catalogNode == -1) {
    const std::string catalogHost = GetNodeHost(instance, db->listedCatalogNode);
    ErhFullReport(kLoopFn, kErhWarning,
                  ("The roll-forward of database " + into + " is run by the restore on host " +
                   (catalogHost.empty() ? std::string("another host") : catalogHost) +
                   " (catalog partition " + std::to_string(db->listedCatalogNode) + ").")
                      .c_str());
  }
  return true;
}

// The first item that names another session of its database than an
// earlier item (*a) does, or false.
bool TwoSessions(const AgentItems& items, const AgentItem** a, const AgentItem** b) {
  std::map<std::string, const AgentItem*> named;  // per database, its first named session
  for (const AgentItem& item : items) {
    if (item.kind == kItemLog || item.sessionId.empty()) continue;
    const auto [at, added] = named.emplace(item.database, &item);
    if (!added && at->second->sessionId != item.sessionId) {
      *a = at->second;
      *b = &item;
      return true;
    }
  }
  return false;
}

// The partitions of one database: the catalog partition in the agent, the
// others in tasks, then the roll-forward.
void RestoreDatabase(std::size_t number, Db2Database* db, const AgentOptions& options,
                     BarContext* handle, const char* instance, RestoreOutcome* out) {
  static const char kFn[] = "DB2RestoreDatabases";
  // The image of every partition was found before the first restore; one
  // gone since is not restored either.
  auto noImage = [&](int node) {
    ReportNoImage(*db, {node}, "; it is not restored.");
    ++out->failed;
  };
  const std::vector<int> nodes = LocalNodes(*db);
  auto leftOut = [&](int node) {
    return std::find(db->leftOut.begin(), db->leftOut.end(), node) != db->leftOut.end();
  };
  std::size_t first = 0;
  bool catalogRestored = false;
  auto prepare = [&](int node, RstInfo* info) {
    if (AttachToNode(node, instance) != 0) return -1;
    const int found = SetTimestamp(db, node, instance, options, handle);
    if (found == 1) return 1;
    if (found != 0) return -1;
    return FillrstInfo(*db, node, info, options, handle, instance);
  };
  if (db->catalogNode != -1 && !nodes.empty() && leftOut(nodes[0])) {
    // Nothing of the table spaces is on it; the roll-forward of those
    // restored elsewhere still runs from it.
    first = 1;
    catalogRestored = true;
  } else if (db->catalogNode != -1 && !nodes.empty()) {
    first = 1;
    RstInfo info;
    const int ready = prepare(nodes[0], &info);
    if (ready == 0) {
      if (DB2Restore(&info) != 0) {
        ReportText(kFn, "The restore of database " + db->name + " on partition " +
                            std::to_string(nodes[0]) + " failed.");
        ++out->failed;
        return;
      }
      catalogRestored = true;
    } else if (ready == 1) {
      noImage(nodes[0]);
      return;
    } else {
      ReportText(kFn, "The image of database " + db->name + " on partition " +
                          std::to_string(nodes[0]) + " was not found.");
      ++out->failed;
      return;
    }
  }
  const std::size_t remaining = nodes.size() - first;
  std::vector<Task> tasks(remaining);
  std::vector<bool> started(remaining, false);
  for (Task& task : tasks) TaskInit(&task);
  for (std::size_t i = 0; i < remaining; ++i) {
    const int node = nodes[first + i];
    DbgPlain(kTrace, "[%s] databases[%zu].node_number=%d", kFn, number, node);
    if (leftOut(node)) continue;
    RstInfo info;
    const int ready = prepare(node, &info);
    if (ready == 1) {
      noImage(node);
      continue;
    }
    if (ready < 0 || TaskRun(&tasks[i], DB2Restore, &info, "DB2Restore") != 0) {
      ReportText(kFn, "The restore of database " + db->name + " on partition " +
                          std::to_string(node) + " could not be started.");
      ++out->failed;
      continue;
    }
    started[i] = true;
  }
  // A task whose end the wait did not see keeps TASK_STATUS_NOT_ENDED: failed.
  if (!tasks.empty() &&
      TaskPoolWaitAll(tasks.data(), static_cast<int>(tasks.size()), WAIT_ALL) < 0)
    DbgPlain(kDbgAlways, "[%s] The wait for the partition tasks of %s failed", kFn,
             db->name.c_str());
  for (std::size_t i = 0; i < tasks.size(); ++i)
    if (started[i] && tasks[i].status != TASK_STATUS_OK) {
      ReportText(kFn, "The restore of database " + db->name + " on partition " +
                          std::to_string(nodes[first + i]) + " failed.");
      ++out->failed;
    }
  if (options.partitioned == 0 && options.rollForward > 0 && catalogRestored) {
    DbgPlain(kTrace, "[%s] Restore is proceding with rollforward", kFn);
    if (RollForwardDatabase(db, options, instance) != 0) ++out->failed;
  } else {
    DbgPlain(kTrace, "[%s] Restore is proceding without rollforward", kFn);
  }
}

}  // namespace

RestoreOutcome DB2RestorePreconditions(const char* host, const char* from,
                                       const AgentItems& items, const AgentOptions& options,
                                       BarContext* handle, const char* instance,
                                       const std::int64_t* notAfter, DataTree* tree) {
  RestoreOutcome outcome;
  tree->clear();
  const AgentItem* a = nullptr;
  const AgentItem* b = nullptr;
  if (TwoSessions(items, &a, &b)) {
    ReportText(kLoopFn, "The items of database " + a->database + " name two sessions, " +
                            a->sessionId + " and " + b->sessionId +
                            "; a database is restored from one session, so nothing is restored.");
    outcome.refused = true;
    return outcome;
  }
  CreateDataTree(host, from, kActionRestore, items, tree, handle, notAfter);
  // An image taken after the stop time would overwrite the database with a
  // state the roll-forward cannot bring back to it.
  if (notAfter != nullptr)
    for (const Db2Database& db : *tree)
      if (db.sessionId.empty()) {
        ReportText(kLoopFn, "No backup of database " + db.name +
                                " taken before the roll-forward time " + options.stopTime +
                                " was found.");
        outcome.refused = true;
        tree->clear();
        return outcome;
      }
  DataTree kept;
  for (Db2Database& db : *tree) {
    const bool named = std::any_of(items.begin(), items.end(), [&](const AgentItem& item) {
      return item.kind != kItemLog && item.database == db.name && !db.sessionId.empty() &&
             item.sessionId == db.sessionId;
    });
    if (Restorable(&db, named, host, from, options, handle, instance, notAfter))
      kept.push_back(std::move(db));
    else
      ++outcome.failed;
  }
  *tree = std::move(kept);
  return outcome;
}

RestoreOutcome DB2RestoreDatabases(DataTree* tree, const AgentOptions& options, BarContext* handle,
                                   const char* instance) {
  static const char kFn[] = "DB2RestoreDatabases";
  RestoreOutcome outcome;
  // Partition results come back as the tasks' exit statuses.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  struct sigaction old {};
  sigaction(SIGCHLD, &dfl, &old);
  for (std::size_t i = 0; i < tree->size(); ++i) {
    DbgPlain(kTrace, "[%s] dbnumber=%zu", kFn, i);
    RestoreDatabase(i, &(*tree)[i], options, handle, instance, &outcome);
  }
  sigaction(SIGCHLD, &old, nullptr);
  return outcome;
}
