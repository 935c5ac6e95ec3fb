// Global options: the media-class and device-policy tables, their options
// MC_<id> and DP_<id>, and the small media functions that read them.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/dbg.h"
#include "cmn/global.h"
#include "cmn/global_private.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/global_media.cpp");

namespace {

constexpr int kTraceLevel = kDbgParse;
constexpr int kAge = 36 * kMediaAgeUnit;
constexpr int kOverwrites = 250;

constexpr unsigned ClassBit(int id) {
  return 1U << (id - 1);
}

}  // namespace

// id, name, visible, age, overwrites, default size (KB), block size (KB),
// segment size (MB), catalogue size (MB), default concurrency, flags.
MediaClass mediaClasses[kMediaClassRows + 1] = {
    {1, "DDS", 1, kAge, kOverwrites, 2097152, 64, 50, 12, 2, 0},
    {2, "DLT", 1, kAge, kOverwrites, 10485760, 64, 2000, 12, 2, 0},
    {3, "QIC", 1, kAge, kOverwrites, 1048576, 32, 50, 12, 2, 0},
    {4, "Exabyte", 1, kAge, kOverwrites, 2097152, 64, 50, 12, 2, 0},
    {5, "Magneto-Optical", 1, kAge, kOverwrites, 614400, 64, 50, 12, 2, 1},
    {6, "3480", 1, kAge, kOverwrites, 204800, 32, 50, 12, 2, 0},
    {kFileMediumClass, "File", 1, kAge, kOverwrites, 102400, 64, 2000, 12, 3, 1},
    {8, "AIT", 1, kAge, kOverwrites, 26214400, 64, 2000, 12, 3, 0},
    {9, "LTO-Ultrium", 1, kAge, kOverwrites, 104857600, 256, 10000, 12, 4, 0},
    {10, "SDLT", 1, kAge, kOverwrites, 115343360, 256, 10000, 12, 4, 0},
    {11, "3590", 1, kAge, kOverwrites, 10485760, 64, 2000, 12, 3, 0},
    {12, "9840", 1, kAge, kOverwrites, 20971520, 64, 2000, 12, 3, 0},
    {13, "9940", 1, kAge, kOverwrites, 62914560, 256, 10000, 12, 4, 0},
    {14, "Travan", 1, kAge, kOverwrites, 4194304, 32, 50, 12, 2, 0},
    {15, "VXA", 1, kAge, kOverwrites, 33554432, 64, 2000, 12, 3, 0},
    {16, "SAIT", 1, kAge, kOverwrites, 524288000, 256, 10000, 12, 4, 0},
    {17, "T10000", 1, kAge, kOverwrites, 524288000, 256, 10000, 12, 4, 0},
    {18, "Optical Disk", 1, kAge, kOverwrites, 4194304, 64, 50, 12, 2, 1},
    {19, "DTF", 1, kAge, kOverwrites, 41943040, 64, 2000, 12, 3, 0},
    {20, "Mammoth", 1, kAge, kOverwrites, 20971520, 64, 2000, 12, 3, 0},
    {22, "Removable Disk", 1, kAge, kOverwrites, 73400320, 64, 2000, 12, 2, 1},
    {0, "UNKNOWN", 0, kAge, kOverwrites, 0, 64, 50, 12, 2, 0},
};

namespace {

constexpr unsigned kTapeClasses =
    ClassBit(1) | ClassBit(2) | ClassBit(3) | ClassBit(4) | ClassBit(6) | ClassBit(8) |
    ClassBit(9) | ClassBit(10) | ClassBit(11) | ClassBit(12) | ClassBit(13) | ClassBit(14) |
    ClassBit(15) | ClassBit(16) | ClassBit(17) | ClassBit(19) | ClassBit(20);
constexpr unsigned kDiskClasses = ClassBit(5) | ClassBit(18) | ClassBit(22);
constexpr unsigned kSiloClasses =
    ClassBit(6) | ClassBit(11) | ClassBit(12) | ClassBit(13) | ClassBit(9) | ClassBit(17);

}  // namespace

