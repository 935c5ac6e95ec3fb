// Partition backup: the parameter block and vendor options of one partition,
// DB2's backup call beside its coordinator, and the loop that paces the
// partitions of each database by the device count.
#include "kestrel/backup.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "barutil/buenv.h"
#include "barutil/bustr.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/user.h"
#include "db2/db2common.h"
#include "db2/db2conn.h"
#include "db2/db2msg.h"
#include "db2/nodesem.h"
#include "db2/owned.h"
#include "db2/vendoropts.h"
#include "kestrel/db2bkpapi.h"
#include "task/task.h"

TARN_RCSID("integ/db2/kestrel/backup.cpp");

namespace {

constexpr int kTrace = 20;
constexpr int kBufferTrace = 6;
constexpr std::uint32_t kDefaultBufferSize = 256;
// How long the agent waits for a device before it looks whether holders ended.
constexpr unsigned kDeviceSliceMs = 200;
// How long a partition waits for its coordinator once the backup call returned
// and the node's semaphores are gone (it then has nothing left to wait for).
constexpr int kCoordinatorEndMs = 30000;

// A decimal setting within [1, max]: 1 and the value; 0 when unset; -1 when
// set but not such a number.
int ReadSetting(const char* name, int max, int* out) {
  const char* text = std::getenv(name);
  if (text == nullptr) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > max) return -1;
  *out = static_cast<int>(value);
  return 1;
}

void FillNumBuffers(BkpInfo* info) {
  static const char kFn[] = "FillBkpInfo";
  const int recommended = static_cast<int>(info->parallelism) * 2;
  int value = 0;
  const int set = ReadSetting("VEK_DB2BUFFNUM", kNumBuffersMax, &value);
  if (set == 1) {
    DbgPlain(kBufferTrace, "[%s] VEK_DB2BUFFNUM=%s", kFn, std::getenv("VEK_DB2BUFFNUM"));
    DbgPlain(kBufferTrace, "[%s] The number of DB2 buffers is set to %d", kFn, value);
  }
  if (set != 1) {
    value = recommended;
    DbgPlain(kBufferTrace,
             "[%s], VEK_DB2BUFFNUM is not set. Using default value Parallelism * 2 (%d)", kFn,
             value);
  } else if (value <= 1) {
    value = recommended;
    DbgPlain(kBufferTrace,
             "[%s] Number of DB2 buffers too low, value is reset to default Parallelism * 2 (%d)",
             kFn, value);
  } else if (value < recommended) {
    DbgPlain(kBufferTrace,
             "[%s] Warning: the number of DB2 buffers is set to less then recommended "
             "Parallelism * 2 (%d)",
             kFn, recommended);
  }
  info->numBuffers = static_cast<std::uint32_t>(value);
}

void FillBufferSize(BkpInfo* info) {
  static const char kFn[] = "FillBkpInfo";
  int value = 0;
  const int set = ReadSetting("VEK_DB2BUFFSIZE", kBufferSizeMax, &value);
  if (set == 1) {
    DbgPlain(kBufferTrace, "[%s] VEK_DB2BUFFSIZE=%s", kFn, std::getenv("VEK_DB2BUFFSIZE"));
    DbgPlain(kBufferTrace, "[%s] The size of DB2 buffers is %d", kFn, value);
  }
  if (set != 1) {
    value = kDefaultBufferSize;
    DbgPlain(kBufferTrace, "[%s], VEK_DB2BUFFSIZE is not set. Using default value %d", kFn, value);
  } else if (value == 0) {
    value = kDefaultBufferSize;
    DbgPlain(kBufferTrace, "[%s] Invalid size of DB2 buffers, value is reset to %d", kFn, value);
  } else if (value < static_cast<int>(kDefaultBufferSize)) {
    DbgPlain(kBufferTrace,
             "[%s] Warning: the size of DB2 buffers is set to less then recommended %d", kFn,
             kDefaultBufferSize);
  }
  info->bufferSize = static_cast<std::uint32_t>(value);
}

}  // namespace

