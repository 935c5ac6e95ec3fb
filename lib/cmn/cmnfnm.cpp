// Shell-style file-name patterns ("?", "*", "[set]") with a path mode in which
// only "/" matches "/".
#include <cctype>

#include "cmn/cmninit.h"

TARN_RCSID("lib/cmn/cmnfnm.cpp");

namespace {

int Fold(int c, bool fold) {
  const int u = static_cast<unsigned char>(c);
  return fold ? std::tolower(u) : u;
}

// `pattern` points past "[". Returns the position past "]" when c is in the
// set, else null; an unclosed set never matches.
const char* SetMatch(const char* pattern, int c, bool fold) {
  const char* p = pattern;
  const bool negate = *p == '!';
  if (negate) ++p;
  const int want = Fold(c, fold);
  bool found = false;
  for (;;) {
    const char first = *p++;
    if (first == '\0') return nullptr;
    if (first == ']') break;
    if (*p == '-' && p[1] != ']' && p[1] != '\0') {
      const int low = Fold(first, fold);
      const int high = Fold(p[1], fold);
      if (low <= want && want <= high) found = true;
      p += 2;
    } else if (Fold(first, fold) == want) {
      found = true;
    }
  }
  return found != negate ? p : nullptr;
}

}  // namespace

const char* RangeMatch(const char* pattern, int c) {
  return pattern != nullptr ? SetMatch(pattern, c, false) : nullptr;
}

// One pass with a single backtracking point at the last "*": a star can only
// grow its own match, so earlier stars never need to be revisited. In path
// mode a star never spans "/", which ends the search as well.
int FnmFilenameMatch(const char* pattern, const char* name, int flags) {
  const bool pathMode = (flags & kFnmPathname) != 0;
  const bool fold = (flags & kFnmCaseFold) != 0 && (flags & kFnmCaseExact) == 0;
  const bool sets = (flags & kFnmNoEscape) == 0;
  const char* p = pattern != nullptr ? pattern : "";
  const char* n = name != nullptr ? name : "";
  const char* starP = nullptr;
  const char* starN = nullptr;
  for (;;) {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (*p == '\0') {
        if (!pathMode) return 1;
        for (const char* rest = n; *rest != '\0'; ++rest) {
          if (*rest == '/') return 0;
        }
        return 1;
      }
      starP = p;
      starN = n;
      continue;
    }
    if (*n == '\0') return *p == '\0' ? 1 : 0;
    const char* next = nullptr;
    if (*p == '\0') {
      next = nullptr;
    } else if (*p == '?') {
      if (!(pathMode && *n == '/')) next = p + 1;
    } else if (*p == '[' && sets) {
      if (!(pathMode && *n == '/')) next = SetMatch(p + 1, *n, fold);
    } else if (Fold(*p, fold) == Fold(*n, fold)) {
      next = p + 1;
    }
    if (next != nullptr) {
      p = next;
      ++n;
      continue;
    }
    if (starP == nullptr || (pathMode && *starN == '/')) return 0;
    ++starN;
    p = starP;
    n = starN;
  }
}
