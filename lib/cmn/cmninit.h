// Process start-up and exit, process identity and small process services:
// host names, the inet port, item names, integration types, version strings,
// file-name patterns, argument vectors and console output.
#pragma once

#include <netdb.h>
#include <signal.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "cmn/defines.h"

// ---------------------------------------------------------------------------
// Process identity. The names stay for the life of the process, also in a
// forked child after CmnContextAtFork.

inline constexpr size_t kCmnProgNameMax = 255;
// Host-name buffers: 64 characters and the terminator.
inline constexpr size_t kCmnHostNameSize = 65;

// This host's node name and host name (64 characters; "hostname_unknown"
// until CmnGetHostInfo ran) and the cell-server host ("unnamed" until known).
extern char cmnNodename[kCmnHostNameSize];
extern char cmnHostname[kCmnHostNameSize];
extern char cmnCSHostname[kCmnHostNameSize];
// Contexts that completed CmnInit and are not yet through CmnExit.
extern int cmnUsageCount;
// 1 once host and user information, rc variables and buffer sizing are done.
extern int cmnProcessInited;
// Cached inet service port; 0 until CmnGetInetPort asked.
extern int glInetPort;

// Stores at most 255 characters of `name` (null keeps the current name).
void CmnSetProgname(const char* name);
// The program name ("" until set). Valid until the next CmnSetProgname.
const char* CmnGetProgname();
void CmnSetAdditionalId(const char* id);
// Additional id of the process (255 characters; empty when none was given).
const char* CmnGetAdditionalId();

// The common library's own data (context slot 4).
struct CmnContext {
  char tag[16];                         // "(LibCmn.lib)"
  char expandedHost[kCmnHostNameSize];  // CmnExpandHostname's result
  char officialName[kCmnHostNameSize];  // CmnCheckHostentAliases's result
  int inited;                           // this context completed CmnInit
  volatile sig_atomic_t alarmFlag;      // set by command mode's alarm handler
};
// The slot's data, created on first use; null without a context table.
CmnContext* CmnGetContext();

// ---------------------------------------------------------------------------
// Start and stop.

// Starts the common runtime for a program: identity, locale, rc variables
// (exported before tracing starts, so the rc file may switch tracing on),
// message-buffer sizing, tracing from `ranges` (or VEKDBG), the catalogue
// and the error state. Any text may be null. 0, or -1 (traced "CmnInit()
// failed"; the error state tells why).
int CmnInitEx(const char* progname, const char* additionalId, const char* postfix,
              const char* ranges, const char* select, int reportLevel, int threadId);
int CmnInit(const char* progname, const char* additionalId, const char* postfix, const char* ranges,
            const char* select, int reportLevel);
// Only stores the program name; a library loaded into a foreign process calls
// it first and CmnInit later. Returns 0.
int CmnInitDLL(const char* progname);
// Releases error state, the process-wide message buffer and tracing; the last
// user also closes the catalogue and the troubleshooting table. Returns the
// number of users left.
int CmnExit();
// 1 when this process's context completed CmnInit and has not exited.
int CmnIsInitialized();
// Registers an exit handler, unless cmnDefine_NOATEXIT or host-process mode
// is set (a guest never registers exit handlers).
void CmnSetAtAxit(void (*function)());
// Flushes the standard streams and ends the process with `status`. In a host
// process only a child of our own may call it (the host is never ended).
void CmnExitProcess(int status);
// Re-parses non-empty `ranges` into the running trace; sets the report
// threshold unless `reportLevel` is -1.
void CmnSetLevels(const char* ranges, int reportLevel);

// ---------------------------------------------------------------------------
// Hosts and time.

// Fills node, host and cell-server host names (only before cmnProcessInited).
// Returns 0.
int CmnGetHostInfo();
// The system host name, lower-cased, into buffer (size bytes); an empty name
// (and a line in debug.log) when gethostname fails. Return buffer.
char* GetNodename(char* buffer, size_t size);
char* GetHostname(char* buffer, size_t size);
// Host lookup with up to 5 retries while the resolver says "try again".
// The entry lies in the resolver's static area (valid until the next lookup);
// null for a null or empty name or a failed lookup.
struct hostent* GetHostByName(const char* name);
// The canonical lower-case name of `name` in the common data (the next call
// overwrites it), or null when it does not resolve.
const char* CmnExpandHostname(const char* name);
// *copy becomes a heap copy (free with safe_free) of the canonical name
// (result 1) or of the name itself (result 0); -1 for a null name.
int CmnExpandHostName(const char* name, char** copy);
// The entry's official name (63 characters) in the common data; "" for null.
const char* CmnCheckHostentAliases(const struct hostent* entry);
// TCP port of the inet service "tarn". TARN_INET_PORT, when it holds a port
// from 1 to 65535, comes first; then the cached value; then the service
// lookup; 5555 when that fails or gives 0.
int CmnGetInetPort();
inline constexpr int kCmnDefaultInetPort = 5555;

// Sleeps `milliseconds` on the process clock (cmn::SleepFor), sleeping the
// rest again after a signal.
void CmnSleep(long milliseconds);
// Seconds since the epoch with microseconds.
double CmnGetCurrentTime();
// 1 sleeps 1 s, 2 100 ms, 3 10 ms, 4 1 ms, 5 100 us (on the process clock);
// any other grade yields the processor once.
void VEK_Yield(int grade);

// ---------------------------------------------------------------------------
// Item names and integration types.

inline constexpr size_t kCmnItemNameMax = 255;

