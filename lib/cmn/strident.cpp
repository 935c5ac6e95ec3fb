// Strings: the text forms of user names, GUIDs, user labels and permission
// strings.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strident.cpp");

namespace {

constexpr size_t kUserPartMax = 60;
constexpr size_t kHostMax = 64;
constexpr size_t kLabelMax = 80;

const char* Safe(const char* s) {
  return s != nullptr ? s : "";
}

int Width(const char* s, size_t max) {
  return static_cast<int>(strnlen(s, max));
}

}  // namespace

char* StrToVEKUser(char* dst, const char* user, const char* group, const char* host,
                   int domainForm) {
  if (dst == nullptr) return nullptr;
  user = Safe(user);
  group = Safe(group);
  host = Safe(host);
  const int u = Width(user, kUserPartMax);
  const int g = Width(group, kUserPartMax);
  const int h = Width(host, kHostMax);
  if (domainForm == 0) {
    std::snprintf(dst, kStrVekUserSize, "%.*s.%.*s@%.*s", u, user, g, group, h, host);
  } else {
    std::snprintf(dst, kStrVekUserSize, "%.*s\\%.*s@%.*s", g, group, u, user, h, host);
  }
  return dst;
}

int StrFromVEKUser(const char* text, char* user, char* group, char* host) {
  if (user != nullptr) user[0] = '\0';
  if (group != nullptr) group[0] = '\0';
  if (host != nullptr) host[0] = '\0';
  const char* t = Safe(text);
  const char* backslash = std::strchr(t, '\\');
  const char* first = backslash != nullptr ? backslash : std::strchr(t, '.');
  if (first == nullptr) return -1;
  // Domain form: the domain (kept as the group) comes first.
  char* before = backslash != nullptr ? group : user;
  char* between = backslash != nullptr ? user : group;
  if (before != nullptr) StrCopy(before, t, std::min<size_t>(first - t, kUserPartMax));
  const char* at = std::strchr(first + 1, '@');
  if (at == nullptr) return -1;
  if (between != nullptr)
    StrCopy(between, first + 1, std::min<size_t>(at - first - 1, kUserPartMax));
  if (host != nullptr) StrCopy(host, at + 1, kHostMax);
  return 0;
}

char* StrFromGuid(char* dst, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  if (dst == nullptr) return nullptr;
  std::snprintf(dst, 37, "%08x-%04x-%04x-%04x-%02x%02x%02x%02x%02x%02x", w1, w2 & 0xFFFFu, w2 >> 16,
                w3 & 0xFFFFu, (w3 >> 16) & 0xFFu, w3 >> 24, w4 & 0xFFu, (w4 >> 8) & 0xFFu,
                (w4 >> 16) & 0xFFu, w4 >> 24);
  return dst;
}

const char* StrToUserLabel(int flags, const char* prefix, const char* text) {
  static char area[121];
  text = Safe(text);
  if ((flags & 1) != 0) {
    std::snprintf(area, sizeof area, "[%s]%s%s", Safe(prefix), *text != '\0' ? " " : "", text);
  } else {
    std::snprintf(area, sizeof area, "%.*s", Width(text, kLabelMax), text);
  }
  return area;
}

const char* StrRWX(int fileType, int style, unsigned mode) {
  static char area[11];
  if ((style & 16) != 0) {
    static constexpr struct {
      unsigned bit;
      char letter;
    } kAttributes[] = {{1, 'R'}, {2, 'H'}, {4, 'S'}, {32, 'A'}, {2048, 'C'}};
    const bool shown = (mode & 128) == 0;
    char* out = area;
    for (const auto& a : kAttributes) *out++ = (shown && (mode & a.bit) != 0) ? a.letter : ' ';
    *out = '\0';
    return area;
  }
  static constexpr char kTypes[] = "Ud-pbclsnHx";
  area[0] = (fileType >= 1 && fileType <= 10) ? kTypes[fileType] : 'U';
  static constexpr char kRwx[] = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) area[1 + i] = (mode & (0400u >> i)) != 0 ? kRwx[i] : '-';
  if ((mode & 04000) != 0) area[3] = area[3] == 'x' ? 's' : 'S';
  if ((mode & 02000) != 0) area[6] = area[6] == 'x' ? 's' : 'S';
  area[10] = '\0';
  return area;
}
