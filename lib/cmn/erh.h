// Error state and error reports: the first marked error of the process, its
// promotion, reporting through a replaceable hook, and its travel in messages.
#pragma once

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

void ErhInit(int reportLevel);
void ErhExit();

// Marks an error; the first mark since the last clear wins.
void ErhMarkM(int code, int sysErrno, const char* function, int level, const char* file,
              int line);
// Moves the marked error's location to a caller (used by safe_malloc to show
// the allocating caller rather than itself).
void ErhSetMarkLocation(const char* function, const char* file, int line);
void ErhPromoteErrorM(int code, const char* file, int line);
void ErhClearErrorM(const char* file, int line);

void ErhReportM(const char* function, const char* file, int line);
void ErhFullReportM(const char* function, int level, const char* text, const char* file,
                    int line);
void ErhFullReportPackedM(const char* function, int level, const char* packedText,
                          const char* file, int line);
void ErhPackM(const char* function, const char* file, int line);
// A false condition reports 1007. Outside host-process mode the process ends;
// in host-process mode the report is made and the call returns.
void ErhAssertM(const char* function, int condition, const char* file, int line);
void ErhAssertPackedM(const char* function, int condition, const char* file, int line);

int ErhErrno();
int ErhSysErrno();
int ErhErrnoLevel();
const char* ErhSysErrorStr();
void ErhSetSysErrorStr(const char* text);
void ErhSetErrorInfo(const char* text);
const char* ErhGetErrorInfo();
void ErhSetReportLevel(int level);
int ErhReportLevel();
inline int ErhLevelToDbgLevel(int level) { return level + 2; }

// Installs hooks (null = default); stores the previous pair in *previous.
void ErhSetHooks(ErhHooks* previous, ErhHookFn report, ErhHookFn console);
void ErhToConsole(const char* text);

const char* ErhSysErrnoToText(int sysErrno);
const char* ErhErrnoToText();

int ErhPackMsg();
int ErhPackMsgL(StrMsg* msg);
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
