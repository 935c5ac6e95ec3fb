// Debug options: splitting a debug options text into its words, parsing the
// ranges word and deciding whether this process is selected for tracing.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "cmn/dbgimpl.h"
#include "cmn/str.h"
#include "cmn/tok.h"

TARN_RCSID("lib/cmn/dbgranges.cpp");

namespace {

constexpr int64_t kDefaultCircularKb = 1024;
constexpr int64_t kMinCircularBytes = 4096;

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '\n' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A decimal number at `p` (optional sign), clamped to the int range.
// Advances `p` past it; false when there are no digits.
bool TakeNumber(std::string_view token, size_t& p, long long& value) {
  size_t q = p;
  bool negative = false;
  if (q < token.size() && (token[q] == '-' || token[q] == '+')) {
    negative = token[q] == '-';
    ++q;
  }
  if (q >= token.size() || !IsDigit(token[q])) return false;
  long long n = 0;
  for (; q < token.size() && IsDigit(token[q]); ++q) {
    if (n < LLONG_MAX / 10) n = n * 10 + (token[q] - '0');
  }
  value = negative ? -n : n;
  p = q;
  return true;
}

int ClampInt(long long n) {
  return static_cast<int>(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

void CopyWord(char (&dst)[kDbgWordMax], std::string_view src) {
  const size_t n = std::min(src.size(), sizeof dst - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

bool IsLetter(char c, char upper) {
  return c == upper || c == upper - 'A' + 'a';
}

// True when `rest` starts with the T or U keyword ("T:", "U" alone or "U:").
bool StartsWithTimeOrUnused(std::string_view rest) {
  if (rest.size() >= 2 && IsLetter(rest[0], 'T') && rest[1] == ':') return true;
  return !rest.empty() && IsLetter(rest[0], 'U') && (rest.size() == 1 || rest[1] == ':');
}

// The keywords of a token that is no number. ID: and SESSION: take the rest of
// the token as their value, so a value that happens to begin with C, T or U
// switches nothing on. C, T and U match only as "C", "C:<n>", "T:<n>", "U" or
// "U:<n>", each followed by the end of the token or by the next keyword.
void ParseKeywords(std::string_view token, DbgRangeSpec* spec) {
  size_t p = 0;
  auto rest = [&] { return token.substr(p); };
  if (StartsWithNoCase(rest(), "ID:")) {
    p += 3;
    if (p < token.size()) {
      CopyWord(spec->debugId, rest());
      spec->hasId = true;
    }
    p = token.size();
  }
  if (StartsWithNoCase(rest(), "SESSION:")) {
    p += 8;
    if (p < token.size()) {
      CopyWord(spec->sessionId, rest());
      std::replace(std::begin(spec->sessionId), std::end(spec->sessionId), '/', '-');
      spec->hasSession = true;
    }
    p = token.size();
  }
  if (p < token.size() && IsLetter(token[p], 'C') &&
      (p + 1 == token.size() || token[p + 1] == ':' ||
       StartsWithTimeOrUnused(token.substr(p + 1)))) {
    ++p;
    long long kb = kDefaultCircularKb;
    if (p < token.size() && token[p] == ':') {
      ++p;  // the colon
      long long n = 0;
      if (TakeNumber(token, p, n)) kb = n;
    }
    if (kb <= 0) {
      spec->circularLimit = 0;
    } else {
      const int64_t bytes = kb > INT64_MAX / 1024 ? INT64_MAX : static_cast<int64_t>(kb) * 1024;
      spec->circularLimit = std::max(bytes, kMinCircularBytes);
    }
  }
  if (p + 1 < token.size() && IsLetter(token[p], 'T') && token[p + 1] == ':') {
    p += 2;
    long long n = 0;
    if (TakeNumber(token, p, n) && (n == 0 || n == 1 || n == 1000))
      spec->timeMode = static_cast<int>(n);
  }
  if (p < token.size() && IsLetter(token[p], 'U') &&
      (p + 1 == token.size() || token[p + 1] == ':')) {
    ++p;
    if (p < token.size()) {
      ++p;
      long long ignored = 0;
      TakeNumber(token, p, ignored);
    }
  }
}

// A number item: "n" or "a-b". Returns true when a range was added.
bool ParseNumber(std::string_view token, DbgRangeSpec* spec) {
  size_t p = 0;
  long long a = 0;
  if (!TakeNumber(token, p, a)) return false;
  long long b = 0;
  size_t q = p + 1;
  const bool isRange = p < token.size() && token[p] == '-' && TakeNumber(token, q, b);
  if (!isRange) {
    if (a == 0) spec->options |= kDbgOptNoPrefix;
    if (a < 1) return false;
    spec->ranges[spec->rangeCount++] = {ClampInt(a), ClampInt(a)};
    return true;
  }
  if (a == 0) spec->options |= kDbgOptNoPrefix;
  spec->ranges[spec->rangeCount++] = {a <= 0 ? 0 : ClampInt(a), ClampInt(b)};
  return true;
}

bool IsNumberToken(std::string_view token) {
  return !token.empty() &&
         (IsDigit(token[0]) ||
          (token.size() > 1 && (token[0] == '-' || token[0] == '+') && IsDigit(token[1])));
}

// Calls `visit` for each blank, tab or comma separated word of `text`;
// stops when it returns false.
template <typename Visit>
void ForEachWord(const char* text, Visit visit) {
  if (text == nullptr) return;
  const char* p = text;
  while (*p != '\0') {
    while (*p != '\0' && IsSeparator(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsSeparator(*p)) ++p;
    if (p > start && !visit(std::string_view(start, static_cast<size_t>(p - start)))) return;
  }
}

}  // namespace

void DbgParseRanges(const char* text, DbgRangeSpec* spec) {
  *spec = DbgRangeSpec{};
  spec->timeMode = 1;
  ForEachWord(text, [spec](std::string_view token) {
    if (IsNumberToken(token)) {
      ParseNumber(token, spec);
    } else {
      ParseKeywords(token, spec);
    }
    return spec->rangeCount < kDbgMaxRanges;
  });
}

int DbgInitializeRanges(DbgStreamRecord* record, const char* text) {
  // `text` may be the record's own ranges text.
  char given[kDbgTextMax];
  std::snprintf(given, sizeof given, "%s", text != nullptr ? text : "");

  DbgRangeSpec spec;
  DbgParseRanges(given, &spec);
  record->options = spec.options;
  record->noPrefix = (spec.options & kDbgOptNoPrefix) != 0 ? 1 : 0;
  record->timeMode = spec.timeMode;
  record->circularLimit = spec.circularLimit;
  for (int i = 0; i < kDbgMaxRanges; ++i) {
    record->ranges[i] = i < spec.rangeCount ? spec.ranges[i] : DbgRange{-1, -1};
  }
  if (spec.hasSession) std::memcpy(record->sessionId, spec.sessionId, sizeof record->sessionId);
  if (spec.hasId) {
    std::memcpy(record->debugId, spec.debugId, sizeof record->debugId);
    std::snprintf(record->rangesText, sizeof record->rangesText, "%s", given);
  } else {
    std::snprintf(record->debugId, sizeof record->debugId, "%d", static_cast<int>(getpid()));
    // A ranges word that fills the text leaves no room for the id: it is cut.
    const int n = std::snprintf(record->rangesText, sizeof record->rangesText, "%s,ID:%s", given,
                                record->debugId);
    if (n < 0) record->rangesText[0] = '\0';
  }
  return spec.rangeCount;
}

bool DbgSelected(const char* select, const char* program, const char* host) {
  if (select == nullptr || select[0] == '\0') return true;
  const std::string_view prog = program != nullptr ? program : "";
  bool selected = false;
  ForEachWord(select, [&](std::string_view word) {
    char name[kDbgWordMax];
    CopyWord(name, word);
    char* at = std::strchr(name, '@');
    if (word == prog || HostStrCmp(name, host) == 0) {
      selected = true;
    } else if (at != nullptr) {
      *at = '\0';
      selected = std::string_view(name) == prog && HostStrCmp(at + 1, host) == 0;
    }
    return !selected;
  });
  return selected;
}

int DbgParseStr(const char* text, char* ranges, char* postfix, char* select) {
  if (ranges != nullptr) ranges[0] = '\0';
  if (postfix != nullptr) postfix[0] = '\0';
  if (select != nullptr) select[0] = '\0';
  if (text == nullptr) return 0;

  // The tokenizer cuts words in place; work on a bounded copy.
  char copy[4 * kDbgTextMax];
  std::snprintf(copy, sizeof copy, "%s", text);

  char* words[4] = {};
  int count = 0;
  int firstQuote = 0;
  tok_t tok;
  tok_init(&tok, copy);
  while (count < 4) {
    char* word = tok_getex(&tok, 0);
    if (word == nullptr) break;
    if (count == 0) firstQuote = tok.quote;
    words[count++] = word;
  }
  // A single quoted word holds the whole options text.
  char inner[4 * kDbgTextMax];
  if (count == 1 && firstQuote != 0) {
    std::snprintf(inner, sizeof inner, "%s", words[0]);
    count = 0;
    tok_init(&tok, inner);
    while (count < 4) {
      char* word = tok_getex(&tok, 0);
      if (word == nullptr) break;
      words[count++] = word;
    }
  }

  int first = 0;
  if (count > 0 && strcasecmp(words[0], "-debug") == 0) first = 1;
  char* const outputs[3] = {ranges, postfix, select};
  const size_t sizes[3] = {kDbgTextMax, kDbgWordMax, kDbgWordMax};
  int filled = 0;
  for (int i = 0; i < 3; ++i) {
    const int w = first + i;
    if (w >= count || outputs[i] == nullptr) continue;
    std::snprintf(outputs[i], sizes[i], "%s", words[w]);
    ++filled;
  }
  return filled;
}
