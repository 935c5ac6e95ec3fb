// Inside of the tracing module: the trace stream and function-stack records and
// the helpers its source files share. Only dbg*.cpp and their tests include it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "cmn/dbg.h"

inline constexpr int kDbgTextMax = 1024;  // file name and ranges text
inline constexpr int kDbgWordMax = 256;   // postfix, select, debug and session ids
inline constexpr int kDbgArgsMax = 256;   // argument text kept per stack level

struct DbgRange {
  int low;
  int high;
};

// Context slot 1.
struct DbgStreamRecord {
  FILE* stream;                    // trace file, stderr, or null when tracing is off
  unsigned options;                // bit 0: no level prefix
  int noPrefix;                    // copy of option bit 0
  int timeMode;                    // 0 none, 1 seconds, 1000 milliseconds
  int64_t circularLimit;           // 0: linear
  DbgRange ranges[kDbgMaxRanges];  // ended by a low of -1 when fewer than 20
  char fileName[kDbgTextMax];
  char rangesText[kDbgTextMax];
  char postfix[kDbgWordMax];
  char select[kDbgWordMax];
  char debugId[kDbgWordMax];
  char sessionId[kDbgWordMax];
  char program[kDbgWordMax];  // the program name the trace was started for
};

// Context slot 0.
struct DbgStackRecord {
  int depth;
  const char* names[kDbgStackDepth];
  char args[kDbgStackDepth][kDbgArgsMax];
};

inline constexpr unsigned kDbgOptNoPrefix = 1;

// The parts of a ranges word that DbgInitializeRanges fills in.
struct DbgRangeSpec {
  unsigned options;
  int timeMode;
  int64_t circularLimit;
  int rangeCount;
  DbgRange ranges[kDbgMaxRanges];
  bool hasId;
  bool hasSession;
  char debugId[kDbgWordMax];
  char sessionId[kDbgWordMax];  // "/" already replaced by "-"
};

// Parses a ranges word (null is empty). Never fails: unknown words are skipped.
void DbgParseRanges(const char* text, DbgRangeSpec* spec);

// Applies a parsed ranges word to the record; the ranges text becomes `text`
// followed by ",ID:<pid>" when it named no id. Returns the number of ranges.
int DbgInitializeRanges(DbgStreamRecord* record, const char* text);

// True when `select` (blank, tab or comma separated) is empty or names this
// host, "program@host" or the program.
bool DbgSelected(const char* select, const char* program, const char* host);

// Process identity shown in trace file names and banners.
const char* DbgHostName();
const char* DbgUserName();
const char* DbgGroupName();
const char* DbgMachineText();

// The directory tried last for trace files and plain logs ("/tmp"). Tests
// point it elsewhere; null restores "/tmp".
const char* DbgTmpDir();
void DbgSetTmpDir(const char* directory);

// One plain-log entry: the DbgLogFull header, then `body` and a newline when
// `body` is not empty.
void DbgLogEntry(const char* file, int line, const char* program, int pid, int extra,
                 const char* name, const char* body);

// The stream record, or null when tracing was never started.
DbgStreamRecord* DbgStreamData();

// Local time as "%Y-%m-%d %H:%M:%S" (mode 1), with ".%03d" milliseconds (mode
// 1000), or empty (mode 0). `buffer` holds at least 32 bytes.
const char* DbgTimeText(int timeMode, char* buffer, size_t size);

// Formats into `buffer` (always NUL-terminated; truncated to fit). A format
// that could write through an argument or is null is not used; its text is
// shown instead. Returns the length written.
size_t DbgFormatBounded(char* buffer, size_t size, const char* format, va_list args);

// True when `format` holds nothing that formatting could turn into a write
// through an argument ("%n").
bool DbgFormatIsSafe(const char* format);
