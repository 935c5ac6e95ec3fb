// The installation's rc file: reading ".tarnrc", parsing its NAME=VALUE lines
// and exporting them into the process environment.
#include "cmn/rcfile.h"

#include <cctype>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/rcfile.cpp");

namespace {

constexpr char kRcFileName[] = ".tarnrc";

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Cuts white space at the end of [begin, end) in place.
void CutTrailing(char* begin, char* end) {
  while (end > begin && IsSpace(end[-1])) --end;
  *end = '\0';
}

}  // namespace

char* ReadTarnrcFile() {
  const std::string path = std::string(cmnFenBase) + "/" + kRcFileName;
  if (VEK_StatFile(path.c_str(), nullptr) != 0) return nullptr;
  std::size_t size = 0;
  char* text = CmnGetFile(path.c_str(), &size);
  if (text != nullptr && std::strlen(text) != size) {
    DbgPlain(kDbgUnexpected,
             "[ReadTarnrcFile] %s holds a NUL byte at offset %zu; the rest is ignored",
             path.c_str(), std::strlen(text));
  }
  return text;
}

int ParseTarnRcFormat(char** cursor, char** name, char** value) {
  if (cursor == nullptr || *cursor == nullptr || name == nullptr || value == nullptr) return -1;
  char* p = *cursor;
  for (;;) {
    while (IsSpace(*p)) ++p;
    if (*p != '#') break;
    p += std::strcspn(p, "\n");
  }
  if (*p == '\0') {
    *cursor = p;
    return -1;
  }
  char* lineEnd = p + std::strcspn(p, "\n");
  char* next = *lineEnd != '\0' ? lineEnd + 1 : lineEnd;
  char* eq = static_cast<char*>(std::memchr(p, '=', static_cast<size_t>(lineEnd - p)));
  *name = p;
  if (eq != nullptr) {
    CutTrailing(p, eq);
    *value = eq + 1;
    CutTrailing(eq + 1, lineEnd);
  } else {
    CutTrailing(p, lineEnd);
    *value = nullptr;
  }
  *cursor = next;
  return 0;
}

int GetTarnrcVar(const char* name, char** value) {
  static const char kFn[] = "GetTarnrcVar";
  if (value != nullptr) *value = nullptr;
  char* text = ReadTarnrcFile();
  char* found = nullptr;
  bool hit = false;
  char* cursor = text;
  char* entryName = nullptr;
  char* entryValue = nullptr;
  while (text != nullptr && name != nullptr &&
         ParseTarnRcFormat(&cursor, &entryName, &entryValue) == 0) {
    // A nameless line is never an entry, as in the export.
    if (entryValue != nullptr && *entryName != '\0' && std::strcmp(entryName, name) == 0) {
      DbgPlain(kDbgDetail, "[%s] tarnrc variable found '%s'='%s'", kFn, entryName, entryValue);
      found = StrNewCopy(entryValue);
      hit = found != nullptr;
      break;
    }
  }
  if (!hit)
    DbgPlain(kDbgDetail, "[%s] tarnrc variable not found '%s'", kFn, name != nullptr ? name : "");
  if (text != nullptr) safe_free(text, TARN_HERE);
  if (value != nullptr) {
    *value = found;
  } else if (found != nullptr) {
    safe_free(found, TARN_HERE);
  }
  return hit ? 1 : 0;
}

int ExportTarnRcVariables() {
  static const char kFn[] = "ExportTarnRcVariables";
  DbgPlain(kDbgDetail, "[%s] Entering...", kFn);
  char* text = ReadTarnrcFile();
  int exported = 0;
  bool failed = false;
  char* cursor = text;
  char* name = nullptr;
  char* value = nullptr;
  std::string entry;
  while (text != nullptr && ParseTarnRcFormat(&cursor, &name, &value) == 0) {
    if (*name == '\0' || value == nullptr) continue;
    entry.assign(name).append("=").append(value);
    if (PutEnv(entry.c_str()) == 0) {
      ++exported;
    } else {
      failed = true;
    }
  }
  if (text != nullptr) safe_free(text, TARN_HERE);
  DbgPlain(kDbgDetail, "[%s] Exiting...", kFn);
  return failed ? -1 : exported;
}
