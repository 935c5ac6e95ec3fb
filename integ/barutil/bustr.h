// Small string and path helpers of the integration: table lookup, joined and
// cleaned paths, walking a path's prefixes, path escaping, bounded decimal
// conversion and formatted heap texts.
#pragma once

#include <cstddef>

#include "cmn/str.h"
#include "cmn/var.h"

// One row of a lookup table; a table ends with a row whose text is null.
struct StrTextValue {
  const char* text;
  int value;
};
// The value of the row whose text equals `text` ignoring case; -1 when there
// is none, or for a null or empty text.
int StrLookupText(const StrTextValue* table, const char* text);

// Joins a and b with '/' and cleans the result (runs of separators become
// one, no trailing '/') into `out`, which holds kStrPathMax + 1 bytes. Null
// (out "") when the joined path would exceed kStrPathMax characters.
char* PathCatR(char* out, const char* a, const char* b);

// Walks the prefixes of a path from its first component to the whole path:
// "/a//b/c" gives "/a", "/a/b", "/a/b/c"; "a/b" gives "a", "a/b"; "/" gives
// "/". The walker keeps its own copy of the (cleaned) path.
inline constexpr std::size_t kPathWalkMax = 1023;
struct PathWalker {
  char path[kPathWalkMax + 1];
  char current[kPathWalkMax + 1];  // the prefix of the last successful step
  std::size_t position;            // end of `current` within `path`
};
// 1 with walker->current the first prefix; 0 for a null, empty or overlong
// (above kPathWalkMax characters) path.
int PathWalkFirst(PathWalker* walker, const char* path);
// 1 with the next prefix; 0 when the whole path was given already.
int PathWalkNext(PathWalker* walker);

// Escapes a path with StrEscape's `options` (STR_ESCAPE_*), so that quotes,
// slashes, backslashes or colons can travel inside a name. `length` as for
// StrEscape (may be null). The result lies in the area StrEscape and
// StrUnescape share: the next call of either overwrites it.
const char* BU_EncodePathEx(const char* path, std::size_t* length, int options);
// Reverses every escape sequence; null (8002 marked) for an invalid one.
const char* BU_DecodePath(const char* path);

// Converts a decimal text only when it has at most 9 characters, or exactly
// 10 and a value not above 2147483647. Returns the values converted (0 or 1);
// *out is written only then.
int BU_StrAtoi(const char* text, int* out);

// A caller-owned (safe_free) formatted text, or null when memory ran out.
char* StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
