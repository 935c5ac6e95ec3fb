// Temporary no-op tracing so the library links while the real tracing module
// is written. Deleted by the tracing module's change.
#include <cstdarg>
#include <cstdio>

#include "cmn/dbg.h"

int dbgActive = 0;
int DbgInitEx(const char*, const char*, const char*, const char*, int) { return 0; }
int DbgInit(const char*, const char*, const char*) { return 0; }
int DbgIsInitialized() { return 0; }
void DbgPlain(int, const char*, ...) {}
void DbgPlainVA(int, const char*, va_list) {}
void DbgMessageM(const char*, int, int, const char*) {}
void DbgFcnInEx(const char*, int, const char*, int, const char*, ...) {}
void DbgFcnOutEx(const char*, int, const char*, int, const char*, ...) {}
int DbgMatch(int) { return 0; }
void DbgDumpStack(int) {}
const char* DbgGetParmsFromStack() { return "#DbgGetParmsFromStack - no stack.#"; }
void DbgDumpMem(int, const void*, long) {}
void DbgDumpMessage(const char*, const char*) {}
FILE* DbgGetFd() { return nullptr; }
const char* DbgGetRanges() { return ""; }
const char* DbgGetPostfix() { return ""; }
const char* DbgGetSelect() { return ""; }
const char* DbgGetDbgID() { return ""; }
const char* DbgGetDbgSessID() { return ""; }
void DbgSetDbgSessID(const char*) {}
int DbgParseStr(const char*, char* r, char* p, char* s) {
  r[0] = p[0] = s[0] = '\0';
  return 0;
}
void DbgEndTrace() {}
void DbgExit() {}
void DbgClientTraceStartAgent() {}
FILE* DbgLogOpen(const char*) { return nullptr; }
FILE* DbgLogOpenInDir(const char*, const char*) { return nullptr; }
void DbgLogClose(FILE*) {}
char* DbgLogGetPathname(char* buffer, const char*) {
  buffer[0] = '\0';
  return buffer;
}
void DbgLogPlain(const char*, const char*, ...) {}
void DbgLogPlainVA(const char*, const char*, va_list) {}
void DbgLogFull(const char*, int, const char*, int, int, const char*, const char*, ...) {}
int DbgVfprintf(FILE* f, const char* fmt, va_list a) { return std::vfprintf(f, fmt, a); }
int DbgVsprintf(char* b, const char* fmt, va_list a) { return std::vsprintf(b, fmt, a); }
int DbgVsnprintf(char* b, size_t n, const char* fmt, va_list a) { return std::vsnprintf(b, n, fmt, a); }
const char* Get_FILE_from_rcsId(const char* id) { return id; }