int TablespacesOnNode(const std::string& database, int node, const char* instance,
                      std::vector<std::string>* names, const char* fn) {
  std::uint32_t count = 0;
  SQLB_TBSPQRY_DATA** list = nullptr;
  const int rc = GetTablespacesListOnNode(database.c_str(), &count, &list, node, instance);
  if (rc != 0) return rc;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (list == nullptr || list[i] == nullptr) continue;
    const SQLB_TBSPQRY_DATA& ts = *list[i];
    names->emplace_back(ts.name,
                        strnlen(ts.name, std::min<std::size_t>(ts.nameLen, sizeof ts.name)));
  }
  if (fn != nullptr)
    DbgPlain(kTrace, "[%s] Prepare to FREE tsList=%p", fn, static_cast<void*>(list));
  if (list != nullptr) {
    sqlca ca{};
    sqlefmem_api(&ca, list);
  }
  return 0;
}

namespace {

void ReportText(const char* function, const std::string& text) {
  ErhFullReport(function, kErhMajor, text.c_str());
}

}  // namespace

// The session manager's options (-server and the rest) sit beside the debug
// words in the agent's VEKOPTS, and the library needs them as well.
std::string VendorOptionsOpts(const AgentOptions& options) {
  const std::string own = AgentEnv("VEKOPTS");
  if (!own.empty() || !options.debugGiven) return own;
  std::string text = "-debug";
  for (const std::string* piece :
       {&options.debugRanges, &options.debugPostfix, &options.debugSelect})
    if (!piece->empty()) text += " " + *piece;
  return text;
}

VendorMedia::VendorMedia(const std::string& library, std::uint32_t sessions,
                         const std::vector<std::string>& tablespaces)
    : entries(tablespaces.size()) {
  std::snprintf(vendor.shr_lib, sizeof vendor.shr_lib, "%s", library.c_str());
  media.media_type = SQLU_OTHER_MEDIA;
  media.sessions = static_cast<std::int32_t>(sessions);
  media.target.vendor = &vendor;
  for (std::size_t i = 0; i < entries.size(); ++i)
    std::snprintf(entries[i].tablespace_entry, sizeof entries[i].tablespace_entry, "%s",
                  tablespaces[i].c_str());
  list = {static_cast<std::int32_t>(entries.size()), entries.data()};
}

void ReportUtilHeap(const char* function, int sqlcode, std::uint32_t numBuffers,
                    std::uint32_t bufferSize) {
  char numbers[128];
  std::snprintf(numbers, sizeof numbers,
                " num-buff = %u; buffer-size = %u; num-buff * buffer-size = %llu", numBuffers,
                bufferSize, static_cast<unsigned long long>(numBuffers) * bufferSize);
  ErhFullReportPacked(function, kReportInfo,
                      NlsPackMessage(kDb2MsgSet, kDb2MsgUtilHeap, sqlcode, "Database ", "UTIL_HEAP_SZ",
                                     " > num-buff * buffer-size", numbers));
}

std::string FormatString(const char* format, const char* argument) {
  char* text = StrFormat(format, argument);
  std::string out = text != nullptr ? text : "";
  safe_free(text, TARN_HERE);
  return out;
}

void FreeBkpInfo(BkpInfo* info) {
  *info = BkpInfo{};
}

