// The agent's main order: options, instance, integration context, attach,
// scripts, the data tree and the action.
#include "kestrel/agent.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bar2/bar2.h"
#include "barutil/vekhost.h"
#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "db2/db2api.h"
#include "db2/db2common.h"
#include "db2/db2conn.h"
#include "db2/db2msg.h"
#include "kestrel/backup.h"
#include "kestrel/datatree.h"
#include "kestrel/restore.h"
#include "kestrel/rollfwd.h"
#include "plover/archlog.h"

TARN_RCSID("integ/db2/kestrel/agent.cpp");

namespace {

constexpr char kProgram[] = "KESTREL";
constexpr int kTrace = 20;
// The exit status of a run the agent could not start: no instance, or the
// configuration and attach step failed.
constexpr int kExitNoStart = 255;

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

void Refuse(const char* function, const std::string& text) {
  ErhFullReport(function, kErhMajor, text.c_str());
}

const char* OptFailureText(int rc) {
  switch (rc) {
    case kOptNoInput: return "No option line was received on standard input.";
    case kOptOverflow: return "The option line is longer than the agent's buffer (VEKIPCBUFSIZE).";
    default: return "The option line could not be parsed.";
  }
}

// 0, or -1 when the instance cannot be attached with the credentials.
int CheckAttachment(const AgentOptions& options, const std::string& instance) {
  static const char kFn[] = "CheckAttachment";
  DbgPlain(kTrace, "[%s] Connect to instance %s with user %s", kFn, instance.c_str(),
           options.user.c_str());
  DbgPlain(kTrace, "[%s] Password = ********", kFn);
  sqlca ca{};
  sqleatin_api(instance.c_str(), OrNull(options.user), OrNull(options.password), &ca);
  VEKSqlInfoPrint("Attach to instance", &ca, __LINE__, rcsId);
  if (ca.sqlcode < 0) return -1;
  sqledtin_api(&ca);
  VEKSqlInfoPrint("Detach from instance", &ca, __LINE__, rcsId);
  return 0;
}

// Runs a pre- or post-execution script. True when it is not given or ran well.
bool RunScript(BarContext* handle, const std::string& script, int preExec) {
  static const char kFn[] = "KestrelMain";
  if (script.empty()) return true;
  const int rc = VEK_ExecuteScript(handle, script.c_str(), preExec, nullptr, nullptr, 0);
  if (rc == 0) return true;
  DbgPlain(kDbgAlways, "[%s] VEK_ExecuteScript failed. Script : '%s', Error : %d", kFn,
           script.c_str(), rc);
  return false;
}

// The entry and exit lines of the agent's main; the exit comes once, with
// the exit status. Only while the common library runs: starting it begins
// the function stack anew.
class MainTrace {
 public:
  explicit MainTrace(const char* fn) : fn_(fn), open_(CmnIsInitialized() != 0) {
    if (open_) DbgFcnInEx(TARN_HERE, fn_, kTrace, nullptr);
  }
  MainTrace(const MainTrace&) = delete;
  MainTrace& operator=(const MainTrace&) = delete;
  ~MainTrace() { Exit(0); }
  int Exit(int status) {
    if (open_) DbgFcnOutEx(TARN_HERE, fn_, kTrace, "%d", status);
    open_ = false;
    return status;
  }

 private:
  const char* fn_;
  bool open_;
};

}  // namespace

std::string AgentEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

