// Plain logs (debug.log, ctrace.log and the like), the formatting shared with
// the trace, and the short source names shown in trace and log headers.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "cmn/dbgimpl.h"
#include "cmn/defines.h"
#include "cmn/paths.h"
#include "cmn/sysio.h"

TARN_RCSID("lib/cmn/dbglog.cpp");

namespace {

constexpr char kDefaultLog[] = "debug.log";
constexpr size_t kEntryMax = 8192;
constexpr size_t kSourceNameMax = 510;

char tmpDir[kCmnPathMax] = "/tmp";

// Keeps the caller's errno across a log entry.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  ErrnoGuard(const ErrnoGuard&) = delete;
  ErrnoGuard& operator=(const ErrnoGuard&) = delete;

 private:
  int saved_;
};

FILE* OpenConsole() {
  return cmn::OpenStream(
      cmn::UniqueFd(cmn::OpenRetry("/dev/console", O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC)),
      "a");
}

// Name of a log inside the server log directory: "server/x" or "server\x",
// after any leading slashes, case-insensitive. Null for other names.
const char* ServerLogName(const char* name) {
  while (*name == '/' || *name == '\\') ++name;
  if (strncasecmp(name, "server", 6) == 0 && (name[6] == '/' || name[6] == '\\')) return name + 7;
  return nullptr;
}

bool DirUsable(const char* directory) {
  struct stat st {};
  return stat(directory, &st) == 0 && S_ISDIR(st.st_mode) && access(directory, W_OK | X_OK) == 0;
}

void WriteEntry(const char* name, const char* data, size_t size) {
  FILE* stream = DbgLogOpen(name);
  if (stream == nullptr) return;
  std::fwrite(data, 1, size, stream);
  DbgLogClose(stream);
}

// A trace argument that is no valid text (a stale pointer) faults inside the
// C library's formatter. Outside a host process that fault is caught for the
// length of one formatting call and the format is shown instead; a host owns
// its signal handlers, so there nothing is swapped. Formatting goes into
// memory of the caller's or our own, never straight into a stream, so the
// jump back leaves no stream half-written.
sigjmp_buf formatFault;
volatile sig_atomic_t formatGuarded = 0;

void OnFormatFault(int signal) {
  if (formatGuarded != 0) siglongjmp(formatFault, 1);
  // Not ours: the fault happens again under the previous disposition.
  std::signal(signal, SIG_DFL);
}

// One formatting call under the guard; false when it faulted. Kept apart
// so that nothing it holds is changed between the jump point and the jump.
bool FormatOnce(char* buffer, size_t size, bool bounded, const char* format, va_list args,
                int* length) {
  if (sigsetjmp(formatFault, 1) != 0) return false;
  formatGuarded = 1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  *length =
      bounded ? std::vsnprintf(buffer, size, format, args) : std::vsprintf(buffer, format, args);
#pragma GCC diagnostic pop
  formatGuarded = 0;
  return true;
}

// Formats into `buffer` (bounded by `size` unless `bounded` is false); false
// when formatting faulted, the buffer's content then being undefined.
bool GuardedFormat(char* buffer, size_t size, bool bounded, const char* format, va_list args,
                   int* length) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = OnFormatFault;
  sigemptyset(&action.sa_mask);
  const bool guard = !CmnInHostProcess() && sigaction(SIGSEGV, &action, &previous) == 0;
  bool ok = true;
  if (guard) {
    ok = FormatOnce(buffer, size, bounded, format, args, length);
    formatGuarded = 0;
    sigaction(SIGSEGV, &previous, nullptr);
  } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    *length =
        bounded ? std::vsnprintf(buffer, size, format, args) : std::vsprintf(buffer, format, args);
#pragma GCC diagnostic pop
  }
  return ok;
}

constexpr char kFormatFaultText[] =
    "Got SIGSEGV while printing debug message.\nThe format string was:\n\"%s\"\n";

}  // namespace

const char* DbgTmpDir() {
  return tmpDir;
}

void DbgSetTmpDir(const char* directory) {
  std::snprintf(tmpDir, sizeof tmpDir, "%s",
                directory != nullptr && directory[0] != '\0' ? directory : "/tmp");
}

