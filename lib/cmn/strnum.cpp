// Strings: number and boolean parsing, 64-bit texts, version texts and size
// scaling.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cmn/ctx.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/strnum.cpp");

namespace {

int Converted(int n, int* count) {
  if (count != nullptr) *count = n;
  return n;
}

// Scans a signed decimal number after optional white space, as "%lld" would,
// but refuses values outside [lo, hi].
bool ScanSigned(const char* text, long long lo, long long hi, long long* out) {
  if (text == nullptr) return false;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(p, &end, 10);
  if (errno == ERANGE || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ScanUnsigned(const char* text, int base, unsigned long long hi, unsigned long long* out) {
  if (text == nullptr) return false;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+') ++p;
  const char* digits = p;
  if (base == 16 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(digits[2]))) {
    digits += 2;
  }
  if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(*digits))
                   : std::isdigit(static_cast<unsigned char>(*digits)))) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits, &end, base);
  if (errno == ERANGE || v > hi) return false;
  *out = v;
  return true;
}

template <typename T>
int ScanSignedInto(const char* text, T* value, int* count) {
  long long v = 0;
  if (!ScanSigned(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), &v)) {
    return Converted(0, count);
  }
  if (value != nullptr) *value = static_cast<T>(v);
  return Converted(1, count);
}

}  // namespace

int StrAtoi(const char* text, int* value, int* count) {
  return ScanSignedInto(text, value, count);
}

int StrAtol(const char* text, long* value, int* count) {
  return ScanSignedInto(text, value, count);
}

int StrAtoULONG(const char* text, uint32_t* value, int* count) {
  unsigned long long v = 0;
  if (!ScanUnsigned(text, 10, UINT32_MAX, &v)) return Converted(0, count);
  if (value != nullptr) *value = static_cast<uint32_t>(v);
  return Converted(1, count);
}

int StrAtoLONG(const char* text, int32_t* value, int* count) {
  return ScanSignedInto(text, value, count);
}

int StrAtoAddr(const char* text, void** value, int* count) {
  unsigned long long v = 0;
  if (!ScanUnsigned(text, 16, UINTPTR_MAX, &v)) return Converted(0, count);
  if (value != nullptr) *value = reinterpret_cast<void*>(static_cast<uintptr_t>(v));
  return Converted(1, count);
}

int StrAtoOFF_T64(const char* text, int64_t* value, int* count) {
  return ScanSignedInto(text, value, count);
}

int StrAtoBool(const char* text, int* value, int* count) {
  if (text == nullptr) return Converted(0, count);
  int number = 0;
  if (StrAtoi(text, &number, nullptr) == 1) {
    if (value != nullptr) *value = number;
    return Converted(1, count);
  }
  static constexpr const char* kTrue[] = {"", "true", "yes", "on"};
  static constexpr const char* kFalse[] = {"false", "no", "off"};
  for (const char* word : kTrue) {
    if (strcasecmp(text, word) == 0) {
      if (value != nullptr) *value = 1;
      return Converted(1, count);
    }
  }
  for (const char* word : kFalse) {
    if (strcasecmp(text, word) == 0) {
      if (value != nullptr) *value = 0;
      return Converted(1, count);
    }
  }
  return Converted(0, count);
}

int StrLowHighToOFF_T64(const char* low, const char* high, int64_t* value, int* count) {
  uint32_t lo = 0;
  uint32_t hi = 0;
  if (StrAtoULONG(low, &lo, nullptr) != 1) return Converted(0, count);
  int fields = 1;
  if (high != nullptr) {
    if (StrAtoULONG(high, &hi, nullptr) != 1) return Converted(0, count);
    fields = 2;
  }
  if (value != nullptr) {
    *value = static_cast<int64_t>((static_cast<uint64_t>(hi) << 32) | lo);
  }
  return Converted(fields, count);
}

const char* StrFromOFF_T64(int64_t value) {
  static char area[21];
  std::snprintf(area, sizeof area, "%" PRId64, value);
  return area;
}

const char* StrFromLowHighStr(const char* low, const char* high) {
  int64_t value = 0;
  StrLowHighToOFF_T64(low, high, &value, nullptr);
  return StrFromOFF_T64(value);
}

// ---------------------------------------------------------------- versions

namespace {

// Reads a run of digits at p into *n (0 when there is none); returns the end.
const char* ReadDigits(const char* p, int* n) {
  long v = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    if (v < 100000000) v = v * 10 + (*p - '0');
    ++p;
  }
  *n = static_cast<int>(v);
  return p;
}

}  // namespace

int Decompose_VEK_Version_String(int fields[4], const char* text) {
  fields[0] = 0;
  fields[1] = 0;
  fields[2] = 'Z';
  fields[3] = 0;
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p != '\0' && !std::isdigit(static_cast<unsigned char>(*p))) ++p;
  p = ReadDigits(p, &fields[0]);
  if (*p == '\0') return 0;
  p = ReadDigits(p + 1, &fields[1]);
  if (*p == '\0') return 0;
  ++p;
  while (*p != '\0' && !std::isalpha(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return 0;
  fields[2] = static_cast<unsigned char>(*p);
  while (std::isalpha(static_cast<unsigned char>(*p))) ++p;
  ReadDigits(p, &fields[3]);
  return 0;
}

int VEK_higher_version(const char* a, const char* b) {
  int fa[4];
  int fb[4];
  Decompose_VEK_Version_String(fa, a);
  Decompose_VEK_Version_String(fb, b);
  for (int i = 0; i < 4; ++i) {
    if (fa[i] != fb[i]) return fa[i] > fb[i] ? 1 : -1;
  }
  return 0;
}

// maxUnit -1 stands for the current unit. With minUnit -1 the value is scaled
// while it shows 1000 or more and the unit is below maxUnit; otherwise it is
// scaled up to the larger of minUnit and maxUnit. A tiny positive value is
// shown as 0.01 (as 1 in unit 0) rather than as zero.
void CmnScaleDoubleSize(double* value, int* unit, int minUnit, int maxUnit) {
  if (value == nullptr || unit == nullptr) return;
  if (maxUnit == -1) maxUnit = *unit;
  if (minUnit == -1) {
    while (*unit < maxUnit && *value >= 999.995) {
      *value /= 1024.0;
      ++*unit;
    }
  } else {
    const int target = minUnit > maxUnit ? minUnit : maxUnit;
    while (*unit < target) {
      *value /= 1024.0;
      ++*unit;
    }
  }
  if (*value > 0.0 && *value < 0.01) *value = *unit != 0 ? 0.01 : 1.0;
}
