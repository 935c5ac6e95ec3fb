// Debug tracing: starting and ending the trace, trace lines with their level
// filter, the function-trace stack, dumps and the circular trace.
#include "cmn/dbg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbgimpl.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/dbg.cpp");

int dbgActive = 0;

namespace {

void DbgStreamAtFork(void* data);

const PtdDescriptor DbgStackPtd = {"DbgStack", nullptr, sizeof(DbgStackRecord),
                                   nullptr,    nullptr, nullptr};
const PtdDescriptor DbgStreamPtd = {"DbgStream", nullptr,         sizeof(DbgStreamRecord),
                                    nullptr,     DbgStreamAtFork, nullptr};

constexpr char kBanner[] =
    "==================================================================\n\n"
    "  DEBUGGING STARTED\n"
    "     PROGNAME: %s\n"
    "     VERSION:  %s Build %s\n"
    "     RANGES:   %s\n"
    "     SELECT:   %s\n"
    "     FILE:     %s\n"
    "     PID/TID:  %d.%d\n"
    "     USER:     %s\n"
    "     GROUP:    %s\n"
    "     MACHINE:  %s\n\n"
    "==================================================================\n\n";

constexpr char kEndBanner[] =
    "==================================================================\n"
    "  DEBUGGING ENDED PROPERLY\n"
    "==================================================================\n";

constexpr char kCircularEndMarker[] =
    "==================================================================\n"
    "  *** CIRCULAR DEBUG TRACE END MARKER ***\n"
    "  \n"
    "  Debug output continues at \"CIRCULAR DEBUG TRACE START MARKER\"\n"
    "  End of trace is in the middle of the file and is marked by the\n"
    "  \"DEBUGGING ENDED PROPERLY\" banner, unless the process\n"
    "  terminated unexpectedly.\n"
    "==================================================================\n";

constexpr char kCircularStartMarker[] =
    "==================================================================\n"
    "  *** CIRCULAR DEBUG TRACE START MARKER ***\n"
    "  \n"
    "  Some debug output has already been overwritten. Output just\n"
    "  prior to the output that follows can be found at the end of the\n"
    "  file. End of trace is in the middle of the file and can be found\n"
    "  by searching for the banner or by checking the time stamps.\n"
    "==================================================================\n";

constexpr int64_t kMinCircularBytes = 4096;

bool exitRegistered = false;

DbgStackRecord* StackData() {
  return static_cast<DbgStackRecord*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_DBGSTACK));
}

const char* TextOr(const char* text) {
  return text != nullptr ? text : "(null)";
}

