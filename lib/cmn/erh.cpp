// Error state and error reports: the first marked error of the process, its
// promotion and clearing, reports through replaceable hooks, and its travel in messages.
#include "cmn/erh.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/erh.cpp");

namespace {

constexpr int kLiteralLevelBase = 2000;
constexpr int kLowestMarkableCode = 1000;
constexpr int kRecursionTraceLevel = 90;

constexpr size_t kTextSize = 4096;

struct ErhState {
  ErhHooks hooks;
  ErhStatusInfo status;
  bool initialised;
  // The last ErhMarkM stored its mark, so ErhSetMarkLocation may move it.
  bool markRelocatable;
  char sysErrnoText[256];
  char errnoText[kTextSize];
  char lastPacked[kTextSize];
  bool reporting;
  bool reportingPacked;
};

ErhState erhPtdProto;

void ErhPtdAtInit(void* data) {
  auto* state = static_cast<ErhState*>(data);
  state->hooks.report = ErhReportHook;
  state->hooks.console = ErhConsoleHook;
}

const PtdDescriptor ErhPtd = {"ErhPtd",     &erhPtdProto, sizeof(ErhState),
                              ErhPtdAtInit, nullptr,      nullptr};

// Registered once per process: ErhInit runs again after ErhExit (a network
// process restarts the library), and a forked child inherits the handler.
bool exitRegistered = false;

ErhState* State() {
  return static_cast<ErhState*>(CmnCreateContextEx(&ErhPtd, CMN_SLOT_ERH));
}

const char* Safe(const char* text) {
  return text != nullptr ? text : "";
}

template <size_t N>
void Copy(char (&to)[N], const char* from) {
  StrCopy(to, from, N - 1);
}

template <size_t N>
void CopyShortName(char (&to)[N], const char* file) {
  Copy(to, file != nullptr ? Get_FILE_from_rcsId(file) : "");
}

// The "  SystemErr: <text>" part of the trace lines, empty without a system text.
const char* SysLabel(const ErhStatusInfo& s) {
  return s.sysErrorText[0] ? "  SystemErr: " : "";
}

void TraceState(const char* title, const ErhStatusInfo& s) {
  const int level = ErhLevelToDbgLevel(s.level);
  DbgPlain(level, "[%s %d]\n    Marked: (\"%s\":%d)\n    Code is:%d%s%s\n", title, s.level,
           s.markFile, s.markLine, s.code, SysLabel(s), s.sysErrorText);
}

void TraceReport(const ErhStatusInfo& s, const char* function, const char* text) {
  const int level = ErhLevelToDbgLevel(s.level);
  if (text == nullptr) {
    DbgPlain(level,
             "[REPORT %d] in %s\n    Marked: (\"%s\":Line:%d in '%s')\n    Code is:%d%s%s\n\n",
             s.level, Safe(function), s.markFile, s.markLine, s.markFunction, s.code, SysLabel(s),
             s.sysErrorText);
  } else {
    DbgPlain(level,
             "[REPORT %d] in %s\n    Marked: (\"%s\":Line:%d in '%s')\n    Code is:%d%s%s\n%s\n\n",
             s.level, Safe(function), s.markFile, s.markLine, s.markFunction, s.code, SysLabel(s),
             s.sysErrorText, text);
  }
}

void SetPromotePlace(ErhState* state, const char* file, int line) {
  CopyShortName(state->status.promoteFile, file);
  state->status.promoteLine = line;
}

// Codes below 1000 are not to be marked; their number may name a text with
// conversions (a format of this set), so they always read as ERH_INTERNAL.
int TextCode(const ErhStatusInfo& s) {
  if (s.code >= kLowestMarkableCode) return s.code;
  DbgMessageM(TARN_HERE, -2, nullptr);
  DbgPlain(kDbgUnexpected,
           "Errors below 1000 should not be marked: %s (%d)\n"
           "Replacing error message for ERH %d with ERH_INTERNAL",
           s.markFile, s.markLine, s.code);
  return ERH_INTERNAL;
}

// A report hook that reports again would loop; outside a host process that
// ends the process, inside one the nested report is dropped.
bool EnterReport(bool& flag) {
  if (!flag) {
    flag = true;
    return true;
  }
  if (CmnInHostProcess()) {
    DbgMessageM(TARN_HERE, kRecursionTraceLevel,
                "Report hook called recursively, nested report dropped.");
    return false;
  }
  DbgMessageM(TARN_HERE, kRecursionTraceLevel,
              "Report hook called recursively!!!! Calling abort()!");
  std::abort();
}

// `text` (null or empty for the current error) must be the caller's own copy:
// formatting the header reuses the catalogue's result areas.
void ReportFunction(ErhState* state, const char* function, const char* text, int level) {
  if (!state->initialised) return;
  if (!EnterReport(state->reporting)) return;
  Copy(state->status.promoteFunction, function);
  const char* body = Safe(text);
  if (body[0] == '\0') {
    if (state->status.code == 0) {
      state->reporting = false;
      return;
    }
    body = ErhErrnoToText();
  } else {
    state->status.level = level;
  }
  if (level == -1) {
    state->hooks.report(body);
  } else if (level >= state->status.reportLevel) {
    char header[kTextSize];
    ErhAddHeader(header, sizeof header, body, level, state->status.time);
    state->hooks.report(header);
  }
  state->reporting = false;
}

// The current error as a packed catalogue message, into `out`.
void PackCurrentError(const ErhStatusInfo& s, char* out, size_t size) {
  if (s.code == ERH_SYSTEM) {
    std::snprintf(out, size, "%s", NlsPackMessage(kNlsSetError, ERH_SYSTEM, s.sysErrorText));
  } else if (s.code == 0) {
    std::snprintf(out, size, "%s", NlsPackMessage(kNlsSetError, kNlsErrorNone));
  } else if (s.sysErrorText[0] != '\0') {
    std::snprintf(out, size, "%s",
                  NlsPackMessage(kNlsSetError, kNlsErrorWithSystem,
                                 NlsPackMessage(kNlsSetError, TextCode(s)), s.sysErrorText));
  } else {
    std::snprintf(out, size, "%s", NlsPackMessage(kNlsSetError, TextCode(s)));
  }
}

void TracePacked(int level, const char* packed) {
  if (!DbgMatch(level)) return;
  char* expanded = NlsFormatPackedMessage(packed);
  DbgPlain(level, "%s", expanded != nullptr ? expanded : packed);
  if (expanded != nullptr) safe_free(expanded, TARN_HERE);
}

// As ReportFunction, with packed catalogue messages.
void ReportPackedFunction(ErhState* state, const char* function, const char* packedText,
                          int level) {
  if (!state->initialised) return;
  if (!EnterReport(state->reportingPacked)) return;
  Copy(state->status.promoteFunction, function);
  char current[kTextSize];
  const char* body = Safe(packedText);
  if (body[0] == '\0') {
    if (state->status.code == 0) {
      state->reportingPacked = false;
      return;
    }
    PackCurrentError(state->status, current, sizeof current);
    body = current;
  } else {
    state->status.level = level;
  }
  if (level == -1) {
    state->hooks.report(body);
  } else if (level >= state->status.reportLevel) {
    ErhAddHeaderPack(state->lastPacked, sizeof state->lastPacked, body, level, state->status.time);
    TracePacked(ErhLevelToDbgLevel(state->status.level), state->lastPacked);
    state->hooks.report(state->lastPacked);
  }
  state->reportingPacked = false;
}

// Catalogue text (set 12, number) formatted into the caller's buffer, which
// may be larger than the catalogue's own message area.
template <class... A>
void FormatText(char* out, size_t size, int number, const A&... args) {
  char format[kTextSize];
  int found = 0;
  Copy(format, NlsGetCatalogStringEx(kNlsSetError, number, &found));
  Sprintf(out, size, format, args...);
}

// Default hooks: the catalogue text around the report on standard error.
void PrintWithCatalogue(int number, const char* text) {
  char* expanded = NlsFormatPackedMessage(text);
  char line[2 * kTextSize];
  FormatText(line, sizeof line, number, expanded != nullptr ? expanded : Safe(text));
  if (expanded != nullptr) safe_free(expanded, TARN_HERE);
  FPrint(stderr, line);
}

// Marks an assertion failure; false without an error state to report from.
bool MarkAssertion(const char* function, const char* file, int line) {
  ErhState* state = State();
  char shortFile[256];
  CopyShortName(shortFile, file);
  DbgMessageM(file, line, kDbgUnexpected, nullptr);
  DbgPlain(kDbgUnexpected, "ErhAssert in %s [\"%s\":%d]\n", Safe(function), shortFile, line);
  if (state == nullptr) return false;
  ErhStatusInfo& s = state->status;
  if (s.code == 0) {
    Copy(s.markFile, shortFile);
    s.markLine = line;
    Copy(s.markFunction, function);
  }
  Copy(s.promoteFile, shortFile);
  s.promoteLine = line;
  s.code = ERH_INTERNAL;
  s.level = 3;
  s.time = std::time(nullptr);
  state->markRelocatable = false;
  return true;
}

// An assertion failure ends the program, but never a host it is a guest of.
void EndAfterAssertion() {
  if (!CmnInHostProcess()) std::abort();
}

}  // namespace

