// Error state and error reports: the first marked error of the process, its
// promotion, reporting through a replaceable hook, and its travel in messages.
#pragma once

#include <cstddef>
#include <ctime>

#include "cmn/defines.h"

struct StrMsg;

using ErhHookFn = void (*)(const char* text);

struct ErhHooks {
  ErhHookFn report;
  ErhHookFn console;
};

// Error codes marked by the common runtime and the cell-server client.
enum ErhCode : int {
  ERH_NONE = 0,
  ERH_CSA_CONNECT = 1000,
  ERH_CSA_ITEM = 1001,
  ERH_CSA_EXPORT = 1002,
  ERH_CSA_REQUEST = 1004,
  ERH_CSA_USER_REMOVE = 1005,
  ERH_INTERNAL = 1007,
  ERH_VAR_PARSE = 1008,
  ERH_CSA_SESSION = 1009,
  ERH_CSA_TRANSPORT = 1011,
  ERH_CSA_READ = 1012,
  ERH_CSA_GROUP = 1013,
  ERH_NOMEM = 1024,
  ERH_SYSTEM = 1026,
  ERH_INVALID_NAME = 1620,
  ERH_NO_MCM_HOST = 2000,
  ERH_NO_CS_HOST = 2001,
  ERH_UNESCAPE = 8002,
};

// Severity of a mark or report; the number travels in packed reports and
// selects the header word (catalogue 11, 2000 + level).
inline constexpr int kErhNormal = 0;
inline constexpr int kErhWarning = 1;
inline constexpr int kErhMinor = 2;
inline constexpr int kErhMajor = 3;  // also every internal error
inline constexpr int kErhCritical = 4;

// The error state from the code on, as ErhStatus() shows it.
struct ErhStatusInfo {
  int code;   // 0 = no error
  int level;  // severity given with the mark (0 to 3; 3 internal)
  int sysErrno;
  char sysErrorText[256];  // text of sysErrno, or empty
  time_t time;             // when marked or last reported
  int markLine;
  char markFunction[256];
  char markFile[256];  // short source name
  int promoteLine;
  char promoteFunction[256];
  char promoteFile[256];
  char errorInfo[1024];  // free text of ErhSetErrorInfo
  int reportLevel;       // reports below this level reach no hook
};

// First call in a process (or after ErhExit) empties the state, sets the report
// threshold and registers ErhExit for process exit. Later calls do nothing.
void ErhInit(int reportLevel);
// Releases the error state's slot.
void ErhExit();
// The process's error state, or null without a context table. Read only; the
// pointer stays valid until ErhExit or a fork.
const ErhStatusInfo* ErhStatus();

// Marks an error; the first mark since the last clear wins.
void ErhMarkM(int code, int sysErrno, const char* function, int level, const char* file, int line);
// Moves the marked error's location to a caller (used by safe_malloc to show
// the allocating caller rather than itself). Acts only on the mark that the
// immediately preceding ErhMarkM stored: when that mark was refused because
// another error was already marked, the kept error's location stays.
void ErhSetMarkLocation(const char* function, const char* file, int line);
// Replaces the code (also when none is marked), keeping mark place, level and
// system error.
void ErhPromoteErrorM(int code, const char* file, int line);
// Empties the state except its level and time; the next mark wins again.
void ErhClearErrorM(const char* file, int line);

// Reports the marked error (nothing when none is marked) at its own level.
void ErhReportM(const char* function, const char* file, int line);
// Reports `text` (null or empty: the current error's text) at `level`: level -1
// goes to the report hook as it is, levels at or above the report threshold
// with the report header, lower levels nowhere. `text` may lie in any of the
// library's static result areas; it is copied first.
void ErhFullReportM(const char* function, int level, const char* text, const char* file, int line);
// The same with a packed catalogue message; the hook receives a packed message.
void ErhFullReportPackedM(const char* function, int level, const char* packedText, const char* file,
                          int line);
// ErhReportM with the current error as a packed catalogue message.
void ErhPackM(const char* function, const char* file, int line);
// A false condition reports 1007. Outside host-process mode the process ends;
// in host-process mode the report is made and the call returns.
void ErhAssertM(const char* function, int condition, const char* file, int line);
// The same, reported as a packed catalogue message.
void ErhAssertPackedM(const char* function, int condition, const char* file, int line);

// Accessors. Texts are the state's own and change with it; without a context
// table the numbers are 0 and the texts empty.
int ErhErrno();
int ErhSysErrno();
int ErhErrnoLevel();
const char* ErhSysErrorStr();
void ErhSetSysErrorStr(const char* text);  // keeps 255 characters
void ErhSetErrorInfo(const char* text);    // keeps 1023 characters
const char* ErhGetErrorInfo();
void ErhSetReportLevel(int level);
int ErhReportLevel();
inline int ErhLevelToDbgLevel(int level) {
  return level + 2;
}

// Installs hooks (null = default); stores the previous pair in *previous
// (may be null).
void ErhSetHooks(ErhHooks* previous, ErhHookFn report, ErhHookFn console);
// Passes `text` to the console hook.
void ErhToConsole(const char* text);
// The default hooks: catalogue texts (12, 3) and (12, 2) around `text` on
// standard error. A packed catalogue message is expanded first.
void ErhReportHook(const char* text);
void ErhConsoleHook(const char* text);

// The system's text of an error number, in the state's buffer (next call
// overwrites it).
const char* ErhSysErrnoToText(int sysErrno);
// The text of the current error, in the state's buffer (next call overwrites).
const char* ErhErrnoToText();

// Report header: catalogue text (12, 1) with the level's literal, the time,
// program, node, `text` and additional id, written into out (size bytes,
// always terminated). Returns out.
char* ErhAddHeader(char* out, size_t size, const char* text, int level, time_t time);
// The same as a packed catalogue message carrying `packedText` nested.
char* ErhAddHeaderPack(char* out, size_t size, const char* packedText, int level, time_t time);

// Appends code, level, mark function and system error text ("%d%d%s%s") to
// the message; a packed error is cleared from the state. 0, or -1 when the
// message could not take the items (the state then stays as it was).
int ErhPackMsg();
int ErhPackMsgL(StrMsg* msg);
// Reads those four items from the message being parsed and marks the received
// code (unless an error is already marked here). Returns the received code, or
// -1 when the items are missing or malformed.
int ErhUnpackMsg();
int ErhUnpackMsgL(StrMsg* msg);

// New heap text (free with safe_free) describing a failed start-up.
char* ErhFormatCmnInitFailure();

// Convenience forms with the caller's location.
#define ErhMark(code, sysErrno, function, level) \
  ErhMarkM((code), (sysErrno), (function), (level), rcsId, __LINE__)
#define ErhPromoteError(code) ErhPromoteErrorM((code), rcsId, __LINE__)
#define ErhClearError() ErhClearErrorM(rcsId, __LINE__)
#define ErhReport(function) ErhReportM((function), rcsId, __LINE__)
#define ErhFullReport(function, level, text) \
  ErhFullReportM((function), (level), (text), rcsId, __LINE__)
#define ErhFullReportPacked(function, level, packedText) \
  ErhFullReportPackedM((function), (level), (packedText), rcsId, __LINE__)
#define ErhAssert(function, condition) ErhAssertM((function), (condition) ? 1 : 0, rcsId, __LINE__)