int FillBkpVendorOpts(const Db2Database& db, BkpInfo* info, const AgentOptions& options) {
  static const char kFn[] = "FillBkpVendorOpts";
  info->vendorOptions.clear();
  const std::string instance = AgentEnv("DB2INSTANCE");
  Db2HeapText user, password;
  GetUserAndPass(instance.c_str(), &user.p, &password.p);
  if (user.p == nullptr)
    DbgPlain(kTrace, "[%s] Can not get username from the configuration, will use system account",
             kFn);
  else if (password.p == nullptr)
    DbgPlain(kTrace, "[%s] Can not get password from the configuration, will use system account",
             kFn);
  const bool both = user.p != nullptr && password.p != nullptr;
  info->user = both ? user.p : "";
  info->password = both ? password.p : "";

  VendorOptions record;
  record.hasTree = true;
  if (!db.hasTablespaces) {
    // Only a whole-database image holds the database entry; a restore of the
    // whole database looks for it and must not take a table-space image.
    DataTreeAppend(&record.dataTree, instance, db.name);
    std::vector<std::string> names;
    const int rc = TablespacesOnNode(db.name, info->node, instance.c_str(), &names, kFn);
    if (rc != 0) {
      DbgPlain(kDbgAlways, "GetTablespacesList() failed with rc = %d", rc);
      FreeBkpInfo(info);
      return -1;
    }
    DbgPlain(kTrace, "[%s] Append %zu tablespaces to the tree", kFn, names.size());
    for (const std::string& name : names) DataTreeAppend(&record.dataTree, instance, db.name, name);
  } else {
    for (const std::string& name : db.tablespaces)
      DataTreeAppend(&record.dataTree, instance, db.name, name);
  }
  DbgPlain(kTrace, "[%s] tree=%s", kFn, record.dataTree.c_str());

  record.barlist = AgentEnv("VEKBARLIST");
  if (record.barlist.empty()) {
    DbgPlain(kDbgAlways, "[%s] Variable VEKBARLIST is missed", kFn);
    ReportText(kFn, "No barlist is named (VEKBARLIST is not set); database " +
                        db.name + " is not backed up.");
    FreeBkpInfo(info);
    return -1;
  }
  const std::string opts = VendorOptionsOpts(options);
  record.variables = VendorOptionsVariables(record.barlist, opts);
  DbgPlain(kTrace, "[%s] %s is added to Vendor Options", kFn, ("VEKOPTS=" + opts).c_str());
  if (VendorOptionsWrite(record, &info->vendorOptions) != 0) {
    DbgPlain(kDbgAlways, "[%s] The vendor options do not fit their record", kFn);
    ReportText(kFn, "The options for the backup of database " + db.name +
                        " are longer than DB2 can carry.");
    FreeBkpInfo(info);
    return -1;
  }
  return 0;
}

int FillBkpInfo(const Db2Database& db, int node, BkpInfo* info, const AgentOptions& options) {
  static const char kFn[] = "FillBkpInfo";
  const std::string instance = AgentEnv("DB2INSTANCE");
  DbgPlain(kTrace, "db=%s, node=%d", db.name.c_str(), node);
  int testBar = 0;
  EnvReadInt("TEST_BAR", &testBar);
  FreeBkpInfo(info);
  info->node = node;
  info->backupMode = static_cast<std::uint32_t>(db.online);
  info->dbAlias = db.name;
  info->backupType = static_cast<std::uint32_t>(options.backupType);
  if (db.hasTablespaces) {
    info->backupType |= kSqlubTablespaces;
    info->hasTablespaceList = true;
    DbgPlain(kTrace, "[%s] Get Tablespaces for node %d ", kFn, node);
    std::vector<std::string> onNode;
    if (TablespacesOnNode(db.name, node, instance.c_str(), &onNode) != 0) {
      ReportText(kFn, "The table spaces of database " + db.name + " on partition " +
                          std::to_string(node) + " could not be listed.");
      FreeBkpInfo(info);
      return kFillRefused;
    }
    for (const std::string& name : onNode) {
      for (const std::string& wanted : db.tablespaces) {
        DbgPlain(kTrace, "Compare %s and %s", name.c_str(), wanted.c_str());
        if (name != wanted) continue;
        if (name.size() > kTablespaceEntryMax) {
          ReportText(kFn, "Table space " + name + " has a name longer than " +
                              std::to_string(kTablespaceEntryMax) + " characters.");
          FreeBkpInfo(info);
          return kFillRefused;
        }
        info->tablespaces.push_back(name);
        DbgPlain(kTrace, " table space %s is added to DB2 API tablespace list", name.c_str());
      }
    }
    if (info->tablespaces.empty()) {
      DbgPlain(kTrace, "[%s] Nothing to back up", kFn);
      return kFillNothing;
    }
  }
  if (testBar != 0) {
    info->callerAction = SQLUB_PARM_CHECK_ONLY;
    DbgPlain(kTrace, "[%s] Backup will not be performed. Just check parameters", kFn);
  } else {
    info->callerAction = SQLUB_BACKUP;
    DbgPlain(kTrace, "[%s] Action = backup", kFn);
  }
  info->parallelism = static_cast<std::uint32_t>(std::max(options.concurrency, 1));
  DbgPlain(kTrace, "[%s] Backup will be perfomed with concurrency %u", kFn, info->parallelism);
  info->library = std::string(cmnFenLib) + "/" + kVendorLibraryName;
  DbgPlain(kTrace, "[%s] %s library will be used for backup", kFn, info->library.c_str());
  FillNumBuffers(info);
  FillBufferSize(info);
  return FillBkpVendorOpts(db, info, options) == 0 ? kFillReady : kFillRefused;
}