void ErhInit(int reportLevel) {
  ErhState* state = State();
  if (state == nullptr || state->initialised) return;
  std::memset(&state->status, 0, sizeof state->status);
  state->status.reportLevel = reportLevel;
  state->initialised = true;
  if (!exitRegistered && !CmnInHostProcess()) {
    exitRegistered = true;
    CmnSetAtAxit(ErhExit);
  }
}

void ErhExit() {
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_ERH);
}

const ErhStatusInfo* ErhStatus() {
  ErhState* state = State();
  return state != nullptr ? &state->status : nullptr;
}

void ErhMarkM(int code, int sysErrno, const char* function, int level, const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr) return;
  ErhStatusInfo& s = state->status;
  if (s.code != 0) {
    char newFile[256];
    CopyShortName(newFile, file);
    state->markRelocatable = false;
    DbgMessageM(file, line, kDbgAlways, nullptr);
    DbgPlain(kDbgAlways,
             "ErhMark twice: in [%s:%d], function %s, errcode=%d\n"
             "Already marked in [%s:%d], function %s, errcode=%d\n",
             newFile, line, Safe(function), code, s.markFile, s.markLine, s.markFunction, s.code);
    return;
  }
  CopyShortName(s.markFile, file);
  s.markLine = line;
  Copy(s.markFunction, function);
  s.code = code;
  s.level = level;
  s.sysErrno = sysErrno;
  if (sysErrno != 0) {
    VEK_SysErrnoToString(sysErrno, s.sysErrorText, sizeof s.sysErrorText);
  } else {
    s.sysErrorText[0] = '\0';
  }
  s.time = std::time(nullptr);
  state->markRelocatable = true;
  const int dbgLevel = ErhLevelToDbgLevel(level);
  DbgMessageM(file, line, dbgLevel, nullptr);
  DbgPlain(dbgLevel, "[MARK %d] in %s\n    Code is:%d%s%s\n", level, s.markFunction, code,
           SysLabel(s), s.sysErrorText);
}