// 0 for a usable item name; -1 with 1620 marked (line place 728 for an empty
// name, 769 for a control character or one of / \ * ? " > < |).
int CmnValidItemName(const char* name);
// `text` is an integration type name, a blank and an item name (up to a
// newline). `kind` ("datalist", "schedule", "template", "tempschedule",
// "copylist", "conslist") picks the row's item code into *code; the name is
// copied into `name` (kCmnItemNameMax + 1 bytes). 0, or -1 with 1620 marked
// and *code -1 (also for a kind the row has no item for).
int CmnItemFromTname(int* code, char* name, const char* kind, const char* text);
// 0 for a valid single-file type or group; -1 with 1001 marked.
int CmnValidSingleFile(int type);
int CmnValidGroup(int group);

// One backup type of an integration; a table ends with a null option.
struct CmnBackupType {
  const char* name;  // null in the base row's table
  int code;          // 0 full, 1-9 incremental level, 10 incr, 13 diff, 18 trans, 26 delta, 27 copy
  int flag1;
  int flag2;
  int number;
  const char* option;
};

// One kind of backup list (barlist). Item codes are -1 where the kind has none.
struct CmnIntegType {
  const char* name;
  int dataList;
  int copyList;
  int consList;
  int schedule;
  int templ;
  int templSchedule;
  const CmnBackupType* backupTypes;  // or null
  int number;             // -1 base row; -2 or 0 stream, copy, consolidation, verification
  const char* listsPath;  // cell-server paths, null where none
  const char* schedulesPath;
  const char* listTemplatesPath;
  const char* scheduleTemplatesPath;
};

// The table, ended by a row with a null name.
extern const CmnIntegType cmnSuppVEKInteg[];
// The row named `name` (case ignored); null for an empty or unknown name.
const CmnIntegType* CmnGetIntegType(const char* name);
const CmnIntegType* CmnGetIntegTypes();
// The first entry whose name equals `option` (leading "-" and case ignored)
// in `row`'s table or, for a null row, in every named table; null if none.
const CmnBackupType* CmnGetIntegBackupType(const CmnIntegType* row, const char* option);
// Name of `row`'s first entry with `code`, or null.
const char* CmnGetIntegBackupTypeStr(const CmnIntegType* row, int code);

// ---------------------------------------------------------------------------
// Version strings and platforms.

// "<brand 4> <brand 95>: <program>, internal build <n>, built on <date>" into
// buffer (size bytes); "" when the whole text does not fit. Returns buffer.
char* MakeVersionString(size_t size, char* buffer);
// "<product> <version>"; "" when size is less than the two texts plus 4
// bytes. Returns buffer.
char* MakeShortVersionString(size_t size, char* buffer);
// Compares dot-separated versions part by part as text: <0, 0, >0. When all
// compared parts are equal, the one with more parts is the lower (a: -1,
// b: 1).
int VersionCmp(const char* a, const char* b);
// 1 when the two "prefix version" texts may work together, else 0 (a
// mismatch is written at level -2).
int IsCompatible(const char* type1, const char* text1, const char* type2, const char* text2);
int IsAmsCompatible(const char* type1, const char* text1, const char* type2, const char* text2);
// Platform id of a "vendor processor system-release" text, or -1.
int CvtStrToPlatformId(const char* text);
// 6 for 100, 101, 110; 8 for 50, 51; 2 otherwise.
int CvtPlatformIdToObjectType(int id);

// ---------------------------------------------------------------------------
// File-name patterns.

inline constexpr int kFnmPathname = 1;   // "/" is matched only by "/"
inline constexpr int kFnmCaseFold = 2;   // letters match either case...
inline constexpr int kFnmCaseExact = 4;  // ...unless this bit is set too
inline constexpr int kFnmNoEscape = 8;   // "[" is an ordinary character

// 1 when `name` matches `pattern` ("?", "*", "[set]"), else 0. Null is "".
int FnmFilenameMatch(const char* pattern, const char* name, int flags);
// `pattern` points just past a "["; returns the position past the closing "]"
// when `c` is in the set, else null (also for an unclosed set).
const char* RangeMatch(const char* pattern, int c);

// ---------------------------------------------------------------------------
// Argument vectors. items[count] is always null, so items suits execv.

struct ArgvVec {
  int capacity;
  int count;
  char** items;  // heap; each item a heap copy
};

// 0, or -1 when memory ran out (the vector is then empty).
int ArgvInit(ArgvVec* vector, int capacity);
// Appends a copy of `text`; grows by 50 entries. 0, or -1.
int ArgvAdd(ArgvVec* vector, const char* text);
// Appends every text up to a null one; returns how many were added.
int ArgvAdds(ArgvVec* vector, const char* text, ...);
// Inserts a copy at `index` (0 to count; other indexes are ignored, result
// 0). 0, or -1 when memory ran out.
int ArgvInsert(ArgvVec* vector, const char* text, int index);
// Frees the items and the array; the vector becomes empty.
void ArgvFree(ArgvVec* vector);
// Appends the words of `text` (blanks separate, "#" comments to the line
// end, '...' and "..." words with backslash escapes for quotes and
// newlines). Returns the number of words added, or -1 when memory ran out.
int ArgvReadFromBuffer(ArgvVec* vector, const char* text);

// ---------------------------------------------------------------------------
// Console output. The FPrint calls return the bytes written, or -1 (also
// for a null stream or format). Any length is written whole. ConPrint and
// ConPrintPartial suit ErhSetHooks as the console hook.

// Returns the previous console type.
int SetConType(int type);
int GetConType();
int FPrintPartial(FILE* stream, const char* text);  // no flush
int FPrint(FILE* stream, const char* text);         // writes and flushes
int FPrintVA(FILE* stream, const char* format, va_list args);
int FPrintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ConPrintPartial(const char* text);
int ConFlush();
void ConPrint(const char* text);
int ConPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
