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
constexpr int kSetOptions = 81;
constexpr int kMsgNeedsHostPort = 1;
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

void ApplyOption(const char* fn, int code, int negated, Words& w, IntegOptions* opts) {
  const char* arg = nullptr;
  switch (code) {
    case OPT_XSM: opts->xsm = !negated; break;
    case OPT_SERVER:
      if ((arg = w.Argument()) != nullptr) {
        CopyText(VEK_Global.cmHost, arg);
        DbgPlain(kLevelValue, "[%s] csHost: %s", fn, VEK_Global.cmHost);
      }
      break;
    case OPT_APPTYPE:
      if ((arg = w.Argument()) != nullptr) {
        CopyText(opts->appType, arg);
        DbgPlain(kLevelValue, "[%s] appType: %s", fn, opts->appType);
      }
      break;
    case OPT_APPNAME:
      if ((arg = w.Argument()) != nullptr) {
        CopyText(opts->appName, arg);
        DbgPlain(kLevelValue, "[%s] appName: %s", fn, opts->appName);
      }
      break;
    case OPT_SETNAME:
      if ((arg = w.Argument()) != nullptr) {
        CopyText(opts->setName, arg);
        DbgPlain(kLevelValue, "[%s] setName: %s", fn, opts->setName);
      }
      break;
    case OPT_OUTPUT:
      if ((arg = w.Argument()) != nullptr) {
        opts->output = arg;
        DbgPlain(kLevelValue, "[%s] outFile: %s", fn, opts->output);
      }
      break;
    case OPT_DEBUG:
      if ((arg = w.Argument()) == nullptr) break;
      CopyText(opts->dbgRanges, arg);
      DbgPlain(kLevelValue, "[%s] dbgRanges: %s", fn, opts->dbgRanges);
      if ((arg = w.Argument()) == nullptr) break;
      {
        const std::size_t n = strnlen(arg, kOptDbgPostfixMax);
        char* copy = static_cast<char*>(safe_malloc(n + 1, TARN_HERE));
        if (copy != nullptr) {
          std::memcpy(copy, arg, n);
          copy[n] = '\0';
          safe_free(opts->dbgPostfix, TARN_HERE);
          opts->dbgPostfix = copy;
          DbgPlain(kLevelValue, "[%s] dbgSession: %s", fn, opts->dbgPostfix);
        }
      }
      if ((arg = w.Argument()) == nullptr) break;
      CopyText(opts->dbgSelect, arg);
      DbgPlain(kLevelValue, "[%s] dbgSelect: %s", fn, opts->dbgSelect);
      break;
    case OPT_REPORT:
      if ((arg = w.Argument()) != nullptr) {
        opts->reportLevel = ParseInt(arg);
        DbgPlain(kLevelValue, "[%s] reportLevel: %d", fn, opts->reportLevel);
      }
      break;
    case OPT_MA:
      if ((arg = w.Argument()) == nullptr) break;
      CopyText(opts->maHost, arg);
      DbgPlain(kLevelValue, "[%s] maHost: %s", fn, opts->maHost);
      if ((arg = w.Argument()) == nullptr) break;
      opts->maPort = ParseInt(arg);
      DbgPlain(kLevelValue, "[%s] maPort: %d", fn, opts->maPort);
      break;
    case OPT_DAID:
      if ((arg = w.Argument()) != nullptr) {
        opts->daId = ParseInt(arg);
        DbgPlain(kLevelValue, "[%s] daID (svID): %d", fn, opts->daId);
      }
      DaSetReconnectID(opts->daId);
      break;
    case OPT_SESSION:
      if ((arg = w.Argument()) != nullptr) {
        CopyText(opts->sessId, arg);
        DbgPlain(kLevelValue, "[%s] sessID: %s", fn, opts->sessId);
      }
      break;
    case OPT_LOG:
      opts->log = !negated;
      DbgPlain(kLevelValue, "[%s] log: %d", fn, opts->log);
      break;
    case OPT_ACCESS:
      if ((arg = w.Argument()) == nullptr) break;
      opts->accsType = ParseInt(arg);
      DbgPlain(kLevelValue, "[%s] accsType: %d", fn, opts->accsType);
      if ((arg = w.Argument()) == nullptr) break;
      opts->accsValue = ParseInt(arg);
      DbgPlain(kLevelValue, "[%s] accsValue: %d", fn, opts->accsValue);
      break;
    case OPT_PROTECTION:
      if ((arg = w.Argument()) == nullptr) break;
      opts->protType = ParseInt(arg);
      DbgPlain(kLevelValue, "[%s] protType: %d", fn, opts->protType);
      if ((arg = w.Argument()) == nullptr) break;
      opts->protValue = ParseInt(arg);
      DbgPlain(kLevelValue, "[%s] protValue: %d", fn, opts->protValue);
      break;
    case OPT_PROFILE:
      opts->profile = !negated;
      DbgPlain(kLevelValue, "[%s] profile: %d", fn, opts->profile);
      break;
    case OPT_ENCODE:
      // A negated form with an algorithm still switches encryption off; its
      // argument is consumed so that it is not read as a stray word.
      if ((arg = w.Argument()) != nullptr) {
        opts->encrAlgo = negated ? 0 : GetEncryptOption(arg);
        opts->encode = 0;
      } else {
        opts->encode = !negated;
        opts->encrAlgo = 0;
      }
      DbgPlain(kLevelValue, "[%s] encrypt:%d encode:%d", fn, opts->encrAlgo, opts->encode);
      break;
    case OPT_COMPRESS:
      opts->compress = !negated;
      DbgPlain(kLevelValue, "[%s] compress: %d", fn, opts->compress);
      break;
    case OPT_LOAD:
      if ((arg = w.Argument()) != nullptr) {
        opts->netLoad = ParseDouble(arg);
        DbgPlain(kLevelValue, "[%s] netLoad: %f", fn, opts->netLoad);
      }
      break;
    case OPT_READ:
      DbgPlain(kLevelValue, "[%s] Skipping OPT_READ", fn);
      while (w.Argument() != nullptr) {
      }
      break;
    case OPT_START:
      if ((arg = w.Argument()) != nullptr) {
        opts->objStartTime = ParseInt(arg);
        DbgPlain(kLevelValue, "[%s] objStartTime: %d", fn, opts->objStartTime);
      }
      break;
    case OPT_SINCE:
      if ((arg = w.Argument()) != nullptr) {
        opts->objSinceTime = ParseInt(arg);
        DbgPlain(kLevelValue, "[%s] objSinceTime: %d", fn, opts->objSinceTime);
      }
      break;
    case OPT_SPARSE:
      opts->sparse = !negated;
      DbgPlain(kLevelValue, "[%s] sparse: %d", fn, opts->sparse);
      break;
    case OPT_LPORT:
      if (w.Arguments(2)) {
        DaSetReconnectHost(w.Argument());
        DaSetReconnectPort(ParseInt(w.Argument()));
        DbgPlain(kLevelValue, "[%s] smReconnectHost: %s; port: %d", fn, DaGetReconnectHost(),
                 DaGetReconnectPort());
      } else {
        ErhFullReportPacked(fn, kErhNormal,
                            NlsPackMessage(kSetOptions, kMsgNeedsHostPort, "lport"));
      }
      break;
    case OPT_OBJNAME:
      if ((arg = w.Argument()) != nullptr) {
        CopyText(opts->longObjName, arg);
        DbgPlain(kLevelValue, "[%s] longObjName: %s", fn, opts->longObjName);
      }
      break;
    case OPT_MIRROR:
      if (w.Following(kOptMirrorWords)) {
        for (int i = 0; i < kOptMirrorWords; ++i) {
          arg = w.Next();
          IVecAddStr(&opts->mirror, arg);
          DbgPlain(kLevelValue, "[%s] mirror: %s", fn, arg);
        }
      }
      break;
    default: break;
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
