// Debug tracing and the plain logs debug.log and ctrace.log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "cmn/defines.h"

#define TARN_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

extern int dbgActive;  // set once a trace stream is open

inline constexpr int kDbgMaxRanges = 20;
inline constexpr int kDbgStackDepth = 99;

// Starts tracing; nothing happens when a stream record already exists.
int DbgInitEx(const char* postfix, const char* ranges, const char* select,
              const char* progname, int threadId);
int DbgInit(const char* postfix, const char* ranges, const char* select);
int DbgIsInitialized();

// Writes one line at `level` (a newline is added).
void DbgPlain(int level, const char* format, ...) TARN_PRINTF(2, 3);
void DbgPlainVA(int level, const char* format, va_list args);
// Header line with source location; `text` (may be null) follows on its own line.
void DbgMessageM(const char* file, int line, int level, const char* text);
// Entry and exit of a traced function. `function` must be the same constant
// pointer on entry and exit: the stack compares names by identity.
void DbgFcnInEx(const char* file, int line, const char* function, int level,
                const char* argFormat, ...) TARN_PRINTF(5, 6);
void DbgFcnOutEx(const char* file, int line, const char* function, int level,
                 const char* resultFormat, ...) TARN_PRINTF(5, 6);
int DbgMatch(int level);

void DbgDumpStack(int level);
const char* DbgGetParmsFromStack();
void DbgDumpMem(int level, const void* address, long length);
// Dumps a message text (Part of the message-buffer text form); null dumps the
// process-wide receive buffer.
void DbgDumpMessage(const char* title, const char* text);

FILE* DbgGetFd();
const char* DbgGetRanges();
const char* DbgGetPostfix();
const char* DbgGetSelect();
const char* DbgGetDbgID();
const char* DbgGetDbgSessID();
void DbgSetDbgSessID(const char* id);

// Splits a debug options text. ranges holds 1024 bytes, postfix and select 256.
int DbgParseStr(const char* text, char* ranges, char* postfix, char* select);

void DbgEndTrace();
void DbgExit();
void DbgClientTraceStartAgent();

// Plain logs. A null name means "debug.log".
FILE* DbgLogOpen(const char* name);
FILE* DbgLogOpenInDir(const char* directory, const char* name);
void DbgLogClose(FILE* stream);
// buffer holds at least 1024 bytes; returns buffer.
char* DbgLogGetPathname(char* buffer, const char* name);
void DbgLogPlain(const char* name, const char* format, ...) TARN_PRINTF(2, 3);
void DbgLogPlainVA(const char* name, const char* format, va_list args);
void DbgLogFull(const char* file, int line, const char* program, int pid, int extra,
                const char* name, const char* format, ...) TARN_PRINTF(7, 8);

int DbgVfprintf(FILE* stream, const char* format, va_list args);
int DbgVsprintf(char* buffer, const char* format, va_list args);
int DbgVsnprintf(char* buffer, size_t size, const char* format, va_list args);

// Short source name of an identification string (path and revision).
const char* Get_FILE_from_rcsId(const char* id);
