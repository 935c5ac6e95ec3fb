// The agent's command line and its one option line: keywords, items and
// their attributes, and the debug set-up from its three sources.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "barutil/vekdebug.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"
#include "db2/owned.h"
#include "getopt/getopt.h"
#include "kestrel/agent.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/kestrel/opts.cpp");

namespace {

constexpr char kProgram[] = "KESTREL";
constexpr char kTemplate[] =
    "-ver[sion -incr -delta -debug <dbgranges> <[dbgpostfix]> <[dbgselect]> ";
constexpr char kWordDelims[] = " :\n";
constexpr int kTrace = 20;

enum Keyword : int {
  kKwDebug = 1,
  kKwBackup,
  kKwRestore,
  kKwRollforward,
  kKwTime,
  kKwNewDbName,
  kKwConc,
  kKwSessionId,
  kKwDbName,
  kKwTsName,
  kKwOffline,
  kKwFromHost,
  kKwFromInstance,
  kKwLogName,
  kKwPre,
  kKwPost,
  kKwContinue,
  kKwEee,
  kKwDevNumber,
  kKwUser,
  kKwPasswd,
};

struct KeywordRow {
  Keyword id;
  const char* word;
};

constexpr KeywordRow kKeywords[] = {
    {kKwDebug, "debug"},
    {kKwBackup, "backup"},
    {kKwRestore, "restore"},
    {kKwRollforward, "rollforward"},
    {kKwTime, "time"},
    {kKwNewDbName, "newdbname"},
    {kKwConc, "conc"},
    {kKwSessionId, "sessionID"},
    {kKwDbName, "dbname"},
    {kKwTsName, "tsname"},
    {kKwOffline, "offline"},
    {kKwFromHost, "restorefromhost"},
    {kKwFromInstance, "restorefrominstance"},
    {kKwLogName, "logname"},
    {kKwPre, "pre"},
    {kKwPost, "post"},
    {kKwContinue, "continue"},
    {kKwEee, "eee"},
    {kKwDevNumber, "dev_number"},
    {kKwUser, "user"},
    {kKwPasswd, "passwd"},
};

// The keyword of a word: exact and case-sensitive after its leading
// character; 0 for none.
int Lookup(std::string_view word) {
  if (word.size() < 2) return 0;
  const std::string_view name = word.substr(1);
  for (const KeywordRow& row : kKeywords)
    if (name == row.word) return row.id;
  return 0;
}

// Words of the line, each taken with the delimiters the caller names (the
// way the line is split depends on the keyword before).
class Words {
 public:
  explicit Words(std::string_view line) : line_(line) {}
  // The next word: leading delimiters skipped, the word ends at (and
  // consumes) the next delimiter. Empty at the end of the line.
  std::string_view Next(const char* delims) {
    while (at_ < line_.size() && std::strchr(delims, line_[at_]) != nullptr) ++at_;
    const std::size_t start = at_;
    while (at_ < line_.size() && std::strchr(delims, line_[at_]) == nullptr) ++at_;
    const std::string_view word = line_.substr(start, at_ - start);
    if (at_ < line_.size()) ++at_;
    return word;
  }
  // The next word without taking it.
  std::string_view Peek(const char* delims) {
    const std::size_t keep = at_;
    const std::string_view word = Next(delims);
    at_ = keep;
    return word;
  }

