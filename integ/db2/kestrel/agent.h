// The DB2 backup agent's records and its start-up: the command line, the one
// option line on standard input, and the main order of a run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Backup types of the command line.
inline constexpr int kBackupFull = 0;
inline constexpr int kBackupIncremental = 16;
inline constexpr int kBackupDelta = 48;

enum AgentAction : int { kActionNone = 0, kActionBackup = 1, kActionRestore = 2 };

// Limits of what the option line and the environment may carry. Longer or
// larger values are refused, never cut into something else.
inline constexpr std::size_t kStopTimeMax = 27;
inline constexpr std::size_t kFromHostMax = 64;
inline constexpr std::size_t kFromInstanceMax = 62;
inline constexpr std::size_t kAgentNameMax = 1023;  // database, table space, log file, script
inline constexpr int kConcurrencyMax = 1024;
inline constexpr int kDevicesMax = 1024;
inline constexpr int kSessionNumberMax = 99999999;
// Option-line buffer: VEKIPCBUFSIZE, raised to the default, capped at the maximum.
inline constexpr int kOptLineDefault = 102400;
inline constexpr int kOptLineMax = 16 << 20;

// The vendor library DB2 loads for the agent's backups and restores, in the
// install library directory.
inline constexpr char kVendorLibraryName[] = "libwren_32bit.so";

// The agent's catalogue message set and the level of its progress reports.
inline constexpr int kReportInfo = 4;
// What DB2's backup and restore calls take: buffer size and count, and a
// table-space name in their lists.
inline constexpr int kBufferSizeMax = 524288;
inline constexpr int kNumBuffersMax = 65535;
inline constexpr std::size_t kTablespaceEntryMax = 18;

// The value of an environment variable; empty when unset.
std::string AgentEnv(const char* name);

// The one process-wide record of what the command line and the option line
// asked for.
struct AgentOptions {
  std::string debugPostfix, debugRanges, debugSelect;  // option line `debug`
  bool debugGiven = false;                             // the option line carried `debug`
  std::string stopTime;                                // roll-forward point in time
  int action = kActionNone;
  int rollForward = -1;
  int concurrency = 0;  // 0 becomes 1 in main
  int backupType = kBackupFull;
  std::string fromHost;      // restore-from host, expanded
  std::string fromInstance;  // restore-from instance
  std::string preScript, postScript;
  int continueFlag = 0;
  std::string user, password;  // password decoded
  int partitioned = 0;
  int devices = 1;
};

enum AgentItemKind : int { kItemDatabase = 0, kItemTablespace = 1, kItemLog = 2 };

// One requested object of the option line.
struct AgentItem {
  std::string database;  // upper case
  std::string tablespace;
  std::string logFile;
  std::string sessionId;  // "<date> %04d", empty for none
  int online = 1;
  int kind = kItemDatabase;
  std::string newName;
};
using AgentItems = std::vector<AgentItem>;

// Option-line parse results.
enum OptParseResult : int {
  kOptOk = 0,
  kOptFailed = -1,    // a word that does not parse; what came before stays
  kOptNoInput = -2,   // standard input ended before a line
  kOptOverflow = -3,  // the line is longer than the buffer
};

// The command line against "-ver[sion -incr -delta -debug <dbgranges>
// <[dbgpostfix]> <[dbgselect]> ": sets the backup type (delta wins over
// incr). 1 when `-version` was given (the caller prints the version), 0
// otherwise, -1 for a command line that does not match (nothing set).
int ParseCommandLine(int argc, const char* const* argv, AgentOptions* options);

// Parses one option line into `options` and appends its items. Words are
// split at blanks, colons and newlines; unknown words are traced and
// skipped. kOptOk or kOptFailed.
int ParseOptLine(std::string_view line, AgentOptions* options, AgentItems* items);

// Reads at most `size` bytes of one line from `fd`: kOptOk with *line set
// (without its newline), kOptNoInput at end of input, kOptOverflow when no
// line end came within `size` bytes and more input follows.
int ReadOptLine(int fd, int size, std::string* line);

// The option-line buffer size VEKIPCBUFSIZE asks for, within its bounds.
int OptLineBufferSize();

// The whole start: command line, option line from standard input, the debug
// set-up from VEKOPTS/VEKDBG, the option line and the command line (the
// later wins), then the common library. A kOptParseResult; `*version` is set
// when the command line asked for the version.
int ParseOpts(int argc, const char* const* argv, AgentOptions* options, AgentItems* items,
              bool* version);

void FreeItems(AgentItems* items);

// The agent's run: the main order. Returns the exit status.
int KestrelMain(int argc, char** argv);

// Exit statuses besides 0 and the 255 of a missing instance or a failed
// attach: a refused action; a partition whose backup failed, or a database
// that was refused or of which nothing was backed up.
inline constexpr int kExitRefused = 1;
inline constexpr int kExitPartitionFailed = 2;