int DB2Backup(void* argument) {
  static const char kFn[] = "DB2Backup";
  auto* info = static_cast<BkpInfo*>(argument);
  DB2StartForkedTask(nullptr);
  const std::string instance = AgentEnv("DB2INSTANCE");
  if (info == nullptr || info->dbAlias.empty()) return 0;

  VendorMedia vm(info->library, info->parallelism, info->tablespaces);
  sqlu_vendor& vendor = vm.vendor;
  sqlu_media_list& media = vm.media;
  sqlu_tablespace_bkrst_list& list = vm.list;

  DbgPlain(kTrace, "[%s] sqlubkp is calling with following parameters:", kFn);
  DbgPlain(kTrace,
           "pDbAlias=%s BufferSize=%u BackupMode=%u BackupType=%u CallerAction=%u NumBuffers=%u "
           "pTablespaceList=%p pMediaTargetList=%p pUserName=%s Library=%s VendorOptionsSize=%zu "
           "pVendorOptions=%p Parallelism=%u",
           info->dbAlias.c_str(), info->bufferSize, info->backupMode, info->backupType,
           info->callerAction, info->numBuffers,
           info->hasTablespaceList ? static_cast<void*>(&list) : nullptr,
           static_cast<void*>(&media), info->user.c_str(), vendor.shr_lib,
           info->vendorOptions.size(), static_cast<void*>(info->vendorOptions.data()),
           info->parallelism);
  DbgPlain(kTrace, "Table spaces:");
  for (const std::string& ts : info->tablespaces) DbgPlain(kTrace, "    %s", ts.c_str());
  ErhFullReportPacked(kFn, kReportInfo,
                      NlsPackMessage(kDb2MsgSet, kDb2MsgBackupStarted, info->dbAlias.c_str(), info->node));

  void* context = nullptr;
  sqlca ctxCa{};
  if (sqleBeginCtx(&context, 0, nullptr, &ctxCa) != 0 || ctxCa.sqlcode < 0)
    DbgPlain(kDbgAlways, "[%s] Creation of context failed", kFn);
  const int attach = AttachToNode(info->node, instance.c_str());
  if (attach != 0) {
    ReportText(kFn, "Partition " + std::to_string(info->node) + " of database " + info->dbAlias +
                        " could not be attached; it is not backed up.");
    sqleEndCtx(&context, 0, nullptr, &ctxCa);
    return attach < 0 ? attach : -1;
  }

  BackupCoordinatorArg arg{info->node, static_cast<int>(info->parallelism), getpid(),
                           info->dbAlias.c_str()};
  Task coordinator{};
  TaskInit(&coordinator);
  // The backup goes on unpaced where pacing cannot be set up, and says so
  // once for the partition.
  std::string unpaced = DB2GlobalSemsProblem();
  const bool paced = unpaced.empty() && DB2NodeSemsCreate(info->node, &unpaced) == 0;
  if (!paced)
    ErhFullReport(kFn, kErhWarning, DB2UnpacedText(info->node, info->dbAlias, unpaced).c_str());
  if (paced && TaskRun(&coordinator, BackupCoordinator, &arg, "BackupCoordinator") != 0) {
    // Without its coordinator the partition's sessions would wait for ever
    // for their start; the device the partition holds goes back.
    SemaphoreDelete(&arg);
    Db2GlobalSems global{-1, DB2SemOpen(DB2DeviceSemPath().c_str(), 0)};
    DB2DeviceRelease(&global, 1);
    ReportText(kFn, "The coordinator of partition " + std::to_string(info->node) +
                        " could not be started; database " + info->dbAlias +
                        " is not backed up there.");
    sqleEndCtx(&context, 0, nullptr, &ctxCa);
    return -1;
  }

  DbgPlain(kTrace, "[%s] Start sqlubkp", kFn);
  sqlubkp(info->dbAlias.c_str(), info->bufferSize, info->backupMode, info->backupType,
          info->callerAction, info->applicationId, info->pTimestamp, info->numBuffers,
          info->hasTablespaceList ? &list : nullptr, &media,
          info->user.empty() ? nullptr : info->user.c_str(),
          info->user.empty() ? nullptr : info->password.c_str(), nullptr,
          static_cast<std::uint32_t>(info->vendorOptions.size()),
          info->vendorOptions.empty() ? nullptr : info->vendorOptions.data(), info->parallelism,
          &info->pBackupSize, nullptr, nullptr, &info->ca);
  DbgPlain(kTrace, "[%s] Finished sqlubkp", kFn);
  if (sqleEndCtx(&context, 0, nullptr, &ctxCa) != 0 || ctxCa.sqlcode < 0)
    DbgPlain(kDbgAlways, "[%s] FREEing of context failed", kFn);
  VEKSqlInfoPrint("backing up the database", &info->ca, __LINE__, rcsId);

  int result = info->ca.sqlcode;
  if (result == 0) {
    char timestamp[sizeof info->pTimestamp + 1] = {};
    std::memcpy(timestamp, info->pTimestamp, sizeof info->pTimestamp);
    ErhFullReportPacked(kFn, kReportInfo,
                        NlsPackMessage(kDb2MsgSet, kDb2MsgBackupDone, info->dbAlias.c_str(),
                                       info->node, timestamp, static_cast<int>(info->pBackupSize)));
    DbgPlain(kTrace, "[%s] Backup of database %s is completed successfully", kFn,
             info->dbAlias.c_str());
    DbgPlain(kTrace, "[%s] Timestamp = %s ", kFn, timestamp);
    DbgPlain(kTrace, "[%s] ApplicationID = %.*s ", kFn,
             static_cast<int>(sizeof info->applicationId), info->applicationId);
    DbgPlain(kTrace, "[%s] Backup size = %u Mb", kFn, info->pBackupSize);
  } else if (result == kSqlUtilHeapTooSmall) {
    ReportUtilHeap(kFn, result, info->numBuffers, info->bufferSize);
  } else if (result == kSqlBackupWarning) {
    result = 0;
  }
  if (paced) {
    SemaphoreDelete(&arg);
    if (TaskWait(&coordinator, 0, kCoordinatorEndMs) == -1) {
      DbgPlain(kDbgAlways, "[%s] The coordinator of node %d did not end; it is stopped", kFn,
               info->node);
      TaskKill(&coordinator);
    }
  }
  return result;
}

