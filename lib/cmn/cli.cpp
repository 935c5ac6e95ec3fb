// Keyword tables with abbreviations and "no_" negation, options in argument
// vectors, error output, the manager-of-managers host file and protection texts.
#include "cmn/cli.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/cli.cpp");

const char cmnEmptyString[] = "";

int CliKwMatch(const char* input, const char* pattern) {
  if (input == nullptr || pattern == nullptr) return 0;
  const char* s = input;
  const char* p = pattern;
  bool required = false;  // the part before "[" has been typed
  while (*s != '\0') {
    if (*p == '[') {
      required = true;
      ++p;
    }
    if (*p == '\0') return 0;
    const char c = *s;
    const bool same = c == *p || (std::isupper(static_cast<unsigned char>(c)) &&
                                  std::tolower(static_cast<unsigned char>(c)) == *p);
    if (!same) return 0;
    ++s;
    ++p;
    if (c == ':') break;
  }
  if (*p == '[') {
    required = true;
    ++p;
  }
  return *p == '\0' || required ? 1 : 0;
}

int CliKwLookup(const char* word, const CliKeyword* table, int rows, int* negation) {
  bool negated = false;
  if (word != nullptr && (word[0] == 'n' || word[0] == 'N') && (word[1] == 'o' || word[1] == 'O') &&
      word[2] == '_' && word[3] != '\0') {
    word += 3;
    negated = true;
  }
  if (negation != nullptr) *negation = negated ? 1 : 0;
  if (word == nullptr || table == nullptr) return kCliKwNone;
  int found = kCliKwNone;
  for (int i = 0; i < rows; ++i) {
    if (negated && (table[i].flags & kCliKwNegatable) == 0) continue;
    if (!CliKwMatch(word, table[i].pattern)) continue;
    if (found != kCliKwNone) return kCliKwAmbiguous;
    found = table[i].id;
  }
  return found;
}

int CliFindID(int argc, const char* const* argv, const CliKeyword* table, int rows, int id,
              int* negation) {
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    if (argv[i] == nullptr || argv[i][0] != '-') continue;
    int negated = 0;
    if (CliKwLookup(argv[i] + 1, table, rows, &negated) == id) {
      if (negation != nullptr) *negation = negated;
      return i;
    }
  }
  return -1;
}

void CliErhReport(const char* text) {
  const char* shown = text;
  if (shown == nullptr || shown[0] == '\0') {
    // The error text may be longer than a report line may be.
    std::string current(ErhErrnoToText());
    if (current.size() > static_cast<size_t>(kNlsMaxText)) current.resize(kNlsMaxText);
    std::fprintf(stderr, "%s\n", current.c_str());
  } else {
    std::fprintf(stderr, "%s\n", shown);
  }
  std::fflush(stderr);
}