DevicePolicy devPolicies[kDevicePolicyRows + 1] = {
    {1, "Standalone", 1, kTapeClasses | kDiskClasses, 0},
    {2, "Stacker", 1, kTapeClasses, 0},
    {3, "Jukebox", 1, kDiskClasses | ClassBit(kFileMediumClass), 0},
    {4, "External Control", 1, kTapeClasses | kDiskClasses, 0},
    {5, "SCSI Library", 1, kTapeClasses | kDiskClasses, 0},
    {6, "Magazine", 1, kTapeClasses, 0},
    {7, "File Library", 1, ClassBit(kFileMediumClass), 0},
    {8, "ACS Library", 1, kSiloClasses, 0},
    {9, "DAS Library", 1, kSiloClasses, 0},
    {10, "Backup to Disk", 1, ClassBit(kFileMediumClass), 0},
    {0, "UNKNOWN", 0, 0, 0},
};

namespace {

// Reads up to `count` blank-separated integers as "%d" would, each within
// [lo[i], hi[i]]; stops at the first that does not read. Returns how many read.
int ReadNumbers(const char* text, long long* out, const long long* lo, const long long* hi,
                int count) {
  const char* p = text;
  for (int i = 0; i < count; ++i) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return i;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(p, &end, 10);
    if (errno == ERANGE || v < lo[i] || v > hi[i]) return i;
    out[i] = v;
    p = end;
  }
  return count;
}

int GetMC(const global_detail::OptReply& reply, const char* name, int* visible, int* ageMonths,
          int* overwrites, unsigned* defaultSize, int* concurrency) {
  if (!reply.valid()) return -1;
  const char* text = reply.find(name);
  if (text == nullptr) return 0;
  long long v[5] = {};
  constexpr long long lo[5] = {INT_MIN, INT_MIN, INT_MIN, 0, INT_MIN};
  constexpr long long hi[5] = {INT_MAX, INT_MAX, INT_MAX, UINT_MAX, INT_MAX};
  const int n = ReadNumbers(text, v, lo, hi, 5);
  if (n >= 1 && visible != nullptr) *visible = static_cast<int>(v[0]);
  if (n >= 2 && ageMonths != nullptr) *ageMonths = static_cast<int>(v[1]);
  if (n >= 3 && overwrites != nullptr) *overwrites = static_cast<int>(v[2]);
  if (n >= 4 && defaultSize != nullptr) *defaultSize = static_cast<unsigned>(v[3]);
  if (n >= 5 && concurrency != nullptr) *concurrency = static_cast<int>(v[4]);
  return n;
}

int GetDP(const global_detail::OptReply& reply, const char* name, int* visible, unsigned* mask) {
  if (!reply.valid()) return -1;
  const char* text = reply.find(name);
  if (text == nullptr) return 0;
  long long v[2] = {};
  // The mask is read as "%d" reads it: a negative number is the mask with the
  // top bit set.
  constexpr long long lo[2] = {INT_MIN, INT_MIN};
  constexpr long long hi[2] = {INT_MAX, UINT_MAX};
  const int n = ReadNumbers(text, v, lo, hi, 2);
  if (n >= 1 && visible != nullptr) *visible = static_cast<int>(v[0]);
  if (n >= 2 && mask != nullptr) *mask = static_cast<std::uint32_t>(v[1]);
  return n;
}

}  // namespace