void ErhSetMarkLocation(const char* function, const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr || !state->markRelocatable || state->status.code == 0) return;
  Copy(state->status.markFunction, function);
  CopyShortName(state->status.markFile, file);
  state->status.markLine = line;
}

void ErhPromoteErrorM(int code, const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr) return;
  ErhStatusInfo& s = state->status;
  if (s.code == 0) {
    char newFile[256];
    CopyShortName(newFile, file);
    DbgMessageM(file, line, kDbgAlways, nullptr);
    if (s.markFile[0] != '\0') {
      DbgPlain(kDbgAlways,
               "ErhPromoteError and no ErhMark: in [%s:%d], errcode=%d\n"
               "  Possibly marked without error in [%s:%d], function %s\n",
               newFile, line, code, s.markFile, s.markLine, s.markFunction);
    } else {
      DbgPlain(kDbgAlways, "ErhPromoteError and no ErhMark: in [%s:%d], errcode=%d\n", newFile,
               line, code);
    }
  }
  SetPromotePlace(state, file, line);
  s.code = code;
  state->markRelocatable = false;
  const int dbgLevel = ErhLevelToDbgLevel(s.level);
  DbgMessageM(file, line, dbgLevel, nullptr);
  TraceState("PROMOTE", s);
}

void ErhClearErrorM(const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr) return;
  ErhStatusInfo& s = state->status;
  DbgMessageM(file, line, ErhLevelToDbgLevel(s.level), nullptr);
  TraceState("CLEAR", s);
  s.code = 0;
  s.sysErrno = 0;
  s.sysErrorText[0] = '\0';
  s.markFile[0] = '\0';
  s.markFunction[0] = '\0';
  s.markLine = 0;
  s.promoteFile[0] = '\0';
  s.promoteFunction[0] = '\0';
  s.promoteLine = 0;
  s.errorInfo[0] = '\0';
  state->markRelocatable = false;
}

