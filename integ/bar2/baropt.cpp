// Integration options: the keyword table, the VEKOPTS splitter and the
// parser that fills the option record from a word list.
#include "bar2/baropt.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barprofmsg.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"

TARN_RCSID("integ/bar2/baropt.cpp");

const CliKeyword optTab[kOptTabRows] = {
    {OPT_XSM, "xsm", kCliKwNegatable},
    {OPT_SERVER, "server", 0},
    {OPT_APPTYPE, "appt[ype", 0},
    {OPT_APPNAME, "appn[ame", 0},
    {OPT_SETNAME, "set[name", 0},
    {OPT_OUTPUT, "out[put", 0},
    {OPT_DEBUG, "debug", kCliKwNegatable},
    {OPT_REPORT, "report", 0},
    {OPT_MA, "ma", 0},
    {OPT_DAID, "daid", 0},
    {OPT_DAID, "id", 0},
    {OPT_SESSION, "sess[ion", 0},
    {OPT_LOG, "log", kCliKwNegatable},
    {OPT_ACCESS, "access", 0},
    {OPT_PROTECTION, "protect[ion", 0},
    {OPT_PROFILE, "prof[ile", kCliKwNegatable},
    {OPT_ENCODE, "encode", kCliKwNegatable},
    {OPT_COMPRESS, "compress", kCliKwNegatable},
    {OPT_LOAD, "load", 0},
    {OPT_READ, "read", 0},
    {OPT_START, "start", 0},
    {OPT_SINCE, "since", 0},
    {OPT_SPARSE, "sparse", kCliKwNegatable},
    {OPT_LPORT, "lport", 0},
    {OPT_OBJNAME, "objname", 0},
    {OPT_MIRROR, "mirror", 0},
};

namespace {

constexpr int kLevelValue = 101;
constexpr int kLevelInvalid = 1;
constexpr int kArgvRoom = 20;

// Copies into a field of the record, cut to its width.
template <std::size_t N>
void CopyText(char (&dst)[N], const char* src) {
  StrSafeCopyA(dst, src, N - 1);
}

// Leading decimal number of `text`, saturated to the int range; 0 when there
// is none.
int ParseInt(const char* text) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text) return 0;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double ParseDouble(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return end == text ? 0.0 : value;
}

// Walks the word list; an argument is a next word that is not an option.
class Words {
 public:
  Words(int count, char** words) : count_(count), words_(words) {}
  bool More() const { return pos_ < count_; }
  const char* Next() { return words_[pos_++]; }
  // The next word when it is an argument (consumed), else null.
  const char* Argument() {
    if (pos_ >= count_ || words_[pos_] == nullptr || words_[pos_][0] == '-') return nullptr;
    return words_[pos_++];
  }
  bool Arguments(int n) const {
    for (int i = 0; i < n; ++i) {
      const int at = pos_ + i;
      if (at >= count_ || words_[at] == nullptr || words_[at][0] == '-') return false;
    }
    return true;
  }
  bool Following(int n) const {
    if (count_ - pos_ < n) return false;
    for (int i = 0; i < n; ++i)
      if (words_[pos_ + i] == nullptr) return false;
    return true;
  }

 private:
  int count_;
  char** words_;
  int pos_ = 0;
};

// One option being applied: its words, its negation and the record.
struct Applying {
  const char* fn;
  int negated;
  Words& w;
  IntegOptions* opts;
};

// The next argument into a text field. True when there was one.
template <std::size_t N>
bool TakeText(Applying& a, char (&field)[N], const char* label) {
  const char* arg = a.w.Argument();
  if (arg == nullptr) return false;
  CopyText(field, arg);
  DbgPlain(kLevelValue, "[%s] %s: %s", a.fn, label, field);
  return true;
}

// The next argument into a number field. True when there was one.
bool TakeInt(Applying& a, int* field, const char* label) {
  const char* arg = a.w.Argument();
  if (arg == nullptr) return false;
  *field = ParseInt(arg);
  DbgPlain(kLevelValue, "[%s] %s: %d", a.fn, label, *field);
  return true;
}

// A switch: on unless negated.
void TakeFlag(Applying& a, int* field, const char* label) {
  *field = !a.negated;
  DbgPlain(kLevelValue, "[%s] %s: %d", a.fn, label, *field);
}

// The debug postfix, owned by the record. True when there was an argument.
bool TakePostfix(Applying& a) {
  const char* arg = a.w.Argument();
  if (arg == nullptr) return false;
  const std::size_t n = strnlen(arg, kOptDbgPostfixMax);
  char* copy = static_cast<char*>(safe_malloc(n + 1, TARN_HERE));
  if (copy != nullptr) {
    std::memcpy(copy, arg, n);
    copy[n] = '\0';
    safe_free(a.opts->dbgPostfix, TARN_HERE);
    a.opts->dbgPostfix = copy;
    DbgPlain(kLevelValue, "[%s] dbgSession: %s", a.fn, a.opts->dbgPostfix);
  }
  return true;
}

