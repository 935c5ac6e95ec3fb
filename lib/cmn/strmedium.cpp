// Strings: the text forms of media: physical locations and magazine
// descriptions.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strmedium.cpp");

namespace {

const char* Safe(const char* s) {
  return s != nullptr ? s : "";
}

bool Fits(int n, size_t size) {
  return n >= 0 && static_cast<size_t>(n) < size;
}

}  // namespace

int StrToPhyLocation(const char* location, long side, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return -1;
  if (!Fits(std::snprintf(out, outSize, "%6s %ld", Safe(location), side), outSize)) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

int StrFromPhyLocation(const char* location, char* out, long* side) {
  long found = -1;
  if (out == nullptr) return -1;
  const char* p = Safe(location);
  while (*p == ' ') ++p;
  std::memmove(out, p, std::strlen(p) + 1);
  // A location of a floppy-like medium holds blanks before its ".fd" part.
  char* from = std::strstr(out, ".fd");
  char* blank = std::strrchr(from != nullptr ? from : out, ' ');
  if (blank != nullptr) {
    char* end = nullptr;
    const long n = std::strtol(blank + 1, &end, 10);
    if (end != blank + 1) {
      found = n;
      *blank = '\0';
    }
  }
  if (side != nullptr) *side = found;
  return 0;
}

int StrToMagDescription(const char* a, const char* b, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return -1;
  if (!Fits(std::snprintf(out, outSize, "%s%c%s", Safe(a), '_', Safe(b)), outSize)) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

int StrFromMagDescription(const char* text, char* a, char* b) {
  const char* t = Safe(text);
  const char* underscore = std::strrchr(t, '_');
  if (underscore == nullptr) return -1;
  if (b != nullptr) std::strcpy(b, underscore + 1);
  if (a != nullptr) StrCopy(a, t, static_cast<size_t>(underscore - t));
  return 0;
}