int DB2BackupTest() {
  static const char kFn[] = "DB2BackupTest";
  auto value = [](const char* name) {
    const Db2HeapText text(BU_GetEnv(name));
    return std::string(text.p != nullptr ? text.p : "");
  };
  const std::string type = FormatString("-type:%s", "DB2");
  const std::string appname = FormatString("-appname:%s", value("VEKAPPNAME").c_str());
  const std::string bar = FormatString("-bar:%s", value("VEKBARLIST").c_str());
  const char* argv[] = {"siskin", "-perform:backup", type.c_str(), appname.c_str(), bar.c_str()};
  ErhSetHooks(nullptr, DB2ReportHook, ConPrint);
  int exitCode = -1;
  const int rc = CmnRunScriptEx(cmnFenBin, 5, argv, nullptr, 0, 0, &exitCode);
  DbgPlain(kTrace, "[%s] siskin ended with %d, exit code %d", kFn, rc, exitCode);
  return rc == 0 && exitCode == 0 ? 0 : -1;
}

namespace {

// The partitions of one database, run while the database's semaphores live.
class DatabaseBackup {
 public:
  DatabaseBackup(Db2Database* db, const AgentOptions& options, const char* instance)
      : db_(db), options_(options), instance_(instance), devices_(std::max(options.devices, 1)) {}
  DatabaseBackup(const DatabaseBackup&) = delete;
  DatabaseBackup& operator=(const DatabaseBackup&) = delete;
  ~DatabaseBackup() { DB2GlobalSemsDelete(&sems_); }