// What each option of optTab does with its words. An option takes the
// arguments it finds and stops at the first one missing.
struct OptionRule {
  OptCode code;
  void (*apply)(Applying& a);
};

constexpr OptionRule kOptionRules[] = {
    {OPT_XSM, [](Applying& a) { a.opts->xsm = !a.negated; }},
    {OPT_SERVER, [](Applying& a) { TakeText(a, VEK_Global.cmHost, "csHost"); }},
    {OPT_APPTYPE, [](Applying& a) { TakeText(a, a.opts->appType, "appType"); }},
    {OPT_APPNAME, [](Applying& a) { TakeText(a, a.opts->appName, "appName"); }},
    {OPT_SETNAME, [](Applying& a) { TakeText(a, a.opts->setName, "setName"); }},
    {OPT_OUTPUT,
     [](Applying& a) {
       if (const char* arg = a.w.Argument()) {
         a.opts->output = arg;
         DbgPlain(kLevelValue, "[%s] outFile: %s", a.fn, arg);
       }
     }},
    {OPT_DEBUG,
     [](Applying& a) {
       TakeText(a, a.opts->dbgRanges, "dbgRanges") && TakePostfix(a) &&
           TakeText(a, a.opts->dbgSelect, "dbgSelect");
     }},
    {OPT_REPORT, [](Applying& a) { TakeInt(a, &a.opts->reportLevel, "reportLevel"); }},
    {OPT_MA,
     [](Applying& a) {
       TakeText(a, a.opts->maHost, "maHost") && TakeInt(a, &a.opts->maPort, "maPort");
     }},
    {OPT_DAID,
     [](Applying& a) {
       TakeInt(a, &a.opts->daId, "daID (svID)");
       DaSetReconnectID(a.opts->daId);
     }},
    {OPT_SESSION, [](Applying& a) { TakeText(a, a.opts->sessId, "sessID"); }},
    {OPT_LOG, [](Applying& a) { TakeFlag(a, &a.opts->log, "log"); }},
    {OPT_ACCESS,
     [](Applying& a) {
       TakeInt(a, &a.opts->accsType, "accsType") && TakeInt(a, &a.opts->accsValue, "accsValue");
     }},
    {OPT_PROTECTION,
     [](Applying& a) {
       TakeInt(a, &a.opts->protType, "protType") && TakeInt(a, &a.opts->protValue, "protValue");
     }},
    {OPT_PROFILE, [](Applying& a) { TakeFlag(a, &a.opts->profile, "profile"); }},
    {OPT_ENCODE,
     [](Applying& a) {
       // A negated form with an algorithm still switches encryption off; its
       // argument is consumed so that it is not read as a stray word.
       IntegOptions* opts = a.opts;
       if (const char* arg = a.w.Argument()) {
         opts->encrAlgo = a.negated ? 0 : GetEncryptOption(arg);
         opts->encode = 0;
       } else {
         opts->encode = !a.negated;
         opts->encrAlgo = 0;
       }
       DbgPlain(kLevelValue, "[%s] encrypt:%d encode:%d", a.fn, opts->encrAlgo, opts->encode);
     }},
    {OPT_COMPRESS, [](Applying& a) { TakeFlag(a, &a.opts->compress, "compress"); }},
    {OPT_LOAD,
     [](Applying& a) {
       if (const char* arg = a.w.Argument()) {
         a.opts->netLoad = ParseDouble(arg);
         DbgPlain(kLevelValue, "[%s] netLoad: %f", a.fn, a.opts->netLoad);
       }
     }},
    {OPT_READ,
     [](Applying& a) {
       DbgPlain(kLevelValue, "[%s] Skipping OPT_READ", a.fn);
       while (a.w.Argument() != nullptr) {
       }
     }},
    {OPT_START, [](Applying& a) { TakeInt(a, &a.opts->objStartTime, "objStartTime"); }},
    {OPT_SINCE, [](Applying& a) { TakeInt(a, &a.opts->objSinceTime, "objSinceTime"); }},
    {OPT_SPARSE, [](Applying& a) { TakeFlag(a, &a.opts->sparse, "sparse"); }},
    {OPT_LPORT,
     [](Applying& a) {
       if (a.w.Arguments(2)) {
         DaSetReconnectHost(a.w.Argument());
         DaSetReconnectPort(ParseInt(a.w.Argument()));
         DbgPlain(kLevelValue, "[%s] smReconnectHost: %s; port: %d", a.fn, DaGetReconnectHost(),
                  DaGetReconnectPort());
       } else {
         ErhFullReportPacked(a.fn, kErhNormal,
                             NlsPackMessage(kBarOptMsgSet, kBarOptMsgNeedsHostPort, "lport"));
       }
     }},
    {OPT_OBJNAME, [](Applying& a) { TakeText(a, a.opts->longObjName, "longObjName"); }},
    {OPT_MIRROR,
     [](Applying& a) {
       if (!a.w.Following(kOptMirrorWords)) return;
       for (int i = 0; i < kOptMirrorWords; ++i) {
         const char* arg = a.w.Next();
         IVecAddStr(&a.opts->mirror, arg);
         DbgPlain(kLevelValue, "[%s] mirror: %s", a.fn, arg);
       }
     }},
};

