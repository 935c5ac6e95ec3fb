// Strings: NULL-safe comparison and copying, trimming, tokenizing, argument
// splitting and host-name comparison.
#include "cmn/str.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"

TARN_RCSID("lib/cmn/str.cpp");

namespace {

const char* Safe(const char* s) {
  return s != nullptr ? s : "";
}

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Heap copy of n bytes of s plus a terminator.
char* HeapCopy(const char* s, size_t n) {
  char* copy = static_cast<char*>(safe_malloc(n + 1, TARN_HERE));
  if (copy == nullptr) return nullptr;
  if (n > 0) std::memcpy(copy, s, n);
  copy[n] = '\0';
  return copy;
}

}  // namespace

int StrCmpNSA(const char* a, const char* b) {
  return std::strcmp(Safe(a), Safe(b));
}
int StrICmpA(const char* a, const char* b) {
  return strcasecmp(Safe(a), Safe(b));
}
int StrNCmpA(const char* a, const char* b, size_t n) {
  return std::strncmp(Safe(a), Safe(b), n);
}
int StrNICmpA(const char* a, const char* b, size_t n) {
  return strncasecmp(Safe(a), Safe(b), n);
}

int HostToLower(char* dst, const char* src, size_t n) {
  if (dst == nullptr) return 0;
  const char* from = src != nullptr ? src : dst;
  size_t i = 0;
  for (; i < n && from[i] != '\0'; ++i) {
    const char c = from[i];
    dst[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const bool ended = from[i] == '\0';
  if (src != nullptr || ended) dst[i] = '\0';
  return ended ? static_cast<int>(i) : 0;
}

int HostStrCmp(const char* a, const char* b) {
  // -1 until read; the variable is read once per process.
  static int mode = -1;
  if (mode == -1) {
    int value = 2;
    EnvReadInt("VEK_HOSTCMPINSENSITIVE", &value);
    mode = value == -1 ? 2 : value;
  }
  a = Safe(a);
  b = Safe(b);
  if (mode == 0) return std::strcmp(a, b);
  if (mode == 1) return strcasecmp(a, b);
  constexpr size_t kHostMax = 64;
  char la[kHostMax + 1];
  char lb[kHostMax + 1];
  // An empty name, or one longer than a host name can be, compares unchanged.
  const char* ca = HostToLower(la, a, kHostMax) > 0 ? la : a;
  const char* cb = HostToLower(lb, b, kHostMax) > 0 ? lb : b;
  return std::strcmp(ca, cb);
}

int StrCmpCmdName(const char* path, const char* name) {
  const char* leaf = StrBasename(Safe(path));
  return strcasecmp(leaf, Safe(name)) == 0 ? 0 : -1;
}

size_t StrLen(const char* s) {
  return s != nullptr ? std::strlen(s) : 0;
}

char* StrCopy(char* dst, const char* src, size_t n) {
  if (dst == nullptr) return nullptr;
  const char* s = Safe(src);
  const size_t len = strnlen(s, n);
  std::memcpy(dst, s, len);
  dst[len] = '\0';
  return dst;
}

char* StrSafeCopyA(char* dst, const char* src, size_t n) {
  return StrCopy(dst, src, n);
}

char* StrNCopy(char* dst, const char* src, size_t n, size_t max) {
  return StrCopy(dst, src, std::min(n, max));
}

char* StrCpyNS(char* dst, const char* src) {
  if (dst == nullptr) return nullptr;
  return std::strcpy(dst, Safe(src));
}

char* StrCatNS(char* dst, const char* src, size_t n) {
  if (dst == nullptr) return nullptr;
  const size_t used = strnlen(dst, n);
  StrCopy(dst + used, src, n - used);
  dst[n] = '\0';
  return dst;
}

char* StrChrNS(const char* s, int c) {
  return s != nullptr ? const_cast<char*>(std::strchr(s, c)) : nullptr;
}

char* StrrChrNS(const char* s, int c) {
  return s != nullptr ? const_cast<char*>(std::strrchr(s, c)) : nullptr;
}

char* StrStrNS(const char* s, const char* find) {
  if (s == nullptr || find == nullptr) return nullptr;
  return const_cast<char*>(std::strstr(s, find));
}

char* StrTokNS(char* s, const char* delimiters) {
  static char* cursor = nullptr;
  if (delimiters == nullptr) return nullptr;
  if (s == nullptr && cursor == nullptr) return nullptr;
  char* token = StrTokR(s, delimiters, &cursor);
  // strtok never hands out an empty token.
  if (token != nullptr && *token == '\0') return nullptr;
  return token;
}

char* StrTokR(char* s, const char* delimiters, char** save) {
  if (delimiters == nullptr || save == nullptr) return nullptr;
  char* p = s != nullptr ? s : *save;
  if (p == nullptr) return nullptr;
  p += std::strspn(p, delimiters);
  char* end = p + std::strcspn(p, delimiters);
  if (*end != '\0') {
    *end = '\0';
    *save = end + 1;
  } else {
    *save = nullptr;
  }
  return p;
}

char* StrNewCopy(const char* s) {
  const char* t = Safe(s);
  return HeapCopy(t, std::strlen(t));
}

char* StrNewCopyA(const char* s) {
  return StrNewCopy(s);
}

char* StrNullCopyA(const char* s) {
  return s != nullptr ? StrNewCopy(s) : nullptr;
}

char* StrNNewCopy(const char* s, size_t n) {
  const char* t = Safe(s);
  return HeapCopy(t, strnlen(t, n));
}

int StrCatEx(char* buf, const char* src, int size, char** end) {
  if (buf == nullptr) {
    DbgPlain(kDbgUnexpected, "[StrCatEx] WARNING: got NULL pointer for destination!");
    DbgDumpStack(-2);
    return -1;
  }
  // The end is kept as an offset: once a text was cut it lies past the buffer.
  long offset = (end != nullptr && *end != nullptr)
                    ? static_cast<long>(*end - buf)
                    : static_cast<long>(strnlen(buf, size > 0 ? size : 0));
  const char* s = Safe(src);
  const size_t len = std::strlen(s);
  if (offset < size) {
    const size_t room = static_cast<size_t>(size - offset - 1);
    StrCopy(buf + offset, s, room);
  }
  offset += static_cast<long>(len);
  if (end != nullptr) *end = buf + offset;
  return static_cast<int>(size - offset);
}

char* StrAppendM(char* heap, const char* src) {
  const size_t old = StrLen(heap);
  const char* s = Safe(src);
  const size_t add = std::strlen(s);
  char* grown = static_cast<char*>(safe_realloc(heap, old + add + 1, TARN_HERE));
  if (grown == nullptr) return nullptr;
  std::memcpy(grown + old, s, add + 1);
  return grown;
}

char* StrReplaceA(char* s, int from, int to) {
  if (s == nullptr) return nullptr;
  for (char* p = s; *p != '\0'; ++p) {
    if (*p == static_cast<char>(from)) *p = static_cast<char>(to);
  }
  return s;
}

const char* StrTail(const char* s, size_t n) {
  if (s == nullptr) return nullptr;
  const size_t len = std::strlen(s);
  return len > n ? s + (len - n) : s;
}

const char* StrFromInt(int n) {
  static char area[21];
  std::snprintf(area, sizeof area, "%d", n);
  return area;
}

int CmnBufferRealloc(CmnBuffer* buf, size_t n) {
  if (buf == nullptr) return -1;
  if (n < buf->capacity) return 0;
  char* grown = static_cast<char*>(safe_realloc(buf->data, n + 1, TARN_HERE));
  if (grown == nullptr) return -1;
  std::memset(grown + buf->capacity, 0, n + 1 - buf->capacity);
  buf->data = grown;
  buf->capacity = n + 1;
  return 0;
}

void CmnBufferFree(CmnBuffer* buf) {
  if (buf == nullptr) return;
  if (buf->data != nullptr) safe_free(buf->data, TARN_HERE);
  buf->data = nullptr;
  buf->capacity = 0;
}

char* StrToUpper(char* s) {
  if (s == nullptr) return nullptr;
  for (char* p = s; *p != '\0'; ++p)
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return s;
}

char* StrToLower(char* s) {
  if (s == nullptr) return nullptr;
  for (char* p = s; *p != '\0'; ++p)
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return s;
}

char* StrSkipSpaces(const char* s) {
  if (s == nullptr) return nullptr;
  while (IsSpace(*s)) ++s;
  return const_cast<char*>(s);
}

char* StrCutNewLine(char* s) {
  if (s == nullptr) return nullptr;
  size_t len = std::strlen(s);
  while (len > 0 && (s[len - 1] == '\n' || s[len - 1] == '\r')) s[--len] = '\0';
  return s;
}

char* StrCutTrailingSpacesInPlace(char* s) {
  if (s == nullptr) return nullptr;
  size_t len = std::strlen(s);
  while (len > 0 && IsSpace(s[len - 1])) s[--len] = '\0';
  return s;
}

char* StrCutSpacesInPlace(char* s) {
  return StrSkipSpaces(StrCutTrailingSpacesInPlace(s));
}

namespace {

// Heap copy of [begin, end) or NULL when that range is empty.
char* CopyOrNull(const char* begin, const char* end) {
  return end > begin ? HeapCopy(begin, static_cast<size_t>(end - begin)) : nullptr;
}

const char* TrimmedEnd(const char* begin) {
  const char* end = begin + std::strlen(begin);
  while (end > begin && IsSpace(end[-1])) --end;
  return end;
}

}  // namespace

char* StrCutLeadingSpaces(const char* s) {
  if (s == nullptr) return nullptr;
  const char* begin = StrSkipSpaces(s);
  return CopyOrNull(begin, begin + std::strlen(begin));
}

char* StrCutTrailingSpaces(const char* s) {
  if (s == nullptr) return nullptr;
  return CopyOrNull(s, TrimmedEnd(s));
}

char* StrCutSpaces(const char* s) {
  if (s == nullptr) return nullptr;
  const char* begin = StrSkipSpaces(s);
  return CopyOrNull(begin, TrimmedEnd(begin));
}

char* StrTrimQuotes(const char* s) {
  if (s == nullptr) return nullptr;
  const size_t len = std::strlen(s);
  if (len >= 2 && (s[0] == '"' || s[0] == '\'') && s[len - 1] == s[0]) {
    return HeapCopy(s + 1, len - 2);
  }
  return HeapCopy(s, len);
}

char* StrDuplicateQuotes(const char* s, int q) {
  if (s == nullptr) return nullptr;
  const char quote = static_cast<char>(q);
  size_t len = 0;
  for (const char* p = s; *p != '\0'; ++p) len += (*p == quote) ? 2 : 1;
  char* copy = static_cast<char*>(safe_malloc(len + 1, TARN_HERE));
  if (copy == nullptr) return nullptr;
  char* out = copy;
  for (const char* p = s; *p != '\0'; ++p) {
    *out++ = *p;
    if (*p == quote) *out++ = quote;
  }
  *out = '\0';
  return copy;
}

// ---------------------------------------------------------------- arguments

namespace {

// Splits a command line into words (see StrToArgEx in the header).
std::vector<std::string> SplitWords(const char* line) {
  std::vector<std::string> words;
  const char* p = line;
  for (;;) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    std::string word;
    if (*p == '"' || *p == '\'') {
      const char quote = *p++;
      for (;;) {
        if (*p == '\0') break;  // an unclosed quote takes the rest of the line
        if (*p == quote) {
          if (p[1] == quote) {
            word.append(2, quote);
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        word.push_back(*p++);
      }
    } else {
      const char* start = p;
      while (*p != '\0' && *p != ' ') ++p;
      word.assign(start, p);
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

int StrToArgEx(const char* prog, const char* line, int* argc, char*** argv, int mode) {
  if (argc != nullptr) *argc = 0;
  if (argv != nullptr) *argv = nullptr;
  if (argc == nullptr || argv == nullptr) return -1;
  std::vector<std::string> words;
  if (mode != 1) words.emplace_back(Safe(prog));
  for (std::string& w : SplitWords(Safe(line))) words.push_back(std::move(w));

  const size_t n = words.size();
  char** vector = static_cast<char**>(safe_calloc(n + 1, sizeof(char*), TARN_HERE));
  if (vector == nullptr) return -1;
  for (size_t i = 0; i < n; ++i) {
    vector[i] = HeapCopy(words[i].data(), words[i].size());
    if (vector[i] == nullptr) {
      int count = static_cast<int>(i);
      FreeStrToArg(&count, &vector);
      return -1;
    }
  }
  *argc = static_cast<int>(n);
  *argv = vector;
  if (DbgMatch(10)) {
    DbgPlain(kDbgDetail, "\tNumber of arguments = %d", *argc);
    DbgPlain(kDbgDetail, "\tArgument list:");
    for (size_t i = 0; i < n; ++i)
      DbgPlain(kDbgDetail, "\t%s", vector[i] != nullptr ? vector[i] : "<null>");
  }
  return 0;
}

int StrToArg(const char* prog, const char* line, int* argc, char*** argv) {
  return StrToArgEx(prog, line, argc, argv, 0);
}

void FreeStrToArg(int* argc, char*** argv) {
  if (argv != nullptr && *argv != nullptr) {
    for (char** p = *argv; *p != nullptr; ++p) safe_free(*p, TARN_HERE);
    safe_free(*argv, TARN_HERE);
    *argv = nullptr;
  }
  if (argc != nullptr) *argc = 0;
}
