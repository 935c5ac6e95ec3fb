// Catalogue object names: writing and parsing "TT host:mountpoint // label"
// and the user form host:mountpoint "label".
#include "cmn/objname.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/objname.cpp");

namespace {

constexpr char kLabelSep[] = " // ";
constexpr size_t kLabelSepLen = sizeof kLabelSep - 1;

const char* Safe(const char* s) {
  return s != nullptr ? s : "";
}

// Writes the four fields; the caller has checked host and mount point.
int WriteName(int type, const char* host, const char* mpoint, const char* label, char* dst) {
  const int label80 = static_cast<int>(strnlen(label, kObjNameLabelMax));
  std::snprintf(dst, kObjNameSize, "%02d %s:%s%s%.*s", type, host, mpoint, kLabelSep, label80,
                label);
  return 0;
}

bool HostFits(const char* host) {
  return std::strlen(host) <= kObjNameHostMax && std::strpbrk(host, " :") == nullptr;
}

// Where the fields of a parsed name lie.
struct NameFields {
  const char* host;
  size_t hostLen;
  const char* mpoint;
  size_t mpointLen;
  const char* label;
};

// Finds and checks the fields; a refused text gets its level -2 line.
bool SplitName(const char* text, int* type, NameFields* f) {
  const char* why = nullptr;
  const char* blank = std::strchr(text, ' ');
  const char* colon = std::strchr(text, ':');
  const char* sep = std::strstr(text, kLabelSep);
  if (blank == nullptr) {
    why = "no type/host delimiter";
  } else if (colon == nullptr) {
    why = "no host/mpoint delimiter";
  } else if (sep == nullptr) {
    why = "no mpoint/label delimiter";
  } else if (colon < blank || sep < colon + 1) {
    why = "wrong pos of delimiters in str";
  } else if (static_cast<size_t>(colon - blank - 1) > kObjNameHostMax) {
    why = "hostname to long";
  } else if (static_cast<size_t>(sep - colon - 1) > kObjNameMpointMax) {
    why = "mpoint to long";
  } else if (std::strlen(sep + kLabelSepLen) > kObjNameLabelMax) {
    why = "description to long";
  } else if (type != nullptr) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
      why = "type fld not in number fmt";
    } else {
      *type = static_cast<int>(v);
    }
  }
  if (why != nullptr) {
    DbgPlain(kDbgUnexpected, "  StrFromObjectName: \"%s\": %s", text, why);
    return false;
  }
  f->host = blank + 1;
  f->hostLen = static_cast<size_t>(colon - blank - 1);
  f->mpoint = colon + 1;
  f->mpointLen = static_cast<size_t>(sep - colon - 1);
  f->label = sep + kLabelSepLen;
  return true;
}

}  // namespace

int StrToObjectName(int type, const char* host, const char* mpoint, const char* label, char* dst) {
  if (dst == nullptr) return -1;
  dst[0] = '\0';
  host = Safe(host);
  if (!HostFits(host)) return -1;
  // A clean result of kStrPathMax characters may have been cut: either way it
  // is longer than a mount point may be.
  char clean[kStrPathMax + 1];
  StrCleanPathnameR(Safe(mpoint), '/', clean);
  if (std::strlen(clean) > kObjNameMpointMax) return -1;
  return WriteName(type, host, clean, Safe(label), dst);
}

int StrToObjectNameEx(int type, const char* host, const char* mpoint, const char* label,
                      char* dst) {
  if (dst == nullptr) return -1;
  dst[0] = '\0';
  host = Safe(host);
  mpoint = Safe(mpoint);
  if (!HostFits(host)) return -1;
  if (std::strlen(mpoint) > kObjNameMpointMax || std::strstr(mpoint, kLabelSep) != nullptr) {
    return -1;
  }
  return WriteName(type, host, mpoint, Safe(label), dst);
}

int StrFromObjectName(int* type, char* host, char* mpoint, char* label, const char* text) {
  NameFields f{};
  int parsedType = 0;
  if (!SplitName(Safe(text), type != nullptr ? &parsedType : nullptr, &f)) return -1;
  if (type != nullptr) *type = parsedType;
  if (host != nullptr) StrCopy(host, f.host, f.hostLen);
  if (mpoint != nullptr) StrCopy(mpoint, f.mpoint, f.mpointLen);
  if (label != nullptr) std::strcpy(label, f.label);
  return 0;
}

int StrObjectNameToUserObjectName(char* dst, const char* text) {
  if (dst == nullptr) return -1;
  dst[0] = '\0';
  NameFields f{};
  if (!SplitName(Safe(text), nullptr, &f)) return -1;
  std::snprintf(dst, kObjNameSize, "%.*s:%.*s \"%s\"", static_cast<int>(f.hostLen), f.host,
                static_cast<int>(f.mpointLen), f.mpoint, f.label);
  return 0;
}
