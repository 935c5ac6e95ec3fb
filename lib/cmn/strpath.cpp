// Strings: path names and their clean-up, file-name characters, the shell
// check of command lines and variable expansion.
#include <cctype>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strpath.cpp");

namespace {

char* CopyPath(const std::string& path, char* buf) {
  const size_t n = path.size() < kStrPathMax ? path.size() : kStrPathMax;
  std::memcpy(buf, path.data(), n);
  buf[n] = '\0';
  return buf;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Options as StrCleanPathnameExR; the result is not cut.
std::string CleanPathname(const char* path, int options) {
  std::string out;
  if (path == nullptr) return out;
  bool backslashToo = (options & 2) != 0;
  bool decided = (options & 4) == 0;
  const char outSep = (options & 8) != 0 ? '\\' : '/';
  const char* p = path;
  out.reserve(std::strlen(path));
  auto isSep = [&](char c) {
    if (c == '/') return true;
    return c == '\\' && (backslashToo || !decided);
  };
  while (*p != '\0') {
    if (!isSep(*p)) {
      out.push_back(*p++);
      continue;
    }
    if (!decided) {
      backslashToo = *p == '\\';
      decided = true;
    }
    // A network path keeps its two leading separators.
    if ((options & 1) != 0 && p == path && p[1] == p[0]) out.push_back(outSep);
    while (*p != '\0' && isSep(*p)) ++p;
    out.push_back(outSep);
  }
  if (out.size() >= 2 && out.back() == outSep) out.pop_back();
  return out;
}

}  // namespace

char* StrBasename(const char* path) {
  if (path == nullptr) return nullptr;
  const char* slash = std::strrchr(path, '/');
  return const_cast<char*>(slash != nullptr ? slash + 1 : path);
}

char* StrDirnameR(const char* path, char* buf) {
  if (path == nullptr || buf == nullptr) return nullptr;
  StrCopy(buf, path, kStrPathMax - 1);
  char* slash = std::strrchr(buf, '/');
  if (slash == nullptr) return nullptr;
  if (slash == buf) {
    buf[1] = '\0';
  } else {
    *slash = '\0';
  }
  return buf;
}

char* StrDirname(const char* path) {
  static char area[kStrPathMax + 1];
  return StrDirnameR(path, area);
}

char* StrExtname(const char* path) {
  const char* base = StrBasename(path);
  if (base == nullptr) return nullptr;
  const char* dot = std::strrchr(base, '.');
  return const_cast<char*>(dot != nullptr ? dot + 1 : nullptr);
}

char* StrCleanPathnameR(const char* path, int /*sep*/, char* buf) {
  if (buf == nullptr) return nullptr;
  return CopyPath(CleanPathname(path, 2), buf);
}

char* StrCleanPathname(const char* path, int sep) {
  static char area[kStrPathMax + 1];
  return StrCleanPathnameR(path, sep, area);
}

char* StrCleanPathnameExR(const char* path, int options, char* buf) {
  if (buf == nullptr) return nullptr;
  return CopyPath(CleanPathname(path, options), buf);
}

char* StrCleanPathnameEx(const char* path, int options) {
  static char area[kStrPathMax + 1];
  return StrCleanPathnameExR(path, options, area);
}

char* FindForbiddenFnmChar(const char* s, int options) {
  if (s == nullptr) return nullptr;
  for (const char* p = s; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '/') return const_cast<char*>(p);
    if ((options & 1) != 0) continue;
    if (c < 0x20 || std::strchr("\\:*?\"<>|", c) != nullptr) return const_cast<char*>(p);
    if ((options & 2) != 0 && (c == '+' || c == '&')) return const_cast<char*>(p);
  }
  return nullptr;
}

char* ReplaceForbiddenFnmChars(char* s, int c) {
  if (s == nullptr) return nullptr;
  const char with = c != 0 ? static_cast<char>(c) : '_';
  for (char* p = FindForbiddenFnmChar(s, 0); p != nullptr; p = FindForbiddenFnmChar(p + 1, 0)) {
    *p = with;
  }
  return s;
}

int StrExecIsNotSecure(const char* cmd) {
  if (cmd == nullptr) return 0;
  if (std::strpbrk(cmd, ";`&|><") != nullptr) return 1;
  if (std::strstr(cmd, "$(") != nullptr || std::strstr(cmd, "..") != nullptr) return 1;
  return 0;
}

char* StrExpandString(const char* text, StrExpandLookupFn lookup, void* ctx) {
  if (text == nullptr) return nullptr;
  std::string out;
  out.reserve(std::strlen(text));
  const char* p = text;
  while (*p != '\0') {
    const char* nameStart = nullptr;
    const char* after = nullptr;  // first character after the whole reference
    if (p[0] == '$' && p[1] == '{') {
      nameStart = p + 2;
      const char* e = nameStart;
      while (IsNameChar(*e)) ++e;
      if (e > nameStart && *e == '}') after = e + 1;
    } else if (p[0] == '$') {
      nameStart = p + 1;
      const char* e = nameStart;
      while (IsNameChar(*e)) ++e;
      if (e > nameStart) after = e;
    } else if (p[0] == '%') {
      nameStart = p + 1;
      const char* e = nameStart;
      while (IsNameChar(*e)) ++e;
      if (e > nameStart && *e == '%') after = e + 1;
    }
    if (after == nullptr) {
      out.push_back(*p++);
      continue;
    }
    const char* nameEnd = nameStart;
    while (IsNameChar(*nameEnd)) ++nameEnd;
    const std::string name(nameStart, nameEnd);
    if (lookup != nullptr) {
      char* value = lookup(name.c_str(), ctx);
      if (value != nullptr) {
        out.append(value);
        safe_free(value, TARN_HERE);
      }
    }
    p = after;
  }
  return StrNNewCopy(out.c_str(), out.size());
}

char* StrExpandEnvironmentStrings(const char* text) {
  return StrExpandString(
      text, [](const char* name, void*) { return EnvGetString(name); }, nullptr);
}