void ApplyOption(const char* fn, int code, int negated, Words& w, IntegOptions* opts) {
  Applying a{fn, negated, w, opts};
  for (const OptionRule& rule : kOptionRules) {
    if (rule.code == code) {
      rule.apply(a);
      return;
    }
  }
}

}  // namespace

void OptFreeOpts(IntegOptions* opts) {
  if (opts == nullptr) return;
  safe_free(opts->dbgPostfix, TARN_HERE);
  IVecFree(&opts->mirror);
  *opts = IntegOptions{};
}

int ArgvReadEnv(ArgvVec* list, const char* text) {
  ErhAssert("ArgvRead", text != nullptr);
  if (list == nullptr || text == nullptr) return -1;
  int added = 0;
  std::string word;
  word.reserve(kOptWordMax);
  const char* p = text;
  auto add = [&]() -> bool {
    if (word.empty()) return true;
    if (ArgvAdd(list, word.c_str()) != 0) return false;
    DbgPlain(kDbgParse, "\t%s", word.c_str());
    ++added;
    word.clear();
    return true;
  };
  while (*p != '\0') {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') break;
    if (*p == '#') {
      while (*p != '\0' && *p != '\n') ++p;
      continue;
    }
    if (*p == '"' || *p == '\'') {
      ++p;
      // Characters past the limit are dropped: a quoted word never turns
      // into a second word, which might read as an option of its own.
      while (*p != '\0' && *p != '"' && *p != '\'' && *p != '\n') {
        char c = *p++;
        if (c == '\\' && *p != '\0') {
          const char next = *p;
          if (next != '\n' && next != '"' && next != '\'' && word.size() < kOptWordMax)
            word.push_back('\\');
          c = *p++;
        }
        if (word.size() < kOptWordMax) word.push_back(c);
      }
      if (*p == '"' || *p == '\'') ++p;
      if (!add()) return -1;
      continue;
    }
    while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) {
      word.push_back(*p++);
      if (word.size() == kOptWordMax && !add()) return -1;
    }
    if (!add()) return -1;
  }
  return added;
}

void OptParseOpts(int count, char** words, IntegOptions* opts) {
  static const char fn[] = "OptParseOpts";
  if (opts == nullptr || words == nullptr || count <= 0) return;
  Words w(count, words);
  while (w.More()) {
    const char* word = w.Next();
    if (word == nullptr) continue;
    if (word[0] != '-') {
      DbgPlain(kDbgParse, "[%s] Skipped '%s'", fn, word);
      continue;
    }
    DbgPlain(kDbgParse, "[%s] Option '%s'.", fn, word);
    int negated = 0;
    const int code = CliKwLookup(word + 1, optTab, kOptTabRows, &negated);
    if (code < 0) {
      DbgPlain(kLevelInvalid, "[%s] Invalid option '%s'. Ignoring", fn, word);
      continue;
    }
    ApplyOption(fn, code, negated, w, opts);
  }
}

void OptParseEnvOpts(const char* text, IntegOptions* opts) {
  if (text == nullptr || opts == nullptr) return;
  ArgvVec list{};
  if (ArgvInit(&list, kArgvRoom) != 0) return;
  if (ArgvReadEnv(&list, text) >= 0) OptParseOpts(list.count, list.items, opts);
  ArgvFree(&list);
  opts->output = nullptr;
}

void OptParseMsgOpts(StrMsg* msg, IntegOptions* opts) {
  if (opts == nullptr) return;
  if (msg == nullptr) msg = StrMsgGetGlobal();
  if (msg == nullptr) return;
  std::vector<char*> words;
  for (char* item = StrParseNextL(msg); item != nullptr; item = StrParseNextL(msg)) {
    DbgPlain(kLevelValue, "\t%s", item);
    words.push_back(item);
  }
  OptParseOpts(static_cast<int>(words.size()), words.data(), opts);
}