namespace global_detail {

int DispMediaClasses(const OptReply& reply) {
  int found = 0;
  for (int i = 0; i < kMediaClassRows; ++i) {
    MediaClass& row = mediaClasses[i];
    char name[32];
    std::snprintf(name, sizeof name, "MC_%d", row.id);
    int months = row.ageLimit / kMediaAgeUnit;
    const int n = GetMC(reply, name, &row.visible, &months, &row.overwritesLimit, &row.defaultSize,
                        &row.defaultConcurrency);
    if (n < 0) {
      DbgPlain(8, "OptDispatchGetMC: bad MSG\n");
      return 0;
    }
    if (n == 0) continue;
    // An age whose seconds do not fit is refused; the old age stays.
    if (n >= 3 && months >= 0 && months <= INT_MAX / kMediaAgeUnit) {
      row.ageLimit = months * kMediaAgeUnit;
    }
    ++found;
    DbgPlain(kTraceLevel, "%s \"%s\"", name, row.name);
    DbgPlain(kTraceLevel, "  visible          = %d", row.visible);
    DbgPlain(kTraceLevel, "  age limit        = %d months", row.ageLimit / kMediaAgeUnit);
    DbgPlain(kTraceLevel, "  overwrites limit = %d", row.overwritesLimit);
    DbgPlain(kTraceLevel, "  default size     = %d KBytes", static_cast<int>(row.defaultSize));
    DbgPlain(kTraceLevel, "  default conc     = %d", row.defaultConcurrency);
  }
  return found;
}

int DispDevicePolicies(const OptReply& reply) {
  int found = 0;
  for (int i = 0; i < kDevicePolicyRows; ++i) {
    DevicePolicy& row = devPolicies[i];
    char name[32];
    std::snprintf(name, sizeof name, "DP_%d", row.id);
    const int n = GetDP(reply, name, &row.visible, &row.mediaClassMask);
    if (n < 0) {
      DbgPlain(8, "OptDispatchGetDP: bad MSG\n");
      return 0;
    }
    if (n == 0) continue;
    ++found;
    DbgPlain(kTraceLevel, "%s \"%s\"", name, row.name);
    DbgPlain(kTraceLevel, "  visible          = %d", row.visible);
    DbgPlain(kTraceLevel, "  supp media class = 0x%08x", row.mediaClassMask);
  }
  return found;
}

}  // namespace global_detail

int OptDispMediaClasses(const char* reply) {
  return global_detail::DispMediaClasses(global_detail::OptReply(reply));
}

int OptDispDevicePolicies(const char* reply) {
  return global_detail::DispDevicePolicies(global_detail::OptReply(reply));
}

int OptDispatchGetMC(const char* reply, const char* name, int* visible, int* ageMonths,
                     int* overwrites, unsigned* defaultSize, int* concurrency) {
  return GetMC(global_detail::OptReply(reply), name, visible, ageMonths, overwrites, defaultSize,
               concurrency);
}

int OptDispatchGetDP(const char* reply, const char* name, int* visible, unsigned* mask) {
  return GetDP(global_detail::OptReply(reply), name, visible, mask);
}

int MmFindClass(int id) {
  int i = 0;
  while (mediaClasses[i].id != 0 && mediaClasses[i].id != id) ++i;
  return i;
}

int MmMediumState(int a, int flag, int b, int n, int capacity, int limit) {
  if (flag != 0) return 0;
  // The fair share is MmFairLimit percent; compare in hundredths so that a
  // limit below 100 does not round to nothing.
  const long long used = static_cast<long long>(a) - b;
  const long long fair = glMmFairLimit;
  if (used >= capacity || n >= limit) return 0;
  if (used * 100 >= fair * capacity) return 1;
  if (static_cast<long long>(n) * 100 < fair * limit) return 2;
  return 1;
}

int MmGetCartType(const char* formatOption, const char* label) {
  const std::size_t prefix = std::strlen(glClnTapeBCPrefix);
  if (label != nullptr && prefix > 0 && std::strncmp(label, glClnTapeBCPrefix, prefix) == 0) {
    return 10;
  }
  if (formatOption == nullptr || formatOption[0] == '\0') return 0;
  if (formatOption[0] != '-') return 1;
  struct Format {
    const char* option;
    int type;
  };
  static constexpr Format kFormats[] = {
      {"-tar", 2},        {"-cpio", 3},           {"-ansi", 8},
      {"-fbackup", 9},    {"-TarnStorage", 4},    {"-FileSystem", 5},
      {"-Tarnvale I", 6}, {"-Cleaning Tape", 10}, {"-foreign application", 13},
      {"-UNKNOWN", 12},
  };
  for (const Format& format : kFormats) {
    if (std::strcmp(formatOption, format.option) == 0) return format.type;
  }
  return 7;
}

int GetUnRwTable(const UnRwRow* table, const char* name) {
  if (table == nullptr) return -1;
  for (const UnRwRow* row = table; row->code != -1; ++row) {
    if (StrICmpA(row->name, name) == 0) return row->code;
  }
  return -1;
}

const char* GetUnRwTableStr(const UnRwRow* table, int code) {
  if (table == nullptr) return nullptr;
  const UnRwRow* row = table;
  while (row->code != -1 && row->code != code) ++row;
  return row->name;
}