  // Backs up the database's partitions; the outcome is added to `out`.
  void Run(BackupOutcome* out) {
    if (!NamesFit()) {
      ++out->skipped;
      return;
    }
    const int failedBefore = out->failed;
    if (!RunPartitions(out) || out->refused) return;
    if (!done_.empty()) {
      std::sort(done_.begin(), done_.end());
      std::string text = "Backed up database " + db_->name +
                         (done_.size() == 1 ? ", partition " : ", partitions ");
      for (std::size_t i = 0; i < done_.size(); ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(done_[i]);
      ErhFullReport("DB2BackupDatabases", kReportInfo, (text + ".").c_str());
    } else if (out->failed == failedBefore) {
      // Each partition said why; a nightly run that saved nothing must not
      // end as if it had.
      ReportText("DB2BackupDatabases", "Nothing of database " + db_->name + " was backed up.");
      ++out->skipped;
    }
    ReportTablespacesNowhere(out);
  }

 private:
  // DB2's table-space list holds names of at most kTablespaceEntryMax
  // characters; a longer requested name refuses this database before any of
  // its partitions is backed up.
  bool NamesFit() const {
    for (const std::string& name : db_->tablespaces)
      if (name.size() > kTablespaceEntryMax) {
        ReportText("DB2BackupDatabases",
                   "Table space " + name + " of database " + db_->name +
                       " has a name longer than " + std::to_string(kTablespaceEntryMax) +
                       " characters; the database is not backed up.");
        return false;
      }
    return true;
  }

  // A requested table space that none of the partitions here holds is named
  // once every partition was looked at: a name the request got wrong must not
  // pass for a backup of it.
  void ReportTablespacesNowhere(BackupOutcome* out) const {
    if (!db_->hasTablespaces || listed_ != partitions_) return;
    for (const std::string& name : db_->tablespaces) {
      if (std::find(found_.begin(), found_.end(), name) != found_.end()) continue;
      ReportText("DB2BackupDatabases", "Table space " + name + " of database " + db_->name +
                                           " is on no partition of this host (" + cmnHostname +
                                           "); it is not backed up.");
      ++out->skipped;
    }
  }

  // Notes the requested table spaces a partition's block holds.
  void Listed(const BkpInfo& info) {
    ++listed_;
    found_.insert(found_.end(), info.tablespaces.begin(), info.tablespaces.end());
  }

  // Runs the partitions. False when the database's partitions could not be
  // found or none runs here (reported); its backed-up partitions are in done_.
  bool RunPartitions(BackupOutcome* out) {
    static const char kFn[] = "DB2BackupDatabases";
    DbgPlain(kTrace, "Create Sem using path:%s", DB2GlobalLockPath().c_str());
    if (DB2GlobalSemsCreate(&sems_, devices_) != 0)
      DbgPlain(kDbgAlways, "[%s] The backup of %s runs without device limit", kFn,
               db_->name.c_str());
    else
      DbgPlain(kTrace, "[%s] released semaphore sem_dev on value %d", kFn, devices_);
    if (GetNodesInfo(db_, instance_) != 0) {
      ++out->failed;
      return false;
    }
    DbgPlain(kTrace, "[%s] Catalog node is set to %d", kFn, db_->catalogNode);
    const std::vector<int> nodes = LocalNodes(*db_);
    if (nodes.empty()) {
      ReportText(kFn, "No partition of database " + db_->name + " runs on this host (" +
                          cmnHostname + "); the database is not backed up.");
      ++out->skipped;
      return false;
    }
    partitions_ = nodes.size();
    std::size_t first = 0;
    if (db_->catalogNode != -1) {
      first = 1;
      BkpInfo info;
      const int fill = FillBkpInfo(*db_, nodes[0], &info, options_);
      if (fill == kFillRefused) {
        out->refused = true;
        return true;
      }
      Listed(info);
      if (fill == kFillNothing) {
        DbgPlain(kTrace, "[%s] Reqauested tablespaces are not on this node", kFn);
        ReportNothingOn(nodes[0]);
      } else {
        // The catalog partition takes its device like any other, so its
        // coordinator's return of it keeps the count; the pool may be shared
        // with another run's partitions.
        std::vector<Task> none;
        const bool held = TakeDevice(none);
        const int rc = DB2Backup(&info);
        if (held) DB2DeviceTopUp(&sems_, devices_);
        if (rc != 0) {
          ReportFailed(nodes[0]);
          ++out->failed;
          return true;
        }
        done_.push_back(nodes[0]);
      }
    }
    const std::size_t remaining = nodes.size() - first;
    if (remaining == 0) return true;
    std::vector<Task> tasks(remaining);
    std::vector<bool> started(remaining, false);
    for (Task& task : tasks) TaskInit(&task);
    for (std::size_t i = 0; i < remaining && !out->refused; ++i) {
      const int node = nodes[first + i];
      DbgPlain(kTrace, "node_number=%d", node);
      DbgPlain(kTrace, "[%s] Wait for free device", kFn);
      const bool held = TakeDevice(tasks);
      DbgPlain(kTrace, "[%s] Set BkpInfo for node %d, db %s", kFn, node, db_->name.c_str());
      BkpInfo info;
      const int fill = FillBkpInfo(*db_, node, &info, options_);
      if (fill != kFillRefused) Listed(info);
      if (fill != kFillReady) {
        if (held) DB2DeviceRelease(&sems_, 1);
        if (fill == kFillRefused) {
          out->refused = true;
        } else {
          DbgPlain(kTrace, "[%s] Requested tablespaces are not on this node", kFn);
          ReportNothingOn(node);
        }
        continue;
      }
      DbgPlain(kTrace, "[%s] Starting Task Execute for db %s, node %d", kFn, db_->name.c_str(),
               node);
      std::fflush(stdout);
      if (TaskRun(&tasks[i], DB2Backup, &info, "DB2Backup") != 0) {
        if (held) DB2DeviceRelease(&sems_, 1);
        ReportText(kFn, "The backup of partition " + std::to_string(node) + " of database " +
                            db_->name + " could not be started.");
        ++out->failed;
        continue;
      }
      started[i] = true;
    }
    // A task whose end the wait did not see keeps TASK_STATUS_NOT_ENDED: failed.
    if (TaskPoolWaitAll(tasks.data(), static_cast<int>(tasks.size()), WAIT_ALL) < 0)
      DbgPlain(kDbgAlways, "[%s] The wait for the partition tasks of %s failed", kFn,
               db_->name.c_str());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
      if (!started[i]) continue;
      if (tasks[i].status != TASK_STATUS_OK) {
        ReportFailed(nodes[first + i]);
        ++out->failed;
      } else {
        done_.push_back(nodes[first + i]);
      }
    }
    return true;
  }

