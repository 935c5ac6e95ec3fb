// DB2 connections for the agent and the configuration utility: attaching to
// an instance with the credentials kept on the cell server, connecting to a
// database partition through the call-level interface, node and table-space
// lists, container checks, and DB2 results turned into readable reports.
// Every function traces its failures and returns a code; none ends the
// process. Only programs that link DB2's client library link this.
#pragma once

#include <cstdint>
#include <string>

#include "db2/db2api.h"

// Result codes of the DB2 integration.
enum Db2Result : int {
  kDb2Ok = 0,
  kDb2ConfigNotSet = 15000,         // a configuration entry not set or not saved
  kDb2NoConfig = 15001,             // instance missing, configuration or credentials unreadable
  kDb2EmptyCredentials = 15003,     // attach with given credentials failed, or credentials empty
  kDb2NoHome = 15008,               // no home for the instance user, or the link not examined
  kDb2LinkFailed = 15009,           // the user-exit link could not be made
  kDb2MoveAsideFailed = 15010,      // a foreign user exit could not be moved aside
  kDb2NotStarted = 15011,           // attach failed: the instance is not started
  kDb2Environment = 15012,          // environment, tracing or cell-server host failure
  kDb2BadOption = 15013,            // an option value is missing or wrong
  kDb2CliInvalidHandle = 15014,     // CLI invalid handle, or no environment handle
  kDb2CliError = 15015,             // CLI error
  kDb2CliOther = 15016,             // other CLI result, query or stored-credential attach failed
  kDb2DirectoryEmpty = 15017,       // the database directory is empty
  kDb2DirectoryUnreadable = 15018,  // the database directory unreadable, or no bitness
  kDb2HomeUnreadable = 15019,       // the DB2 home or its db2nodes.cfg cannot be examined
  kDb2SomeNodesUnlisted = 15020,    // the table spaces of some partition were not listed
  kDb2ContainersMissing = 15021,    // at least one container not accessible
};

// A CLI handle that was never allocated or is already freed.
inline constexpr SQLHANDLE kCliNoHandle = -2;

// ---- process-wide DB2 message text

// mode 0 replaces the text with a copy of `text`, 1 returns it, 2 clears it,
// 3 appends `text`. The text (null when there is none) stays valid until the
// next call that changes it.
const char* DB2MessageBuffer(int mode, const char* text);
// The collected text, or null.
const char* DB2MessageBufferGet();
void DB2MessageBufferAppend(const char* text);

// ---- reports of DB2 results

// The agent's report of an administrative call's result ("---- error
// report ----" / "---- warning report ----"): SQLCODE 0, 100, 1277 and 2540
// give none. Sent as catalogue message 146/8 (error) or 146/7 (warning) and
// traced. Returns 0.
int VEKSqlInfoPrint(const char* appMessage, const sqlca* ca, int line, const char* file);
// The shared form ("---- DB2 error report ----"): only 0 and 100 give none.
// 0 for success and warnings; the negative SQLCODE for an error.
int SqlInfoPrint2Debug(const char* appMessage, const sqlca* ca, int line, const char* file);

// A CLI return code as a result code: success, with info, still executing,
// need data and no data give 0; SQL_ERROR 15015 (its diagnostic records are
// reported); SQL_INVALID_HANDLE 15014; anything else 15016.
int HandleInfoPrint(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc, int line, const char* file);
// Reports every diagnostic record of the handle and appends their texts to
// the process-wide DB2 message text.
void HandleDiagnosticsPrint(SQLSMALLINT type, SQLHANDLE handle);
// Frees a handle; kCliNoHandle counts as freed (0). The CLI return code.
SQLRETURN FreeCliHandle(SQLSMALLINT type, SQLHANDLE handle, const char* typeName,
                        const char* function, int line);
// Disconnects and frees `count` connection handles, then the environment
// handle. Handles equal to kCliNoHandle are skipped. 0, or the code of the
// last failure.
int CLIAppCleanUp(SQLHENV environment, const SQLHDBC* connections, int count);

// ---- attach and connect

// Sets DB2INSTANCE, reads the instance's configuration from the cell server,
// turns tracing on from it and attaches with its user and password. 0;
// 15001 no instance or configuration, 15003 empty credentials, 15012
// environment or cell-server host; the negative SQLCODE of a failed attach.
// The process stays attached.
int GetCfgAndAttach(const char* instance);
// Directs later connects and attaches to partition `node`, then attaches as
// GetCfgAndAttach does. 0 once the partition is set, whatever the attach
// gives (its failure is traced and shows in the calls that follow); the
// negative SQLCODE of a refused setting, after which no further DB2 call may
// be made for this partition, since DB2 may still point at the previous one.
int AttachToNode(int node, const char* instance);
// Connects to `database` on `node`. On 0 both handles belong to the caller
// (release with CLIAppCleanUp); otherwise they are kCliNoHandle. -1 for no
// database name; AttachToNode's code; 15014, 15015 or 15016 from the CLI.
int DB2_ConnectToDB(const char* database, const char* instance, int node, SQLHDBC* connection,
                    SQLHENV* environment);

// ---- nodes and table spaces

// The partitions in the instance's "DB2_NODES" configuration: their count
// (0 when the section is missing), with *nodes a heap array the caller frees
// with FreeNodeList (null for none); -1 when the configuration could not be
// read (the error state is cleared).
int GetNodes(const char* instance, int** nodes);
// The same, keeping only partitions whose expanded host is this machine's
// host name. `host` is not consulted.
int GetNodesOnHost(const char* instance, int** nodes, const char* host);
void FreeNodeList(int* nodes);
// The host "DB2_NODES" names for partition `node`, expanded; empty when the
// configuration or the entry is missing.
std::string GetNodeHost(const char* instance, int node);

// The table spaces of `database` on `node`: DB2's array (free it with
// sqlefmem_api) and its count. -1 for missing arguments; the connect's
// code; 15016 when the query failed.
int GetTablespacesListOnNode(const char* database, std::uint32_t* count,
                             SQLB_TBSPQRY_DATA*** tableSpaces, int node, const char* instance);
// The union of the table-space names over all partitions of the instance
// (or those on this machine; node 0 when none is), each once, in first-seen
// order: *names a heap array of *count heap texts (FreeTablespaceNames).
// 0; 15020 when some partition could not be listed (the others still are)
// or the partitions could not be read.
int GetTablespacesList(const char* database, int* count, char*** names, const char* instance);
int GetTablespacesListOnHost(const char* database, int* count, char*** names, const char* instance,
                             const char* host);
void FreeTablespaceNames(char** names, int count);

// Checks every container of every table space of `database` on `node`;
// *inaccessible gets the number of containers that are not accessible, plus
// one for each table space whose containers could not be queried. 0;
// 15021 when there are such; 15016 query failed; 15014 handle allocation;
// -1 missing arguments or connect failed; AttachToNode's code.
int TestContainersOnNode(const char* database, int node, const char* instance, int* inaccessible);
