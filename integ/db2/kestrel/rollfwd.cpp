// Roll-forward of a restored database to a point in time or the end of the logs.
#include "kestrel/rollfwd.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "db2/db2common.h"
#include "db2/db2conn.h"
#include "db2/db2msg.h"
#include "db2/owned.h"

TARN_RCSID("integ/db2/kestrel/rollfwd.cpp");

namespace {

constexpr int kTrace = 20;
constexpr std::uint32_t kRollforwardVersion = 5;
constexpr std::uint16_t kRollforwardStop = 3;

}  // namespace

bool StopTimeToUtc(std::string_view local, std::string* utc) {
  const std::string text(local);
  std::tm tm{};
  char separator = 0;
  int year = 0, month = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d.%2d.%2d%n", &year, &month, &tm.tm_mday,
                  &separator, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 7)
    return false;
  // What follows the seconds is a fraction or nothing.
  const std::string_view rest = local.substr(static_cast<std::size_t>(consumed));
  if (!rest.empty() && (rest.front() != '.' ||
                        rest.substr(1).find_first_not_of("0123456789") != std::string_view::npos))
    return false;
  if (year < 1900 || month < 1 || month > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
      tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 ||
      tm.tm_sec > 60)
    return false;
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_isdst = -1;
  const std::time_t when = std::mktime(&tm);
  if (when == static_cast<std::time_t>(-1)) return false;
  std::tm out{};
  if (gmtime_r(&when, &out) == nullptr) return false;
  char buffer[64];
  if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d-%H.%M.%S.000000", &out) == 0) return false;
  *utc = buffer;
  return true;
}

int InitRfwdInput(RfwdInput* in, const Db2Database& db, const AgentOptions& options,
                  const char* instance, int partitions) {
  static const char kFn[] = "InitRfwdInput";
  FreeRfwdInput(in);
  in->alias = !db.newName.empty() ? db.newName : db.name;
  if (options.stopTime.empty()) {
    in->stopTime = kEndOfLogs;
  } else if (!StopTimeToUtc(options.stopTime, &in->stopTime)) {
    ErhFullReport(kFn, kErhMajor,
                  ("The roll-forward time " + options.stopTime + " is not a valid point in time.")
                      .c_str());
    return -1;
  } else {
    DbgPlain(kTrace, "[%s] %s is converted to %s", kFn, options.stopTime.c_str(),
             in->stopTime.c_str());
  }
  if (instance != nullptr && *instance != '\0') {
    Db2HeapText user, password;
    GetUserAndPass(instance, &user.p, &password.p);
    if (user.p != nullptr && password.p != nullptr) {
      in->user = user.p;
      in->password = password.p;
    }
  }
  rfwd_input& r = in->input;
  r.version = kRollforwardVersion;
  r.pDbAlias = in->alias.data();
  r.CallerAction = kRollforwardStop;
  r.pStopTime = in->stopTime.data();
  r.pUserName = in->user.empty() ? nullptr : in->user.data();
  r.pPassword = in->user.empty() ? nullptr : in->password.data();
  r.ConnectMode = db.hasTablespaces && db.online != 0 ? 1 : 0;
  if (db.hasTablespaces) {
    DbgPlain(kTrace, "[%s] Tablespace level rollforward", kFn);
    for (const std::string& name : db.tablespaces) {
      if (name.size() > kTablespaceEntryMax) {
        FreeRfwdInput(in);
        return -1;
      }
      sqlu_tablespace_entry entry{};
      std::memcpy(entry.tablespace_entry, name.data(), name.size());
      in->entries.push_back(entry);
    }
    in->list = {static_cast<std::int32_t>(in->entries.size()), in->entries.data()};
    r.pTablespaceList = &in->list;
  } else {
    DbgPlain(kTrace, "[%s] Whole database rollforward selected", kFn);
  }
  r.AllNodeFlag = 1;
  r.NumNodeInfo = static_cast<std::int16_t>(partitions);
  return 0;
}

void FreeRfwdInput(RfwdInput* in) {
  in->input = rfwd_input{};
  in->alias.clear();
  in->stopTime.clear();
  in->user.clear();
  in->password.clear();
  in->entries.clear();
  in->list = {};
}

int InitRfwdOutput(RfwdOutput* out, int partitions) {
  FreeRfwdOutput(out);
  out->replies.assign(static_cast<std::size_t>(std::max(partitions, 1)), sqlurf_info{});
  out->output.pApplicationId = out->applicationId;
  out->output.pNumReplies = &out->numReplies;
  out->output.pNodeInfo = out->replies.data();
  return 0;
}

void FreeRfwdOutput(RfwdOutput* out) {
  out->output = rfwd_output{};
  out->replies.clear();
  out->numReplies = 0;
}

int DB2RollForward(RfwdInput* in, RfwdOutput* out) {
  static const char kFn[] = "DB2RollForward";
  const rfwd_input& r = in->input;
  DbgPlain(kTrace,
           "[%s] Rollforward is started with following parameters:\n      DB Alias            =%s "
           "\n      Rollforward version =%u \n      Stop time           =%s \n      Overflow log "
           "path   =%s \n      Connection mode     =%d ",
           kFn, in->alias.c_str(), r.version, in->stopTime.c_str(), "", r.ConnectMode);
  if (!in->entries.empty()) {
    DbgPlain(kTrace, "Table spaces:");
    for (const sqlu_tablespace_entry& e : in->entries) DbgPlain(kTrace, "    %s", e.tablespace_entry);
  }
  ErhFullReportPacked(kFn, kReportInfo, NlsPackMessage(kDb2MsgSet, kDb2MsgRollForwardStarted, in->alias.c_str()));
  sqlca ca{};
  sqluroll_api(&in->input, &out->output, &ca);
  VEKSqlInfoPrint("rolling forward database", &ca, __LINE__, rcsId);
  if (ca.sqlcode != 0) return ca.sqlcode;
  ErhFullReportPacked(kFn, kReportInfo, NlsPackMessage(kDb2MsgSet, kDb2MsgRollForwardDone, in->alias.c_str()));
  DbgPlain(kTrace, "[%s]  Rollforward of database %s is completed successfully", kFn,
           in->alias.c_str());
  DbgPlain(kTrace, "[%s]  NumReplies = %d", kFn, out->numReplies);
  return 0;
}

int RollForwardDatabase(Db2Database* db, const AgentOptions& options, const char* instance) {
  static const char kFn[] = "RollForwardDatabase";
  if (db->nodes.empty()) {
    DbgPlain(kTrace,
             "[%s] It is not partitioned database. Set nodenumber to 1, catalog node to 0", kFn);
    db->nodes = {0};
    db->catalogNode = 0;
  }
  if (AttachToNode(db->catalogNode, instance) != 0) return -1;
  const int partitions = static_cast<int>(db->nodes.size());
  RfwdInput in;
  RfwdOutput out;
  if (InitRfwdInput(&in, *db, options, instance, partitions) != 0) return -1;
  InitRfwdOutput(&out, partitions);
  const int rc = DB2RollForward(&in, &out);
  if (rc != 0)
    ErhFullReport(kFn, kErhMajor,
                  ("The roll-forward of database " + in.alias + " failed (SQLCODE " +
                   std::to_string(rc) + ").")
                      .c_str());
  FreeRfwdInput(&in);
  FreeRfwdOutput(&out);
  return rc;
}