FILE* DbgLogOpenInDir(const char* directory, const char* name) {
  if (name == nullptr) name = kDefaultLog;
  const bool inGivenDir = directory != nullptr && directory[0] != '\0';
  char path[kCmnPathMax];
  const int n =
      std::snprintf(path, sizeof path, "%s/%s", inGivenDir ? directory : DbgTmpDir(), name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;

  constexpr int kAppend = O_RDWR | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  bool created = false;
  cmn::UniqueFd fd(cmn::OpenRetry(path, kAppend | O_NONBLOCK));
  if (!fd && errno == ENOENT) {
    fd.reset(cmn::OpenRetry(path, kAppend | O_CREAT | O_EXCL, 0666));
    created = static_cast<bool>(fd);
    if (!fd && errno == EEXIST) fd.reset(cmn::OpenRetry(path, kAppend | O_NONBLOCK));
  }
  if (!fd) {
    // A link, or a FIFO without a reader, is no place for a log.
    return errno == ELOOP || errno == ENXIO ? OpenConsole() : nullptr;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    fd.reset();
    return OpenConsole();
  }
  const int fl = fcntl(fd.get(), F_GETFL);
  if (fl >= 0 && (fl & O_NONBLOCK) != 0) fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  if (created) {
    char first[256];
    const int len = std::snprintf(
        first, sizeof first, "**********************  %s  **********************\n", DbgHostName());
    if (len > 0)
      cmn::WriteAll(fd.get(), first, std::min(static_cast<size_t>(len), sizeof first - 1));
    if (inGivenDir) fchmod(fd.get(), 0666);
  }
  return cmn::OpenStream(std::move(fd), "a+");
}

FILE* DbgLogOpen(const char* name) {
  if (name == nullptr) name = kDefaultLog;
  if (const char* rest = ServerLogName(name)) {
    if (FILE* stream = DbgLogOpenInDir(cmnFenServerLog, rest)) return stream;
    name = rest;
  }
  if (FILE* stream = DbgLogOpenInDir(cmnFenLog, name)) return stream;
  return DbgLogOpenInDir("", name);
}

void DbgLogClose(FILE* stream) {
  if (stream != nullptr && stream != stderr && stream != stdout) std::fclose(stream);
}

char* DbgLogGetPathname(char* buffer, const char* name) {
  if (buffer == nullptr) return nullptr;
  if (name == nullptr) name = kDefaultLog;
  const char* directory = nullptr;
  if (const char* rest = ServerLogName(name)) {
    name = rest;
    if (DirUsable(cmnFenServerLog)) directory = cmnFenServerLog;
  }
  if (directory == nullptr) directory = DirUsable(cmnFenLog) ? cmnFenLog : DbgTmpDir();
  const int n = std::snprintf(buffer, kCmnPathMax, "%s/%s", directory, name);
  if (n < 0 || n >= kCmnPathMax) buffer[0] = '\0';
  return buffer;
}

void DbgLogPlainVA(const char* name, const char* format, va_list args) {
  ErrnoGuard keepErrno;
  char entry[kEntryMax];
  size_t n = DbgFormatBounded(entry, sizeof entry - 1, format, args);
  entry[n++] = '\n';
  WriteEntry(name, entry, n);
}

void DbgLogPlain(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  DbgLogPlainVA(name, format, args);
  va_end(args);
}

void DbgLogEntry(const char* file, int line, const char* program, int pid, int extra,
                 const char* name, const char* body) {
  ErrnoGuard keepErrno;
  char when[64] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) strftime(when, sizeof when, "%x %X", &local);
  char entry[kEntryMax];
  int n = std::snprintf(entry, sizeof entry, "\n%s  %s.%d.%d [\"%s\":%d] %s b%s\n", when,
                        program != nullptr ? program : "", pid, extra, Get_FILE_from_rcsId(file),
                        line, kTarnVersion, kTarnBuild);
  size_t used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof entry - 2);
  if (body != nullptr && body[0] != '\0') {
    n = std::snprintf(entry + used, sizeof entry - 1 - used, "%s", body);
    used += n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof entry - 2 - used);
    entry[used++] = '\n';
  }
  WriteEntry(name, entry, used);
}

