// Global options of the cell: the process globals they set, the readers of
// the cell server's options reply, the media-class and device-policy tables
// some options adjust, and the bounded integer queue of the data path.
#pragma once

#include <cstddef>

#include "cmn/defines.h"

// ---------------------------------------------------------------------------
// Options reply: a message with code kOptReplyCode whose items come in pairs,
// option name then value text. Names compare without regard to case; the last
// occurrence of a name wins. Every `reply` below is such a message text,
// terminated as a message (the caller keeps it alive during the call).

inline constexpr int kOptReplyCode = 120;

// Applies every option in the fixed order, default first, and returns the
// number of values taken. Tracing at level 20 shows every option.
int GlobalDispatch(const char* reply);

// 1 and the number in *value when the option is present and reads ("0x%X" or
// "%d"); 0 when absent; -1 for an unreadable value or a reply whose code is
// not 120 (*value then unchanged).
int OptGetInt(const char* reply, const char* name, int* value);
// 1 and the text between the first pair of double quotes (after optional
// blanks; the whole value when it does not start with a quote) copied into
// buffer, cut to size - 1 characters; 0 when absent or not a reply.
int OptGetQuotedStr(const char* reply, const char* name, char* buffer, std::size_t size);

// The dispatchers. Each stores the default in the global first, then the
// option's value when it is valid, writes the trace line, and returns the
// number of values taken (0 when absent); the integer forms return -1 for an
// invalid value or a reply that is not an options reply.
int OptDispatchInt(const char* reply, const char* name, int* global, int defaultValue);
// Accepts only min <= n <= max.
int OptDispatchIntRange(const char* reply, const char* name, int* global, int defaultValue, int min,
                        int max);
// The same, traced only when the result differs from the default.
int OptDispatchIntRangeHidden(const char* reply, const char* name, int* global, int defaultValue,
                              int min, int max);
// The value is in minutes and stored as seconds; the default is in seconds.
// A negative value, or one whose seconds do not fit an int, is invalid.
int OptDispatchMin(const char* reply, const char* name, int* global, int defaultSeconds);
// Text options: `global` holds `size` bytes; values are cut to size - 1
// characters. A null default leaves the text as it is before the value is read.
int OptDispatchStr(const char* reply, const char* name, char* global, std::size_t size,
                   const char* defaultText);
int OptDispatchQuotedStr(const char* reply, const char* name, char* global, std::size_t size,
                         const char* defaultText);

// ---------------------------------------------------------------------------
// Process globals set by GlobalDispatch. Durations are in seconds.

// Text sizes (bytes, with the terminator).
inline constexpr std::size_t kOptTimeSize = 37;
inline constexpr std::size_t kOptNameSize = 64;
inline constexpr std::size_t kOptTextSize = 256;
inline constexpr std::size_t kOptPathSize = 1024;

// The cell's inet port, looked up before the cell-server options are read.
extern int glCellInetPort;

// One global per option row of cmn/global_options.def.
#define GLOPT_SECTION(title, ...)
#define GLOPT_INT(name, global, ...) extern int global;
#define GLOPT_FLAG(name, global, ...) extern int global;
#define GLOPT_RANGE(name, global, ...) extern int global;
#define GLOPT_HIDDEN(name, global, ...) extern int global;
#define GLOPT_MINUTES(name, global, ...) extern int global;
#define GLOPT_MINUTES_ALSO(name, global)
#define GLOPT_TEXT(name, global, size, ...) extern char global[size];
#define GLOPT_QUOTED(name, global, size, ...) extern char global[size];
#include "cmn/global_options.def"

// ---------------------------------------------------------------------------
// Media classes and device policies. The tables are process globals: the
// options MC_<id> and DP_<id> adjust their rows.

inline constexpr int kMediaAgeUnit = 2592000;  // seconds of one month of age
inline constexpr int kFileMediumClass = 7;

struct MediaClass {
  int id;  // 0 only in the end row
  const char* name;
  int visible;
  int ageLimit;  // seconds
  int overwritesLimit;
  unsigned defaultSize;  // KB
  int blockSize;         // KB
  int segmentSize;       // MB
  int catalogSize;       // MB
  int defaultConcurrency;
  int flags;
};

struct DevicePolicy {
  int id;  // 0 only in the end row
  const char* name;
  int visible;
  unsigned mediaClassMask;  // bit (class id - 1) per supported class
  int flags;
};

inline constexpr int kMediaClassRows = 21;  // without the end row
inline constexpr int kDevicePolicyRows = 10;
extern MediaClass mediaClasses[kMediaClassRows + 1];
extern DevicePolicy devPolicies[kDevicePolicyRows + 1];

// Reads "MC_<id>" for every class ("%d %d %d %u %d": visible, age in months,
// overwrites, default size in KB, default concurrency). Returns the number of
// classes found; 0 for a reply that is not an options reply.
int OptDispMediaClasses(const char* reply);
// Reads "DP_<id>" for every policy ("%d %d": visible, media-class mask).
int OptDispDevicePolicies(const char* reply);
// The numbers of one such option: how many were read (0 when absent), -1 for
// a reply that is not an options reply. Outputs past the count stay as given.
int OptDispatchGetMC(const char* reply, const char* name, int* visible, int* ageMonths,
                     int* overwrites, unsigned* defaultSize, int* concurrency);
int OptDispatchGetDP(const char* reply, const char* name, int* visible, unsigned* mask);

// Index of the first class row with that id; the end row ("UNKNOWN") when none.
int MmFindClass(int id);
// State of a medium from its used (a), protected flag, free (b), overwrites
// (n), capacity and overwrites limit, judged against MmFairLimit percent:
// 0 poor, 1 fair, 2 good.
int MmMediumState(int a, int flag, int b, int n, int capacity, int limit);
// Cartridge type from a medium's format option and label (either may be null).
int MmGetCartType(const char* formatOption, const char* label);

// A row of a code-and-name table; a table ends with code -1.
struct UnRwRow {
  int code;
  const char* name;
  long data1;
  long data2;
};
// Code of the first row whose name matches ignoring case, or -1.
int GetUnRwTable(const UnRwRow* table, const char* name);
// Name of the first row with that code, or of the end row.
const char* GetUnRwTableStr(const UnRwRow* table, int code);

// ---------------------------------------------------------------------------
// Bounded ring of integers. A zeroed record is an empty queue that refuses
// every value.
struct QueRec {
  int* entries;
  int size;  // slots: capacity + 1
  int front;
  int rear;
};

// Makes room for n values. 0, or -1 (n < 1 or memory) with an empty record.
int QueInit(QueRec* queue, int n);
// 1 when stored at the back, 0 when full.
int QuePut(QueRec* queue, int value);
// 1 and the front value, 0 when empty.
int QueGet(QueRec* queue, int* value);
// Puts a value back at the front, to be taken next: 1, or 0 when full.
int QueUnget(QueRec* queue, int value);
// Number of values queued.
int QueCount(const QueRec* queue);
// Trace of every slot at level 25: the free ones, then the queued ones.
void QueDump(const QueRec* queue);
// Frees the slots and clears the record.
void QueCleanup(QueRec* queue);
