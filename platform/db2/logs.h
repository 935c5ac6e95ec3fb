// Log files of the stand-in DB2: records written with the data, archiving
// and retrieval through the instance's user exit, and roll-forward.
//
// A log file "S<nnnnnnn>.LOG" in the partition's logs/ folder holds one
// record a line: "<lsn> <time> <table space> <data in hex>", time in UTC as
// "YYYY-MM-DD-hh.mm.ss". Applying a record appends its data to the first
// container of its table space.
//
// The user exit is "<instance home>/sqllib/adm/db2uext2", run with
//   -OS<system> -RL<release> -RQ<ARCHIVE|RETRIEVE> -DB<database>
//   -NN<NODEnnnn> -LP<log folder>/ -LN<log file name>
// Exit code 0 is success; on RETRIEVE, 0 without the file means no such log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db2/store.h"

namespace db2sim {

struct LogRecord {
  std::uint64_t lsn = 0;
  std::string time;
  std::string tableSpace;
  std::string data;
};

std::string EncodeLogRecord(const LogRecord& r);
// Empty when the line is not a sound record.
std::optional<LogRecord> DecodeLogRecord(const std::string& line);

std::string LogFileName(std::uint32_t number);

// Writes `data` into the table space and logs it; `time` empty = now (UTC).
void WriteLogged(const Store& store, const std::string& instance, const std::string& db, int node,
                 const std::string& tableSpace, const std::string& data, const std::string& time);

// Runs the instance's user exit; its exit code, or -1 when it could not run,
// crashed or was killed after `timeoutMs`.
int RunUserExit(const Store& store, const Instance& inst, const std::string& request,
                const std::string& db, int node, const std::string& logDir,
                const std::string& logName, int timeoutMs);

// Closes the active log file and starts the next. With log archiving on, the
// closed file goes through the user exit (ARCHIVE) and leaves the log folder
// when it answers 0. Returns an SQLCODE.
int ArchiveLog(const Store& store, const std::string& instance, const std::string& db, int node,
               int timeoutMs);

// Applies the records after the partition's lsn up to `stopTime`
// ("YYYY-MM-DD-hh.mm.ss[.ffffff]", UTC), starting at its roll-forward log and
// retrieving missing files with the user exit; ends roll-forward pending.
// A record of a chain an earlier stop at a point in time left behind is
// refused (kSqlLogOtherChain) unless the restored image is of that chain,
// and then so is the chain the database went on with. Stopping at the stop
// time leaves the later records behind and moves logging to a new file.
// Returns an SQLCODE; `applied` counts the records.
int RollForwardNode(const Store& store, const std::string& instance, const std::string& db,
                    int node, const std::string& stopTime, int timeoutMs, int& applied);

}  // namespace db2sim