void ErhReportM(const char* function, const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr || state->status.code == 0) return;
  SetPromotePlace(state, file, line);
  ReportFunction(state, function, nullptr, state->status.level);
  TraceReport(state->status, function, nullptr);
}

void ErhFullReportM(const char* function, int level, const char* text, const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr) return;
  SetPromotePlace(state, file, line);
  state->status.time = std::time(nullptr);
  char copy[kTextSize];
  Copy(copy, text);
  ReportFunction(state, function, copy, level);
  if (level != -1) TraceReport(state->status, function, copy);
}

void ErhFullReportPackedM(const char* function, int level, const char* packedText, const char* file,
                          int line) {
  ErhState* state = State();
  if (state == nullptr) return;
  SetPromotePlace(state, file, line);
  state->status.time = std::time(nullptr);
  char copy[kTextSize];
  Copy(copy, packedText);
  ReportPackedFunction(state, function, copy, level);
  if (level != -1 && DbgMatch(ErhLevelToDbgLevel(state->status.level))) {
    char* expanded = NlsFormatPackedMessage(copy);
    TraceReport(state->status, function, expanded != nullptr ? expanded : copy);
    if (expanded != nullptr) safe_free(expanded, TARN_HERE);
  }
}

void ErhPackM(const char* function, const char* file, int line) {
  ErhState* state = State();
  if (state == nullptr || state->status.code == 0) return;
  SetPromotePlace(state, file, line);
  ReportPackedFunction(state, function, nullptr, state->status.level);
  TraceReport(state->status, function, nullptr);
}

void ErhAssertM(const char* function, int condition, const char* file, int line) {
  if (condition) return;
  if (MarkAssertion(function, file, line)) {
    char shortFile[256];
    CopyShortName(shortFile, file);
    ErhFullReportM(function, kErhMajor,
                   NlsGetMessage(kNlsSetError, kNlsErrorInternal, shortFile, line, shortFile, line),
                   file, line);
  }
  EndAfterAssertion();
}

void ErhAssertPackedM(const char* function, int condition, const char* file, int line) {
  if (condition) return;
  if (MarkAssertion(function, file, line)) {
    char shortFile[256];
    CopyShortName(shortFile, file);
    ErhFullReportPackedM(
        function, kErhMajor,
        NlsPackMessage(kNlsSetError, kNlsErrorInternal, shortFile, line, shortFile, line), file,
        line);
  }
  EndAfterAssertion();
}