int KestrelMain(int argc, char** argv) {
  static const char kFn[] = "KestrelMain";
  ErhSetHooks(nullptr, DB2ReportHook, ConPrint);
  CmnSetProgname(kProgram);

  AgentOptions options;
  AgentItems items;
  bool version = false;
  const int parsed = ParseOpts(argc, argv, &options, &items, &version);
  if (version) {
    char buffer[256];
    std::printf("%s\n", MakeVersionString(255, buffer));
    return 0;
  }
  // Tracing starts with the common library, which the option line's debug
  // words set up.
  MainTrace trace(kFn);
  VEK_SetHostname(std::getenv("VEKBARHOSTNAME"));
  DbgPlain(kTrace, "[%s] opt.action=%d", kFn, options.action);
  if (options.concurrency == 0) options.concurrency = 1;

  const char* appname = std::getenv("VEKAPPNAME");
  const std::string instance = appname != nullptr ? appname : "";
  setenv("DB2INSTANCE", instance.c_str(), 1);
  if (instance.empty()) {
    DbgPlain(kDbgAlways, "[%s] VEKAPPNAME is not set", kFn);
    Refuse(kFn, "The DB2 instance is not known (VEKAPPNAME is not set).");
    return trace.Exit(kExitNoStart);
  }
  if (options.fromInstance == instance) {
    options.fromInstance.clear();
    DbgPlain(kTrace, "opt.frominstance=%s", options.fromInstance.c_str());
  }

  BarContext* handle = nullptr;
  const int init = VEK_Init("DB2", instance.c_str(), kProgram, 0, &handle);
  int status = 0;
  auto finish = [&](int code) {
    trace.Exit(code);
    VEK_Exit(handle);
    return code;
  };
  if (init != 0) {
    Refuse(kFn, "The integration could not be started (" + std::to_string(init) + ").");
    return finish(kExitRefused);
  }
  if (parsed != kOptOk) {
    Refuse(kFn, OptFailureText(parsed));
    return finish(kExitRefused);
  }
  if ((options.action == kActionBackup || options.action == kActionRestore) && items.empty()) {
    Refuse(kFn, "The option line names no database, table space or log file.");
    return finish(kExitRefused);
  }
  // A stop time that does not convert must refuse the run before anything
  // is restored, not leave the database pending roll-forward.
  StopTime stop;
  if (options.action == kActionRestore && !options.stopTime.empty() &&
      CheckStopTime(options.stopTime, &stop) != 0)
    return finish(kExitRefused);
  if (options.action == kActionRestore && CheckAttachment(options, instance) != 0) {
    Refuse(kFn, "The instance " + instance + " could not be attached.");
    return finish(kExitRefused);
  }
  if (GetCfgAndAttach(instance.c_str()) != 0) {
    ErhFullReportPacked(kFn, kErhMajor,
                        NlsPackMessage(kDb2MsgSet, kDb2MsgNoAttach, instance.c_str()));
    return finish(kExitNoStart);
  }
  if (!RunScript(handle, options.preScript, 1)) {
    Refuse(kFn, "The pre-execution script " + options.preScript + " failed.");
    return finish(kExitRefused);
  }
  // Once the pre-execution script ran, the post-execution script runs too;
  // only a refused partition block of a backup skips it.
  auto finishWithPost = [&](int code) {
    if (!RunScript(handle, options.postScript, 0))
      Refuse(kFn, "The post-execution script " + options.postScript + " failed.");
    return finish(code);
  };

  const std::string& host = !options.fromHost.empty() ? options.fromHost : cmnHostname;
  const std::string& from = !options.fromInstance.empty() ? options.fromInstance : instance;
  DataTree tree;
  RestoreOutcome decided;
  if (options.action == kActionRestore)
    decided = DB2RestorePreconditions(host.c_str(), from.c_str(), items, options, handle,
                                      instance.c_str(),
                                      options.stopTime.empty() ? nullptr : &stop.instant, &tree);
  else
    CreateDataTree(host.c_str(), from.c_str(), options.action, items, &tree, handle);
  if (decided.refused) return finishWithPost(kExitRefused);
  for (const AgentItem& item : items) {
    if (item.kind != kItemLog) continue;
    // The file there may be a log of a newer log chain under the same number
    // (after a restore to a point in time), or one DB2 still uses: the
    // archived copy never replaces it.
    if (struct stat st{}; ::lstat(item.logFile.c_str(), &st) == 0) {
      Refuse(kFn, "Log file " + item.logFile + " of database " + item.database +
                      " is already there; it is kept and the archived copy is not retrieved.");
      status = kExitPartitionFailed;
      continue;
    }
    bool found = true;
    const int rc =
        UE_RestoreFile(handle, instance.c_str(), item.database.c_str(), item.logFile.c_str(),
                       OrNull(item.sessionId), OrNull(options.fromHost), from.c_str(), &found);
    if (rc != 0) {
      Refuse(kFn, "Log file " + item.logFile + " of database " + item.database +
                      " could not be retrieved.");
      status = kExitPartitionFailed;
    } else if (!found) {
      // No copy is success to DB2's user exit; this log was asked for by name.
      Refuse(kFn, "Log file " + item.logFile + " of database " + item.database +
                      " has no archived copy" +
                      (item.sessionId.empty() ? "" : " in session " + item.sessionId) + ".");
      status = kExitPartitionFailed;
    }
  }
  FreeItems(&items);

  if (options.action == kActionBackup) {
    const BackupOutcome outcome = DB2BackupDatabases(&tree, options, instance.c_str());
    if (outcome.refused) return finish(kExitRefused);
    if (outcome.failed > 0) {
      Refuse(kFn, std::to_string(outcome.failed) + " partition backup(s) failed.");
      status = kExitPartitionFailed;
    }
    if (outcome.skipped > 0) status = kExitPartitionFailed;
  } else if (options.action == kActionRestore) {
    const int failed =
        decided.failed + DB2RestoreDatabases(&tree, options, handle, instance.c_str()).failed;
    if (failed > 0) {
      Refuse(kFn, std::to_string(failed) + " restore(s) failed.");
      status = kExitPartitionFailed;
    }
  } else {
    DbgPlain(kDbgAlways, "[%s] Unrecognized action %d", kFn, options.action);
    Refuse(kFn, "The option line names no action.");
    status = kExitRefused;
  }
  return finishWithPost(status);
}