 private:
  std::string_view line_;
  std::size_t at_ = 0;
};

bool IsOptionWord(std::string_view word) {
  return !word.empty() && word[0] == '-';
}

// A decimal number filling the whole word, within [low, high].
bool ParseNumber(std::string_view word, long low, long high, int* out) {
  if (word.empty() || word.size() > 10) return false;
  long value = 0;
  std::size_t i = 0;
  const bool negative = word[0] == '-';
  if (negative || word[0] == '+') i = 1;
  if (i == word.size()) return false;
  for (; i < word.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(word[i]))) return false;
    value = value * 10 + (word[i] - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

std::string Upper(std::string_view text) {
  std::string s(text);
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// A value word that must be there and fit `max` characters.
bool TakeValue(Words* words, const char* what, std::size_t max, std::string* out) {
  const std::string_view value = words->Next(kWordDelims);
  if (value.empty()) {
    DbgPlain(kDbgAlways, "[ParseOpts] No value for %s", what);
    return false;
  }
  if (value.size() > max) {
    DbgPlain(kDbgAlways, "[ParseOpts] The value of %s is longer than %zu characters", what, max);
    return false;
  }
  out->assign(value);
  return true;
}

// "<date>-<number>" of the sessionID attribute as "<date> %04d".
bool ParseSessionId(std::string_view word, std::string* out) {
  const std::size_t dash = word.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash > kAgentNameMax) return false;
  int number = 0;
  if (!ParseNumber(word.substr(dash + 1), 0, kSessionNumberMax, &number)) return false;
  char text[kAgentNameMax + 16];
  std::snprintf(text, sizeof text, "%.*s %04d", static_cast<int>(dash), word.data(), number);
  out->assign(text);
  return true;
}

// The item's own attributes that follow it; any other word is left for the
// main loop.
bool ParseItemAttributes(Words* words, AgentItem* item) {
  static const char kFn[] = "ParseOpts";
  for (;;) {
    const int id = Lookup(words->Peek(kWordDelims));
    if (id != kKwSessionId && id != kKwOffline && id != kKwNewDbName) return true;
    words->Next(kWordDelims);
    if (id == kKwOffline) {
      item->online = 0;
      DbgPlain(kTrace, "[%s] backup mode - offline", kFn);
    } else if (id == kKwNewDbName) {
      if (!TakeValue(words, "newdbname", kAgentNameMax, &item->newName)) return false;
      DbgPlain(kTrace, "[%s]New DB name = %s", kFn, item->newName.c_str());
    } else {
      const std::string_view word = words->Next(kWordDelims);
      if (!ParseSessionId(word, &item->sessionId)) {
        DbgPlain(kDbgAlways, "[%s] Session id %.*s does not parse", kFn,
                 static_cast<int>(std::min<std::size_t>(word.size(), 64)), word.data());
        return false;
      }
      DbgPlain(kTrace, "[%s] SessionID for item = %s", kFn, item->sessionId.c_str());
    }
  }
}

bool ParseItem(Words* words, int kind, AgentItems* items) {
  static const char kFn[] = "ParseOpts";
  AgentItem item;
  item.kind = kind;
  const std::string_view database = words->Next(kind == kItemDatabase ? kWordDelims : "*");
  // Without its '*' a table-space or log word would run to the line's end.
  if (database.empty() || IsOptionWord(database) || database.size() > kAgentNameMax ||
      database.find_first_of(" \n") != std::string_view::npos) {
    DbgPlain(kDbgAlways, "Database, table space or log name does not specified");
    return false;
  }
  item.database = Upper(database);
  if (kind == kItemDatabase) {
    DbgPlain(kTrace, "[%s] New item - database %s", kFn, item.database.c_str());
  } else if (kind == kItemTablespace) {
    if (!TakeValue(words, "tsname", kAgentNameMax, &item.tablespace)) return false;
    DbgPlain(kTrace, "[%s] New item - tablespace %s for db %s", kFn, item.tablespace.c_str(),
             item.database.c_str());
  } else {
    const std::string_view log = words->Next(" \n");
    if (log.empty() || log.size() > kAgentNameMax) {
      DbgPlain(kDbgAlways, "Database, table space or log name does not specified");
      return false;
    }
    item.logFile.assign(log);
    DbgPlain(kTrace, "[%s] New item - logfile %s for db %s", kFn, item.logFile.c_str(),
             item.database.c_str());
  }
  const bool ok = ParseItemAttributes(words, &item);
  items->push_back(std::move(item));
  return ok;
}

// Up to three words after `debug` that are no options.
void ParseDebugWords(Words* words, AgentOptions* options) {
  std::string* targets[] = {&options->debugRanges, &options->debugPostfix, &options->debugSelect};
  for (std::string* target : targets) {
    const std::string_view word = words->Peek(kWordDelims);
    if (word.empty() || IsOptionWord(word)) break;
    words->Next(kWordDelims);
    target->assign(word.substr(0, target == targets[0] ? kDebugRangesMax : kDebugWordMax));
  }
  options->debugGiven = true;
}

}  // namespace

int OptLineBufferSize() {
  int size = kOptLineDefault;
  EnvReadInt("VEKIPCBUFSIZE", &size);
  if (size < kOptLineDefault) size = kOptLineDefault;
  if (size > kOptLineMax) size = kOptLineMax;
  return size;
}

int ReadOptLine(int fd, int size, std::string* line) {
  line->clear();
  bool any = false;
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any ? kOptOk : kOptNoInput;
    any = true;
    if (c == '\n') return kOptOk;
    if (static_cast<int>(line->size()) >= size) return kOptOverflow;
    line->push_back(c);
  }
}

