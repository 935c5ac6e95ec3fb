// Global options: reading the cell server's options reply and the dispatchers
// that set one process global per option with its default, rule and trace line.
#include "cmn/global.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cmn/dbg.h"
#include "cmn/global_private.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"

TARN_RCSID("lib/cmn/global.cpp");

namespace global_detail {

namespace {

constexpr int kTraceLevel = kDbgParse;
constexpr char kInvalidNote[] = "  <== invalid format";

std::string Folded(const char* name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// "#" for an invalid value, "*" for one that differs from the default.
const char* Marker(bool invalid, bool differs) {
  if (invalid) return "#";
  return differs ? "*" : " ";
}

void TraceInt(const char* name, int value, bool invalid, bool differs) {
  DbgPlain(kTraceLevel, "%s %-25s = %d%s", Marker(invalid, differs), name, value,
           invalid ? kInvalidNote : "");
}

bool ReadHex(const char* p, int* value) {
  if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return false;
  const char* digits = p + 2;
  if (!std::isxdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits, &end, 16);
  if (errno == ERANGE || v > UINT32_MAX) return false;
  // Like "%X" into an int: 0xFFFFFFFF reads as -1.
  *value = static_cast<int>(static_cast<std::uint32_t>(v));
  return true;
}

// The value text of a quoted option: after blanks, what lies between the
// first pair of double quotes; an unclosed quote runs to the end.
void QuotedPart(const char* text, const char** start, std::size_t* length) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text != '"') {
    *start = text;
    *length = std::strlen(text);
    return;
  }
  ++text;
  const char* close = std::strchr(text, '"');
  *start = text;
  *length = close != nullptr ? static_cast<std::size_t>(close - text) : std::strlen(text);
}

}  // namespace

OptReply::OptReply(const char* reply) {
  if (reply == nullptr) return;
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrParseStartL(&msg, reply) == kOptReplyCode) {
    valid_ = true;
    for (;;) {
      const char* name = StrParseNextL(&msg);
      const char* value = name != nullptr ? StrParseNextL(&msg) : nullptr;
      if (value == nullptr) break;
      values_.insert_or_assign(Folded(name), value);
    }
  }
  StrMsgParseDoneL(&msg);
  StrMsgFreeL(&msg);
}

const char* OptReply::find(const char* name) const {
  if (name == nullptr) return nullptr;
  const auto it = values_.find(Folded(name));
  return it != values_.end() ? it->second : nullptr;
}

bool OptReadInt(const char* text, int* value) {
  if (text == nullptr) return false;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (ReadHex(p, value)) return true;
  return StrAtoi(p, value, nullptr) == 1;
}

int DispatchInt(const OptReply& reply, const char* name, int* global, int defaultValue) {
  return DispatchIntRange(reply, name, global, defaultValue, INT_MIN, INT_MAX, false);
}

int DispatchIntRange(const OptReply& reply, const char* name, int* global, int defaultValue,
                     int min, int max, bool hidden) {
  *global = defaultValue;
  int result = 0;
  bool invalid = !reply.valid();
  if (invalid) {
    result = -1;
  } else if (const char* text = reply.find(name); text != nullptr) {
    int n = 0;
    if (OptReadInt(text, &n) && n >= min && n <= max) {
      *global = n;
      result = 1;
    } else {
      invalid = true;
      result = -1;
    }
  }
  const bool differs = *global != defaultValue;
  if (!hidden || differs) TraceInt(name, *global, invalid, differs);
  return result;
}

int DispatchMin(const OptReply& reply, const char* name, int* global, int defaultSeconds) {
  *global = defaultSeconds;
  int result = 0;
  bool invalid = !reply.valid();
  if (invalid) {
    result = -1;
  } else if (const char* text = reply.find(name); text != nullptr) {
    int minutes = 0;
    if (OptReadInt(text, &minutes) && minutes >= 0 && minutes <= INT_MAX / 60) {
      *global = minutes * 60;
      result = 1;
    } else {
      invalid = true;
      result = -1;
    }
  }
  DbgPlain(kTraceLevel, "%s %-25s = %d min%s", Marker(invalid, *global != defaultSeconds), name,
           *global / 60, invalid ? kInvalidNote : "");
  return result;
}

int DispatchStr(const OptReply& reply, const char* name, char* global, std::size_t size,
                const char* defaultText, bool quoted) {
  if (global == nullptr || size == 0) return 0;
  if (defaultText != nullptr) StrCopy(global, defaultText, size - 1);
  int result = 0;
  const char* text = reply.valid() ? reply.find(name) : nullptr;
  if (text != nullptr) {
    const char* start = text;
    std::size_t length = std::strlen(text);
    if (quoted) QuotedPart(text, &start, &length);
    StrNCopy(global, start, length, size - 1);
    result = 1;
  }
  const bool differs = std::strcmp(global, defaultText != nullptr ? defaultText : "") != 0;
  DbgPlain(kTraceLevel, "%s %-25s = \"%s\"", Marker(false, differs), name, global);
  return result;
}

}  // namespace global_detail

using global_detail::OptReply;

int OptGetInt(const char* reply, const char* name, int* value) {
  const OptReply parsed(reply);
  if (!parsed.valid()) return -1;
  const char* text = parsed.find(name);
  if (text == nullptr) return 0;
  int n = 0;
  if (!global_detail::OptReadInt(text, &n)) return -1;
  if (value != nullptr) *value = n;
  return 1;
}

int OptGetQuotedStr(const char* reply, const char* name, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const OptReply parsed(reply);
  const char* text = parsed.valid() ? parsed.find(name) : nullptr;
  if (text == nullptr) return 0;
  const char* start = text;
  std::size_t length = 0;
  global_detail::QuotedPart(text, &start, &length);
  StrNCopy(buffer, start, length, size - 1);
  return 1;
}

int OptDispatchInt(const char* reply, const char* name, int* global, int defaultValue) {
  if (global == nullptr) return -1;
  return global_detail::DispatchInt(OptReply(reply), name, global, defaultValue);
}

int OptDispatchIntRange(const char* reply, const char* name, int* global, int defaultValue, int min,
                        int max) {
  if (global == nullptr) return -1;
  return global_detail::DispatchIntRange(OptReply(reply), name, global, defaultValue, min, max,
                                         false);
}

int OptDispatchIntRangeHidden(const char* reply, const char* name, int* global, int defaultValue,
                              int min, int max) {
  if (global == nullptr) return -1;
  return global_detail::DispatchIntRange(OptReply(reply), name, global, defaultValue, min, max,
                                         true);
}

int OptDispatchMin(const char* reply, const char* name, int* global, int defaultSeconds) {
  if (global == nullptr) return -1;
  return global_detail::DispatchMin(OptReply(reply), name, global, defaultSeconds);
}

int OptDispatchStr(const char* reply, const char* name, char* global, std::size_t size,
                   const char* defaultText) {
  return global_detail::DispatchStr(OptReply(reply), name, global, size, defaultText, false);
}

int OptDispatchQuotedStr(const char* reply, const char* name, char* global, std::size_t size,
                         const char* defaultText) {
  return global_detail::DispatchStr(OptReply(reply), name, global, size, defaultText, true);
}
