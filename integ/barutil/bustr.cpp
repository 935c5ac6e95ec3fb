// Small string and path helpers of the integration.
#include "barutil/bustr.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cmn/ctx.h"

TARN_RCSID("integ/barutil/bustr.cpp");

int StrLookupText(const StrTextValue* table, const char* text) {
  if (table == nullptr || text == nullptr || text[0] == '\0') return -1;
  for (const StrTextValue* row = table; row->text != nullptr; ++row) {
    if (strcasecmp(row->text, text) == 0) return row->value;
  }
  return -1;
}

char* PathCatR(char* out, const char* a, const char* b) {
  if (out == nullptr) return nullptr;
  out[0] = '\0';
  const std::size_t lengthA = StrLen(a);
  const std::size_t lengthB = StrLen(b);
  if (lengthA + 1 + lengthB > kStrPathMax) return nullptr;
  char joined[kStrPathMax + 1];
  std::snprintf(joined, sizeof joined, "%s/%s", a != nullptr ? a : "", b != nullptr ? b : "");
  return StrCleanPathnameR(joined, '/', out);
}

int PathWalkFirst(PathWalker* walker, const char* path) {
  if (walker == nullptr) return 0;
  walker->path[0] = walker->current[0] = '\0';
  walker->position = 0;
  if (path == nullptr || path[0] == '\0' || std::strlen(path) > kPathWalkMax) return 0;
  char cleaned[kStrPathMax + 1];
  StrCleanPathnameR(path, '/', cleaned);
  StrCopy(walker->path, cleaned, kPathWalkMax);
  return PathWalkNext(walker);
}

int PathWalkNext(PathWalker* walker) {
  if (walker == nullptr) return 0;
  const char* path = walker->path;
  const std::size_t length = std::strlen(path);
  std::size_t end = walker->position;
  if (end >= length) return 0;
  // A leading '/' belongs to the first component; then up to the next '/'.
  if (path[end] == '/') ++end;
  while (end < length && path[end] != '/') ++end;
  std::memcpy(walker->current, path, end);
  walker->current[end] = '\0';
  walker->position = end;
  return 1;
}

const char* BU_EncodePathEx(const char* path, std::size_t* length, int options) {
  return path != nullptr ? StrEscape(path, length, options) : nullptr;
}

const char* BU_DecodePath(const char* path) {
  return path != nullptr ? StrUnescape(path, nullptr) : nullptr;
}

int BU_StrAtoi(const char* text, int* out) {
  if (text == nullptr) return 0;
  const std::size_t length = std::strlen(text);
  if (length > 10) return 0;
  int value = 0;
  if (StrAtoi(text, &value, nullptr) != 1) return 0;
  // StrAtoi refuses what does not fit an int, so a ten-character text above
  // 2147483647 converts nothing, and ten digits with leading zeros do.
  if (out != nullptr) *out = value;
  return 1;
}

char* StrFormat(const char* format, ...) {
  if (format == nullptr) return nullptr;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  char* text = nullptr;
  if (n >= 0) {
    text = static_cast<char*>(safe_malloc(static_cast<std::size_t>(n) + 1, TARN_HERE));
    if (text != nullptr) std::vsnprintf(text, static_cast<std::size_t>(n) + 1, format, again);
  }
  va_end(again);
  return text;
}