// The same traced function: the same constant, or (when a name literal was
// not merged) the same text.
bool SameFunction(const char* a, const char* b) {
  if (a == b) return true;
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

int EffectiveLevel(int level) {
  return cmnDefine_DISABLE_DBG_UNEXPECTED != 0 ? -1 : level;
}

void DbgStreamAtFork(void* data) {
  auto* record = static_cast<DbgStreamRecord*>(data);
  if (record->stream != nullptr && record->stream != stderr) std::fclose(record->stream);
  record->stream = nullptr;
  dbgActive = 0;
}

template <size_t N>
void CopyText(char (&dst)[N], const char* src) {
  std::snprintf(dst, N, "%s", src != nullptr ? src : "");
}

// Names that end up inside the trace file name must not carry a directory.
template <size_t N>
void FileNamePart(char (&dst)[N], const char* src) {
  CopyText(dst, src);
  std::replace(std::begin(dst), std::end(dst), '/', '-');
}

// Wraps a circular trace back to a quarter of its limit once the file
// position reaches the limit. The first quarter keeps the start banner.
void CircularCheck(DbgStreamRecord* record) {
  if (record->circularLimit == 0) return;
  const off_t position = ftello(record->stream);
  if (position < 0) {
    record->circularLimit = 0;
    return;
  }
  if (position < record->circularLimit) return;
  if (record->circularLimit < kMinCircularBytes) {
    record->circularLimit = kMinCircularBytes;
    return;
  }
  DbgMessageM(TARN_HERE, -1, nullptr);
  DbgPlain(kDbgAlways, "%s", kCircularEndMarker);
  if (fseeko(record->stream, static_cast<off_t>(record->circularLimit / 4), SEEK_SET) != 0) {
    record->circularLimit = 0;
    return;
  }
  DbgPlain(kDbgAlways, "...\n\n...\n\n...\n\n...\n");
  DbgMessageM(TARN_HERE, -1, nullptr);
  DbgPlain(kDbgAlways, "%s", kCircularStartMarker);
}

void WritePrefix(const DbgStreamRecord* record, int level) {
  if (record->noPrefix == 0 && level != -1) std::fprintf(record->stream, "[%3d] ", level);
}

// Opens a trace file without following a link. Circular traces are
// truncated, but only once the descriptor is known to be a regular file.
// Sets `notRegular` when the path exists as anything else.
int OpenTraceFile(const char* path, bool circular, bool* notRegular) {
  *notRegular = false;
  struct stat st {};
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    *notRegular = true;
    return -1;
  }
  const int access = circular ? O_WRONLY : (O_RDWR | O_APPEND);
  cmn::UniqueFd fd(cmn::OpenRetry(
      path, access | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  if (!fd) {
    // A link (ELOOP) or a FIFO without reader (ENXIO) that appeared meanwhile.
    if (errno == ELOOP || errno == ENXIO) *notRegular = true;
    return -1;
  }
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *notRegular = true;
    return -1;
  }
  const int fl = fcntl(fd.get(), F_GETFL);
  if (fl >= 0) fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  if (circular && ftruncate(fd.get(), 0) != 0) return -1;
  return fd.release();
}

void UseStderr(DbgStreamRecord* record) {
  record->stream = stderr;
  CopyText(record->fileName, "stderr");
  record->circularLimit = 0;
}

enum class OpenResult { kOpened, kFailed, kRefused };

OpenResult TryOpenIn(DbgStreamRecord* record, const char* directory, const char* leaf,
                     const char* program) {
  char id[kDbgWordMax];
  char session[kDbgWordMax];
  char host[kDbgWordMax];
  char postfix[kDbgWordMax];
  FileNamePart(id, record->debugId);
  FileNamePart(session, record->sessionId);
  FileNamePart(host, DbgHostName());
  FileNamePart(postfix, leaf);
  char path[kDbgTextMax];
  const int n = std::snprintf(path, sizeof path, "%s/VEKDBG_%s_%s_%s_%s_%d_%s", directory, id,
                              session, program, host, static_cast<int>(getpid()), postfix);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    DbgLogPlain(nullptr, "Debug file cannot be opened, errcode=%d [path=%s]\n", ENAMETOOLONG, path);
    return OpenResult::kFailed;
  }
  const bool circular = record->circularLimit != 0;
  bool notRegular = false;
  const int fd = OpenTraceFile(path, circular, &notRegular);
  if (notRegular) {
    if (isatty(STDERR_FILENO)) {
      DbgLogPlain(nullptr, "File [%s] is not regular file. Redirecting to STDERR.\n", path);
      UseStderr(record);
      return OpenResult::kOpened;
    }
    DbgLogPlain(nullptr, "File [%s] is not regular file. Debug file not created.\n", path);
    return OpenResult::kRefused;
  }
  FILE* stream = cmn::OpenStream(cmn::UniqueFd(fd), circular ? "w" : "a+");
  if (stream == nullptr) {
    DbgLogPlain(nullptr, "Debug file cannot be opened, errcode=%d [path=%s]\n", errno, path);
    return OpenResult::kFailed;
  }
  record->stream = stream;
  CopyText(record->fileName, path);
  return OpenResult::kOpened;
}

// Normalised copy of a directory from the environment; false when unset.
bool DirFromEnv(const char* name, char (&dir)[kDbgTextMax]) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') return false;
  CopyText(dir, value);
  PathToSlashes(dir);
  return true;
}

