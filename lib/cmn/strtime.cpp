// Strings: local time texts and their parsing, two-digit years, session ids
// and key ids.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strtime.cpp");

StrFromTimeExHookFn strFromTimeExHook = nullptr;

namespace {

constexpr size_t kTimeArea = 256;
constexpr size_t kSessionArea = 256;

const char* TimeFormat(int form) {
  switch (form) {
    case 1:
    case 5: return "%c";
    case 2: return "%m/%d/%Y %H:%M:%S";
    case 3: return "%Y-%m-%d %H:%M:%S";
    case 4: return "%x %H:%M";
    case 6: return "%m/%d/%y %H:%M:%S";
    case 7: return "%Y-%m-%d %H:%M";
    default: return "%x %X";
  }
}

int Dash(char* buf, size_t size) {
  if (buf != nullptr && size > 0) std::snprintf(buf, size, "-");
  return 0;
}

bool LocalTime(time_t t, struct tm* out) {
  return localtime_r(&t, out) != nullptr;
}

}  // namespace

int StrFromTimeEx(char* buf, size_t size, int form, time_t t) {
  if (strFromTimeExHook != nullptr) return strFromTimeExHook(buf, size, form, t);
  if (buf == nullptr || size == 0) return 0;
  if (t == 0) return Dash(buf, size);
  const char* format = TimeFormat(form);
  struct tm tm {};
  size_t n = 0;
  errno = 0;
  if (LocalTime(t, &tm)) n = std::strftime(buf, size, format, &tm);
  if (n == 0) {
    DbgPlain(kDbgUnexpected, "strftime(\"%s\", %d) failed, errcode=%d", format, static_cast<int>(t),
             errno);
    return Dash(buf, size);
  }
  return static_cast<int>(n);
}

const char* StrFromTime(time_t t) {
  static char area[kTimeArea];
  StrFromTimeEx(area, sizeof area, 1, t);
  return area;
}

const char* StrFromTime1(time_t t) {
  static char area[kTimeArea];
  StrFromTimeEx(area, sizeof area, 6, t);
  return area;
}

const char* StrShortFromTime(time_t t) {
  static char area[kTimeArea];
  StrFromTimeEx(area, sizeof area, 0, t);
  return area;
}

int CmnAdjustTwoDigitYear(int* year) {
  if (year == nullptr) return 0;
  if (*year >= 100) return 0;
  if (*year < 0) {
    *year = 1970;
    return -1;
  }
  *year += *year < 70 ? 2000 : 1900;
  return 1;
}

time_t StrToTime(const char* text) {
  if (text == nullptr) return 0;
  long f[6] = {0, 0, 0, 0, 0, 0};
  const int n = std::sscanf(text, "%ld%*[-/]%ld%*[-/]%ld%*[ .T]%ld%*[:.]%ld%*[:.]%ld", &f[0], &f[1],
                            &f[2], &f[3], &f[4], &f[5]);
  if (n != 3 && n != 6) return 0;
  // Every field goes into an int of struct tm; absurd values are refused
  // rather than wrapped.
  for (long v : f) {
    if (v < 0 || v > INT_MAX / 2) return 0;
  }
  long year = f[0];
  if (year <= 68) {
    year += 2000;
  } else if (year >= 70 && year <= 99) {
    year += 1900;
  }
  if (year < 1970 || year > 2037) return 0;
  struct tm tm {};
  tm.tm_year = static_cast<int>(year - 1900);
  tm.tm_mon = static_cast<int>(f[1] - 1);
  tm.tm_mday = static_cast<int>(f[2]);
  tm.tm_hour = static_cast<int>(f[3]);
  tm.tm_min = static_cast<int>(f[4]);
  tm.tm_sec = static_cast<int>(f[5]);
  tm.tm_isdst = -1;
  const time_t t = std::mktime(&tm);
  return t == static_cast<time_t>(-1) ? 0 : t;
}

time_t StrSetToLocalMidnight() {
  struct tm tm {};
  if (!LocalTime(std::time(nullptr), &tm)) return 0;
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// ---------------------------------------------------------------- session ids

const char* StrFromUserSessionId(const char* text) {
  static char area[kSessionArea];
  int year = 0;
  int month = 0;
  int day = 0;
  unsigned seq = 0;
  int used = 0;
  const char* t = text != nullptr ? text : "";
  bool ok = false;
  // Every field must be used up: "12abc" is no sequence number.
  if (std::sscanf(t, "%d/%d/%d-%u%n", &year, &month, &day, &seq, &used) == 4 && t[used] == '\0' &&
      seq <= 0xFFFF) {
    CmnAdjustTwoDigitYear(&year);
    ok = true;
  } else if (used = 0,
             std::sscanf(t, "%u%n", &seq, &used) == 1 && t[used] == '\0' && seq <= 0xFFFF) {
    struct tm tm {};
    if (LocalTime(std::time(nullptr), &tm)) {
      year = tm.tm_year + 1900;
      month = tm.tm_mon + 1;
      day = tm.tm_mday;
      ok = true;
    }
  }
  if (!ok) {
    DbgPlain(kDbgUnexpected, "  StrFromUserSessionId: \"%s\": not in correct format", t);
    return nullptr;
  }
  char date[64];
  std::snprintf(date, sizeof date, "%4d/%02d/%02d", year, month, day);
  std::snprintf(area, sizeof area, "%10s %04u", date, seq);
  return area;
}

const char* StrToUserSessionId(const char* text) {
  static char area[kSessionArea];
  char date[11];
  unsigned short seq = 0;
  const char* t = text != nullptr ? text : "";
  if (std::sscanf(t, "%10s %4hu", date, &seq) != 2) {
    DbgPlain(kDbgUnexpected, "  StrToUserSessionId: \"%s\": not in correct format", t);
    return nullptr;
  }
  std::snprintf(area, sizeof area, "%s-%d", date, static_cast<int>(seq));
  return area;
}

// ---------------------------------------------------------------- key ids

char* StrToKID(const char* name, time_t t, char* dst) {
  if (dst == nullptr) return nullptr;
  char date[32] = "";
  struct tm tm {};
  if (LocalTime(t, &tm)) std::strftime(date, sizeof date, "%Y/%m/%d", &tm);
  const int n = std::snprintf(dst, kStrKidSize, "R-%s-%s", date, name != nullptr ? name : "");
  if (n < 0 || static_cast<size_t>(n) >= kStrKidSize) {
    dst[0] = '\0';
    return nullptr;
  }
  return dst;
}

int StrFromKID(char* dst, const char* text) {
  const char* t = text != nullptr ? text : "";
  const char* name = nullptr;
  if (std::strncmp(t, "R-", 2) == 0) {
    const char* second = std::strchr(t + 2, '-');
    // "R-%*[^-]-%s" first, whose date part must not be empty; else "R-%s".
    name = (second != nullptr && second > t + 2) ? second + 1 : t + 2;
    while (*name == ' ' || (*name >= '\t' && *name <= '\r')) ++name;
  }
  const size_t len = name != nullptr ? std::strcspn(name, " \t\n\v\f\r") : 0;
  if (len == 0) {
    DbgPlain(kDbgParse, "  StrFromKID: \"%s\": not in correct format", t);
    return -1;
  }
  if (dst != nullptr) {
    std::memcpy(dst, name, len);
    dst[len] = '\0';
  }
  return 0;
}