int CliReadMCMHost(char** host) {
  static const char kFn[] = "CliReadMCMHost";
  if (host != nullptr) *host = nullptr;
  const std::string path = std::string(cmnFenConfig) + "/cell/mom_server";
  VEK_Stat status;
  const bool missing = VEK_StatFile(path.c_str(), &status) == -1;
  char* content = CmnGetFile(path.c_str(), nullptr);
  if (content == nullptr) {
    if (!missing)
      DbgPlain(kDbgUnexpected, "[%s] CmnGetAsciiFile() failed - errcode=%d [file=%s]", kFn, errno,
               path.c_str());
    ErhMark(ERH_CSA_READ, errno, kFn, kErhMajor);
    return -1;
  }
  char* name = StrCutSpacesInPlace(content);
  if (name[0] == '\0') {
    safe_free(content, TARN_HERE);
    ErhMark(ERH_NO_MCM_HOST, 0, kFn, kErhMajor);
    return -1;
  }
  const char* expanded = CmnExpandHostname(name);
  char* copy = StrNewCopy(expanded != nullptr ? expanded : name);
  safe_free(content, TARN_HERE);
  if (host != nullptr) {
    *host = copy;
  } else {
    safe_free(copy, TARN_HERE);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Protection texts.

namespace {

// Catalogue set 11 (literals): the protection texts.
constexpr int kProtNoneText = 7600;
constexpr int kProtPermanentText = 7601;
constexpr int kProtUntilText = 7602;
constexpr int kProtDaysText = 7603;
constexpr int kProtWeeksText = 7604;
constexpr int kProtOneDayText = 7605;
constexpr int kProtOneWeekText = 7606;

bool ValidProtection(int type, int value) {
  switch (type) {
    case kCliProtNone:
    case kCliProtPermanent: return true;
    case kCliProtUntil:
    case kCliProtDays:
    case kCliProtWeeks: return value > 0;
    default: return false;
  }
}

// Copies a whole `text` into buffer; a text that does not fit gives "" and null.
char* DeliverWhole(const char* text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return nullptr;
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  if (text == nullptr || length >= size) {
    buffer[0] = '\0';
    return nullptr;
  }
  std::memcpy(buffer, text, length + 1);
  return buffer;
}

}  // namespace

int InitCliConstructProtectionStruct(CliProtectionStruct* protection, int type, int value) {
  if (protection == nullptr) return -1;
  protection->type = kCliProtNone;
  protection->value = 0;
  if (!ValidProtection(type, value)) return -1;
  protection->type = type;
  protection->value = type == kCliProtNone || type == kCliProtPermanent ? 0 : value;
  return 0;
}

char* CliConstructProtectionStr(const CliProtectionStruct* protection, char* buffer, size_t size) {
  if (protection == nullptr || !ValidProtection(protection->type, protection->value)) {
    return DeliverWhole(nullptr, buffer, size);
  }
  const int value = protection->value;
  const char* text = nullptr;
  switch (protection->type) {
    case kCliProtNone: text = NlsGetMessage(kNlsSetLiteral, kProtNoneText); break;
    case kCliProtPermanent: text = NlsGetMessage(kNlsSetLiteral, kProtPermanentText); break;
    case kCliProtUntil:
      text = NlsGetMessage(kNlsSetLiteral, kProtUntilText, StrFromTime(value));
      break;
    case kCliProtDays:
      text = value == 1 ? NlsGetMessage(kNlsSetLiteral, kProtOneDayText, value)
                        : NlsGetMessage(kNlsSetLiteral, kProtDaysText, value);
      break;
    default:
      text = value == 1 ? NlsGetMessage(kNlsSetLiteral, kProtOneWeekText, value)
                        : NlsGetMessage(kNlsSetLiteral, kProtWeeksText, value);
      break;
  }
  return DeliverWhole(text, buffer, size);
}

char* CliConstructProtectionCatStr(const CliProtectionStruct* protection, char* buffer,
                                   size_t size) {
  if (protection == nullptr || !ValidProtection(protection->type, protection->value)) {
    return DeliverWhole(nullptr, buffer, size);
  }
  const int value = protection->value;
  const char* packed = nullptr;
  switch (protection->type) {
    case kCliProtNone: packed = NlsPackMessage(kNlsSetLiteral, kProtNoneText); break;
    case kCliProtPermanent: packed = NlsPackMessage(kNlsSetLiteral, kProtPermanentText); break;
    case kCliProtUntil:
      packed = NlsPackMessage(kNlsSetLiteral, kProtUntilText, NlsPackTime(value));
      break;
    case kCliProtDays:
      packed = value == 1 ? NlsPackMessage(kNlsSetLiteral, kProtOneDayText, value)
                          : NlsPackMessage(kNlsSetLiteral, kProtDaysText, value);
      break;
    default:
      packed = value == 1 ? NlsPackMessage(kNlsSetLiteral, kProtOneWeekText, value)
                          : NlsPackMessage(kNlsSetLiteral, kProtWeeksText, value);
      break;
  }
  return DeliverWhole(packed, buffer, size);
}