bool DbgOpenStream(DbgStreamRecord* record, const char* programName) {
  if (record->postfix[0] == '\0' && isatty(STDERR_FILENO)) {
    UseStderr(record);
    return true;
  }
  char postfix[kDbgWordMax];
  CopyText(postfix, record->postfix);
  PathToSlashes(postfix);
  char* slash = std::strrchr(postfix, '/');
  const char* leaf = slash != nullptr ? slash + 1 : postfix;
  char postfixDir[kDbgWordMax] = "";
  if (slash != nullptr) {
    const size_t n = slash == postfix ? 1 : static_cast<size_t>(slash - postfix);
    std::memcpy(postfixDir, postfix, n);
    postfixDir[n] = '\0';
  }
  char program[kDbgWordMax];
  CopyText(program, programName);
  ReplaceForbiddenFnmChars(program, '~');

  char dir[kDbgTextMax];
  bool haveDir = DirFromEnv("VEKDBGDIR", dir);
  if (!haveDir && postfix[0] == '/') {
    CopyText(dir, postfixDir);
    haveDir = true;
  }
  if (haveDir) {
    const OpenResult r = TryOpenIn(record, dir, leaf, program);
    if (r != OpenResult::kFailed) return r == OpenResult::kOpened;
  }
  if (!DirFromEnv("VEKDBG_PATH", dir)) CopyText(dir, DbgTmpDir());
  return TryOpenIn(record, dir, leaf, program) == OpenResult::kOpened;
}

}  // namespace

DbgStreamRecord* DbgStreamData() {
  return static_cast<DbgStreamRecord*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_DBGSTREAM));
}

int DbgInitEx(const char* postfix, const char* ranges, const char* select, const char* progname,
              int threadId) {
  if (DbgStreamData() != nullptr) return 0;
  CmnCreateContextEx(&DbgStackPtd, CMN_SLOT_DBGSTACK);
  const char* env = std::getenv("VEKDBG");
  const bool haveRanges = ranges != nullptr && ranges[0] != '\0';
  if (!haveRanges && (env == nullptr || env[0] == '\0')) return 0;

  auto* record =
      static_cast<DbgStreamRecord*>(CmnCreateContextEx(&DbgStreamPtd, CMN_SLOT_DBGSTREAM));
  if (record == nullptr) return -1;
  char rangesWord[kDbgTextMax];
  if (haveRanges) {
    CopyText(rangesWord, ranges);
    CopyText(record->postfix, postfix);
    CopyText(record->select, select);
  } else {
    DbgParseStr(env, rangesWord, record->postfix, record->select);
  }
  const char* program = progname != nullptr ? progname : CmnGetProgname();
  CopyText(record->program, program);
  const int rangeCount = DbgInitializeRanges(record, rangesWord);
  if (rangeCount == 0 || !DbgSelected(record->select, program, DbgHostName())) return 0;
  if (!DbgOpenStream(record, program)) return 0;

  dbgActive = 1;
  if (!exitRegistered && !CmnInHostProcess()) {
    exitRegistered = true;
    CmnSetAtAxit(DbgExit);
  }
  DbgMessageM(TARN_HERE, -1, nullptr);
  DbgPlain(kDbgAlways, kBanner, program, kTarnVersion, kTarnBuild, record->rangesText,
           record->select, record->fileName, static_cast<int>(getpid()), threadId, DbgUserName(),
           DbgGroupName(), DbgMachineText());
  if (record->sessionId[0] != '\0') DbgClientTraceStartAgent();
  return 0;
}

int DbgInit(const char* postfix, const char* ranges, const char* select) {
  return DbgInitEx(postfix, ranges, select, CmnGetProgname(), 0);
}

int DbgIsInitialized() {
  return DbgStreamData() != nullptr ? 1 : 0;
}

void DbgSetRanges(const char* ranges) {
  DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr || ranges == nullptr || ranges[0] == '\0') return;
  DbgRangeSpec spec;
  DbgParseRanges(ranges, &spec);
  record->options = spec.options;
  record->noPrefix = (spec.options & kDbgOptNoPrefix) != 0 ? 1 : 0;
  record->timeMode = spec.timeMode;
  for (int i = 0; i < kDbgMaxRanges; ++i) {
    record->ranges[i] = i < spec.rangeCount ? spec.ranges[i] : DbgRange{-1, -1};
  }
  char text[kDbgTextMax];
  int n = std::snprintf(text, sizeof text, "%s", ranges);
  if (!spec.hasId && n >= 0 && static_cast<size_t>(n) < sizeof text) {
    n += std::snprintf(text + n, sizeof text - n, ",ID:%s", record->debugId);
  }
  if (!spec.hasSession && record->sessionId[0] != '\0' && n >= 0 &&
      static_cast<size_t>(n) < sizeof text) {
    std::snprintf(text + n, sizeof text - n, ",SESSION:%s", record->sessionId);
  }
  CopyText(record->rangesText, text);
}

