// Path texts: joining, splitting and classifying path names in place, with '/'
// as the separator and the network and drive forms recognised.
#include <cstring>

#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/vekfile_path.cpp");

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

char* Replace(char* s, char from, char to) {
  if (s == nullptr) return s;
  for (char* p = std::strchr(s, from); p != nullptr; p = std::strchr(p + 1, from)) *p = to;
  return s;
}

// Where the next separator-delimited name after `p` ends.
const char* SkipName(const char* p) {
  while (*p != '\0' && !IsSeparator(*p)) ++p;
  return p;
}

}  // namespace

char* PathToSlashes(char* s) {
  return Replace(s, '\\', '/');
}

char* PathToBackslashes(char* s) {
  return Replace(s, '/', '\\');
}

char* PathCutTrailSlashes(char* s, char sep) {
  if (s == nullptr) return s;
  char* end = s + std::strlen(s);
  while (end > s && (sep == 0 ? IsSeparator(end[-1]) : end[-1] == sep)) --end;
  *end = '\0';
  return end;
}

char* PathAppendComponent(char* buffer, const char* part) {
  if (buffer == nullptr) return buffer;
  char* end = buffer + std::strlen(buffer);
  if (part == nullptr || *part == '\0') return end;
  if (end != buffer) {
    const bool bufferHas = end[-1] == '/';
    const bool partHas = part[0] == '/';
    if (bufferHas && partHas) {
      ++part;
    } else if (!bufferHas && !partHas) {
      *end++ = '/';
    }
  }
  const std::size_t length = std::strlen(part);
  std::memmove(end, part, length + 1);
  return end + length;
}

char* PathConcat(char* buffer, const char* a, const char* b) {
  if (buffer == nullptr) return buffer;
  if (a == nullptr) {
    buffer[0] = '\0';
  } else if (a != buffer) {
    std::memmove(buffer, a, std::strlen(a) + 1);
  }
  PathAppendComponent(buffer, b);
  return buffer;
}

const char* PathGetLeaf(const char* s) {
  if (s == nullptr) return s;
  const char* slash = std::strrchr(s, '/');
  return slash != nullptr ? slash + 1 : s;
}

char* PathGetLeaf(char* s) {
  return const_cast<char*>(PathGetLeaf(static_cast<const char*>(s)));
}

char* PathCutLeaf(char* s) {
  if (s == nullptr) return s;
  char* slash = std::strrchr(s, '/');
  if (slash == nullptr) return s;
  *slash = '\0';
  return slash + 1;
}

int PathIsUNC(const char* s) {
  return s != nullptr && s[0] == '\\' && s[1] == '\\' ? 1 : 0;
}

const char* PathSkipDrive(const char* s) {
  if (s == nullptr) return s;
  if (IsSeparator(s[0]) && IsSeparator(s[1])) {
    const char* server = SkipName(s + 2);
    if (*server == '\0') return server;
    return SkipName(server + 1);
  }
  if (s[0] != '/') {
    const char* colon = std::strchr(s, ':');
    if (colon != nullptr) return colon + 1;
  }
  return s;
}

int VEK_PathIsRoot(const char* s) {
  if (s == nullptr) return -1;
  const char* rest = PathSkipDrive(s);
  if (rest[0] == '\0') return 1;
  return IsSeparator(rest[0]) && rest[1] == '\0' ? 1 : 0;
}