int ParseCommandLine(int argc, const char* const* argv, AgentOptions* options) {
  if (argc <= 1) return 0;
  CmnVar result = GetoptParse(kTemplate, argc - 1, argv + 1);
  const bool ok = GetoptResultOk(result);
  const bool version = CmnVarGet(result, "version") != nullptr;
  const bool incr = CmnVarGet(result, "incr") != nullptr;
  const bool delta = CmnVarGet(result, "delta") != nullptr;
  CmnVarFree(&result);
  if (!ok) {
    DbgPlain(kDbgAlways, "[ParseOpts] The command line does not match %s", kTemplate);
    return -1;
  }
  if (incr) options->backupType = kBackupIncremental;
  if (delta) options->backupType = kBackupDelta;
  return version ? 1 : 0;
}

int ParseOptLine(std::string_view line, AgentOptions* options, AgentItems* items) {
  static const char kFn[] = "ParseOpts";
  if (line.find('\0') != std::string_view::npos) {
    DbgPlain(kDbgAlways, "[%s] The option line holds a NUL byte", kFn);
    return kOptFailed;
  }
  Words words(line);
  for (std::string_view word = words.Next(kWordDelims); !word.empty();
       word = words.Next(kWordDelims)) {
    DbgPlain(kTrace, "[%s] arg=%.*s", kFn,
             static_cast<int>(std::min<std::size_t>(word.size(), 1024)), word.data());
    std::string value;
    switch (Lookup(word)) {
      case kKwDebug:
        DbgPlain(kTrace, "[%s] Debugging is already initialized, but we will parse it again", kFn);
        ParseDebugWords(&words, options);
        break;
      case kKwBackup:
        options->action = kActionBackup;
        DbgPlain(kTrace, "[%s] Action - backup", kFn);
        break;
      case kKwRestore:
        options->action = kActionRestore;
        DbgPlain(kTrace, "[%s] Action - restore", kFn);
        break;
      case kKwRollforward:
        options->rollForward = 1;
        DbgPlain(kTrace, "[%s] Rollforward will be performed", kFn);
        break;
      case kKwTime:
        if (!TakeValue(&words, "time", kStopTimeMax, &options->stopTime)) return kOptFailed;
        DbgPlain(kTrace, "[%s] Rollforward will be performed until %s", kFn,
                 options->stopTime.c_str());
        break;
      case kKwConc:
        if (!ParseNumber(words.Next(kWordDelims), 0, kConcurrencyMax, &options->concurrency)) {
          DbgPlain(kDbgAlways, "[%s] conc takes a number from 0 to %d", kFn, kConcurrencyMax);
          return kOptFailed;
        }
        DbgPlain(kTrace, "[%s] Concurrency = %d", kFn, options->concurrency);
        break;
      case kKwDbName:
        if (!ParseItem(&words, kItemDatabase, items)) return kOptFailed;
        break;
      case kKwTsName:
        if (!ParseItem(&words, kItemTablespace, items)) return kOptFailed;
        break;
      case kKwLogName:
        if (!ParseItem(&words, kItemLog, items)) return kOptFailed;
        break;
      case kKwFromHost: {
        if (!TakeValue(&words, "restorefromhost", kFromHostMax, &value)) return kOptFailed;
        const char* expanded = CmnExpandHostname(value.c_str());
        if (expanded != nullptr) value = expanded;
        if (value.size() > kFromHostMax) {
          DbgPlain(kDbgAlways, "[%s] Host name %s is too long", kFn, value.c_str());
          return kOptFailed;
        }
        options->fromHost = value;
        DbgPlain(kTrace, "[%s] From host = %s", kFn, options->fromHost.c_str());
        break;
      }
      case kKwFromInstance:
        if (!TakeValue(&words, "restorefrominstance", kFromInstanceMax, &options->fromInstance))
          return kOptFailed;
        DbgPlain(kTrace, "[%s] From Instamce = %s", kFn, options->fromInstance.c_str());
        break;
      case kKwPre:
        if (!TakeValue(&words, "pre", kAgentNameMax, &options->preScript)) return kOptFailed;
        DbgPlain(kTrace, "[%s] pre_execute script = %s", kFn, options->preScript.c_str());
        break;
      case kKwPost:
        if (!TakeValue(&words, "post", kAgentNameMax, &options->postScript)) return kOptFailed;
        DbgPlain(kTrace, "[%s] post-execute script = %s", kFn, options->postScript.c_str());
        break;
      case kKwContinue:
        options->continueFlag = 1;
        DbgPlain(kTrace, "[%s] Unusfull parameter continue is set", kFn);
        break;
      case kKwEee:
        options->partitioned = 1;
        DbgPlain(kTrace, "[%s] We have a deal with DB2 EEE instance", kFn);
        break;
      case kKwDevNumber:
        if (!ParseNumber(words.Next(kWordDelims), 0, kDevicesMax, &options->devices)) {
          DbgPlain(kDbgAlways, "[%s] dev_number takes a number from 0 to %d", kFn, kDevicesMax);
          return kOptFailed;
        }
        // No device would leave every partition waiting for one.
        if (options->devices == 0) options->devices = 1;
        DbgPlain(kTrace, "[%s] The number of backup devices = %d", kFn, options->devices);
        break;
      case kKwUser:
        if (!TakeValue(&words, "user", kAgentNameMax, &options->user)) return kOptFailed;
        DbgPlain(kTrace, "[%s] Username = %s", kFn, options->user.c_str());
        break;
      case kKwPasswd: {
        if (!TakeValue(&words, "passwd", kAgentNameMax, &value)) return kOptFailed;
        const Db2HeapText decoded(DecodePassword(value.c_str()));
        options->password = decoded.p != nullptr ? decoded.p : "";
        DbgPlain(kTrace, "[%s] Password = *******", kFn);
        break;
      }
      default:
        DbgPlain(kDbgAlways, " [%s] Strange argument %.*s received. Ignoring!", kFn,
                 static_cast<int>(std::min<std::size_t>(word.size(), 1024)), word.data());
        break;
    }
  }
  return kOptOk;
}