int DbgMatch(int level) {
  const DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr) return 0;
  if (level < 0) return 1;
  for (const DbgRange& range : record->ranges) {
    if (range.low == -1) break;
    if (level >= range.low && level <= range.high) return 1;
  }
  return 0;
}

void DbgPlainVA(int level, const char* format, va_list args) {
  level = EffectiveLevel(level);
  if (level == -2) {
    va_list copy;
    va_copy(copy, args);
    DbgLogPlainVA(nullptr, format, copy);
    va_end(copy);
  }
  DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr || record->stream == nullptr || !DbgMatch(level)) return;
  if (level >= 0) CircularCheck(record);
  WritePrefix(record, level);
  DbgVfprintf(record->stream, format, args);
  std::fputc('\n', record->stream);
  std::fflush(record->stream);
}

void DbgPlain(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  DbgPlainVA(level, format, args);
  va_end(args);
}

void DbgMessageM(const char* file, int line, int level, const char* text) {
  level = EffectiveLevel(level);
  if (level == -2) {
    DbgLogEntry(file, line, CmnGetProgname(), static_cast<int>(getpid()), 0, nullptr, text);
  }
  DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr || record->stream == nullptr || !DbgMatch(level)) return;
  if (level >= 0) CircularCheck(record);
  char timeText[64];
  std::fprintf(record->stream, "\n[%3d] %s (\"%s\":%d) %s b%s\n", level,
               DbgTimeText(record->timeMode, timeText, sizeof timeText), Get_FILE_from_rcsId(file),
               line, kTarnVersion, kTarnBuild);
  if (text != nullptr && text[0] != '\0') {
    WritePrefix(record, level);
    std::fputs(text, record->stream);
    std::fputc('\n', record->stream);
  }
  std::fflush(record->stream);
}

void DbgFcnInEx(const char* file, int line, const char* function, int level, const char* argFormat,
                ...) {
  DbgStackRecord* stack = StackData();
  if (stack == nullptr) return;
  char args[kDbgTextMax] = "";
  if (argFormat != nullptr) {
    va_list ap;
    va_start(ap, argFormat);
    DbgFormatBounded(args, sizeof args, argFormat, ap);
    va_end(ap);
  }
  DbgMessageM(file, line, level, nullptr);
  DbgPlain(level, "===>> (%d) %s {", stack->depth, TextOr(function));
  if (argFormat != nullptr) DbgPlain(level, "  Args: %s", args);
  DbgPlain(level, "%s", "");
  if (stack->depth < kDbgStackDepth) {
    stack->names[stack->depth] = function;
    CopyText(stack->args[stack->depth], args);
  } else if (stack->depth == kDbgStackDepth) {
    DbgMessageM(TARN_HERE, -2, nullptr);
    DbgPlain(kDbgUnexpected, "DbgStack: stack overflow!\n    Function: %s(%s)\n", TextOr(function),
             args);
    DbgDumpStack(-2);
  }
  if (stack->depth < 0x7fffffff) ++stack->depth;
}