int ErhErrno() {
  const ErhStatusInfo* s = ErhStatus();
  return s != nullptr ? s->code : 0;
}

int ErhSysErrno() {
  const ErhStatusInfo* s = ErhStatus();
  return s != nullptr ? s->sysErrno : 0;
}

int ErhErrnoLevel() {
  const ErhStatusInfo* s = ErhStatus();
  return s != nullptr ? s->level : 0;
}

const char* ErhSysErrorStr() {
  const ErhStatusInfo* s = ErhStatus();
  return s != nullptr ? s->sysErrorText : "";
}

void ErhSetSysErrorStr(const char* text) {
  if (ErhState* state = State()) Copy(state->status.sysErrorText, text);
}

void ErhSetErrorInfo(const char* text) {
  if (ErhState* state = State()) Copy(state->status.errorInfo, text);
}

const char* ErhGetErrorInfo() {
  const ErhStatusInfo* s = ErhStatus();
  return s != nullptr ? s->errorInfo : "";
}

void ErhSetReportLevel(int level) {
  if (ErhState* state = State()) state->status.reportLevel = level;
}

int ErhReportLevel() {
  const ErhStatusInfo* s = ErhStatus();
  return s != nullptr ? s->reportLevel : 0;
}

void ErhSetHooks(ErhHooks* previous, ErhHookFn report, ErhHookFn console) {
  ErhState* state = State();
  if (state == nullptr) return;
  if (previous != nullptr) *previous = state->hooks;
  state->hooks.report = report != nullptr ? report : ErhReportHook;
  state->hooks.console = console != nullptr ? console : ErhConsoleHook;
}

void ErhToConsole(const char* text) {
  ErhState* state = State();
  if (state != nullptr) {
    state->hooks.console(Safe(text));
  } else {
    ErhConsoleHook(text);
  }
}

void ErhReportHook(const char* text) {
  PrintWithCatalogue(kNlsErrorReport, text);
}

void ErhConsoleHook(const char* text) {
  PrintWithCatalogue(kNlsErrorConsole, text);
}

const char* ErhSysErrnoToText(int sysErrno) {
  static char fallback[256];
  ErhState* state = State();
  char* out = state != nullptr ? state->sysErrnoText : fallback;
  out[0] = '\0';
  VEK_SysErrnoToString(sysErrno, out, sizeof fallback);
  return out;
}

const char* ErhErrnoToText() {
  ErhState* state = State();
  if (state == nullptr) return "";
  const ErhStatusInfo& s = state->status;
  char* out = state->errnoText;
  const size_t size = sizeof state->errnoText;
  if (!state->initialised) {
    if (s.code == ERH_SYSTEM) {
      std::snprintf(out, size, "%s", s.sysErrorText);
    } else {
      std::snprintf(out, size, "Marked error: %d", s.code);
    }
  } else if (s.code == ERH_SYSTEM) {
    std::snprintf(out, size, "%s", s.sysErrorText);
  } else if (s.code == 0) {
    std::snprintf(out, size, "%s", NlsGetMessage(kNlsSetError, kNlsErrorNone));
  } else {
    int found = 0;
    char codeText[kTextSize];
    std::snprintf(codeText, sizeof codeText, "%s",
                  NlsGetCatalogStringEx(kNlsSetError, TextCode(s), &found));
    if (s.sysErrorText[0] != '\0') {
      FormatText(out, size, kNlsErrorWithSystem, codeText, s.sysErrorText);
    } else {
      std::snprintf(out, size, "%s", codeText);
    }
  }
  return out;
}