int ParseOpts(int argc, const char* const* argv, AgentOptions* options, AgentItems* items,
              bool* version) {
  static const char kFn[] = "ParseOpts";
  *version = ParseCommandLine(argc, argv, options) == 1;
  if (*version) return kOptOk;
  std::string line;
  const int read = ReadOptLine(STDIN_FILENO, OptLineBufferSize(), &line);
  if (read == kOptNoInput) return read;

  DebugOpts debug{};
  VEK_DebugOptsFromEnv(&debug);
  if (read == kOptOk) VEK_DebugOptsFromStr(&debug, line.c_str());
  VEK_DebugOptsFromArg(&debug, argc, argv);
  if (debug.ranges[0] != '\0') VEK_DebugOptsToEnv(&debug);
  CmnInit(kProgram, nullptr, debug.postfix[0] != '\0' ? debug.postfix : nullptr,
          debug.ranges[0] != '\0' ? debug.ranges : nullptr,
          debug.select[0] != '\0' ? debug.select : nullptr, 0);
  DbgPlain(kTrace, "[%s] Debuging options are parsed", kFn);
  if (read == kOptOverflow) {
    DbgPlain(kDbgAlways, "[%s] The option line is longer than %d bytes", kFn, OptLineBufferSize());
    return kOptOverflow;
  }
  return ParseOptLine(line, options, items);
}

void FreeItems(AgentItems* items) {
  items->clear();
  items->shrink_to_fit();
}