void DbgFcnOutEx(const char* file, int line, const char* function, int level,
                 const char* resultFormat, ...) {
  DbgStackRecord* stack = StackData();
  if (stack == nullptr) return;
  if (stack->depth < 1) {
    DbgMessageM(file, line, kDbgUnexpected, nullptr);
    DbgPlain(kDbgUnexpected, "DbgStack: DbgFcnOut() and level already 0!\n    ExitFcn=\"%s\"\n",
             TextOr(function));
    return;
  }
  if (stack->depth <= kDbgStackDepth && !SameFunction(stack->names[stack->depth - 1], function)) {
    DbgMessageM(file, line, kDbgUnexpected, nullptr);
    DbgPlain(kDbgUnexpected,
             "DbgStack: DbgFcnOut() function does not match function on stack!\n"
             "    ExitFcn=\"%s\", StackFcn=\"%s\"\n",
             TextOr(function), TextOr(stack->names[stack->depth - 1]));
    DbgDumpStack(-2);
    int found = -1;
    for (int i = stack->depth - 1; i >= 0; --i) {
      if (SameFunction(stack->names[i], function)) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      DbgPlain(kDbgUnexpected,
               "\"%s\" not found on stack, this was an excessive DbgFcnOut() call\n",
               TextOr(function));
      return;
    }
    DbgPlain(
        kDbgUnexpected,
        "\"%s\" found on stack, adjusted level to %d (one or more DbgFcnOut() calls missing)\n",
        TextOr(function), found);
    stack->depth = found + 1;
  }
  const int top = stack->depth - 1;
  const bool recorded = top < kDbgStackDepth;
  DbgMessageM(file, line, level, nullptr);
  DbgPlain(level, "<<=== (%d) }  /* %s */", top, TextOr(function));
  if (recorded && stack->args[top][0] != '\0') DbgPlain(level, "  Args: %s", stack->args[top]);
  if (resultFormat != nullptr && DbgGetFd() != nullptr) {
    char result[kDbgTextMax];
    va_list ap;
    va_start(ap, resultFormat);
    DbgFormatBounded(result, sizeof result, resultFormat, ap);
    va_end(ap);
    DbgPlain(level, "  RetVal: %s", result);
  }
  DbgPlain(level, "%s", "");
  if (recorded) {
    stack->names[top] = nullptr;
    stack->args[top][0] = '\0';
  }
  --stack->depth;
}

void DbgDumpStack(int level) {
  const DbgStackRecord* stack = StackData();
  if (stack == nullptr) {
    DbgPlain(level, "DbgDumpStack() - no stack.");
    return;
  }
  DbgPlain(level, "Function trace (currentLevel=%d):", stack->depth - 1);
  for (int i = std::min(stack->depth - 1, kDbgStackDepth - 1); i >= 0; --i) {
    DbgPlain(level, "\tLevel %2d: %s(%s)", i, TextOr(stack->names[i]), stack->args[i]);
  }
  DbgPlain(level, "%s", "");
}

const char* DbgGetParmsFromStack() {
  const DbgStackRecord* stack = StackData();
  if (stack == nullptr) return "#DbgGetParmsFromStack - no stack.#";
  if (stack->depth < 1 || stack->depth > kDbgStackDepth) return "#DbgFcnStack overflow#";
  return stack->args[stack->depth - 1];
}

void DbgDumpMem(int level, const void* address, long length) {
  if (length < 1 || address == nullptr) return;
  if (EffectiveLevel(level) != -2 && !DbgMatch(EffectiveLevel(level))) return;
  const auto* bytes = static_cast<const unsigned char*>(address);
  for (long offset = 0; offset < length; offset += 8) {
    const long n = std::min(8L, length - offset);
    char hex[8 * 3 + 1];
    char chars[8 + 1];
    for (long i = 0; i < 8; ++i) {
      if (i < n) {
        std::snprintf(hex + i * 3, 4, "%02X ", bytes[offset + i]);
      } else {
        std::memcpy(hex + i * 3, "   ", 4);
      }
    }
    for (long i = 0; i < n; ++i) {
      const unsigned char c = bytes[offset + i];
      chars[i] = c >= 32 && c <= 126 ? static_cast<char>(c) : '.';
    }
    chars[n] = '\0';
    DbgPlain(level, "%p   %s  %s", static_cast<const void*>(bytes + offset), hex, chars);
  }
}

void DbgDumpMessage(const char* title, const char* text) {
  if (dbgActive == 0 || !DbgMatch(10)) return;
  StrMsg msg;
  StrMsgInitL(&msg);
  int code;
  if (text != nullptr) {
    code = StrParseStartL(&msg, text);
  } else {
    // The process-wide receive buffer has a known size; parse only inside it.
    StrMsg* global = StrMsgGetGlobal();
    const char* received = global != nullptr ? StrMsgGetRBufL(global) : nullptr;
    const int size = global != nullptr ? StrMsgSizeRBufL(global) : 0;
    code = received != nullptr && size > 0
               ? StrParseStartNL(&msg, received, static_cast<size_t>(size))
               : -1;
  }
  DbgPlain(kDbgDetail, "\t+-------------------------------\n\t| %s (msg no. %i)\n\t|",
           TextOr(title), code);
  if (code != -1) {
    for (const char* item = StrParseNextL(&msg); item != nullptr; item = StrParseNextL(&msg)) {
      DbgPlain(kDbgDetail, "\t| %s\"%s\"", item[0] == '-' ? "" : "  ", item);
    }
  }
  DbgPlain(kDbgDetail, "\t+-------------------------------\n");
  StrMsgParseDoneL(&msg);
  StrMsgFreeL(&msg);
}

