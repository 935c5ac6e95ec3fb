// Version lines of the programs, version comparison and compatibility checks
// between components, and the platform ids of system descriptions.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/dbg.h"

TARN_RCSID("lib/cmn/cmnversion.cpp");

// From the platform's branding library (libpipit, a C library we link but
// whose header we do not ship): brand text `number`, static, "" when unknown.
extern "C" const char* GetBrandString(int number);

namespace {

constexpr char kProductName[] = "Tarn Backup";
constexpr int kBrandVendor = 4;
constexpr int kBrandProduct = 95;

// Build time of this file in the locale's full date-and-time form.
std::string BuildDate() {
  struct tm when = {};
  const std::string stamp = std::string(__DATE__) + " " + __TIME__;
  if (strptime(stamp.c_str(), "%b %d %Y %H:%M:%S", &when) == nullptr) return stamp;
  when.tm_isdst = -1;
  char text[128];
  const size_t n = std::strftime(text, sizeof text, "%c", &when);
  return n > 0 ? std::string(text, n) : stamp;
}

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Copies `text` into buffer when it fits whole, else leaves "".
char* Deliver(const std::string& text, size_t size, char* buffer) {
  if (buffer == nullptr || size == 0) return buffer;
  if (text.size() >= size) {
    buffer[0] = '\0';
  } else {
    std::memcpy(buffer, text.c_str(), text.size() + 1);
  }
  return buffer;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find(separator, start);
    const std::string_view part =
        text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    if (!part.empty()) parts.push_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

struct CompatRow {
  const char* type1;  // "" matches any
  const char* type2;
  const char* minimum;
};

constexpr char kMinimum[] = "A.03.00";

constexpr CompatRow kCompatTable[] = {
    {"", "VBDA", kMinimum},     {"", "NVBDA", kMinimum},      {"", "RBDA", kMinimum},
    {"", "FSBRDA", kMinimum},   {"CRS", "CRS", kMinimum},     {"TARNCC", "CRS", kMinimum},
    {"BSM", "MMD", kMinimum},   {"RSM", "MMD", kMinimum},     {"DBSM", "CRS", kMinimum},
    {"DBSM", "DBSM", kMinimum}, {nullptr, nullptr, kMinimum},
};
constexpr CompatRow kAmsCompatTable[] = {
    {"", "VBDA", kMinimum},     {"", "NVBDA", kMinimum},      {"", "RBDA", kMinimum},
    {"", "FSBRDA", kMinimum},   {"CRS", "CRS", kMinimum},     {"TARNCC", "CRS", kMinimum},
    {"BSM", "MMD", kMinimum},   {"RSM", "MMD", kMinimum},     {"DBSM", "CRS", kMinimum},
    {"DBSM", "DBSM", kMinimum}, {nullptr, nullptr, kMinimum},
};

// The minimum version of the first row that fits the two types.
const char* MinimumFor(const CompatRow* table, const char* type1, const char* type2) {
  const CompatRow* row = table;
  for (; row->type1 != nullptr; ++row) {
    const bool first = row->type1[0] == '\0' || std::strcmp(row->type1, type1) == 0;
    const bool second = row->type2[0] == '\0' || std::strcmp(row->type2, type2) == 0;
    if (first && second) break;
  }
  return row->minimum;
}

// Splits "prefix version" at its last blank; false without a blank.
bool SplitVersionText(const char* text, std::string_view* prefix, std::string_view* version) {
  const std::string_view whole(text != nullptr ? text : "");
  const size_t blank = whole.rfind(' ');
  if (blank == std::string_view::npos) return false;
  *prefix = whole.substr(0, blank);
  *version = whole.substr(blank + 1);
  return true;
}

bool AtLeast(std::string_view version, const char* minimum) {
  return VersionCmp(std::string(version).c_str(), minimum) >= 0;
}

bool IsAmsType(const char* type) {
  return type != nullptr && std::strlen(type) == 3 && type[1] == 'M' && type[2] == 'A';
}

int Mismatch(const char* type1, const char* text1, const char* type2, const char* text2) {
  DbgPlain(kDbgUnexpected, "Version mismatch:\n%s %s\n%s %s\n", type1,
           text1 != nullptr ? text1 : "", type2, text2 != nullptr ? text2 : "");
  return 0;
}

struct PlatformRow {
  const char* vendor;
  const char* processor;
  const char* system;
  int id;
  const char* releases;  // blank-separated release prefixes
};

constexpr PlatformRow kPlatforms[] = {
    {"hp", "s800", "hp-ux", 1, "A.09 B.10"},    {"hp", "s800", "hp-ux", 2, "B.11"},
    {"hp", "s700", "hp-ux", 3, "A.09 B.10"},    {"hp", "s700", "hp-ux", 4, "B.11"},
    {"hp", "ia64", "hp-ux", 5, "B.11"},         {"sun", "sparc", "solaris", 6, "5.6 5.7 5.8"},
    {"sun", "sparc", "solaris", 7, "5.9 5.10"}, {"ibm", "rs6000", "aix", 8, "4."},
    {"ibm", "rs6000", "aix", 9, "5."},          {"gpc", "i386", "linux", 10, "2.2 2.4"},
    {"gpc", "i386", "linux", 11, "2.6"},        {"gpc", "x86_64", "linux", 12, "2.4 2.6"},
    {"sco", "i386", "sco_sv", 13, "3.2"},       {"sgi", "mips", "irix", 14, "6."},
    {"dec", "alpha", "osf1", 15, "V4 V5"},      {"sni", "mips", "sinix", 16, "5."},
    {"ncr", "i386", "mp-ras", 17, "3."},        {"sequent", "i386", "dynix", 18, "4."},
    {"gpc", "ia64", "linux", 19, "2.4 2.6"},    {"hp", "ia64", "linux", 20, "2.4 2.6"},
    {"ibm", "s390", "linux", 21, "2.4"},        {"ibm", "s390x", "linux", 22, "2.6"},
    {"apple", "ppc", "darwin", 23, "7. 8."},    {"gpc", "i386", "wnt", 50, "4.0 5.0 5.1 5.2"},
    {"gpc", "x86_64", "wnt", 51, "5.2 6.0"},    {"novell", "i386", "netware", 100, "5. 6."},
};

}  // namespace

char* MakeVersionString(size_t size, char* buffer) {
  std::string text = std::string(GetBrandString(kBrandVendor)) + " " +
                     GetBrandString(kBrandProduct) + ": " + std::string(Trimmed(CmnGetProgname())) +
                     ", internal build " + kTarnBuild + ", built on " + BuildDate();
  return Deliver(text, size, buffer);
}

char* MakeShortVersionString(size_t size, char* buffer) {
  // The buffer must hold both texts and four bytes more.
  if (buffer != nullptr && size > 0 &&
      size < std::strlen(kProductName) + std::strlen(kTarnVersion) + 4) {
    buffer[0] = '\0';
    return buffer;
  }
  return Deliver(std::string(kProductName) + " " + kTarnVersion, size, buffer);
}

int VersionCmp(const char* a, const char* b) {
  const auto partsA = Split(a != nullptr ? a : "", '.');
  const auto partsB = Split(b != nullptr ? b : "", '.');
  const size_t common = partsA.size() < partsB.size() ? partsA.size() : partsB.size();
  for (size_t i = 0; i < common; ++i) {
    const int d = std::string(partsA[i]).compare(std::string(partsB[i]));
    if (d != 0) return d < 0 ? -1 : 1;
  }
  if (partsA.size() > partsB.size()) return -1;
  if (partsB.size() > partsA.size()) return 1;
  return 0;
}

int IsAmsCompatible(const char* type1, const char* text1, const char* type2, const char* text2) {
  static const char kFn[] = "IsAmsCompatible";
  DbgFcnInEx(TARN_HERE, kFn, 10, "%s, %s, %s, %s", type1 != nullptr ? type1 : "",
             text1 != nullptr ? text1 : "", type2 != nullptr ? type2 : "",
             text2 != nullptr ? text2 : "");
  int result = 0;
  std::string_view prefix1;
  std::string_view version1;
  std::string_view prefix2;
  std::string_view version2;
  if (type1 != nullptr && type2 != nullptr && SplitVersionText(text1, &prefix1, &version1)) {
    const bool versionOnly = !SplitVersionText(text2, &prefix2, &version2);
    if (versionOnly) version2 = text2 != nullptr ? text2 : "";
    if (versionOnly || prefix1 == prefix2) {
      const char* minimum = MinimumFor(kAmsCompatTable, type1, type2);
      result = AtLeast(version1, minimum) && AtLeast(version2, minimum)
                   ? 1
                   : Mismatch(type1, text1, type2, text2);
    }
  }
  DbgFcnOutEx(TARN_HERE, kFn, 10, "%d", result);
  return result;
}

int IsCompatible(const char* type1, const char* text1, const char* type2, const char* text2) {
  if (type1 == nullptr || type2 == nullptr) return 0;
  if (IsAmsType(type2)) return IsAmsCompatible(type1, text1, type2, text2);
  std::string_view prefix1;
  std::string_view version1;
  std::string_view prefix2;
  std::string_view version2;
  if (!SplitVersionText(text1, &prefix1, &version1) ||
      !SplitVersionText(text2, &prefix2, &version2))
    return 0;
  if (prefix1 != prefix2) return 0;
  const char* minimum = MinimumFor(kCompatTable, type1, type2);
  if (AtLeast(version1, minimum) && AtLeast(version2, minimum)) return 1;
  return Mismatch(type1, text1, type2, text2);
}

int CvtStrToPlatformId(const char* text) {
  if (text == nullptr) return -1;
  for (const PlatformRow& row : kPlatforms) {
    const std::string head = std::string(row.vendor) + " " + row.processor + " " + row.system + "-";
    if (std::strncmp(text, head.c_str(), head.size()) != 0) continue;
    const std::string_view release(text + head.size());
    for (std::string_view prefix : Split(row.releases, ' ')) {
      if (release.substr(0, prefix.size()) == prefix) return row.id;
    }
  }
  return -1;
}

int CvtPlatformIdToObjectType(int id) {
  switch (id) {
    case 100:
    case 101:
    case 110: return 6;
    case 50:
    case 51: return 8;
    default: return 2;
  }
}