  void ReportNothingOn(int node) const {
    ErhFullReport("DB2BackupDatabases", kErhWarning,
                  ("Requested tablespaces are not on this node: database " + db_->name +
                   ", partition " + std::to_string(node) + ".")
                      .c_str());
  }

  void ReportFailed(int node) const {
    ReportText("DB2BackupDatabases", "The backup of database " + db_->name + " on partition " +
                                         std::to_string(node) + " failed.");
  }

  // Waits for a free device: fewer partition tasks alive than devices, and a
  // permit of sem_dev. A coordinator gives its permit back when its
  // sessions ended their objects, a moment before DB2's backup call returns,
  // so the tasks themselves are counted as well. While waiting, tasks that
  // ended are reaped and a device whose holder is gone comes back. False
  // when the devices are not paced (their set is gone).
  bool TakeDevice(std::vector<Task>& tasks) {
    for (;;) {
      int alive = 0;
      for (Task& task : tasks) {
        if (task.state == TASK_RUNNING) TaskWait(&task, WAIT_NOHANG, 0);
        if (task.state == TASK_RUNNING) ++alive;
      }
      if (alive >= devices_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kTaskPollMs));
        continue;
      }
      const int rc = DB2DeviceWait(&sems_, kDeviceSliceMs);
      if (rc == 0) return true;
      if (rc == -1) return false;
      DB2DeviceTopUp(&sems_, devices_ - alive);
    }
  }

  Db2Database* db_;
  const AgentOptions& options_;
  const char* instance_;
  int devices_;
  Db2GlobalSems sems_;
  std::vector<int> done_;           // partitions backed up
  std::size_t partitions_ = 0;      // to back up here
  std::size_t listed_ = 0;          // whose table spaces were looked at
  std::vector<std::string> found_;  // requested table spaces they hold
};

}  // namespace

BackupOutcome DB2BackupDatabases(DataTree* tree, const AgentOptions& options,
                                 const char* instance) {
  static const char kFn[] = "DB2BackupDatabases";
  BackupOutcome outcome;
  if (AgentEnv("TEST_BAR").rfind('1', 0) == 0) {
    DbgPlain(30, "[%s] Test run of the backup starts", kFn);
    DB2BackupTest();
  }
  // Partition results come back as the tasks' exit statuses.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  struct sigaction old {};
  sigaction(SIGCHLD, &dfl, &old);
  for (Db2Database& db : *tree) {
    DatabaseBackup backup(&db, options, instance);
    backup.Run(&outcome);
    if (outcome.refused) break;
  }
  sigaction(SIGCHLD, &old, nullptr);
  return outcome;
}
