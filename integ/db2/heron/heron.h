// The DB2 configuration utility: lists configured instances, an instance's
// databases and a database's table spaces, checks and stores an instance's
// configuration on the cell server and links the instance's user exit to
// plover. Every run answers its caller with one result line on standard
// output and ends with status 0.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "barutil/bp.h"

// Actions the command line selects.
enum HeronAction : int {
  kHeronNoAction = -1,
  kHeronPrintDatabases = 1,
  kHeronPrintTablespaces = 2,
  kHeronPrintInstances = 4,
  kHeronConfig = 32,
  kHeronCheckConfig = 64,
};

// main_init's answer when the usage or version text was printed: the run
// ends with status 0 and without a result line.
inline constexpr int kHeronPrintedOnly = -1;

// The parsed command line. Texts are owned here; the password is kept only
// in memory and never traced.
struct HeronOptions {
  int action = kHeronNoAction;
  std::string programName;  // the first argument, for FindVersion
  std::string instance, database, user, password, home;
  bool eee = false;  // a DB2 home directory was given: a partitioned instance
  std::string debugRanges, debugPostfix, debugSelect;
};

// The options of this run.
HeronOptions& HeronOpts();

void OptReset();
void OptFree();
// Takes the debug words from "-debug" on the command line (then also put into
// VEKOPTS) or from the words after "-debug" in VEKOPTS, wherever it stands.
void OptParseDebugArgs(int argc, const char* const* argv);
// 0; 15013 for a missing value; kHeronPrintedOnly after printing the usage
// (no argument, "-help", an unknown option) or the version.
int OptParseOptions(int argc, const char* const* argv);
void PrintUsage();
void PrintVersion();

// Starts tracing, the common runtime, the IPC layer and the cell-server
// client and parses the options: 0, kHeronPrintedOnly or a result code.
int main_init(int argc, const char* const* argv);
// The whole run: main_init, the action, the result line, the stops. Returns
// the process's exit status (always 0).
int HeronMain(int argc, const char* const* argv);

// "*RETVAL*<code>\n", then the process-wide DB2 message text and "\n" when
// there is one.
std::string RetvalLine(int code);
void PrintRetval(int code);

// The actions; each returns a result code.
int PrintDatabases();
int PrintTablespaces();
int PrintInstances();
int Config();
int CheckConfig();

// The aliases of the local databases in the system database directory
// (type '0'; cut to 8 characters and at the first blank). 0, 15017 empty
// directory, 15018 unreadable.
int GetDBList(std::vector<std::string>& aliases);
// Prints "<user> <stored password>" of the instance's configuration.
void PrintInstance(const char* instance);
// "32bit" or "64bit" from the program name after "heron_": 0 (empty
// `version` when neither follows), or 15018 without "heron_".
int FindVersion(std::string& version);

// One partition of "sqllib/db2nodes.cfg": the number at the line's start and
// the word after the first blank. False for a line that has no such pair
// (skipped by the reader).
bool ParseNodesLine(std::string_view line, int& node, std::string& host);
// The pairs of a whole db2nodes.cfg text. Lines longer than 4096 characters
// are skipped whole.
std::vector<std::pair<int, std::string>> ParseNodesFile(std::string_view text);
// Replaces the configuration's "DB2_NODES" with the partitions of
// "<home>/sqllib/db2nodes.cfg", hosts expanded. 0, or -1 when the file
// cannot be read or an entry cannot be set.
int AddNodesIntoConfig(BpList* config, const std::string& home);

// Points "<home>/sqllib/adm/db2uext2" of the instance owner at plover in the
// install lbin directory. A link already right is left as it is; anything
// else is moved aside to "db2uext2.orig", unless that exists: an existing
// ".orig" is never overwritten. 0, 15008, 15009 or 15010.
int LinkUserExit(const char* instance);