char* ErhAddHeader(char* out, size_t size, const char* text, int level, time_t time) {
  if (out == nullptr || size == 0) return out;
  // Every argument is copied out of the catalogue's result areas before the
  // next lookup reuses them; the text is formatted into the caller's buffer so
  // that a long report is not cut to the catalogue's message area.
  char body[kTextSize];
  Copy(body, text);
  char literal[256];
  Copy(literal, NlsGetLiteral(kLiteralLevelBase + level));
  char when[256];
  Copy(when, StrShortFromTime(time));
  FormatText(out, size, kNlsErrorHeader, literal, when, CmnGetProgname(), cmnNodename, body,
             CmnGetAdditionalId());
  return out;
}

char* ErhAddHeaderPack(char* out, size_t size, const char* packedText, int level, time_t time) {
  if (out == nullptr || size == 0) return out;
  char body[kTextSize];
  Copy(body, packedText);
  std::snprintf(out, size, "%s",
                NlsPackMessage(kNlsSetError, kNlsErrorHeader,
                               NlsPackLiteral(kLiteralLevelBase + level), NlsPackShortTime(time),
                               CmnGetProgname(), cmnNodename, body, CmnGetAdditionalId()));
  return out;
}

int ErhPackMsg() {
  return ErhPackMsgL(StrMsgGetGlobal());
}

int ErhPackMsgL(StrMsg* msg) {
  ErhState* state = State();
  if (msg == nullptr || state == nullptr) return -1;
  const ErhStatusInfo& s = state->status;
  if (StrMsgFAppendL(msg, "%d%d%s%s", s.code, s.level, s.markFunction, s.sysErrorText) != 0) {
    return -1;
  }
  if (s.code != 0) ErhClearErrorM(TARN_HERE);
  return 0;
}

int ErhUnpackMsg() {
  return ErhUnpackMsgL(StrMsgGetGlobal());
}

namespace {

bool ParseInt(const char* text, int* value) {
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, *value);
  return ec == std::errc() && ptr == end && ptr != text;
}

}  // namespace

int ErhUnpackMsgL(StrMsg* msg) {
  static const char kFn[] = "ErhUnpackMsg";
  if (msg == nullptr) return -1;
  char* codeItem = nullptr;
  char* levelItem = nullptr;
  char* function = nullptr;
  char* sysText = nullptr;
  if (StrParseNNextL(msg, 4, &codeItem, &levelItem, &function, &sysText) != 0) return -1;
  int code = 0;
  int level = 0;
  if (!ParseInt(codeItem, &code) || !ParseInt(levelItem, &level)) {
    DbgMessageM(TARN_HERE, -2, nullptr);
    DbgPlain(kDbgUnexpected,
             "%s: malformed error state in message (code \"%.32s\", level \"%.32s\")", kFn,
             codeItem, levelItem);
    return -1;
  }
  if (code == 0) return 0;
  ErhMarkM(code, 0, kFn, level, TARN_HERE);
  ErhState* state = State();
  // Only a mark made here takes the sender's texts; a kept error keeps its own.
  if (state != nullptr && state->markRelocatable) {
    std::snprintf(state->status.markFunction, sizeof state->status.markFunction, " -> %s",
                  function);
    Copy(state->status.sysErrorText, sysText);
    state->markRelocatable = false;
  }
  return code;
}

char* ErhFormatCmnInitFailure() {
  static const char kFormat[] = "Non-recoverable error:\n(%d) %s\nSystem error: %s\n";
  static const char kFailed[] = "Failed to initialize the working environment.";
  const int code = ErhErrno();
  const char* sysText = ErhSysErrorStr();
  if (sysText[0] == '\0') sysText = "Unknown.";
  const int n = std::snprintf(nullptr, 0, kFormat, code, kFailed, sysText);
  if (n < 0) return nullptr;
  char* out = static_cast<char*>(safe_malloc(static_cast<size_t>(n) + 1, TARN_HERE));
  if (out != nullptr)
    std::snprintf(out, static_cast<size_t>(n) + 1, kFormat, code, kFailed, sysText);
  return out;
}