void DbgLogFull(const char* file, int line, const char* program, int pid, int extra,
                const char* name, const char* format, ...) {
  ErrnoGuard keepErrno;
  char body[kEntryMax] = "";
  if (format != nullptr && format[0] != '\0') {
    va_list args;
    va_start(args, format);
    DbgFormatBounded(body, sizeof body, format, args);
    va_end(args);
  }
  DbgLogEntry(file, line, program, pid, extra, name, body);
}

bool DbgFormatIsSafe(const char* format) {
  if (format == nullptr) return false;
  for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
    ++p;
    if (*p == '%') {
      ++p;
      continue;
    }
    // Skip argument position, flags, width, precision and length modifiers.
    p += std::strspn(p, "0123456789$#-+ '*.hlLqjztI");
    if (*p == 'n') return false;
    if (*p == '\0') break;
  }
  return true;
}

size_t DbgFormatBounded(char* buffer, size_t size, const char* format, va_list args) {
  if (buffer == nullptr || size == 0) return 0;
  const int n = DbgVsnprintf(buffer, size, format, args);
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return std::min(static_cast<size_t>(n), size - 1);
}

int DbgVfprintf(FILE* stream, const char* format, va_list args) {
  if (stream == nullptr) return -1;
  if (!DbgFormatIsSafe(format)) {
    return std::fprintf(stream, "Refused to print debug message.\nThe format string was:\n\"%s\"\n",
                        format != nullptr ? format : "(null)");
  }
  va_list again;
  va_copy(again, args);
  char line[kEntryMax];
  std::vector<char> longLine;
  const char* text = line;
  int n = 0;
  bool ok = GuardedFormat(line, sizeof line, true, format, args, &n);
  if (ok && n >= 0 && static_cast<size_t>(n) >= sizeof line) {
    longLine.resize(static_cast<size_t>(n) + 1);
    ok = GuardedFormat(longLine.data(), longLine.size(), true, format, again, &n);
    text = longLine.data();
  }
  va_end(again);
  if (!ok) return std::fprintf(stream, kFormatFaultText, format);
  if (n <= 0) return n;
  return std::fwrite(text, 1, static_cast<size_t>(n), stream) == static_cast<size_t>(n) ? n : -1;
}

int DbgVsprintf(char* buffer, const char* format, va_list args) {
  if (buffer == nullptr) return -1;
  if (!DbgFormatIsSafe(format)) {
    const char* shown = format != nullptr ? format : "(null)";
    std::strcpy(buffer, shown);
    return static_cast<int>(std::strlen(shown));
  }
  int n = 0;
  if (GuardedFormat(buffer, 0, false, format, args, &n)) return n;
  std::strcpy(buffer, format);
  return static_cast<int>(std::strlen(format));
}

int DbgVsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[size - 1] = '\0';
  if (!DbgFormatIsSafe(format))
    return std::snprintf(buffer, size, "%s", format != nullptr ? format : "(null)");
  return std::vsnprintf(buffer, size, format, args);
}

const char* Get_FILE_from_rcsId(const char* id) {
  if (id == nullptr) return "";
  if (id[0] != '$') return id;
  const char* start;
  if (const char* src = std::strstr(id, "/src/")) {
    start = src + 5;
  } else if (const char* fen = std::strstr(id, "/FEN")) {
    start = fen + 4;
  } else if (const char* blank = std::strchr(id, ' ')) {
    start = blank + 1;
  } else {
    start = id;
  }
  // The path and its revision: up to the second blank from `start`.
  size_t length = std::strlen(start);
  if (const char* first = std::strchr(start, ' ')) {
    if (const char* second = std::strchr(first + 1, ' '))
      length = static_cast<size_t>(second - start);
  }
  static char shortName[kSourceNameMax + 1];
  if (length > kSourceNameMax) length = kSourceNameMax;
  std::memcpy(shortName, start, length);
  shortName[length] = '\0';
  return shortName;
}

const char* DbgTimeText(int timeMode, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return "";
  buffer[0] = '\0';
  if (timeMode != 1 && timeMode != 1000) return buffer;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  if (localtime_r(&now.tv_sec, &local) == nullptr) return buffer;
  const size_t n = strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local);
  if (timeMode == 1000 && n > 0) {
    std::snprintf(buffer + n, size - n, ".%03d", static_cast<int>(now.tv_nsec / 1000000));
  }
  return buffer;
}