FILE* DbgGetFd() {
  const DbgStreamRecord* record = DbgStreamData();
  return record != nullptr ? record->stream : nullptr;
}

const char* DbgGetRanges() {
  const DbgStreamRecord* record = DbgStreamData();
  return record != nullptr ? record->rangesText : "";
}

const char* DbgGetPostfix() {
  const DbgStreamRecord* record = DbgStreamData();
  return record != nullptr ? record->postfix : "";
}

const char* DbgGetSelect() {
  const DbgStreamRecord* record = DbgStreamData();
  return record != nullptr ? record->select : "";
}

const char* DbgGetDbgID() {
  const DbgStreamRecord* record = DbgStreamData();
  return record != nullptr ? record->debugId : "";
}

const char* DbgGetDbgSessID() {
  const DbgStreamRecord* record = DbgStreamData();
  return record != nullptr ? record->sessionId : "";
}

void DbgSetDbgSessID(const char* id) {
  static const char kFn[] = "DbgSetDbgSessID";
  DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr) return;
  DbgMessageM(TARN_HERE, -1, nullptr);
  DbgPlain(kDbgAlways, "%s(\"%s\")", kFn, TextOr(id));
  if (id == nullptr || id[0] == '\0') return;
  if (record->sessionId[0] != '\0') {
    DbgPlain(kDbgAlways, "%s: Debugging session ID already set (\"%s\"), keeping previous.", kFn,
             record->sessionId);
    return;
  }
  FileNamePart(record->sessionId, id);
  const size_t used = std::strlen(record->rangesText);
  std::snprintf(record->rangesText + used, sizeof record->rangesText - used, ",SESSION:%s", id);
  DbgPlain(kDbgAlways, "%s: Range specification updated to: \"%s\"", kFn, record->rangesText);
}

void DbgClientTraceStartAgent() {
  const DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr) return;
  DbgLogFull(TARN_HERE, record->program, static_cast<int>(getpid()), 0, "ctrace.log",
             "\nProcess %s for session %s started in debugging mode.\n%s\n", record->program,
             record->sessionId, record->fileName);
}

void DbgEndTrace() {
  DbgStreamRecord* record = DbgStreamData();
  if (record == nullptr) return;
  if (record->stream != nullptr) {
    DbgMessageM(TARN_HERE, 199, nullptr);
    DbgDumpStack(199);
    DbgMessageM(TARN_HERE, -1, nullptr);
    DbgPlain(kDbgAlways, "%s", kEndBanner);
    if (record->stream != stderr && std::fclose(record->stream) != 0) {
      DbgLogPlain(nullptr, "DbgExit: fclose() failed, errcode=%d\n", errno);
    }
    record->stream = nullptr;
  }
  dbgActive = 0;
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_DBGSTREAM);
}

void DbgExit() {
  DbgEndTrace();
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_DBGSTACK);
}

void DbgTimerStart(DbgTimer* timer) {
  if (timer != nullptr) timer->start = std::clock();
}

double DbgTimerStop(DbgTimer* timer) {
  if (timer == nullptr) return 0.0;
  const std::clock_t now = std::clock();
  return static_cast<double>(now - timer->start) / CLOCKS_PER_SEC;
}

void AccuTimerStart(DbgTimer* timer) {
  DbgTimerStart(timer);
}

double AccuTimerStop(DbgTimer* timer) {
  if (timer == nullptr) return 0.0;
  timer->total += std::clock() - timer->start;
  return static_cast<double>(timer->total) / CLOCKS_PER_SEC;
}

double PrintTimer(const DbgTimer* timer) {
  return timer != nullptr ? static_cast<double>(timer->total) / CLOCKS_PER_SEC : 0.0;
}
