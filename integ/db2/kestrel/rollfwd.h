// Roll-forward of a restored database: DB2's roll-forward records, the stop
// time in UTC, and the call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db2/db2api.h"
#include "kestrel/agent.h"
#include "kestrel/datatree.h"

// The roll-forward of the end of the logs.
inline constexpr char kEndOfLogs[] = "9999-12-31-23.59.59.999999";

// The input record and the storage its pointers refer to; not copyable,
// since the record points into itself.
struct RfwdInput {
  rfwd_input input{};
  std::string alias, stopTime, user, password;
  std::vector<sqlu_tablespace_entry> entries;
  sqlu_tablespace_bkrst_list list{};
  RfwdInput() = default;
  RfwdInput(const RfwdInput&) = delete;
  RfwdInput& operator=(const RfwdInput&) = delete;
};

struct RfwdOutput {
  rfwd_output output{};
  char applicationId[33] = {};
  std::int32_t numReplies = 0;
  std::vector<sqlurf_info> replies;
  RfwdOutput() = default;
  RfwdOutput(const RfwdOutput&) = delete;
  RfwdOutput& operator=(const RfwdOutput&) = delete;
};

// A local stop time converted to UTC.
struct StopTime {
  std::string utc;           // "YYYY-MM-DD-hh.mm.ss.000000"
  std::int64_t instant = 0;  // seconds since the epoch
  bool repeated = false;     // the local time was shown twice; the earlier instant is taken
};
enum StopTimeResult : int {
  kStopTimeOk = 0,
  kStopTimeBadForm = 1,     // a field missing or out of range
  kStopTimeNoSuchDate = 2,  // a day the month does not have
  kStopTimeInGap = 3,       // a local time the clock skips
};
// Converts a local time written "YYYY-MM-DD<any one character>hh.mm.ss[.fraction]"
// with the daylight-saving rule of that date. A time the clock shows twice
// takes the earlier instant. A StopTimeResult.
int ConvertStopTime(std::string_view local, StopTime* out);
// The UTC form of a local stop time, as ConvertStopTime. False when it does
// not convert.
bool StopTimeToUtc(std::string_view local, std::string* utc);
// ConvertStopTime with its reports: a refusal that says why, or which
// instant a repeated local time became. 0, or -1 for a refused time.
int CheckStopTime(const std::string& local, StopTime* out);

// Fills the input record for `db`. 0; -1 for a stop time that does not
// convert or a table-space name longer than DB2 takes.
int InitRfwdInput(RfwdInput* in, const Db2Database& db, const AgentOptions& options,
                  const char* instance, int partitions);
void FreeRfwdInput(RfwdInput* in);
// Room for one reply per partition. 0.
int InitRfwdOutput(RfwdOutput* out, int partitions);
void FreeRfwdOutput(RfwdOutput* out);
// 0, or the sqlcode of the roll-forward.
int DB2RollForward(RfwdInput* in, RfwdOutput* out);

// The agent's roll-forward of one restored database: attach to the catalog
// partition, then the records and the call. 0 or non-zero.
int RollForwardDatabase(Db2Database* db, const AgentOptions& options, const char* instance);
