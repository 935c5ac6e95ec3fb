// Functions every program of the DB2 integration shares: the instance's
// configuration and credentials from the cell server, tracing switched on from
// that configuration, file-name formatting and the report hook.
#pragma once

#include <cstddef>

#include "barutil/bp.h"

// Debug options parsed by OptParseDebug: heap texts (safe_free), null until
// a text with ranges was parsed.
extern char* debugRanges;
extern char* debugSession;
extern char* debugSelect;

// Longest file name the formatters take, without the terminator.
inline constexpr std::size_t kDb2FileNameMax = 1023;

// Prints a packed report line on the console. Installed with ErhSetHooks.
void DB2ReportHook(const char* packed);

// In a process forked from a program of the integration (a partition task, a
// coordinator), which dropped the common library and the report hooks at the
// fork: starts the library as `name` (null: the process's name), with the
// tracing the environment carries, and installs DB2ReportHook, so that its
// reports travel as the program's own. Where the library runs already (the
// program's own process), nothing changes.
void DB2StartForkedTask(const char* name);

// The DB2 configuration of `instance` from the cell server named in the
// client's cell_server file, for this host. A new list the caller releases
// with DB2FreeCfg, or null (traced at level -2; no error is marked).
BpList* GetCfg(const char* instance);
// Frees a list from GetCfg; null does nothing.
void DB2FreeCfg(BpList* config);

// *user: heap copy of "Username"; *password: "Password" decoded. Both null
// when either is missing (the caller then attaches with its own account).
// When the configuration cannot be read at all, both are left as they were.
// The encoded password is never traced.
void GetUserAndPass(const char* instance, char** user, char** password);

// Heap copy of the configuration's "Version", or null.
char* GetCfgVersion(const char* instance);

// Splits a debug options text; when it holds ranges, debugRanges,
// debugSession (the postfix) and debugSelect become copies of its words and
// the result is true; otherwise they keep their values.
bool OptParseDebug(const char* text);

// Turns tracing on from the "Environment" section's "VEKOPTS" of the
// configuration, unless tracing is on already, and puts the same VEKOPTS
// into the environment for the integration API started afterwards, also when
// it holds no debug ranges (tracing then stays off, whatever an earlier
// OptParseDebug left in the globals). A process that already holds a
// VEKOPTS gets the configuration's words in front of its own, so that its
// own win where both set an option; when the configured text ends inside a
// quote or a comment, which would take the own words in, the own VEKOPTS
// stays as it is (traced at level -2). The trace postfix is
// "<program name>_<parsed postfix>". Null does nothing.
void InitDebugging(const BpList* config);

// A copy of `name` with every '\' turned into '/', in one static buffer that
// both formatters share and each call overwrites. Empty for null and for
// names longer than kDb2FileNameMax.
const char* DB2_fNameFormatNative(const char* name);
const char* DB2_fNameFormatIDB(const char* name);

// Exports the configuration's "Environment" section into the process
// environment. VEKBARLIST keeps the value the process already holds; a
// VEKOPTS the process holds gets the configuration's words in front of its
// own, as InitDebugging puts them (once, whichever of the two ran first).
// Null or a configuration without the section does nothing.
void ExportEnvVars(const BpList* config);
