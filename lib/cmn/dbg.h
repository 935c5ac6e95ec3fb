// Debug tracing and the plain logs debug.log and ctrace.log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>

#include "cmn/defines.h"

#define TARN_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

extern int dbgActive;  // set once a trace stream is open

inline constexpr int kDbgMaxRanges = 20;

// Trace levels with a meaning of their own. Other levels are verbosity steps
// named by the module that uses them.
inline constexpr int kDbgUnexpected = -2;  // unexpected failure; also written to debug.log
inline constexpr int kDbgAlways = -1;      // written whenever tracing is on, without prefix
inline constexpr int kDbgProcess = 5;      // process events: signals, children reaped
inline constexpr int kDbgDetail = 10;      // step-by-step detail of a module's work
inline constexpr int kDbgFileIo = 14;      // whole files loaded and saved
inline constexpr int kDbgParse = 20;       // texts and options parsed, malformed input refused
inline constexpr int kDbgStackDepth = 99;

// Starts tracing from `ranges` (or, when empty, from VEKDBG); nothing happens
// when a stream record already exists. `progname` null means CmnGetProgname().
// Returns 0, also when tracing stays off (no range, not selected, no file
// could be opened: the reason is in debug.log); -1 only when the record could
// not be made. DbgGetFd() tells whether tracing is on.
int DbgInitEx(const char* postfix, const char* ranges, const char* select, const char* progname,
              int threadId);
int DbgInit(const char* postfix, const char* ranges, const char* select);
// 1 once DbgInitEx made the stream record (even if tracing stayed off).
int DbgIsInitialized();
// Re-parses `ranges` into the running trace: levels, prefix and time mode.
// The trace file, its circular limit, the debug id and the session id stay.
// Ignored without a stream record or for an empty text.
void DbgSetRanges(const char* ranges);

// Writes one line at `level` (a newline is added).
void DbgPlain(int level, const char* format, ...) TARN_PRINTF(2, 3);
void DbgPlainVA(int level, const char* format, va_list args) TARN_PRINTF(2, 0);
// Header line with source location; `text` (may be null) follows on its own line.
void DbgMessageM(const char* file, int line, int level, const char* text);
// Entry and exit of a traced function; they keep the 99-level function stack
// that error reports dump. Pass the same constant name on entry and exit. An
// exit that does not match the innermost entry is repaired (see the trace).
void DbgFcnInEx(const char* file, int line, const char* function, int level, const char* argFormat,
                ...) TARN_PRINTF(5, 6);
void DbgFcnOutEx(const char* file, int line, const char* function, int level,
                 const char* resultFormat, ...) TARN_PRINTF(5, 6);
int DbgMatch(int level);

void DbgDumpStack(int level);
// Argument text of the innermost traced function; valid until that function
// exits. Never null.
const char* DbgGetParmsFromStack();
void DbgDumpMem(int level, const void* address, long length);
// Dumps a message in the message-buffer text form at level 10; null dumps the
// process-wide receive buffer.
void DbgDumpMessage(const char* title, const char* text);

// The trace stream, or null when tracing is off. Owned by the tracing module.
FILE* DbgGetFd();
// Texts of the stream record ("" without one); valid until tracing ends.
const char* DbgGetRanges();
const char* DbgGetPostfix();
const char* DbgGetSelect();
const char* DbgGetDbgID();
const char* DbgGetDbgSessID();
// Sets the session id once ("/" becomes "-") and appends ",SESSION:<id>" to
// the ranges text, so processes started with DbgGetRanges() join the session.
void DbgSetDbgSessID(const char* id);

// Splits a debug options text ("-debug" ranges postfix select; quoted words
// allowed). ranges holds 1024 bytes, postfix and select 256; missing words
// are empty. Returns the number of words filled.
int DbgParseStr(const char* text, char* ranges, char* postfix, char* select);

// Writes the end banner, closes the trace file and drops the stream record.
void DbgEndTrace();
// DbgEndTrace, then drops the function stack too. Registered at process exit.
void DbgExit();
// Notes in ctrace.log that this process traces for the session.
void DbgClientTraceStartAgent();

// Processor-time stopwatch; writes nothing.
struct DbgTimer {
  std::clock_t start;
  std::clock_t total;  // accumulated by AccuTimerStop
};
void DbgTimerStart(DbgTimer* timer);
// Seconds since DbgTimerStart.
double DbgTimerStop(DbgTimer* timer);
void AccuTimerStart(DbgTimer* timer);
// Adds the time since AccuTimerStart to the total; returns the total seconds.
double AccuTimerStop(DbgTimer* timer);
// The accumulated seconds.
double PrintTimer(const DbgTimer* timer);

// Plain logs. A null name means "debug.log"; "server/<name>" is tried in the
// server log directory first. The log directory, then /tmp, is tried. The
// caller closes the stream with DbgLogClose. Null when no place can be used.
FILE* DbgLogOpen(const char* name);
// Opens "<directory>/<name>" ("/tmp/<name>" for an empty directory) for
// appending, never through a link; a path that is no regular file gives the
// console. A new file gets the host-name line and, in a given directory,
// mode 0666.
FILE* DbgLogOpenInDir(const char* directory, const char* name);
void DbgLogClose(FILE* stream);
// buffer holds at least 1024 bytes; returns buffer.
char* DbgLogGetPathname(char* buffer, const char* name);
// One line (a newline is added); the caller's errno is kept. An entry longer
// than 8 KB is cut.
void DbgLogPlain(const char* name, const char* format, ...) TARN_PRINTF(2, 3);
void DbgLogPlainVA(const char* name, const char* format, va_list args) TARN_PRINTF(2, 0);
// A header with date, program, pid, extra number, source and version, then
// the formatted text when `format` is not empty.
void DbgLogFull(const char* file, int line, const char* program, int pid, int extra,
                const char* name, const char* format, ...) TARN_PRINTF(7, 8);

// Formatting for trace and log lines. A null format, or one with a "%n"
// conversion, is not used: its text is shown instead. Outside a host process
// an argument that makes formatting fault (a stale text pointer) is caught:
// the stream gets "Got SIGSEGV while printing debug message." with the
// format, the buffer the format itself; the SIGSEGV handler is put back.
int DbgVfprintf(FILE* stream, const char* format, va_list args) TARN_PRINTF(2, 0);
// `buffer` must hold the whole result; prefer DbgVsnprintf.
int DbgVsprintf(char* buffer, const char* format, va_list args) TARN_PRINTF(2, 0);
// Always terminates `buffer` (when size > 0); returns vsnprintf's result. Not
// guarded against faulting arguments.
int DbgVsnprintf(char* buffer, size_t size, const char* format, va_list args) TARN_PRINTF(3, 0);

// Short source name of an identification string: "$Source: /src/lib/x.cpp
// 1.0 $" gives "lib/x.cpp 1.0"; other strings come back as they are. The
// result may lie in a static area that the next call overwrites.
const char* Get_FILE_from_rcsId(const char* id);
