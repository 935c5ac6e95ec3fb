// Integration options: the keyword table, the option record, the VEKOPTS
// splitter and the parser that applies option words from VEKOPTS and from
// the session manager's MSG_CONNECT.
#pragma once

#include <cstddef>
#include <string>

#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "parse/cmnvec.h"

struct StrMsg;

// Option codes of optTab.
enum OptCode : int {
  OPT_SERVER = 0,
  OPT_APPTYPE = 1,
  OPT_APPNAME = 2,
  OPT_SETNAME = 3,
  OPT_OUTPUT = 4,
  OPT_DEBUG = 5,
  OPT_REPORT = 6,
  OPT_MA = 21,
  OPT_DAID = 22,
  OPT_SESSION = 23,
  OPT_LOG = 24,
  OPT_ACCESS = 25,
  OPT_PROTECTION = 27,
  OPT_PROFILE = 28,
  OPT_ENCODE = 29,
  OPT_COMPRESS = 30,
  OPT_LOAD = 31,
  OPT_READ = 32,
  OPT_START = 33,
  OPT_SINCE = 34,
  OPT_XSM = 35,
  OPT_SPARSE = 36,
  OPT_LPORT = 37,
  OPT_OBJNAME = 38,
  OPT_MIRROR = 39,
};

inline constexpr int kOptTabRows = 26;
extern const CliKeyword optTab[kOptTabRows];

// Usable characters of the record's text fields (each has one more byte).
inline constexpr std::size_t kOptAppTypeMax = 80;
inline constexpr std::size_t kOptAppNameMax = 80;
inline constexpr std::size_t kOptSetNameMax = 1023;
inline constexpr std::size_t kOptDbgPostfixMax = 1023;
inline constexpr std::size_t kOptDbgRangesMax = 255;
inline constexpr std::size_t kOptDbgSelectMax = 255;
inline constexpr std::size_t kOptHostMax = 64;
inline constexpr std::size_t kOptSessIdMax = 16;
inline constexpr std::size_t kOptLongObjNameMax = 1184;
// Longest VEKOPTS word.
inline constexpr std::size_t kOptWordMax = 1023;
// Words the mirror option takes.
inline constexpr int kOptMirrorWords = 5;

// A text the record keeps a copy of, or none. It reads as the C text it
// holds (null for none), so it is passed where a `const char*` is taken.
class OptText {
 public:
  OptText& operator=(const char* text) {
    has_ = text != nullptr;
    text_ = has_ ? text : "";
    return *this;
  }
  operator const char*() const { return has_ ? text_.c_str() : nullptr; }

 private:
  std::string text_;
  bool has_ = false;
};

// Options of one VEKOPTS text or one MSG_CONNECT. Zero it before the first
// parse (IntegOptions opts{}) and release it with OptFreeOpts, or let an
// OptHolder own it.
struct IntegOptions {
  char appType[kOptAppTypeMax + 1];
  char appName[kOptAppNameMax + 1];
  char setName[kOptSetNameMax + 1];
  OptText output;    // a copy of the option's word, so it outlives the words
  char* dbgPostfix;  // owned (safe_malloc), or null
  char dbgRanges[kOptDbgRangesMax + 1];
  char dbgSelect[kOptDbgSelectMax + 1];
  int reportLevel;
  int xsm;
  int maPort;
  char maHost[kOptHostMax + 1];
  int daId;
  char sessId[kOptSessIdMax + 1];
  int log;
  int protType;
  int protValue;
  int accsType;
  int accsValue;
  int profile;
  int encode;
  int encrAlgo;  // 0 none, 3 aes256 (GetEncryptOption)
  int compress;
  double netLoad;
  int objStartTime;
  int objSinceTime;
  int sparse;
  char longObjName[kOptLongObjNameMax + 1];
  CmnVec mirror;  // texts, kOptMirrorWords per mirror
};

// Frees the debug postfix and the mirror list; the record is zeroed.
void OptFreeOpts(IntegOptions* opts);

// Parsed options that are released (OptFreeOpts) when the holder goes, on
// every return path of the one who parsed them.
class OptHolder {
 public:
  OptHolder() = default;
  OptHolder(const OptHolder&) = delete;
  OptHolder& operator=(const OptHolder&) = delete;
  ~OptHolder() { OptFreeOpts(&opts_); }
  IntegOptions* get() { return &opts_; }
  IntegOptions* operator->() { return &opts_; }

 private:
  IntegOptions opts_{};
};

// Splits a VEKOPTS text into words appended to `list`: blanks separate;
// a word beginning with "#" comments out the rest of its line; a word
// beginning with a double or single quote runs to the next quote of either
// kind, a newline or the end, with backslash escapes (a backslash before a
// quote or a newline is dropped, any other is kept). A word holds at most
// kOptWordMax characters: a longer unquoted word goes on as the next word, a
// longer quoted one is cut. Returns the number of words added, or -1 for a
// null text or when memory ran out.
int ArgvReadEnv(ArgvVec* list, const char* text);

// Applies `count` words to `opts`. Never fails: unknown, ambiguous and
// misplaced words are traced and skipped. The options server, daid/id and
// lport act on the process at once (VEK_Global's cell-manager host, the data
// path's reconnect id, host and port).
void OptParseOpts(int count, char** words, IntegOptions* opts);
// ArgvReadEnv of `text` (null: nothing), then OptParseOpts. The words are
// released before return; the record keeps copies of what it took.
void OptParseEnvOpts(const char* text, IntegOptions* opts);
// Every remaining item of the message being parsed (null: the process-wide
// buffer) is one word; then OptParseOpts.
void OptParseMsgOpts(StrMsg* msg, IntegOptions* opts);
