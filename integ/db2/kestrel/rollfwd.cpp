// Roll-forward of a restored database to a point in time or the end of the logs.
#include "kestrel/rollfwd.h"

#include <algorithm>
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

namespace {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The instant of the local fields under the daylight-saving flag `isdst`,
// when the local clock shows exactly these fields at that instant.
bool LocalInstant(const std::tm& fields, int isdst, std::time_t* when) {
  std::tm tm = fields;
  tm.tm_isdst = isdst;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  std::tm back{};
  if (localtime_r(&t, &back) == nullptr) return false;
  if (back.tm_year != fields.tm_year || back.tm_mon != fields.tm_mon ||
      back.tm_mday != fields.tm_mday || back.tm_hour != fields.tm_hour ||
      back.tm_min != fields.tm_min || back.tm_sec != fields.tm_sec)
    return false;
  *when = t;
  return true;
}

}  // namespace

int ConvertStopTime(std::string_view local, StopTime* out) {
  const std::string text(local);
  std::tm tm{};
  char separator = 0;
  int year = 0, month = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d.%2d.%2d%n", &year, &month, &tm.tm_mday,
                  &separator, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 7)
    return kStopTimeBadForm;
  // What follows the seconds is a fraction or nothing.
  const std::string_view rest = local.substr(static_cast<std::size_t>(consumed));
  if (!rest.empty() && (rest.front() != '.' ||
                        rest.substr(1).find_first_not_of("0123456789") != std::string_view::npos))
    return kStopTimeBadForm;
  if (year < 1900 || month < 1 || month > 12 || tm.tm_hour < 0 || tm.tm_hour > 23 ||
      tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 59)
    return kStopTimeBadForm;
  // mktime would move a day past the month's end into the next month.
  if (tm.tm_mday < 1 || tm.tm_mday > DaysInMonth(year, month)) return kStopTimeNoSuchDate;
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  // Standard and daylight-saving time each give the instant the clock shows
  // these fields at, or none: both in the hour the clock repeats, neither in
  // the hour it skips.
  std::time_t standard = 0, daylight = 0;
  const bool isStandard = LocalInstant(tm, 0, &standard);
  const bool isDaylight = LocalInstant(tm, 1, &daylight);
  if (!isStandard && !isDaylight) return kStopTimeInGap;
  std::time_t when = isStandard ? standard : daylight;
  out->repeated = isStandard && isDaylight && standard != daylight;
  // A roll-forward past the requested time cannot be undone: the earlier one.
  if (isStandard && isDaylight) when = std::min(standard, daylight);
  std::tm utc{};
  if (gmtime_r(&when, &utc) == nullptr) return kStopTimeBadForm;
  char buffer[64];
  if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d-%H.%M.%S.000000", &utc) == 0)
    return kStopTimeBadForm;
  out->utc = buffer;
  out->instant = static_cast<std::int64_t>(when);
  return kStopTimeOk;
}

bool StopTimeToUtc(std::string_view local, std::string* utc) {
  StopTime stop;
  if (ConvertStopTime(local, &stop) != kStopTimeOk) return false;
  *utc = stop.utc;
  return true;
}

int CheckStopTime(const std::string& local, StopTime* out) {
  static const char kFn[] = "CheckStopTime";
  const int rc = ConvertStopTime(local, out);
  const std::string time = "The roll-forward time " + local;
  switch (rc) {
    case kStopTimeOk:
      if (out->repeated)
        ErhFullReport(kFn, kErhWarning,
                      (time + " lies in the hour the clock repeats; the earlier instant, " +
                       out->utc + " UTC, is used.")
                          .c_str());
      return 0;
    case kStopTimeNoSuchDate:
      ErhFullReport(kFn, kErhMajor, (time + " names a day the month does not have.").c_str());
      return -1;
    case kStopTimeInGap:
      ErhFullReport(
          kFn, kErhMajor,
          (time + " lies in the hour the clock skips; no such local time exists.").c_str());
      return -1;
    default:
      ErhFullReport(kFn, kErhMajor,
                    (time + " is not a valid point in time (YYYY-MM-DD-hh.mm.ss).").c_str());
      return -1;
  }
}

int InitRfwdInput(RfwdInput* in, const Db2Database& db, const AgentOptions& options,
                  const char* instance, int partitions) {
  static const char kFn[] = "InitRfwdInput";
  FreeRfwdInput(in);
  in->alias = !db.newName.empty() ? db.newName : db.name;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    DbgPlain(kTrace, "[%s] Local Time:%4d-%2d-%2d-%2d.%2d.%2d.000000", kFn, local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    DbgPlain(kTrace, "tm_isdst=%d", local.tm_isdst);
  }
  if (options.stopTime.empty()) {
    in->stopTime = kEndOfLogs;
  } else if (!StopTimeToUtc(options.stopTime, &in->stopTime)) {
    ErhFullReport(
        kFn, kErhMajor,
        ("The roll-forward time " + options.stopTime + " is not a valid point in time.").c_str());
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
    for (const sqlu_tablespace_entry& e : in->entries)
      DbgPlain(kTrace, "    %s", e.tablespace_entry);
  }
  ErhFullReportPacked(kFn, kReportInfo,
                      NlsPackMessage(kDb2MsgSet, kDb2MsgRollForwardStarted, in->alias.c_str()));
  sqlca ca{};
  sqluroll_api(&in->input, &out->output, &ca);
  VEKSqlInfoPrint("rolling forward database", &ca, __LINE__, rcsId);
  if (ca.sqlcode != 0) return ca.sqlcode;
  ErhFullReportPacked(kFn, kReportInfo,
                      NlsPackMessage(kDb2MsgSet, kDb2MsgRollForwardDone, in->alias.c_str()));
  DbgPlain(kTrace, "[%s]  Rollforward of database %s is completed successfully", kFn,
           in->alias.c_str());
  DbgPlain(kTrace, "[%s]  NumReplies = %d", kFn, out->numReplies);
  return 0;
}

int RollForwardDatabase(Db2Database* db, const AgentOptions& options, const char* instance) {
  static const char kFn[] = "RollForwardDatabase";
  if (db->nodes.empty()) {
    DbgPlain(kTrace, "[%s] It is not partitioned database. Set nodenumber to 1, catalog node to 0",
             kFn);
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
